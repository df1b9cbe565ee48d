// Output: the one function every byte to a client goes through, the small
// output routines, the catalogue of fixed messages and the login/logoff
// notices.
#pragma once

#include <cstddef>
#include <string_view>

#include "nchatd.h"

// Queues `len` bytes for the user's connection (or, for a socket that holds
// no slot, sends them at once).  A connection whose queue would pass its
// bound is marked doomed and gets nothing more; it is retired after the
// current event, never from inside the broadcast that overflowed it.
void nchatd_send(nchatd_server& s, nchatd_user& u, const void* data, size_t len, nchatd_mode mode);
// Hands the user's queue to the kernel.  Returns 0 when it is empty
// afterwards, -1 with errno when something is left or the socket failed.
int nchatd_flush_user(nchatd_user& u);
inline void nchatd_send_str(nchatd_server& s, nchatd_user& u, std::string_view text, nchatd_mode mode)
{
    nchatd_send(s, u, text.data(), text.size(), mode);
}
// Truncates the queue to its last complete burst and dooms the slot.
void nchatd_doom_user(nchatd_server& s, nchatd_user& u);
// Empties the queue, keeping its buffer.
void nchatd_outq_clear(nchatd_user& u);
// Gives an empty queue's buffer back down to its initial size; returns the
// bytes given back.
size_t nchatd_outq_shrink(nchatd_user& u);
// When the queue is more than half full and ends with a redraw the client
// has not received yet, removes that redraw and returns true: the client's
// screen then ends with the previous message's line end.
bool nchatd_drop_stale_redraw(nchatd_user& u);

void nchatd_send_newline(nchatd_server& s, nchatd_user& u);
void nchatd_send_prompt(nchatd_server& s, nchatd_user& u);
void nchatd_send_spaces(nchatd_server& s, nchatd_user& u, size_t count, nchatd_mode mode);
void nchatd_send_backs(nchatd_server& s, nchatd_user& u, size_t count, nchatd_mode mode);

void nchatd_msg_errno(nchatd_server& s, nchatd_user& u, int err);
void nchatd_msg_welcome(nchatd_server& s, nchatd_user& u);
void nchatd_msg_entername(nchatd_server& s, nchatd_user& u);
void nchatd_msg_loggedin(nchatd_server& s, nchatd_user& u);
void nchatd_msg_privsent(nchatd_server& s, nchatd_user& u);
void nchatd_msg_dupename(nchatd_server& s, nchatd_user& u);
void nchatd_msg_invalidname(nchatd_server& s, nchatd_user& u);
void nchatd_msg_toomanyusers(nchatd_server& s, nchatd_user& u);
void nchatd_msg_noresource(nchatd_server& s, nchatd_user& u);
void nchatd_msg_longname(nchatd_server& s, nchatd_user& u);
void nchatd_msg_toomanyfromaddr(nchatd_server& s, nchatd_user& u);
void nchatd_msg_logintimeout(nchatd_server& s, nchatd_user& u);

void nchatd_brc_login(nchatd_server& s, nchatd_user& u);
void nchatd_brc_logoff(nchatd_server& s, nchatd_user& u);

// The road of input: bytes in, telnet filter, line editor, echo, then the
// completed line as a login, a command or a chat line.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "room.h"

namespace nchatd {

// Takes one receive from the connection; returns the number of non-empty
// lines it completed.  Stops early when the connection is asked to close.
size_t receive(Room& room, Connection& c, std::span<const unsigned char> bytes);

// Gives a free slot to a new connection: a fresh record, the greeting and
// the log line.  With `telnet` the greeting carries the telnet option
// sequence between the welcome line and the name prompt.
void admit(Room& room, Connection& c, unique_fd fd, const Peer& peer, bool telnet = false);
void greet(Room& room, Connection& c, bool telnet = false);

}  // namespace nchatd

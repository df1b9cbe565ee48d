#include "msg.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace std::literals;

namespace {

void list_pending(nchatd_server& s, nchatd_user& u)
{
    if (u.out_listed)
        return;
    u.out_listed = true;
    s.pending[s.n_pending++] = static_cast<int>(&u - s.users);
}

// Makes room for `len` more bytes at the tail: first by moving what is
// left to the front, then by doubling the buffer up to its bound.
bool reserve(nchatd_user& u, size_t len)
{
    if (u.out_tail + len <= u.out_cap)
        return true;
    size_t used = u.out_tail - u.out_head;
    if (used + len > nchatd_outq_max)
        return false;
    if (u.out_head > 0) {
        memmove(u.out_buf, u.out_buf + u.out_head, used);
        u.out_burst_end = u.out_burst_end > u.out_head ? u.out_burst_end - u.out_head : 0;
        if (u.redraw_at < u.out_head) {
            u.redraw_at = u.redraw_end = 0;  // partly with the kernel already
        } else {
            u.redraw_at -= u.out_head;
            u.redraw_end -= u.out_head;
        }
        u.out_head = 0;
        u.out_tail = static_cast<uint32_t>(used);
        if (used + len <= u.out_cap)
            return true;
    }
    size_t cap = u.out_cap ? u.out_cap : nchatd_outq_initial;
    while (cap < used + len)
        cap *= 2;
    cap = std::min(cap, nchatd_outq_max);
    auto* grown = static_cast<char*>(realloc(u.out_buf, cap));
    if (!grown)
        return false;
    u.out_buf = grown;
    u.out_cap = static_cast<uint32_t>(cap);
    return true;
}

}  // namespace

void nchatd_send(nchatd_server& s, nchatd_user& u, const void* data, size_t len, nchatd_mode mode)
{
    if (u.direct) {
        // A fresh socket has room for a refusal; still, never wait for it.
        int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (mode == nchatd_mode::more ? MSG_MORE : 0);
        (void)send(u.sock, data, len, flags);
        return;
    }
    if (!u.in_use || u.doomed)
        return;
    if (!reserve(u, len)) {
        // The kernel may have room by now: a reader that keeps up is never
        // dropped just because a burst was large.
        (void)nchatd_flush_user(u);
        if (!reserve(u, len)) {
            nchatd_doom_user(s, u);
            return;
        }
    }
    if (len > 0)
        memcpy(u.out_buf + u.out_tail, data, len);
    u.out_tail += static_cast<uint32_t>(len);
    if (mode == nchatd_mode::last)
        u.out_burst_end = u.out_tail;
    list_pending(s, u);
}

int nchatd_flush_user(nchatd_user& u)
{
    while (u.out_head < u.out_tail) {
        ssize_t n = send(u.sock, u.out_buf + u.out_head, u.out_tail - u.out_head, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // The connection is broken; the input side will retire it.
                int err = errno;
                nchatd_outq_clear(u);
                errno = err;
            }
            return -1;
        }
        u.out_head += static_cast<uint32_t>(n);
    }
    nchatd_outq_clear(u);
    return 0;
}

void nchatd_outq_clear(nchatd_user& u)
{
    u.out_head = u.out_tail = u.out_burst_end = 0;
    u.redraw_at = u.redraw_end = 0;
}

size_t nchatd_outq_shrink(nchatd_user& u)
{
    if (u.out_cap <= nchatd_outq_initial || u.out_head != u.out_tail)
        return 0;
    auto* smaller = static_cast<char*>(realloc(u.out_buf, nchatd_outq_initial));
    if (!smaller)
        return 0;
    size_t freed = u.out_cap - nchatd_outq_initial;
    u.out_buf = smaller;
    u.out_cap = nchatd_outq_initial;
    nchatd_outq_clear(u);
    return freed;
}

bool nchatd_drop_stale_redraw(nchatd_user& u)
{
    bool stale = u.redraw_end > u.redraw_at && u.redraw_end == u.out_tail && u.redraw_at >= u.out_head;
    if (!stale || u.out_tail - u.out_head <= nchatd_outq_max / 2)
        return false;
    u.out_tail = u.out_burst_end = u.redraw_at;
    u.redraw_at = u.redraw_end = 0;
    return true;
}

void nchatd_doom_user(nchatd_server& s, nchatd_user& u)
{
    if (u.doomed)
        return;
    u.doomed = true;
    s.n_doomed++;
    // Whatever follows the last whole burst would reach the client cut.
    u.out_tail = std::max(u.out_burst_end, u.out_head);
}

void nchatd_send_newline(nchatd_server& s, nchatd_user& u)
{
    static constexpr std::string_view newline = "\r\n";
    nchatd_send_str(s, u, newline, nchatd_mode::last);
}

void nchatd_send_prompt(nchatd_server& s, nchatd_user& u)
{
    nchatd_send(s, u, nchatd_client_prompt, nchatd_client_prompt_len, nchatd_mode::last);
}

void nchatd_send_spaces(nchatd_server& s, nchatd_user& u, size_t count, nchatd_mode mode)
{
    while (count > 0) {
        size_t n = std::min(count, nchatd_num_spaces);
        nchatd_send(s, u, nchatd_some_spaces, n, mode);
        count -= n;
    }
}

void nchatd_send_backs(nchatd_server& s, nchatd_user& u, size_t count, nchatd_mode mode)
{
    while (count > 0) {
        size_t n = std::min(count, nchatd_num_backs);
        count -= n;
        nchatd_send(s, u, nchatd_some_backs, n, count > 0 ? nchatd_mode::more : mode);
    }
}

namespace {

// A message of a fixed text, a variable piece and a fixed text.
void send_three(nchatd_server& s, nchatd_user& u, std::string_view part1, std::string_view middle,
                std::string_view part2)
{
    nchatd_send_str(s, u, part1, nchatd_mode::more);
    nchatd_send_str(s, u, middle, nchatd_mode::more);
    nchatd_send_str(s, u, part2, nchatd_mode::last);
}

}  // namespace

void nchatd_msg_errno(nchatd_server& s, nchatd_user& u, int err)
{
    send_three(s, u, "ERROR: "sv, strerror(err), ". Try again later.\r\nDisconnecting.\r\n"sv);
}

void nchatd_msg_welcome(nchatd_server& s, nchatd_user& u)
{
    send_three(s, u, "Welcome to Nimbra chat v"sv, nchatd_version, "!\r\n"sv);
}

void nchatd_msg_entername(nchatd_server& s, nchatd_user& u)
{
    char number[16];
    int n = snprintf(number, sizeof number, "%i", static_cast<int>(nchatd_name_max));
    send_three(s, u, "Enter your name (max "sv, std::string_view(number, static_cast<size_t>(n)), " chars): "sv);
}

void nchatd_msg_loggedin(nchatd_server& s, nchatd_user& u)
{
    send_three(s, u, "* logged in as "sv, u.name, "\r\n"sv);
}

void nchatd_msg_privsent(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "* private message sent\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_dupename(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "* name already taken!\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_invalidname(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "* name contains invalid characters or too long\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_toomanyusers(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "Too many client are connected. Try again later.\r\nDisconnecting.\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_noresource(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "Not enough resource available. Try again later.\r\nDisconnecting.\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_longname(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "* name is too long, disconnecting\r\n"sv, nchatd_mode::last);
}

void nchatd_msg_toomanyfromaddr(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "Too many connections from your address. Try again later.\r\nDisconnecting.\r\n"sv,
                    nchatd_mode::last);
}

void nchatd_msg_logintimeout(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_str(s, u, "* no name entered in time, disconnecting\r\n"sv, nchatd_mode::last);
}

void nchatd_brc_login(nchatd_server& s, nchatd_user& u)
{
    size_t n = nchatd_format(s, "* user %s logged in from %s\r\n", u.name, u.addr_str);
    nchatd_broadcast(s, &u, s.msg_text, n, true);
}

void nchatd_brc_logoff(nchatd_server& s, nchatd_user& u)
{
    size_t n = nchatd_format(s, "* user %s logged off from %s\r\n", u.name, u.addr_str);
    nchatd_broadcast(s, &u, s.msg_text, n, true);
}

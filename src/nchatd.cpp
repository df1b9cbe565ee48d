#include "nchatd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cmd.h"
#include "fdctl.h"
#include "msg.h"
#include "telnet.h"

using namespace std::literals;

namespace {

int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonic_s()
{
    return monotonic_us() / 1000000;
}

int slot_of(const nchatd_server& s, const nchatd_user& u)
{
    return static_cast<int>(&u - s.users);
}

// A slot waits for input unless its line budget is spent, and for room in
// the kernel while it has output queued.
void set_events(nchatd_server& s, const nchatd_user& u, bool output_waits)
{
    pollfd& p = s.user_polls[slot_of(s, u)];
    p.events = static_cast<short>((u.throttled ? 0 : POLLIN) | (output_waits ? POLLOUT : 0));
}

void unthrottle(nchatd_server& s, nchatd_user& u)
{
    if (!u.throttled)
        return;
    u.throttled = false;
    int slot = slot_of(s, u);
    for (int k = 0; k < s.n_throttled; ++k) {
        if (s.throttled[k] == slot) {
            s.throttled[k] = s.throttled[--s.n_throttled];
            break;
        }
    }
    set_events(s, u, u.out_listed);
}

// Unread input turns close() into a reset, and a reset can destroy the
// last words still on their way to the client; read a little of it away.
void close_socket(int sock)
{
    char scrap[512];
    for (int i = 0; i < 8; ++i) {
        if (recv(sock, scrap, sizeof scrap, MSG_DONTWAIT) <= 0)
            break;
    }
    close(sock);
}

void take_day_snapshot(nchatd_server& s)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (!localtime_r(&now.tv_sec, &s.last_tm))
        s.last_tm = tm{};
}

// Appends to the log buffer when the whole text fits.
bool log_append(nchatd_log& l, const char* text, size_t len)
{
    if (len > sizeof l.buf - l.used)
        return false;
    memcpy(l.buf + l.used, text, len);
    l.used += len;
    return true;
}

// Once the log has room again, the first thing it says is what it lost.
void log_report_lost(nchatd_log& l)
{
    if (l.lost == 0)
        return;
    char notice[80];
    int n = snprintf(notice, sizeof notice, "Log output stalled: %lu lines lost.\n", l.lost);
    if (n > 0 && log_append(l, notice, static_cast<size_t>(n)))
        l.lost = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The log: standard output in the foreground.
// ---------------------------------------------------------------------------

void nchatd_log_open(nchatd_server& s, int fd)
{
    if (!s.log)
        return;
    s.log->fd = fd;
    struct stat st{};
    if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode))
        return;  // a file takes every line at once, as it always did
    s.log->is_socket = S_ISSOCK(st.st_mode);
    if (s.log->is_socket)
        return;  // sent with MSG_DONTWAIT
    // A terminal's open file is shared with the shell: open our own
    // description of it rather than make the shell's non-blocking.
    if (isatty(fd)) {
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) {
            dup2(own, fd);
            close(own);
        }
        return;
    }
    (void)nchatd_set_nonblock(fd);
}

void nchatd_log_flush(nchatd_server& s)
{
    nchatd_log* l = s.log;
    if (!l)
        return;
    for (int round = 0; round < 2 && l->used > 0; ++round) {
        size_t done = 0;
        while (done < l->used) {
            ssize_t n = l->is_socket ? send(l->fd, l->buf + done, l->used - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : write(l->fd, l->buf + done, l->used - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            done = l->used;  // nobody reads the log any more
        }
        memmove(l->buf, l->buf + done, l->used - done);
        l->used -= done;
        if (l->used == 0)
            log_report_lost(*l);
    }
    // While lines wait, the loop wakes when standard output takes more.
    s.polls[s.max_users + 1].fd = l->used > 0 ? l->fd : -1;
}

void nchatd_log_line(nchatd_server& s, const char* fmt, ...)
{
    if (s.daemonized || !s.log)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof line - 1);
    log_report_lost(*s.log);
    if (s.log->lost > 0 || !log_append(*s.log, line, len))
        s.log->lost++;
    nchatd_log_flush(s);
}

// ---------------------------------------------------------------------------
// The tables and the one close path.
// ---------------------------------------------------------------------------

int nchatd_server_init(nchatd_server& s, int64_t max_users, bool daemonized)
{
    s = nchatd_server{};
    auto n = static_cast<size_t>(max_users);
    auto* users = static_cast<nchatd_user*>(calloc(n, sizeof(nchatd_user)));
    auto* polls = static_cast<pollfd*>(calloc(n + 2, sizeof(pollfd)));
    auto* pending = static_cast<int*>(calloc(n, sizeof(int)));
    auto* throttled = static_cast<int*>(calloc(n, sizeof(int)));
    auto* log = daemonized ? nullptr : static_cast<nchatd_log*>(calloc(1, sizeof(nchatd_log)));
    if (!users || !polls || !pending || !throttled || (!daemonized && !log)) {
        free(users);
        free(polls);
        free(pending);
        free(throttled);
        free(log);
        errno = ENOMEM;
        return -1;
    }
    auto* buf = static_cast<char*>(malloc(nchatd_msgbuf_size));
    if (!buf) {
        free(users);
        free(polls);
        free(pending);
        free(throttled);
        free(log);
        errno = ENOMEM;
        return -2;
    }
    s.start_time = time(nullptr);
    s.msg_buf = buf;
    s.msg_text = buf + nchatd_headroom;
    s.users = users;
    s.max_users = max_users;
    s.polls = polls;
    s.user_polls = polls + 1;
    s.pending = pending;
    s.throttled = throttled;
    s.log = log;
    if (log)
        log->fd = STDOUT_FILENO;
    s.last_sweep_s = monotonic_s();
    s.listen_sock = -1;
    s.spare_fd = -1;
    s.daemonized = daemonized;
    polls[0] = pollfd{-1, POLLIN, 0};
    for (size_t i = 0; i < n; ++i)
        s.user_polls[i] = pollfd{-1, POLLIN, 0};
    polls[n + 1] = pollfd{-1, POLLOUT, 0};
    take_day_snapshot(s);
    return 0;
}

void nchatd_server_free(nchatd_server& s)
{
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        nchatd_user& u = s.users[i];
        if (u.in_use)
            close(u.sock);
        free(u.addr_str);
        free(u.out_buf);
    }
    free(s.users);
    free(s.polls);
    free(s.pending);
    free(s.throttled);
    free(s.log);
    free(s.msg_buf);
    s = nchatd_server{};
}

nchatd_user* nchatd_find_user(nchatd_server& s, const char* name)
{
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        nchatd_user& u = s.users[i];
        if (u.in_use && strcmp(u.name, name) == 0)
            return &u;
    }
    return nullptr;
}

void nchatd_close_user(nchatd_server& s, nchatd_user& u)
{
    (void)nchatd_flush_user(u);
    close_socket(u.sock);
    u.sock = -1;
    pollfd& p = s.user_polls[slot_of(s, u)];
    p = pollfd{-1, POLLIN, 0};
    u.in_use = false;
    unthrottle(s, u);
    nchatd_outq_clear(u);
    if (u.doomed) {
        u.doomed = false;
        s.n_doomed--;
    }
}

void nchatd_show_disconnect(nchatd_server& s, nchatd_user& u)
{
    bool named = u.name[0] != '\0';
    nchatd_log_line(s, "Connection from %s:%u has been closed%s%s%s.\n", inet_ntoa(u.peer.sin_addr),
             static_cast<unsigned>(ntohs(u.peer.sin_port)), named ? " (user \"" : "", named ? u.name : "",
             named ? "\")" : "");
}

void nchatd_end_user(nchatd_server& s, nchatd_user& u, const char* why)
{
    if (u.name[0])
        nchatd_brc_logoff(s, u);
    if (why)
        nchatd_log_line(s, "Connection from %s:%u dropped: %s.\n", u.addr_str, u.port, why);
    else
        nchatd_show_disconnect(s, u);
    nchatd_close_user(s, u);
}

void nchatd_reap_doomed(nchatd_server& s)
{
    if (s.n_doomed == 0)
        return;
    // Ending one user broadcasts its logoff, which may doom others, also
    // in slots already passed: go round until a pass ends nobody.  Every
    // pass but the last frees a slot, so this ends.
    for (bool again = true; again;) {
        again = false;
        for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
            nchatd_user& u = s.users[i];
            if (u.in_use && u.doomed) {
                nchatd_end_user(s, u, "output queue full");
                again = true;
            }
        }
    }
}

void nchatd_flush_all(nchatd_server& s)
{
    int kept = 0;
    for (int k = 0; k < s.n_pending; ++k) {
        int i = s.pending[k];
        nchatd_user& u = s.users[i];
        if (u.in_use && nchatd_flush_user(u) < 0 && u.out_head < u.out_tail) {
            set_events(s, u, true);
            s.pending[kept++] = i;
            continue;
        }
        u.out_listed = false;
        if (u.in_use)
            set_events(s, u, false);
    }
    s.n_pending = kept;
}

// ---------------------------------------------------------------------------
// Admission.
// ---------------------------------------------------------------------------

namespace {

// A socket that gets no slot is written to directly, once.
nchatd_user direct_user(int sock)
{
    nchatd_user d{};
    d.sock = sock;
    d.direct = true;
    return d;
}

nchatd_user* free_slot(nchatd_server& s)
{
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        if (!s.users[i].in_use)
            return &s.users[i];
    }
    return nullptr;
}

void reset_slot(nchatd_user& u, const sockaddr_in& addr)
{
    u.name[0] = '\0';
    u.telnet_sent = u.iac_seen = u.in_subneg = false;
    u.skip_count = 0;
    u.line_len = 0;
    time_t now = time(nullptr);
    u.lines_written = 0;
    u.login_time = u.last_active = now;
    u.bell_mode = 0;
    u.port = ntohs(addr.sin_port);
    u.status[0] = '\0';
    u.waiting = false;
    u.peer = addr;
    nchatd_outq_clear(u);
    u.doomed = false;
    u.direct = false;
    u.admitted_s = monotonic_s();
    u.flood_until_us = 0;
    u.throttled = u.flood_logged = false;
}

int unnamed_from(const nchatd_server& s, const in_addr& addr)
{
    int count = 0;
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        const nchatd_user& u = s.users[i];
        if (u.in_use && !u.name[0] && u.peer.sin_addr.s_addr == addr.s_addr)
            ++count;
    }
    return count;
}

// Out of descriptors, the pending connection would keep the listening
// socket readable and the loop spinning: give up the spare descriptor for a
// moment to take the connection and turn it away.
void refuse_without_descriptor(nchatd_server& s)
{
    if (s.spare_fd < 0)
        return;
    close(s.spare_fd);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int sock = accept(s.listen_sock, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock >= 0) {
        nchatd_user d = direct_user(sock);
        nchatd_msg_noresource(s, d);
        close_socket(sock);
        nchatd_log_line(s, "Connection from %s:%u dropped: no resource.\n", inet_ntoa(addr.sin_addr),
                 static_cast<unsigned>(ntohs(addr.sin_port)));
    }
    s.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void accept_one(nchatd_server& s)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int sock = accept(s.listen_sock, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock >= 0)
        nchatd_admit(s, sock, addr);
    else if (errno == EMFILE || errno == ENFILE)
        refuse_without_descriptor(s);
}

}  // namespace

void nchatd_admit(nchatd_server& s, int sock, const sockaddr_in& addr)
{
    char text[INET_ADDRSTRLEN] = "";
    strncpy(text, inet_ntoa(addr.sin_addr), sizeof text - 1);
    auto port = static_cast<unsigned>(ntohs(addr.sin_port));
    nchatd_user refused = direct_user(sock);

    nchatd_user* u = free_slot(s);
    if (!u) {
        nchatd_msg_toomanyusers(s, refused);
        close_socket(sock);
        nchatd_log_line(s, "Connection from %s:%u dropped: too many users.\n", text, port);
        return;
    }
    if (s.limits.unnamed_per_addr > 0 && unnamed_from(s, addr.sin_addr) >= s.limits.unnamed_per_addr) {
        nchatd_msg_toomanyfromaddr(s, refused);
        close_socket(sock);
        nchatd_log_line(s, "Connection from %s:%u dropped: too many unnamed connections from this address.\n", text, port);
        return;
    }
    free(u->addr_str);
    u->addr_str = static_cast<char*>(malloc(strlen(text) + 1));
    if (!u->addr_str) {
        nchatd_msg_noresource(s, refused);
        close_socket(sock);
        nchatd_log_line(s, "Connection from %s:%u dropped: no resource.\n", text, port);
        return;
    }
    strcpy(u->addr_str, text);
    reset_slot(*u, addr);
    if (nchatd_set_keepalive(sock) != 0 || nchatd_set_cloexec(sock) != 0 || nchatd_set_nonblock(sock) != 0) {
        int err = errno;
        nchatd_msg_errno(s, refused, err);
        close_socket(sock);
        nchatd_log_line(s, "Connection from %s:%u dropped: %s\n", text, port, strerror(err));
        return;
    }
    // Best effort: without them a client is merely buffered more, or later.
    (void)nchatd_set_sndbuf(sock, nchatd_sndbuf_size);
    (void)nchatd_set_nodelay(sock);
    u->in_use = true;
    u->sock = sock;
    s.user_polls[slot_of(s, *u)] = pollfd{sock, POLLIN, 0};
    nchatd_msg_welcome(s, *u);
    nchatd_msg_entername(s, *u);
    nchatd_log_line(s, "Connection from %s:%u accepted.\n", text, port);
}

// ---------------------------------------------------------------------------
// The event loop.
// ---------------------------------------------------------------------------

namespace {

void check_day(nchatd_server& s)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm today;
    if (!localtime_r(&now.tv_sec, &today) || today.tm_mday == s.last_tm.tm_mday)
        return;
    char text[116];
    size_t n = strftime(text, sizeof text, "* Day changed to %d %b %Y\r\n", &today);
    nchatd_broadcast(s, nullptr, text, n, false);
    s.last_tm = today;
}

// Charges a receive to the connection's line budget and stops reading
// from it while it owes more than the burst.
void charge_lines(nchatd_server& s, nchatd_user& u, size_t lines, size_t bytes)
{
    const int64_t rate = s.limits.line_rate;
    if (rate == 0 || !u.in_use)
        return;
    const int64_t now = monotonic_us();
    if (u.flood_until_us <= now) {
        u.flood_until_us = now;
        u.flood_logged = false;
    }
    auto cost = static_cast<int64_t>(std::max(lines * nchatd_flood_line_bytes, bytes));
    u.flood_until_us += cost * 1000000 / (rate * static_cast<int64_t>(nchatd_flood_line_bytes));
    if (u.flood_until_us - now <= nchatd_flood_burst_lines * 1000000 / rate || u.throttled)
        return;
    u.throttled = true;
    s.throttled[s.n_throttled++] = slot_of(s, u);
    set_events(s, u, u.out_listed);
    if (!u.flood_logged)
        nchatd_log_line(s, "Connection from %s:%u held back: input flood.\n", u.addr_str, u.port);
    u.flood_logged = true;
}

// Reading resumes once a connection owes no more than the burst; returns
// the milliseconds until the next one is due, or -1 when none waits.
int resume_throttled(nchatd_server& s)
{
    if (s.n_throttled == 0)
        return -1;
    const int64_t now = monotonic_us();
    const int64_t burst = nchatd_flood_burst_lines * 1000000 / std::max(s.limits.line_rate, 1L);
    int64_t next = -1;
    for (int k = 0; k < s.n_throttled;) {
        nchatd_user& u = s.users[s.throttled[k]];
        int64_t due = u.flood_until_us - burst;
        if (due <= now || s.limits.line_rate == 0) {
            unthrottle(s, u);
            continue;  // the last entry moved into place k
        }
        next = next < 0 ? due - now : std::min(next, due - now);
        ++k;
    }
    return next < 0 ? -1 : static_cast<int>((next + 999) / 1000);
}

void refuse_login_by(nchatd_server& s, nchatd_user& u, void (*msg)(nchatd_server&, nchatd_user&), const char* why);

// Once a second: connections past the login grace are closed, and queues
// that have drained give their memory back.
void sweep(nchatd_server& s)
{
    int64_t now = monotonic_s();
    if (now == s.last_sweep_s)
        return;
    s.last_sweep_s = now;
    size_t freed = 0;
    const long grace = s.limits.login_grace;
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        nchatd_user& u = s.users[i];
        if (u.in_use && !u.name[0] && !u.doomed && grace > 0 && now - u.admitted_s >= grace) {
            nchatd_send_newline(s, u);
            refuse_login_by(s, u, nchatd_msg_logintimeout, "login timeout");
        }
        freed += nchatd_outq_shrink(u);
    }
    // Freed chunks amid live ones stay in the process until trimmed.
    if (freed > 0)
        malloc_trim(0);
}

void serve_slot(nchatd_server& s, nchatd_user& u, short revents)
{
    if (!(revents & POLLIN)) {
        // An error or hang-up without data would keep poll() returning.
        if (revents & (POLLERR | POLLHUP | POLLNVAL))
            nchatd_end_user(s, u, nullptr);
        return;
    }
    unsigned char buf[nchatd_recv_size];
    ssize_t n = recv(u.sock, buf, sizeof buf, 0);
    if (n > 0) {
        size_t lines = nchatd_process_input(s, u, buf, static_cast<size_t>(n));
        charge_lines(s, u, lines, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    nchatd_end_user(s, u, nullptr);
}

}  // namespace

int nchatd_loop_turn(nchatd_server& s, int timeout_ms)
{
    int resume_ms = resume_throttled(s);
    if (resume_ms >= 0 && (timeout_ms < 0 || resume_ms < timeout_ms))
        timeout_ms = resume_ms;
    int ready = poll(s.polls, static_cast<nfds_t>(s.max_users + 2), timeout_ms);
    if (ready < 0 && errno != EINTR)
        return -1;
    if (ready > 0 && s.polls[s.max_users + 1].revents) {
        nchatd_log_flush(s);
        --ready;
    }
    check_day(s);
    sweep(s);
    nchatd_reap_doomed(s);
    if (ready > 0 && s.polls[0].revents) {
        if (s.polls[0].revents & POLLIN) {
            accept_one(s);
            nchatd_reap_doomed(s);
        }
        --ready;
    }
    for (int i = 0; ready > 0 && i < static_cast<int>(s.max_users); ++i) {
        pollfd& p = s.user_polls[i];
        if (p.fd < 0 || p.revents == 0)
            continue;
        --ready;
        serve_slot(s, s.users[i], p.revents);
        nchatd_reap_doomed(s);
    }
    nchatd_flush_all(s);
    if (s.log && s.log->used > 0)
        nchatd_log_flush(s);
    return 0;
}

// ---------------------------------------------------------------------------
// Receive path: telnet filter, line editor, login and dispatch.
// ---------------------------------------------------------------------------

size_t nchatd_process_input(nchatd_server& s, nchatd_user& u, const unsigned char* bytes, size_t count)
{
    char* echo = s.msg_text;
    size_t echo_len = 0;
    size_t lines = 0;
    for (size_t i = 0; i < count && !u.doomed; ++i) {
        unsigned c = bytes[i];
        if (u.iac_seen) {
            u.iac_seen = false;
            if (c == telnet_iac) {
                if (!u.in_subneg && u.skip_count > 0)
                    u.skip_count--;
                continue;
            }
            if (c == telnet_sb) {
                u.in_subneg = true;
                continue;
            }
            // Only IAC SE ends a subnegotiation; a lone 240 is part of it.
            if (c == telnet_se && u.in_subneg) {
                u.in_subneg = false;
                continue;
            }
            if (c >= telnet_will && c <= telnet_dont) {
                u.skip_count = 1;
                continue;
            }
        } else if (c == telnet_iac) {
            u.iac_seen = true;
            if (!u.telnet_sent)
                nchatd_send_telnet_stuff(s, u);
            continue;
        }
        if (u.in_subneg)
            continue;
        // Option code 0 (binary transmission) is an option like any other:
        // it uses up the pending option byte, whatever the line holds.
        if (u.skip_count > 0) {
            u.skip_count--;
            continue;
        }
        if (c == '\0')
            continue;
        if (c == '\b' || c == 127) {
            if (u.line_len > 0) {
                u.line_len--;
                memcpy(echo + echo_len, "\b \b", 3);
                echo_len += 3;
            }
            continue;
        }
        if (c == '\n' || c == '\r') {
            // The echo goes first: the line's replies reuse its buffer.
            if (echo_len > 0)
                nchatd_send(s, u, echo, echo_len, nchatd_mode::last);
            echo_len = 0;
            u.line[u.line_len] = '\0';
            if (u.line_len == 0)
                continue;
            u.line_len = 0;
            ++lines;
            if (nchatd_process_line(s, u))
                return lines;
            continue;
        }
        if (u.line_len >= nchatd_line_max)
            continue;
        if (c == '\t' || (c >= 32 && c <= 126)) {
            u.line[u.line_len++] = static_cast<char>(c);
            echo[echo_len++] = static_cast<char>(c);
        }
    }
    if (echo_len > 0)
        nchatd_send(s, u, echo, echo_len, nchatd_mode::last);
    return lines;
}

bool nchatd_is_valid_username(const char* text)
{
    // A name with a space at either end looks like another in /list.
    size_t len = strlen(text);
    if (text[0] == '/' || text[0] == ' ' || (len > 0 && text[len - 1] == ' '))
        return false;
    for (size_t i = 0; text[i]; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (i >= nchatd_name_max || c < 32 || c > 126)
            return false;
    }
    return true;
}

namespace {

void refuse_login_by(nchatd_server& s, nchatd_user& u, void (*msg)(nchatd_server&, nchatd_user&), const char* why)
{
    msg(s, u);
    nchatd_log_line(s, "Connection from %s:%u dropped: %s.\n", u.addr_str, u.port, why);
    nchatd_close_user(s, u);
}

bool refuse_login(nchatd_server& s, nchatd_user& u, void (*msg)(nchatd_server&, nchatd_user&), const char* why)
{
    refuse_login_by(s, u, msg, why);
    return true;
}

bool login(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_newline(s, u);
    if (strlen(u.line) > nchatd_name_max)
        return refuse_login(s, u, nchatd_msg_longname, "name too long");
    if (!nchatd_is_valid_username(u.line))
        return refuse_login(s, u, nchatd_msg_invalidname, "invalid name");
    if (nchatd_find_user(s, u.line))
        return refuse_login(s, u, nchatd_msg_dupename, "duplicate name");
    strcpy(u.name, u.line);
    nchatd_log_line(s, "Connection from %s:%u named as \"%s\"\n", u.addr_str, u.port, u.name);
    nchatd_send_time_to_user(s, u);
    nchatd_msg_loggedin(s, u);
    nchatd_brc_login(s, u);
    nchatd_send_prompt(s, u);
    return false;
}

const nchatd_command* find_command(const char* word)
{
    for (const nchatd_command* c = nchatd_commands; c->name; ++c) {
        if (strcmp(c->name, word) == 0)
            return c;
    }
    return nullptr;
}

bool command(nchatd_server& s, nchatd_user& u)
{
    nchatd_send_newline(s, u);
    char* word = u.line + 1;
    char* p = word;
    while (isalnum(static_cast<unsigned char>(*p)))
        ++p;
    char* arg = p;
    if (*p == ' ') {
        while (*p == ' ')
            *p++ = '\0';
        arg = p;
    } else if (*p != '\0') {
        // Nothing is cut: the whole rest is the word, and it names nothing.
        arg = p + strlen(p);
    }
    const nchatd_command* c = find_command(word);
    if (!c) {
        nchatd_send_time_to_user(s, u);
        nchatd_send_str(s, u, "* unknown command\r\n"sv, nchatd_mode::last);
        nchatd_send_prompt(s, u);
        return false;
    }
    if (c->handler(s, u, arg))
        return true;
    nchatd_send_prompt(s, u);
    return false;
}

void send_line_to_user(nchatd_server& s, nchatd_user& u, char* text, size_t len, bool with_time);

void chat(nchatd_server& s, nchatd_user& u)
{
    static constexpr const char* format_broadmsg_UL = "<%s%s%s> %s\r\n";
    size_t n = nchatd_format(s, format_broadmsg_UL, "", u.name, "", u.line);
    nchatd_broadcast(s, &u, s.msg_text, n, true);
    n = nchatd_format(s, format_broadmsg_UL, "\x1b[1m", u.name, "\x1b[0m", u.line);
    size_t stamp = nchatd_put_stamp(s.msg_text);
    send_line_to_user(s, u, s.msg_text - stamp, n + stamp, false);
    u.lines_written++;
}

}  // namespace

bool nchatd_process_line(nchatd_server& s, nchatd_user& u)
{
    u.last_active = time(nullptr);
    if (!u.name[0])
        return login(s, u);
    u.waiting = false;
    if (u.line[0] == '/')
        return command(s, u);
    chat(s, u);
    return false;
}

// ---------------------------------------------------------------------------
// Delivery.
// ---------------------------------------------------------------------------

size_t nchatd_format(nchatd_server& s, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(s.msg_text, nchatd_msgtext_size, fmt, ap);
    va_end(ap);
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < nchatd_msgtext_size ? static_cast<size_t>(n) : nchatd_msgtext_size - 1;
}

size_t nchatd_put_stamp(char* text)
{
    static constexpr const char* format_HHMM = "%02u:%02u ";
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return 0;
    char stamp[16];
    int n = snprintf(stamp, sizeof stamp, format_HHMM, static_cast<unsigned>(local.tm_hour),
                     static_cast<unsigned>(local.tm_min));
    if (n <= 0 || static_cast<size_t>(n) >= nchatd_headroom)
        return 0;
    memcpy(text - n, stamp, static_cast<size_t>(n));
    return static_cast<size_t>(n);
}

void nchatd_send_time_to_user(nchatd_server& s, nchatd_user& u)
{
    // The stamp ends one byte short of msg_text, where a reply may
    // already be waiting.
    char* end = s.msg_text - 1;
    size_t n = nchatd_put_stamp(end);
    *end = '\0';
    if (n > 0)
        nchatd_send(s, u, end - n, n, nchatd_mode::more);
}

namespace {

// Writes a message above the user's input line and draws the prompt and
// the half-typed input again below it.
void send_line_to_user(nchatd_server& s, nchatd_user& u, char* text, size_t len, bool with_time)
{
    static constexpr std::string_view safe_cr = "\x1b[0m\r";
    static constexpr std::string_view client_wakeup = "\r* \x1b[7mMessage arrived\x1b[0m\r\n";
    static constexpr std::string_view bell = "\a";

    bool ring = u.bell_mode & 1;
    if (u.waiting) {
        if (u.bell_mode & 2) {
            nchatd_send_str(s, u, bell, nchatd_mode::more);
            ring = false;
        }
        nchatd_send_str(s, u, client_wakeup, nchatd_mode::more);
        u.waiting = false;
    }
    if (with_time) {
        size_t stamp = nchatd_put_stamp(text);
        text -= stamp;
        len += stamp;
    }
    size_t visible = len;
    while (visible > 0 && (text[visible - 1] == '\r' || text[visible - 1] == '\n'))
        --visible;
    // Without the stale redraw the cursor stands at the start of a line.
    size_t width = nchatd_drop_stale_redraw(u) ? 0 : nchatd_client_prompt_len + u.line_len;
    if (visible < width) {
        nchatd_send_backs(s, u, width - visible, nchatd_mode::more);
        nchatd_send_spaces(s, u, width - visible, nchatd_mode::more);
    }
    if (ring)
        nchatd_send_str(s, u, bell, nchatd_mode::more);
    nchatd_send_str(s, u, safe_cr, nchatd_mode::more);
    nchatd_send(s, u, text, len, nchatd_mode::more);
    nchatd_send_prompt(s, u);
    if (u.line_len > 0)
        nchatd_send(s, u, u.line, u.line_len, nchatd_mode::last);
    // Measured from the tail: a flush on the way may have moved the queue.
    auto redraw = static_cast<uint32_t>(nchatd_client_prompt_len + u.line_len);
    if (!u.doomed && u.out_tail - u.out_head >= redraw) {
        u.redraw_end = u.out_tail;
        u.redraw_at = u.out_tail - redraw;
    }
}

}  // namespace

void nchatd_broadcast(nchatd_server& s, nchatd_user* from, char* text, size_t len, bool with_time)
{
    if (with_time) {
        size_t stamp = nchatd_put_stamp(text);
        text -= stamp;
        len += stamp;
    }
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        nchatd_user& u = s.users[i];
        if (u.in_use && &u != from && u.name[0])
            send_line_to_user(s, u, text, len, false);
    }
}

void nchatd_send_privmsg(nchatd_server& s, nchatd_user& to, nchatd_user& from, const char* msg)
{
    size_t n = nchatd_format(s, "![%s] %s\r\n", from.name, msg);
    send_line_to_user(s, to, s.msg_text, n, true);
}

// ---------------------------------------------------------------------------
// Command line and start-up.
// ---------------------------------------------------------------------------

namespace {

struct nchatd_options {
    long users = nchatd_default_users;
    long port = nchatd_default_port;
    bool detach = true;
    nchatd_limits limits;
};

[[noreturn]] void print_help(const char* prog)
{
    printf("Usage: %s [OPTION]...\n", prog);
    printf("Nimbra chat daemon v%s\n", nchatd_version);
    printf("\n");
    printf("  -d        daemonize%s\n", " (default)");
    printf("  -i        do not daemonize%s\n", "");
    printf("  -n NUM    specify maximal number of clients (default: %u)\n",
           static_cast<unsigned>(nchatd_default_users));
    printf("  -p PORT   specify port number (default: %u)\n", static_cast<unsigned>(nchatd_default_port));
    printf("  -g SECS   specify seconds to wait for a name, 0 for ever (default: %ld)\n", nchatd_default_login_grace);
    printf("  -u NUM    specify maximal number of clients at the name prompt per address, 0 for no limit (default: "
           "%ld)\n",
           nchatd_default_unnamed_per_addr);
    printf("  -r LINES  specify lines per second a client may send, 0 for no limit (default: %ld)\n",
           nchatd_default_line_rate);
    exit(0);
}

int parse_number_arg(const char* prog, char letter, int* left, char*** cursor, long max, long min = 1)
{
    if (*left <= 0) {
        fprintf(stderr, "%s: missing operand for -%c\n", prog, letter);
        exit(2);
    }
    const char* text = **cursor;
    char* end = nullptr;
    long value = strtol(text, &end, 0);
    if (*end != '\0') {
        fprintf(stderr, "%s: invalid operand of -%c\n", prog, letter);
        exit(2);
    }
    if (value < min || value > max) {
        fprintf(stderr, "%s: operand of -%c must be between %i and %i\n", prog, letter, static_cast<int>(min),
                static_cast<int>(max));
        exit(2);
    }
    ++*cursor;
    --*left;
    return static_cast<int>(value);
}

nchatd_options parse_options(const char* prog, int argc, char** argv)
{
    nchatd_options o;
    int left = argc - 1;
    char** cursor = argv + 1;
    while (left > 0 && (*cursor)[0] == '-') {
        if (strcmp(*cursor, "--help") == 0)
            print_help(prog);
        const char* letters = *cursor + 1;
        ++cursor;
        --left;
        for (const char* l = letters; *l; ++l) {
            switch (*l) {
            case 'd':
                o.detach = true;
                break;
            case 'i':
                o.detach = false;
                break;
            case 'n':
                o.users = parse_number_arg(prog, 'n', &left, &cursor, nchatd_max_users);
                break;
            case 'p':
                o.port = parse_number_arg(prog, 'p', &left, &cursor, nchatd_max_port);
                break;
            case 'g':
                o.limits.login_grace = parse_number_arg(prog, 'g', &left, &cursor, nchatd_max_login_grace, 0);
                break;
            case 'u':
                o.limits.unnamed_per_addr = parse_number_arg(prog, 'u', &left, &cursor, nchatd_max_users, 0);
                break;
            case 'r':
                o.limits.line_rate = parse_number_arg(prog, 'r', &left, &cursor, nchatd_max_line_rate, 0);
                break;
            default:
                fprintf(stderr, "%s: unknown option: -%c\n", prog, *l);
                exit(1);
            }
        }
    }
    return o;
}

// A soft limit of 1024 open files would stop admissions near 1020 clients:
// raise it as far as the table needs.  poll() refuses more entries than the
// limit, so when the hard limit is lower the table shrinks to fit it.
// Returns the number of slots to use.
long raise_file_limit(const char* prog, long users)
{
    rlimit lim{};
    auto needed = static_cast<rlim_t>(users + nchatd_fd_reserve);
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= needed)
        return users;
    rlim_t target = (lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= needed) ? needed : lim.rlim_max;
    rlim_t old = lim.rlim_cur;
    lim.rlim_cur = target;
    if (target > old && setrlimit(RLIMIT_NOFILE, &lim) != 0)
        target = old;
    if (target >= needed)
        return users;
    long served = static_cast<long>(target) - nchatd_fd_reserve;
    served = served < nchatd_min_users ? nchatd_min_users : served;
    fprintf(stderr, "%s: open files limit %llu is too low for %ld clients; at most %ld can be served\n", prog,
            static_cast<unsigned long long>(target), users, served);
    return served;
}

[[noreturn]] void fail(const char* prog, const char* what)
{
    fprintf(stderr, "%s: %s: %s\n", prog, what, strerror(errno));
    exit(1);
}

int open_listener(const char* prog, long port)
{
    int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock < 0)
        fail(prog, "failed to create server socket");
    if (nchatd_set_cloexec(sock) < 0 || nchatd_set_nonblock(sock) < 0)
        fail(prog, "failed to set up server socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        fail(prog, "failed to bind server socket");
    if (listen(sock, nchatd_listen_backlog) < 0)
        fail(prog, "failed to listen on server socket");
    return sock;
}

}  // namespace

int nchatd_main(int argc, char** argv)
{
    const char* prog = argc > 0 && argv[0] ? argv[0] : "nchatd";
    nchatd_options o = parse_options(prog, argc, argv);
    // Sends pass MSG_NOSIGNAL; this covers the log: a reader of standard
    // output that goes away (`nchatd -i | tee log`) must not end the server.
    signal(SIGPIPE, SIG_IGN);
    o.users = raise_file_limit(prog, o.users);

    nchatd_server s;
    int r = nchatd_server_init(s, o.users, o.detach);
    if (r == -1) {
        fprintf(stderr, "%s: failed to allocate memory for users\n", prog);
        exit(1);
    }
    if (r < 0) {
        fprintf(stderr, "%s: failed to allocate message buffer\n", prog);
        exit(1);
    }
    s.limits = o.limits;
    nchatd_log_open(s, STDOUT_FILENO);
    s.listen_sock = open_listener(prog, o.port);
    if (o.detach && daemon(0, 0) != 0) {
        fprintf(stderr, "%s: daemon() failed\n", prog);
        exit(1);
    }
    s.start_time = time(nullptr);
    take_day_snapshot(s);
    s.polls[0] = pollfd{s.listen_sock, POLLIN, 0};
    s.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    nchatd_log_line(s, "Init ok, waiting for connections.\n");
    for (;;) {
        if (nchatd_loop_turn(s, nchatd_poll_timeout_ms) < 0)
            exit(1);
    }
}

#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>

#include "session.h"
#include "texts.h"

namespace nchatd {

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

int local_mday()
{
    time_t now = time(nullptr);
    struct tm today;
    return localtime_r(&now, &today) ? today.tm_mday : 0;
}

// Unread input turns close() into a reset, and a reset can destroy the
// last words still on their way to the client; read a little of it away.
void close_draining(int sock)
{
    char scrap[512];
    for (int i = 0; i < 8; ++i) {
        if (recv(sock, scrap, sizeof scrap, MSG_DONTWAIT) <= 0)
            break;
    }
    ::close(sock);
}

// A socket that gets no slot is told why in one send, never waited for.
void refuse(unique_fd sock, std::string_view text)
{
    (void)send(sock.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close_draining(sock.release());
}

Peer peer_of(const sockaddr_storage& addr)
{
    Peer p;
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &in.sin_addr, p.host.data(), p.host.size());
        p.port = ntohs(in.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        p.port = ntohs(in6.sin6_port);
        // An IPv4 client of the socket that takes both families: shown,
        // logged and counted as the IPv4 address it is.
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], p.host.data(), p.host.size());
        } else {
            inet_ntop(AF_INET6, &in6.sin6_addr, p.host.data(), p.host.size());
            p.ipv6 = true;
        }
    }
    return p;
}

}  // namespace

Server::Server(long slots, const Limits& limits, Log& log)
    : log_(log), limits_(limits), room_(static_cast<size_t>(slots), *this, log),
      polls_(static_cast<size_t>(slots) + 3, pollfd{-1, POLLIN, 0})
{
    throttled_.reserve(static_cast<size_t>(slots));
    log_entry().events = POLLOUT;
    last_mday_ = local_mday();
    last_sweep_s_ = monotonic_s();
}

Server::~Server()
{
    for (Connection& c : room_.connections()) {
        if (c.in_use)
            ::close(c.fd);
    }
}

void Server::listen_on(unique_fd listener)
{
    listener_ = std::move(listener);
    polls_[0] = pollfd{listener_.get(), POLLIN, 0};
}

void Server::watch_signals(unique_fd signals)
{
    signals_ = std::move(signals);
    signal_entry().fd = signals_.get();
}

void Server::begin()
{
    room_.set_start_time(time(nullptr));
    last_mday_ = local_mday();
    last_sweep_s_ = monotonic_s();
    // The one descriptor kept in reserve, opened once the server is set up.
    spare_.reset();
    spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// ---------------------------------------------------------------------------
// Transport: the kernel's side of the room.
// ---------------------------------------------------------------------------

void Server::set_events(const Connection& c)
{
    polls_[1 + room_.slot_of(c)].events =
        static_cast<short>((c.flood.throttled ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT));
}

bool Server::flush(Connection& c)
{
    while (!c.out.empty()) {
        std::string_view out = c.out.pending();
        ssize_t n = send(c.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            // A broken connection is retired by its input side.
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.out.clear();
            break;
        }
        c.out.consumed(static_cast<size_t>(n));
    }
    if (c.in_use)
        set_events(c);
    return c.out.empty();
}

void Server::close(Connection& c)
{
    unthrottle(c);
    close_draining(c.fd);
    polls_[1 + room_.slot_of(c)] = pollfd{-1, POLLIN, 0};
}

// ---------------------------------------------------------------------------
// Admission.
// ---------------------------------------------------------------------------

void Server::admit(unique_fd sock, const sockaddr_storage& addr)
{
    Peer peer = peer_of(addr);
    Connection* c = room_.free_slot();
    if (!c) {
        refuse(std::move(sock), texts::too_many_users);
        room_.log_event(peer, " dropped: too many users.\n");
        return;
    }
    const long per_addr = limits_.unnamed_per_addr;
    if (per_addr > 0 && room_.unnamed_from(peer.address()) >= static_cast<size_t>(per_addr)) {
        refuse(std::move(sock), texts::too_many_from_addr);
        room_.log_event(peer, " dropped: too many unnamed connections from this address.\n");
        return;
    }
    const int fd = sock.get();
    if (set_keepalive(fd) != 0 || set_cloexec(fd) != 0 || set_nonblock(fd) != 0) {
        const int err = errno;
        char text[160];
        int n = snprintf(text, sizeof text, "%.*s%s%.*s", static_cast<int>(texts::error_head.size()),
                         texts::error_head.data(), strerror(err), static_cast<int>(texts::error_tail.size()),
                         texts::error_tail.data());
        refuse(std::move(sock), {text, std::min(static_cast<size_t>(std::max(n, 0)), sizeof text - 1)});
        room_.log_event(peer, " dropped: %s\n", strerror(err));
        return;
    }
    // Best effort: without them a client is merely buffered more, or later.
    (void)set_sndbuf(fd, sndbuf_size);
    (void)set_nodelay(fd);
    polls_[1 + room_.slot_of(*c)] = pollfd{fd, POLLIN, 0};
    nchatd::admit(room_, *c, sock.release(), peer, telnet_greeting_);
    c->admitted_s = monotonic_s();
}

// Out of descriptors, the pending connection would keep the listening
// socket readable and the loop spinning: give up the spare descriptor for a
// moment to take the connection and turn it away.
void Server::refuse_without_descriptor()
{
    if (!spare_)
        return;
    spare_.reset();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    unique_fd sock(accept(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len));
    if (sock) {
        refuse(std::move(sock), texts::no_resource);
        room_.log_event(peer_of(addr), " dropped: no resource.\n");
    }
    spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

void Server::accept_one()
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    unique_fd sock(accept(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len));
    if (sock)
        admit(std::move(sock), addr);
    else if (errno == EMFILE || errno == ENFILE)
        refuse_without_descriptor();
}

// ---------------------------------------------------------------------------
// The line budget.
// ---------------------------------------------------------------------------

// Charges a receive to the connection's line budget and stops reading from
// it while it owes more than the burst.
void Server::charge(Connection& c, size_t lines, size_t bytes)
{
    const int64_t rate = limits_.line_rate;
    if (rate == 0 || !c.open())
        return;
    FloodBudget& f = c.flood;
    const int64_t now = monotonic_us();
    if (f.until_us <= now) {
        f.until_us = now;
        f.logged = false;
    }
    auto cost = static_cast<int64_t>(std::max(lines * flood_line_bytes, bytes));
    f.until_us += cost * 1000000 / (rate * static_cast<int64_t>(flood_line_bytes));
    if (f.until_us - now <= flood_burst_lines * 1000000 / rate || f.throttled)
        return;
    f.throttled = true;
    throttled_.push_back(room_.slot_of(c));
    set_events(c);
    if (!f.logged)
        room_.log_event(c.peer, " held back: input flood.\n");
    f.logged = true;
}

void Server::unthrottle(Connection& c)
{
    if (!c.flood.throttled)
        return;
    c.flood.throttled = false;
    std::erase(throttled_, room_.slot_of(c));
    set_events(c);
}

// Reading resumes once a connection owes no more than the burst; returns
// the milliseconds until the next one is due, or -1 when none waits.
int Server::resume_throttled()
{
    if (throttled_.empty())
        return -1;
    const int64_t now = monotonic_us();
    const int64_t burst = flood_burst_lines * 1000000 / std::max(limits_.line_rate, 1L);
    int64_t next = -1;
    for (size_t k = 0; k < throttled_.size();) {
        Connection& c = room_.at(throttled_[k]);
        int64_t due = c.flood.until_us - burst;
        if (due <= now) {
            unthrottle(c);  // moves the others up
            continue;
        }
        next = next < 0 ? due - now : std::min(next, due - now);
        ++k;
    }
    return next < 0 ? -1 : static_cast<int>((next + 999) / 1000);
}

// ---------------------------------------------------------------------------
// The event loop.
// ---------------------------------------------------------------------------

void Server::check_day()
{
    time_t now = time(nullptr);
    struct tm today;
    if (!localtime_r(&now, &today) || today.tm_mday == last_mday_)
        return;
    char text[116];
    size_t n = strftime(text, sizeof text, "* Day changed to %d %b %Y\r\n", &today);
    room_.broadcast(nullptr, {text, n}, false);
    last_mday_ = today.tm_mday;
}

// Once a second: connections past the login grace are closed, and queues
// that have drained give their memory back.
void Server::sweep()
{
    int64_t now = monotonic_s();
    if (now == last_sweep_s_)
        return;
    last_sweep_s_ = now;
    size_t freed = 0;
    const long grace = limits_.login_grace;
    for (Connection& c : room_.connections()) {
        if (c.open() && !c.named() && grace > 0 && now - c.admitted_s >= grace) {
            room_.send_newline(c);
            room_.send(c, texts::login_timeout, Mode::last);
            room_.request_close(c, "login timeout");
        }
        freed += c.out.shrink();
    }
    // Freed chunks amid live ones stay with the process until trimmed.
    if (freed > 0)
        malloc_trim(0);
}

void Server::serve(Connection& c, short revents)
{
    if (!(revents & POLLIN)) {
        // An error or hang-up without data would keep poll() returning.
        if (revents & (POLLERR | POLLHUP | POLLNVAL))
            room_.request_close(c, nullptr);
        return;
    }
    unsigned char buf[recv_size];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
        size_t lines = receive(room_, c, {buf, static_cast<size_t>(n)});
        charge(c, lines, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    room_.request_close(c, nullptr);
}

void Server::read_signals()
{
    signalfd_siginfo info;
    while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (stop_signal_ == 0)
            stop_signal_ = static_cast<int>(info.ssi_signo);
    }
}

int Server::turn(int timeout_ms)
{
    int resume_ms = resume_throttled();
    if (resume_ms >= 0 && (timeout_ms < 0 || resume_ms < timeout_ms))
        timeout_ms = resume_ms;
    log_entry().fd = log_.waiting_fd();
    int ready = poll(polls_.data(), polls_.size(), timeout_ms);
    if (ready < 0 && errno != EINTR)
        return -1;
    if (ready > 0 && log_entry().revents) {
        log_.flush();
        --ready;
    }
    if (ready > 0 && signal_entry().revents) {
        read_signals();
        --ready;
    }
    check_day();
    sweep();
    room_.retire();
    if (ready > 0 && polls_[0].revents) {
        if (polls_[0].revents & POLLIN) {
            accept_one();
            room_.retire();
        }
        --ready;
    }
    // A slot closed earlier in this turn may have been ready: `ready` alone
    // does not bound the scan.
    const std::span<const pollfd> slot_polls{polls_.data() + 1, room_.connections().size()};
    for (size_t i = 0; ready > 0 && i < slot_polls.size(); ++i) {
        const pollfd& p = slot_polls[i];
        if (p.fd < 0 || p.revents == 0)
            continue;
        --ready;
        serve(room_.at(i), p.revents);
        room_.retire();
    }
    room_.flush_all();
    log_.flush();
    return 0;
}

// ---------------------------------------------------------------------------
// The stop.
// ---------------------------------------------------------------------------

void Server::shut_down(int flush_ms)
{
    log_.line("Shutting down on %s.\n", stop_signal_ == SIGINT ? "SIGINT" : "SIGTERM");
    // New connections are refused by the kernel from now on; under socket
    // activation they wait in systemd's socket for the next start.
    listener_.reset();
    polls_[0].fd = -1;
    const Stamp stamp = stamp_now();
    for (Connection& c : room_.connections()) {
        if (!c.open())
            continue;
        if (c.named()) {
            // Above the half-typed line like any delivery, but with no
            // prompt below it: nothing more will be read.
            room_.deliver(c, stamp.view(), texts::shutting_down);
            c.out.drop_redraw();
        } else {
            room_.send_newline(c);
            room_.send(c, texts::shutting_down, Mode::last);
        }
    }
    room_.flush_all();
    // Only queues that still hold output are waited for, and each only
    // until its peer is gone: neither a quiet nor a vanished client can
    // wake this loop before the deadline.
    const size_t slots = room_.connections().size();
    const int64_t deadline = monotonic_us() + int64_t{flush_ms} * 1000;
    for (;;) {
        bool waiting = false;
        for (size_t i = 0; i < slots; ++i) {
            const Connection& c = room_.at(i);
            const bool queued = c.in_use && !c.out.empty();
            polls_[1 + i] = pollfd{queued ? c.fd : -1, POLLOUT, 0};
            waiting |= queued;
        }
        const int64_t left_us = deadline - monotonic_us();
        if (!waiting || left_us <= 0)
            break;
        if (poll(polls_.data() + 1, slots, static_cast<int>((left_us + 999) / 1000)) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < slots; ++i) {
            if (polls_[1 + i].revents & (POLLERR | POLLHUP | POLLNVAL))
                room_.at(i).out.clear();
        }
        room_.flush_all();
    }
    for (Connection& c : room_.connections()) {
        if (!c.in_use)
            continue;
        close(c);
        c.in_use = false;
        c.fd = -1;
        c.out.clear();
    }
    log_.flush();
}

}  // namespace nchatd

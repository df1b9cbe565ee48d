#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>
#include <utility>

#include "clock.h"
#include "session.h"
#include "texts.h"

namespace nchatd {

namespace {

int local_mday()
{
    time_t now = time(nullptr);
    struct tm today;
    return localtime_r(&now, &today) ? today.tm_mday : 0;
}

}  // namespace

void PollTable::resize(Part part, size_t n)
{
    const size_t old = size(part);
    const auto end = polls_.begin() + static_cast<std::ptrdiff_t>(begin_[part + 1]);
    if (n > old)
        polls_.insert(end, n - old, pollfd{-1, POLLIN, 0});
    else
        polls_.erase(end - static_cast<std::ptrdiff_t>(old - n), end);
    for (size_t p = part + 1; p <= parts; ++p)
        begin_[p] = begin_[p] + n - old;
}

Server::Server(long slots, const Limits& limits, Log& log)
    : log_(log), limits_(limits), room_(static_cast<size_t>(slots), *this, log),
      sources_(static_cast<size_t>(slots) * sources_per_slot + sources_extra),
      per_source_(limits.per_source >= 0 ? limits.per_source : std::max(slots / per_source_share, 1L))
{
    polls_.resize(PollTable::log, 1);
    polls_.resize(PollTable::signals, 1);
    polls_.resize(PollTable::slots, static_cast<size_t>(slots));
    held_.reserve(static_cast<size_t>(slots));
    throttled_.reserve(static_cast<size_t>(slots));
    unread_.reserve(static_cast<size_t>(slots));
    room_.set_soft_mark(static_cast<size_t>(limits.soft_mark_kib) * 1024);
    room_.set_hold_input(true);
    log_entry().events = POLLOUT;
    last_mday_ = local_mday();
    last_sweep_s_ = monotonic_s();
}

void Server::listen_on(unique_fd listener, Listen kind, std::string path)
{
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    uint16_t port = 0;
    if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&local), &len) == 0 && local.ss_family != AF_UNIX)
        port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                                 : reinterpret_cast<sockaddr_in&>(local).sin_port);
    listeners_.push_back({std::move(listener), kind, port, std::move(path)});
    polls_.resize(PollTable::listeners, listeners_.size());
    // poll() refuses more entries than the open-files limit: the control
    // clients' entries exist only with a control socket.
    if (kind == Listen::control)
        polls_.resize(PollTable::controls, control_clients_max);
    polls_[PollTable::listeners].back() = pollfd{listeners_.back().fd.get(), POLLIN, 0};
}

void Server::use_tls(TlsContext ctx, std::string cert_file, std::string key_file)
{
    tls_ = std::move(ctx);
    cert_file_ = std::move(cert_file);
    key_file_ = std::move(key_file);
}

// New connections get the new pair; those already open keep the one they
// began with.  A pair that fails its checks changes nothing.
void Server::reload_tls()
{
    if (!tls_) {
        log_.line("SIGHUP: no TLS port, nothing to reload.\n");
        return;
    }
    TlsLoad loaded = load_tls(cert_file_, key_file_);
    if (!loaded.ctx) {
        log_.line("TLS reload failed, keeping the certificate in use: %s.\n", loaded.error.c_str());
        return;
    }
    tls_ = std::move(loaded.ctx);
    log_.line("TLS certificate and key reloaded from %s and %s.\n", cert_file_.c_str(), key_file_.c_str());
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
    // Held refusals take the descriptors the open-files limit leaves
    // beyond the table's, up to their bound.
    rlimit lim{};
    long left = refusals_held_max;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        left = static_cast<long>(lim.rlim_cur) - static_cast<long>(room_.connections().size()) - fd_reserve;
    refusals_max_ = static_cast<size_t>(std::clamp(left, 0L, refusals_held_max));
    refusals_.reserve(refusals_max_);
}

// ---------------------------------------------------------------------------
// Transport: the kernel's side of the room.
// ---------------------------------------------------------------------------

void Server::set_events(const Connection& c)
{
    // Input waits while the budget is spent, while the user's own replies
    // fill its queue, and while what was read earlier is still unread.
    const bool reading = !c.flood.throttled && !room_.holds_input(c) && c.unread.empty();
    slot_entry(c) = pollfd{c.fd.get(), c.stream->events(reading, !c.out.empty()), 0};
}

void Server::hold_pending(const Connection& c)
{
    if (c.open() && !c.flood.throttled && !room_.holds_input(c) && c.unread.empty() && c.stream->pending())
        held_.push_back(room_.slot_of(c));
}

bool Server::flush(Connection& c)
{
    const size_t sent = drain(*c.stream, c.out);
    room_.stats().bytes_sent += sent;
    if (sent > 0)
        c.backlog.progress_s = now_s_;
    if (c.in_use)
        set_events(c);
    return c.out.empty();
}

void Server::close(Connection& c)
{
    unthrottle(c);
    if (!c.unread.empty())
        std::erase(unread_, room_.slot_of(c));
    Source& s = sources_.at(c.source);
    if (s.connections > 0)
        s.connections--;
    if (c.stream)
        c.stream->close();
    c.stream.reset();
    close_draining(c.fd.release());
    slot_entry(c) = pollfd{-1, POLLIN, 0};
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

// Once a second: connections past the login grace are closed, readers who
// missed lines and have drained are told, readers whose output is stuck
// are dropped, and queues that have drained give their memory back.
void Server::sweep()
{
    int64_t now = monotonic_s();
    if (now == last_sweep_s_)
        return;
    last_sweep_s_ = now;
    sweep_controls(now);
    size_t freed = 0;
    const long grace = limits_.login_grace;
    const long stall = limits_.stall_timeout;
    for (Connection& c : room_.connections()) {
        if (c.open() && !c.named() && grace > 0 && now - c.admitted_s >= grace) {
            room_.send_newline(c);
            room_.send(c, texts::login_timeout, Mode::last);
            room_.request_close(c, "login timeout");
            room_.stats().dropped_login_timeout++;
        }
        if (c.out.empty()) {
            c.backlog.progress_s = now;
            room_.tell_skipped(c);
        } else if (c.open() && stall > 0 && now - c.backlog.progress_s >= stall) {
            room_.request_close(c, "output stalled");
            room_.stats().dropped_output_stalled++;
        }
        freed += c.out.shrink();
    }
    // Freed chunks amid live ones stay with the process until trimmed.
    if (freed > 0)
        malloc_trim(0);
}

void Server::serve(Connection& c, short revents)
{
    Stream& s = *c.stream;
    if (!s.readable(revents)) {
        // An error or hang-up without data would keep poll() returning.
        if (revents & (POLLERR | POLLHUP | POLLNVAL))
            room_.request_close(c, nullptr);
        return;
    }
    // A source that spent its budget through another connection is not
    // read from here either.
    if (resume_due_us(c) > monotonic_us())
        return throttle(c);
    unsigned char buf[recv_size];
    IoResult r = s.read(buf);
    if (r.opened)
        room_.log_event(c.peer, " secured with %s.\n", s.describe().c_str());
    if (r.bytes > 0) {
        take_input(c, {buf, r.bytes});
        hold_pending(c);
    } else if (r.ended) {
        room_.request_close(c, r.why);
        return;
    }
    if (c.in_use)
        set_events(c);
}

// Input goes through the session until a reply leaves the queue over the
// hold mark; the rest is kept, and nothing more is read, until it drains.
void Server::take_input(Connection& c, std::span<const unsigned char> bytes)
{
    Received r = receive(room_, c, bytes);
    room_.stats().lines_received += r.lines;
    charge(c, r.lines, r.used);
    if (!c.open() || !room_.holds_input(c))
        return;
    if (r.used < bytes.size()) {
        const bool listed = !c.unread.empty();
        std::span<const unsigned char> rest = bytes.subspan(r.used);
        std::copy(rest.begin(), rest.end(), c.unread_bytes.begin());
        c.unread.len = static_cast<uint8_t>(rest.size());
        if (!listed)
            unread_.push_back(room_.slot_of(c));
    }
    if (!c.backlog.hold_logged) {
        room_.stats().input_holds++;
        room_.log_event(c.peer, " held back: replies waiting.\n");
    }
    c.backlog.hold_logged = true;
    set_events(c);
}

// Unread input of users whose queue has drained goes on before poll.
void Server::resume_held()
{
    if (unread_.empty())
        return;
    std::vector<size_t> waiting = std::exchange(unread_, {});
    for (size_t slot : waiting) {
        Connection& c = room_.at(slot);
        if (!c.in_use || c.unread.empty())
            continue;
        if (!c.open() || c.flood.throttled || room_.holds_input(c)) {
            unread_.push_back(slot);
            continue;
        }
        // A copy: what take_input holds back again goes to the same place.
        std::array<unsigned char, recv_size> held;
        const size_t len = std::exchange(c.unread.len, 0);
        std::copy_n(c.unread_bytes.begin(), len, held.begin());
        take_input(c, std::span<const unsigned char>(held.data(), len));
        if (c.open())
            set_events(c);
        room_.retire();
    }
}

void Server::read_signals()
{
    signalfd_siginfo info;
    while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGHUP)
            reload_tls();
        else if (stop_signal_ == 0)
            stop_signal_ = static_cast<int>(info.ssi_signo);
    }
}

int Server::turn(int timeout_ms)
{
    now_s_ = monotonic_s();
    int resume_ms = resume_throttled();
    resume_held();
    if (resume_ms >= 0 && (timeout_ms < 0 || resume_ms < timeout_ms))
        timeout_ms = resume_ms;
    if (const int answer_ms = answer_held(false); answer_ms >= 0 && (timeout_ms < 0 || answer_ms < timeout_ms))
        timeout_ms = answer_ms;
    if (!held_.empty())
        timeout_ms = 0;
    log_entry().fd = log_.waiting_fd();
    const std::span<pollfd> all = polls_.all();
    int ready = poll(all.data(), all.size(), timeout_ms);
    if (ready < 0 && errno != EINTR)
        return -1;
    ready = std::max(ready, 0);
    // Input a stream holds counts as readable, once per turn like any.
    for (size_t slot : held_) {
        pollfd& p = polls_[PollTable::slots][slot];
        const Connection& c = room_.at(slot);
        if (p.fd >= 0 && p.revents == 0 && c.stream && c.stream->pending()) {
            p.revents = POLLIN;
            ++ready;
        }
    }
    held_.clear();
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
    const std::span<const pollfd> listener_polls = polls_[PollTable::listeners];
    for (size_t i = 0; ready > 0 && i < listener_polls.size(); ++i) {
        if (listener_polls[i].revents == 0)
            continue;
        --ready;
        if (listener_polls[i].revents & POLLIN) {
            for (int n = 0; n < accepts_per_turn && accept_one(listeners_[i]); ++n)
                room_.retire();
        }
    }
    const std::span<const pollfd> control_polls = polls_[PollTable::controls];
    for (size_t i = 0; ready > 0 && i < control_polls.size(); ++i) {
        if (control_polls[i].fd < 0 || control_polls[i].revents == 0)
            continue;
        --ready;
        serve_control(controls_[i], control_polls[i].revents);
        room_.retire();
    }
    // A slot closed earlier in this turn may have been ready: `ready` alone
    // does not bound the scan.
    const std::span<const pollfd> slot_polls = polls_[PollTable::slots];
    for (size_t i = 0; ready > 0 && i < slot_polls.size(); ++i) {
        const pollfd& p = slot_polls[i];
        if (p.fd < 0 || p.revents == 0)
            continue;
        --ready;
        serve(room_.at(i), p.revents);
        room_.retire();
        // A cascade of notices (a crowd leaving at once) goes to the kernel
        // in batches rather than piling up in the queues.
        if (room_.queued() > flush_batch_bytes)
            room_.flush_all();
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
    for (size_t i = 0; i < listeners_.size(); ++i) {
        listeners_[i].fd.reset();
        polls_[PollTable::listeners][i].fd = -1;
        if (!listeners_[i].path.empty())
            unlink(listeners_[i].path.c_str());
    }
    for (ControlClient& cc : controls_) {
        if (cc.fd)
            drop_control(cc, nullptr);
    }
    (void)answer_held(true);
    const Stamp stamp = stamp_now();
    for (Connection& c : room_.connections()) {
        if (!c.open())
            continue;
        if (!c.stream->established()) {
            c.out.clear();  // nothing reaches it before its handshake
            continue;
        }
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
    const std::span<pollfd> slot_polls = polls_[PollTable::slots];
    const int64_t deadline = monotonic_us() + int64_t{flush_ms} * 1000;
    for (;;) {
        bool waiting = false;
        for (size_t i = 0; i < slot_polls.size(); ++i) {
            const Connection& c = room_.at(i);
            const bool queued = c.in_use && !c.out.empty();
            slot_polls[i] = pollfd{queued ? c.fd.get() : -1, queued ? c.stream->events(false, true) : short{0}, 0};
            waiting |= queued;
        }
        const int64_t left_us = deadline - monotonic_us();
        if (!waiting || left_us <= 0)
            break;
        if (poll(slot_polls.data(), slot_polls.size(), static_cast<int>((left_us + 999) / 1000)) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < slot_polls.size(); ++i) {
            if (slot_polls[i].revents & (POLLERR | POLLHUP | POLLNVAL))
                room_.at(i).out.clear();
        }
        room_.flush_all();
    }
    for (Connection& c : room_.connections())
        room_.vacate(c);
    log_.flush();
}

}  // namespace nchatd

// load: every simulated user is one non-blocking socket on one epoll set,
// level-triggered.  Input is cut at '\n'; a line that carries a payload is
// a delivered benchmark line, anything else belongs to the login dialogue
// or is a notice and is skipped.
#include "load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

// The channel every ngircd client joins; the operator block of the
// generated configuration matches these credentials.
static constexpr std::string_view irc_channel = "#bench";
static constexpr std::string_view irc_oper = "OPER bench bench\r\n";

static constexpr size_t rxbuf_size = 64 * 1024;
// Reads per socket and wake-up, so that one busy socket cannot starve the rest.
static constexpr int reads_per_event = 4;

static std::string client_name(int index)
{
    return "b" + std::to_string(index);
}

static void load_watch(load& l, client& c, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = uint32_t(c.index);
    epoll_ctl(l.ep, EPOLL_CTL_MOD, c.fd, &ev);
}

enum class loss { failed, timed_out };

// The single place where a client connection ends, with a reason.
static void load_lose(load& l, client& c, const std::string& reason, loss how = loss::failed)
{
    if (c.phase == client_phase::ready) {
        ++l.counts.dropped;
    } else if (how == loss::timed_out) {
        ++l.counts.timed_out;
    } else if (c.phase == client_phase::connecting || c.phase == client_phase::login) {
        ++l.counts.refused;
        l.counts.last_refusal = reason;
    }
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.phase = client_phase::gone;
    c.carry.clear();
    c.out.clear();
}

// Output the kernel did not take waits for EPOLLOUT; the interest set
// changes only when that need does, not on every send.
static void load_flush(load& l, client& c)
{
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n < 0) {
            load_lose(l, c, std::string("send: ") + strerror(errno));
            return;
        }
        c.out.erase(0, size_t(n));
    }
    bool want_out = !c.out.empty();
    if (want_out != c.watch_out) {
        c.watch_out = want_out;
        load_watch(l, c, want_out ? EPOLLIN | EPOLLOUT : EPOLLIN);
    }
}

static bool load_send(load& l, client& c, std::string_view text)
{
    if (c.fd < 0)
        return false;
    bool idle = c.out.empty();
    c.out.append(text);
    if (idle)
        load_flush(l, c);
    return c.fd >= 0;
}

static void load_become_ready(load& l, client& c)
{
    c.phase = client_phase::ready;
    c.ready_ns = bench_now_ns();
    ++l.counts.ready;
}

// ---------------------------------------------------------------------------
// Login dialogues.
// ---------------------------------------------------------------------------

// Connection established.  ngircd waits for the registration; the others
// speak first.
static void login_connected(load& l, client& c)
{
    c.phase = client_phase::login;
    c.step = 0;
    c.watch_out = false;
    load_watch(l, c, EPOLLIN);
    if (l.kind != server_kind::ngircd)
        return;
    std::string name = client_name(c.index);
    load_send(l, c, "NICK " + name + "\r\nUSER " + name + " 0 * :bench\r\n");
}

// nchatd's name prompt ends without a line end; it is looked for in the
// unterminated rest of the input.
static void login_tail(load& l, client& c)
{
    if (!bench_is_nchatd(l.kind) || c.step != 0 || !c.carry.ends_with("chars): "))
        return;
    c.step = 1;
    load_send(l, c, client_name(c.index) + "\r\n");
}

static void login_line_nchatd(load& l, client& c, std::string_view line)
{
    if (c.step == 1 && line.find("* logged in as " + client_name(c.index) + "\r") != line.npos)
        load_become_ready(l, c);
}

static void login_line_ncat(load& l, client& c, std::string_view line)
{
    // ncat tells a newcomer who is there once it has taken it into the chat.
    if (line.starts_with("<announce> already connected"))
        load_become_ready(l, c);
}

// The three-digit reply code of an IRC line ":server 001 nick ...", or "".
static std::string_view irc_numeric(std::string_view line)
{
    if (!line.starts_with(':'))
        return {};
    size_t sp = line.find(' ');
    if (sp == line.npos || line.size() < sp + 5 || line[sp + 4] != ' ')
        return {};
    return line.substr(sp + 1, 3);
}

static void irc_pong(load& l, client& c, std::string_view line)
{
    std::string_view token = line.substr(5);
    if (token.ends_with('\r'))
        token.remove_suffix(1);
    load_send(l, c, "PONG " + std::string(token) + "\r\n");
}

static void login_line_ngircd(load& l, client& c, std::string_view line)
{
    std::string name = client_name(c.index);
    std::string_view code = irc_numeric(line);
    if (line.starts_with("PING ")) {
        irc_pong(l, c, line);
    } else if (line.starts_with("ERROR ") || code == "433") {
        load_lose(l, c, "ngircd: " + std::string(line.substr(0, line.find('\r'))));
    } else if (c.step == 0 && code == "001") {
        c.step = 1;
        std::string cmds;
        if (c.relaxed)
            cmds += std::string(irc_oper) + "MODE " + name + " +F\r\n";
        cmds += "JOIN " + std::string(irc_channel) + "\r\n";
        load_send(l, c, cmds);
    } else if (c.step == 1 && line.find(" MODE " + name + " :+F") != line.npos) {
        c.relaxed_ok = true;
    } else if (c.step == 1 && code == "366") {
        load_become_ready(l, c);
    }
}

// ---------------------------------------------------------------------------
// Delivered lines.
// ---------------------------------------------------------------------------

static void tally_intact(tally& t, client& c, const payload& p, const arrival& a)
{
    if (p.sender == t.watch_sender) {
        t.watched += c.index == t.watch_client;
        return;
    }
    int slot = p.sender < int(t.slot_of.size()) ? t.slot_of[size_t(p.sender)] : -1;
    if (slot < 0 || p.seq >= uint32_t(t.lines)) {
        ++t.strays;
        return;
    }
    if (p.seq < c.next_seq[size_t(slot)]) {
        ++t.dups;
        return;
    }
    c.next_seq[size_t(slot)] = p.seq + 1;
    ++t.arrivals[size_t(slot) * size_t(t.lines) + p.seq];
    ++t.intact;
    t.read_latency_ns.push_back(a.read_ns - p.sent_ns);
    if (a.kernel_ns >= 0)
        (p.sent_ns >= t.split_ns ? t.latency_after_ns : t.latency_ns).push_back(a.kernel_ns - p.sent_ns);
    else
        ++t.unstamped;
}

// A delivered copy is the payload followed by "\r" and the end of the line.
// nchatd's writer sees its own line twice on one screen line (the echo of
// what it typed, then its bold copy); a writer's own lines are not counted.
static void load_payloads(load& l, client& c, std::string_view line, const arrival& a)
{
    size_t at = line.find(payload_open);
    while (at != line.npos) {
        size_t next = line.find(payload_open, at + payload_open.size());
        std::string_view piece = line.substr(at, next == line.npos ? line.npos : next - at);
        payload p;
        bool whole = piece.size() >= bench_payload_len && payload_parse(piece.substr(0, bench_payload_len), p);
        if (whole && p.sender == c.index) {
            // own echo or own copy
        } else if (whole && next == line.npos && piece.size() == bench_payload_len + 1 && piece.back() == '\r') {
            if (l.current)
                tally_intact(*l.current, c, p, a);
        } else if (l.current) {
            ++l.current->cut;
        }
        at = next;
    }
}

static void load_line(load& l, client& c, std::string_view line, const arrival& a)
{
    if (c.phase == client_phase::login) {
        switch (l.kind) {
        case server_kind::nchatd:
        case server_kind::social:
            login_line_nchatd(l, c, line);
            break;
        case server_kind::ncat:
        case server_kind::floor:
            login_line_ncat(l, c, line);
            break;
        case server_kind::ngircd:
            login_line_ngircd(l, c, line);
            break;
        }
        return;
    }
    if (l.kind == server_kind::ngircd && line.starts_with("PING ")) {
        irc_pong(l, c, line);
        return;
    }
    load_payloads(l, c, line, a);
}

static void load_consume(load& l, client& c, const char* data, size_t len, const arrival& a)
{
    const char* end = data + len;
    while (data < end && c.phase != client_phase::gone) {
        const char* nl = static_cast<const char*>(memchr(data, '\n', size_t(end - data)));
        if (!nl) {
            c.carry.append(data, size_t(end - data));
            if (c.carry.size() > bench_carry_max)
                c.carry.clear();
            break;
        }
        if (c.carry.empty()) {
            load_line(l, c, std::string_view(data, size_t(nl - data)), a);
        } else {
            c.carry.append(data, size_t(nl - data));
            std::string line;
            line.swap(c.carry);
            load_line(l, c, line, a);
        }
        data = nl + 1;
    }
    if (c.phase == client_phase::login)
        login_tail(l, c);
}

// One receive, with the kernel's time stamp of the data (SO_TIMESTAMPNS,
// CLOCK_REALTIME) when the kernel gives one.
static ssize_t load_recv(load& l, client& c, arrival& a)
{
    iovec iov{l.rxbuf.data(), l.rxbuf.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + 64];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(c.fd, &msg, 0);
    a.read_ns = bench_now_ns();
    a.kernel_ns = -1;
    if (n <= 0)
        return n;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec ts{};
        memcpy(&ts, CMSG_DATA(cm), sizeof ts);
        a.kernel_ns = int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec - l.realtime_offset_ns;
    }
    return n;
}

static void load_read(load& l, client& c)
{
    for (int round = 0; round < reads_per_event && c.fd >= 0; ++round) {
        arrival a;
        ssize_t n = load_recv(l, c, a);
        if (n > 0) {
            l.last_rx_ns = a.read_ns;
            l.rx_bytes += uint64_t(n);
            if (c.greeted_ns == 0)
                c.greeted_ns = a.kernel_ns >= 0 ? a.kernel_ns : a.read_ns;
            if (!c.sink)
                load_consume(l, c, l.rxbuf.data(), size_t(n), a);
            if (size_t(n) < l.rxbuf.size())
                return;
        } else if (n == 0) {
            load_lose(l, c, "closed by the server (last words: \"" + c.carry + "\")");
            return;
        } else if (errno == EAGAIN || errno == EINTR) {
            return;
        } else {
            load_lose(l, c, std::string("recv: ") + strerror(errno));
            return;
        }
    }
}

static void load_connect_done(load& l, client& c)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        err = errno;
    if (err != 0) {
        load_lose(l, c, std::string("connect: ") + strerror(err));
        return;
    }
    c.connected_ns = bench_now_ns();
    login_connected(l, c);
}

// ---------------------------------------------------------------------------
// Interface.
// ---------------------------------------------------------------------------

// CLOCK_REALTIME - CLOCK_MONOTONIC, read between two monotonic readings.
static int64_t load_realtime_offset()
{
    int64_t before = bench_now_ns();
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t after = bench_now_ns();
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec - (before + after) / 2;
}

int load_open(load& l, server_kind kind, uint16_t port, int clients)
{
    l.kind = kind;
    l.port = port;
    l.ep = epoll_create1(EPOLL_CLOEXEC);
    if (l.ep < 0)
        return -1;
    l.clients.assign(size_t(clients), client{});
    for (int i = 0; i < clients; ++i)
        l.clients[size_t(i)].index = i;
    l.rxbuf.resize(rxbuf_size);
    l.events.resize(bench_epoll_batch);
    l.last_rx_ns = bench_now_ns();
    l.realtime_offset_ns = load_realtime_offset();
    return 0;
}

void load_close(load& l)
{
    for (client& c : l.clients)
        if (c.fd >= 0)
            close(c.fd);
    l.clients.clear();
    l.pending.clear();
    if (l.ep >= 0)
        close(l.ep);
    l.ep = -1;
}

static void load_connect(load& l, client& c)
{
    c.connect_ns = bench_now_ns();
    c.phase = client_phase::connecting;
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
        load_lose(l, c, std::string("socket: ") + strerror(errno));
        return;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(c.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    if (c.rcvbuf > 0)
        setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &c.rcvbuf, sizeof c.rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(l.port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 && errno != EINPROGRESS) {
        load_lose(l, c, std::string("connect: ") + strerror(errno));
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN;
    ev.data.u32 = uint32_t(c.index);
    if (epoll_ctl(l.ep, EPOLL_CTL_ADD, c.fd, &ev) < 0) {
        load_lose(l, c, std::string("epoll_ctl: ") + strerror(errno));
        return;
    }
    l.pending.push_back(c.index);
}

void load_connect_all(load& l, int first, int count)
{
    for (int i = first; i < first + count; ++i)
        load_connect(l, l.clients[size_t(i)]);
}

void load_pause(load& l, int index)
{
    client& c = l.clients[size_t(index)];
    if (c.fd < 0)
        return;
    c.paused = true;
    c.watch_out = false;
    load_watch(l, c, 0);
}

long load_read_some(load& l, int index, long max_bytes)
{
    client& c = l.clients[size_t(index)];
    long got = 0;
    while (c.fd >= 0 && got < max_bytes) {
        size_t want = std::min(l.rxbuf.size(), size_t(max_bytes - got));
        ssize_t n = recv(c.fd, l.rxbuf.data(), want, MSG_DONTWAIT);
        if (n > 0) {
            got += long(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        load_lose(l, c, n == 0 ? "closed by the server" : std::string("recv: ") + strerror(errno));
    }
    return c.fd >= 0 ? got : -1;
}

void load_hang_up(load& l, int index)
{
    client& c = l.clients[size_t(index)];
    if (c.fd < 0)
        return;
    linger lg{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(c.fd);
    c.fd = -1;
    c.phase = client_phase::gone;
    c.carry.clear();
    c.out.clear();
}

int load_turn(load& l, int timeout_ms)
{
    int n = epoll_wait(l.ep, l.events.data(), int(l.events.size()), timeout_ms);
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        client& c = l.clients[l.events[size_t(i)].data.u32];
        uint32_t ev = l.events[size_t(i)].events;
        if (c.phase == client_phase::gone)
            continue;
        if (c.paused) {
            // A hang-up is reported whatever the interest set; it would
            // wake every wait.  load_read_some finds the end.
            if (ev & (EPOLLHUP | EPOLLERR))
                epoll_ctl(l.ep, EPOLL_CTL_DEL, c.fd, nullptr);
            continue;
        }
        if (c.phase == client_phase::connecting) {
            load_connect_done(l, c);
            continue;
        }
        if ((ev & EPOLLOUT) && !c.out.empty())
            load_flush(l, c);
        if (c.fd >= 0 && (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            load_read(l, c);
    }
    return n;
}

// Clients that are done with the login (either way) leave the pending
// list; those that took too long are given up.
static void load_sweep(load& l, int64_t now, bool give_up_all)
{
    auto done = [&](int index) {
        client& c = l.clients[size_t(index)];
        if (c.phase != client_phase::connecting && c.phase != client_phase::login)
            return true;
        if (!give_up_all && now - c.connect_ns < bench_login_timeout_ns)
            return false;
        load_lose(l, c, "no login within the time limit", loss::timed_out);
        return true;
    };
    std::erase_if(l.pending, done);
}

login_result load_login(load& l, int count, int window, int relaxed)
{
    login_result r;
    r.wanted = count;
    load_counts before = l.counts;
    int64_t start = bench_now_ns();
    int64_t deadline = bench_deadline(bench_login_deadline_ns);
    int next = 0;
    int untried = 0;
    for (;;) {
        while (int(l.pending.size()) < window && next < count) {
            client& c = l.clients[size_t(next)];
            c.relaxed = next < relaxed;
            ++next;
            load_connect(l, c);
        }
        int64_t now = bench_now_ns();
        load_sweep(l, now, now > deadline);
        if (next >= count && l.pending.empty())
            break;
        if (now > deadline) {
            untried += count - next; // the rest is never tried
            next = count;
        }
        if (load_turn(l, 10) < 0)
            break;
    }
    r.elapsed_ns = bench_now_ns() - start;
    r.ready = l.counts.ready - before.ready;
    r.refused = l.counts.refused - before.refused;
    r.timed_out = l.counts.timed_out - before.timed_out;
    r.timed_out += untried;
    r.last_refusal = l.counts.last_refusal;
    for (int i = 0; i < count; ++i) {
        const client& c = l.clients[size_t(i)];
        if (c.ready_ns > 0)
            r.latency_ns.push_back(c.ready_ns - c.connect_ns);
    }
    return r;
}

bool load_settle(load& l, int64_t max_ns)
{
    int64_t start = bench_now_ns();
    int64_t deadline = bench_deadline(max_ns);
    l.last_rx_ns = std::max(l.last_rx_ns, start - bench_quiet_ns / 2);
    for (;;) {
        int64_t now = bench_now_ns();
        if (now - l.last_rx_ns >= bench_quiet_ns)
            return true;
        if (now >= deadline)
            return false;
        if (load_turn(l, 20) < 0)
            return false;
    }
}

static std::string line_prefix(const load& l)
{
    return l.kind == server_kind::ngircd ? "PRIVMSG " + std::string(irc_channel) + " :" : "";
}

bool load_say(load& l, int index, uint32_t seq)
{
    client& c = l.clients[size_t(index)];
    char text[bench_payload_len];
    payload p{index, seq, bench_now_ns()};
    payload_make(text, p);
    std::string line = line_prefix(l);
    line.append(text, sizeof text);
    line += "\r\n";
    return load_send(l, c, line);
}

size_t load_line_size(const load& l)
{
    return line_prefix(l).size() + bench_payload_len + 2;
}

bool load_say_many(load& l, int index, uint32_t seq, int count)
{
    std::string prefix = line_prefix(l);
    std::string lines;
    lines.reserve(size_t(count) * (prefix.size() + bench_payload_len + 2));
    char text[bench_payload_len];
    for (int k = 0; k < count; ++k) {
        payload_make(text, payload{index, seq + uint32_t(k), bench_now_ns()});
        lines += prefix;
        lines.append(text, sizeof text);
        lines += "\r\n";
    }
    return load_send(l, l.clients[size_t(index)], lines);
}

bool load_ignore(load& l, int index, const std::vector<int>& others)
{
    std::string lines;
    for (int other : others)
        lines += "/ignore " + client_name(other) + "\r\n";
    return load_send(l, l.clients[size_t(index)], lines);
}

size_t load_unsent(const load& l, int index)
{
    return l.clients[size_t(index)].out.size();
}

void load_track(load& l, tally& t, const std::vector<int>& senders, int lines)
{
    t = tally{};
    t.slot_of.assign(l.clients.size(), -1);
    for (size_t i = 0; i < senders.size(); ++i)
        t.slot_of[size_t(senders[i])] = int(i);
    t.slots = int(senders.size());
    t.lines = lines;
    t.arrivals.assign(size_t(t.slots) * size_t(lines), 0);
    l.realtime_offset_ns = load_realtime_offset();
    for (client& c : l.clients)
        c.next_seq.assign(size_t(t.slots), 0);
    l.current = &t;
}

int load_ready_count(const load& l)
{
    int n = 0;
    for (const client& c : l.clients)
        n += c.phase == client_phase::ready;
    return n;
}

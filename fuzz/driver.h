// Drives the receive path of a small server with input chosen by a fuzzer
// and checks the slot table after every step.  Header-only and free of
// libFuzzer, so that the regression test replays inputs through the very
// same code.
//
// The input is a sequence of operations; each starts with a byte h whose
// top three bits choose the operation and whose low five bits k pick a
// slot (k % nchatd_fuzz_slots):
//   0-3  one receive for slot k: the next byte n, then n % 128 + 1 bytes
//   4    the peer of slot k closes its connection
//   5    a new connection arrives (refused when every slot is taken)
//   6    the client of slot k reads what it was sent; every client when k & 8
//   7    for the client of slot k >> 2: when k & 3 == 1 it resets its
//        connection; when k & 3 == 2 it sends bytes given as for 0-3
//        through its socket, and a turn of the event loop reads them;
//        otherwise only a turn of the event loop, which waits for nothing
// Each operation ends as a loop turn does: doomed slots are retired and
// queues handed to the kernel.  Connections come from a pool of loopback
// TCP pairs made once per process; a slot gets a duplicate of the server
// end, so the server closing it leaves the pair for the next input.  The
// kernel buffers are small so that a client that does not read soon
// stops taking bytes and the server's own queues fill.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nchatd.h"

inline constexpr int nchatd_fuzz_slots = 6;
inline constexpr int nchatd_fuzz_initial = 4;  // connections before the first operation
inline constexpr int nchatd_fuzz_pool = nchatd_fuzz_slots + 2;
inline constexpr int nchatd_fuzz_kernel_buf = 4096;

struct nchatd_fuzz_pair {
    int client = -1;  // -1 after the client reset the connection
    int server = -1;
    sockaddr_in peer{};
};

struct nchatd_fuzz_rig {
    int listener = -1;
    sockaddr_in addr{};
    nchatd_fuzz_pair pool[nchatd_fuzz_pool];
    int pair_of_slot[nchatd_fuzz_slots]{};
    nchatd_server s{};
};

// Failures of the test machinery itself, not of the server.
[[noreturn]] inline void nchatd_fuzz_fatal(const char* what)
{
    perror(what);
    abort();
}

inline void nchatd_fuzz_connect(nchatd_fuzz_rig& r, nchatd_fuzz_pair& p)
{
    int size = nchatd_fuzz_kernel_buf;
    p.client = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(p.client, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // The fuzzer's timer may interrupt connect(); the handshake goes on
    // regardless, and accept() waits for it.
    if (connect(p.client, reinterpret_cast<sockaddr*>(&r.addr), sizeof r.addr) != 0 && errno != EINTR)
        nchatd_fuzz_fatal("fuzz: connect");
    socklen_t len = sizeof p.peer;
    do
        p.server = accept(r.listener, reinterpret_cast<sockaddr*>(&p.peer), &len);
    while (p.server < 0 && errno == EINTR);
    if (p.server < 0)
        nchatd_fuzz_fatal("fuzz: accept");
    setsockopt(p.server, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

inline nchatd_fuzz_rig& nchatd_fuzz_the_rig()
{
    static nchatd_fuzz_rig r;
    if (r.listener >= 0)
        return r;
    r.listener = socket(AF_INET, SOCK_STREAM, 0);
    r.addr.sin_family = AF_INET;
    r.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof r.addr;
    if (bind(r.listener, reinterpret_cast<sockaddr*>(&r.addr), len) != 0 || listen(r.listener, 16) != 0 ||
        getsockname(r.listener, reinterpret_cast<sockaddr*>(&r.addr), &len) != 0)
        nchatd_fuzz_fatal("fuzz: listener");
    for (nchatd_fuzz_pair& p : r.pool)
        nchatd_fuzz_connect(r, p);
    return r;
}

// Everything a client can be sent: text, the controls of the line editor
// and the redraw, and the bytes of the telnet option sequence.
inline bool nchatd_fuzz_sendable(unsigned char c)
{
    static constexpr unsigned char controls[] = {1, 3, 7, 8, 9, 10, 13, 27, 31, 251, 254, 255};
    return (c >= 32 && c <= 126) || memchr(controls, c, sizeof controls);
}

// Reads what has reached the client so far.
inline const char* nchatd_fuzz_drain(nchatd_fuzz_pair& p)
{
    unsigned char buf[nchatd_fuzz_kernel_buf];
    for (ssize_t n; p.client >= 0 && (n = recv(p.client, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
            if (!nchatd_fuzz_sendable(buf[i]))
                return "a client received a byte the server never sends";
        }
    }
    return nullptr;
}

inline bool nchatd_fuzz_pair_busy(nchatd_fuzz_rig& r, int pair)
{
    for (int i = 0; i < nchatd_fuzz_slots; ++i) {
        if (r.s.users[i].in_use && r.pair_of_slot[i] == pair)
            return true;
    }
    return false;
}

inline const char* nchatd_fuzz_arrive(nchatd_fuzz_rig& r)
{
    int pair = 0;
    while (pair < nchatd_fuzz_pool && nchatd_fuzz_pair_busy(r, pair))
        ++pair;
    if (pair == nchatd_fuzz_pool)
        return nullptr;
    nchatd_fuzz_pair& p = r.pool[pair];
    if (p.client < 0) {
        close(p.server);
        nchatd_fuzz_connect(r, p);
    }
    int sock = dup(p.server);
    nchatd_admit(r.s, sock, p.peer);
    for (int i = 0; i < nchatd_fuzz_slots; ++i) {
        if (r.s.users[i].in_use && r.s.users[i].sock == sock) {
            r.pair_of_slot[i] = pair;
            return nullptr;
        }
    }
    // Refused: a real client would read why and go.  The refusal is
    // written straight to a socket that is still blocking, so a pair that
    // piled up refusals could block the server.
    return nchatd_fuzz_drain(p);
}

inline void nchatd_fuzz_reset(nchatd_fuzz_rig& r, int slot)
{
    nchatd_fuzz_pair& p = r.pool[r.pair_of_slot[slot]];
    if (!r.s.users[slot].in_use || p.client < 0)
        return;
    linger lg{1, 0};
    setsockopt(p.client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(p.client);
    p.client = -1;
}

// The invariants of the slot table, the poll table and the output queues.
inline const char* nchatd_fuzz_check(const nchatd_server& s, bool doomed_allowed)
{
    int doomed = 0;
    int listed = 0;
    for (int i = 0; i < nchatd_fuzz_slots; ++i) {
        const nchatd_user& u = s.users[i];
        if (u.line_len > nchatd_line_max)
            return "input line longer than its limit";
        if (u.skip_count > 1 || u.bell_mode > 3 || strnlen(u.status, sizeof u.status) > nchatd_status_max)
            return "user record field out of range";
        if (u.out_head > u.out_tail || u.out_tail > u.out_cap || u.out_burst_end > u.out_tail ||
            u.out_tail - u.out_head > nchatd_outq_max)
            return "output queue bounds broken";
        listed += u.out_listed;
        if (u.out_head < u.out_tail && !u.out_listed)
            return "queued output that no flush will see";
        if (!u.in_use) {
            if (s.user_polls[i].fd != -1)
                return "free slot still polled";
            if (u.doomed || u.out_head != u.out_tail)
                return "free slot half closed";
            continue;
        }
        doomed += u.doomed;
        if (u.sock < 0 || s.user_polls[i].fd != u.sock)
            return "slot in use with a poll entry for another socket";
        if (u.direct)
            return "slot in use marked as a refused socket";
        if (u.name[0] && (strnlen(u.name, sizeof u.name) > nchatd_name_max || !nchatd_is_valid_username(u.name)))
            return "logged-in user with an invalid name";
        for (int j = 0; j < i; ++j) {
            const nchatd_user& v = s.users[j];
            if (v.in_use && v.sock == u.sock)
                return "two slots share a socket";
            if (v.in_use && u.name[0] && strcmp(v.name, u.name) == 0)
                return "two logged-in users share a name";
        }
    }
    if (doomed != s.n_doomed || (doomed > 0 && !doomed_allowed))
        return "doomed slots miscounted or not retired";
    if (listed != s.n_pending)
        return "pending list out of step with the slots";
    for (int k = 0; k < s.n_pending; ++k) {
        if (s.pending[k] < 0 || s.pending[k] >= nchatd_fuzz_slots || !s.users[s.pending[k]].out_listed)
            return "pending list names a slot that is not listed";
    }
    return nullptr;
}

// Ends an operation the way a turn of the event loop does.
inline const char* nchatd_fuzz_settle(nchatd_server& s)
{
    if (const char* bad = nchatd_fuzz_check(s, true))
        return bad;
    nchatd_reap_doomed(s);
    nchatd_flush_all(s);
    return nchatd_fuzz_check(s, false);
}

inline const char* nchatd_fuzz_step(nchatd_fuzz_rig& r, const uint8_t* data, size_t size, size_t& pos)
{
    unsigned op = data[pos] >> 5;
    unsigned k = data[pos++] & 31;
    int slot = static_cast<int>(k % nchatd_fuzz_slots);
    nchatd_user& u = r.s.users[slot];
    // The bytes of one receive: a length byte, then up to 128 bytes.
    const uint8_t* bytes = data + pos + 1;
    size_t n = 0;
    if ((op < 4 || (op == 7 && (k & 3) == 2)) && pos < size) {
        n = std::min<size_t>(data[pos] % nchatd_recv_size + 1, size - pos - 1);
        pos += 1 + n;
    }
    switch (op) {
    case 4:
        if (u.in_use)
            nchatd_end_user(r.s, u, nullptr);
        break;
    case 5:
        if (const char* bad = nchatd_fuzz_arrive(r))
            return bad;
        break;
    case 6:
        for (int i = 0; i < nchatd_fuzz_slots; ++i) {
            if ((k & 8 || i == slot) && r.s.users[i].in_use) {
                if (const char* bad = nchatd_fuzz_drain(r.pool[r.pair_of_slot[i]]))
                    return bad;
            }
        }
        break;
    case 7: {
        int other = static_cast<int>((k >> 2) % nchatd_fuzz_slots);
        nchatd_fuzz_pair& p = r.pool[r.pair_of_slot[other]];
        if ((k & 3) == 1) {
            nchatd_fuzz_reset(r, other);
            break;
        }
        if ((k & 3) == 2 && n > 0 && r.s.users[other].in_use && p.client >= 0)
            (void)send(p.client, bytes, n, MSG_NOSIGNAL);
        if (nchatd_loop_turn(r.s, 0) != 0)
            return "poll failed";
        break;
    }
    default:
        if (u.in_use && n > 0)
            nchatd_process_input(r.s, u, bytes, n);
    }
    return nchatd_fuzz_settle(r.s);
}

// Runs one input against a fresh server; returns null or the invariant
// that broke.  `foreground` writes the connection log to standard output.
inline const char* nchatd_fuzz_run(const uint8_t* data, size_t size, bool foreground = false)
{
    nchatd_fuzz_rig& r = nchatd_fuzz_the_rig();
    if (nchatd_server_init(r.s, nchatd_fuzz_slots, !foreground) != 0)
        nchatd_fuzz_fatal("fuzz: server init");
    for (int i = 0; i < nchatd_fuzz_initial; ++i)
        (void)nchatd_fuzz_arrive(r);
    const char* bad = nchatd_fuzz_settle(r.s);
    for (size_t pos = 0; !bad && pos < size;)
        bad = nchatd_fuzz_step(r, data, size, pos);
    nchatd_server_free(r.s);
    // The next input starts with every pair connected and nothing unread.
    for (nchatd_fuzz_pair& p : r.pool) {
        if (p.client < 0) {
            close(p.server);
            nchatd_fuzz_connect(r, p);
        }
        const char* late = nchatd_fuzz_drain(p);
        bad = bad ? bad : late;
        unsigned char unread[nchatd_recv_size];
        while (recv(p.server, unread, sizeof unread, MSG_DONTWAIT) > 0) {
        }
    }
    return bad;
}

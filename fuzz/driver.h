// Drives the room and the receive path of a six-slot server with input
// chosen by a fuzzer and checks the records after every step.  Everything
// runs in memory: no socket, no clock.  Header-only and free of libFuzzer,
// so that the regression test replays inputs through the very same code.
//
// The input is a sequence of operations; each starts with a byte h whose
// top three bits choose the operation and whose low five bits k pick a
// slot (k % fuzz::slots):
//   0-3  one receive for slot k: the next byte n, then n % 128 + 1 bytes
//   4    the peer of slot k goes away (the loop asks the room to close it)
//   5    a connection arrives; k & 7 chooses how many bytes its socket
//        takes at a time, k >> 3 its address; it is refused when every
//        slot is taken or its address has too many unnamed connections.
//        Address 2 comes in on the TLS port (TLS 1.2 when k & 1): a real
//        TLS stream over a socket pair, whose client encrypts what the
//        receives give it and decrypts what the server sends
//   6    the client of slot k reads what it was sent; every client when k & 8
//   7    for slot j = (k >> 2) % fuzz::slots: when k & 3 == 1 its client
//        resets the connection (a TLS client first ends its side, and the
//        server reads that end); when k & 3 == 2 it receives bytes given as
//        for 0-3 (for a TLS client raw bytes on the wire, no record of the
//        session), then a loop turn; otherwise a loop turn: broken
//        connections are noticed, queues shrink, and when k & 3 == 3 the
//        day changes, when j is odd unnamed connections time out
// Each operation ends as an event of the loop does: the connections asked
// to close are retired, then every queue is handed to the transport.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bounds.h"
#include "log.h"
#include "room.h"
#include "session.h"
#include "texts.h"
#include "tls_peer.h"
#include "utf8.h"

namespace fuzz {

inline constexpr size_t slots = 6;
inline constexpr unsigned initial[] = {7, 15, 22, 31};  // arrival codes of the first connections; the third is TLS
// Unread bytes a client's socket holds, as a kernel's buffers would.
inline constexpr size_t socket_capacity = 4096;
// Bytes one flush hands over, by arrival code: down to one at a time.
inline constexpr size_t chunk_sizes[8] = {1, 2, 3, 17, 100, 1000, 4096, socket_capacity};
inline constexpr const char* hosts[4] = {"127.0.0.1", "127.0.0.2", "127.0.0.1", "192.0.2.7"};
inline constexpr size_t unnamed_per_addr = 3;
inline constexpr unsigned tls_host = 2;
inline constexpr uint16_t tls_port = 6697;

// Everything a client can be sent: text, the controls of the line editor
// and the redraw, and the bytes of the telnet option sequence.
inline bool sendable(unsigned char c)
{
    static constexpr unsigned char controls[] = {1, 3, 7, 8, 9, 10, 13, 27, 31, 251, 253, 254, 255};
    // Bytes of UTF-8 text: continuations and the lead bytes of valid forms.
    bool utf8 = (c >= 0x80 && c <= 0xBF) || (c >= 0xC2 && c <= 0xF4);
    return (c >= 32 && c <= 126) || utf8 || std::memchr(controls, c, sizeof controls);
}

// The input line holds whole printable characters (TAB and printable
// ASCII, or UTF-8 that decodes to a printable character), never a piece.
inline bool whole_printable(std::string_view line)
{
    for (size_t i = 0; i < line.size();) {
        auto lead = static_cast<unsigned char>(line[i]);
        if (lead < 0x80) {
            if (lead != '\t' && (lead < 32 || lead > 126))
                return false;
            ++i;
            continue;
        }
        size_t n = nchatd::utf8::sequence_length(lead);
        if (n < 2 || i + n > line.size())
            return false;
        int32_t cp = nchatd::utf8::decode(line.substr(i, n));
        if (cp < 0 || !nchatd::utf8::printable(cp))
            return false;
        i += n;
    }
    return true;
}

// Client sockets in memory; each flush takes at most the chunk size of the
// connection's socket and never more than its client has room for.  What
// the room asks of it is checked as it goes.
class transport final : public nchatd::Transport {
  public:
    struct socket {
        size_t unread = 0;
        size_t chunk = socket_capacity;
        unsigned flushes = 0;  // since the last count
        bool broken = false;   // the client reset the connection
        bool closed = false;
        // The room hands a queue over outside flush_all() and retire() only
        // to make room for an append that did not fit; if it still does not
        // fit, the queue is cut.  What is left then must begin this copy
        // of the queue, and nothing may be added to it.
        std::string before_cut;
        std::unique_ptr<tls_peer> tls;  // for a connection on the TLS port
    };

    bool flush(nchatd::Connection& c) override
    {
        socket* s = find(c);
        if (!s)
            return true;
        s->flushes++;
        if (s->closed || !c.in_use) {
            fail("output handed over for a closed connection");
            return true;
        }
        if (c.closing == nchatd::Closing::overflow && !std::string_view(s->before_cut).starts_with(c.out.pending()))
            fail("output queued for a connection after its queue was cut");
        if (s->broken) {
            c.out.clear();  // as a send that fails with a broken pipe
            return true;
        }
        if (s->tls) {
            secure_flush(c, *s->tls);
        } else {
            std::string_view out = c.out.pending();
            size_t n = std::min({out.size(), s->chunk, socket_capacity - s->unread});
            take(out.substr(0, n));
            s->unread += n;
            c.out.consumed(n);
        }
        if (!in_flush_all && c.open())
            s->before_cut = c.out.pending();
        return c.out.empty();
    }

    // As the server does: the whole queue to the stream until it takes no
    // more; nothing goes out before the handshake.
    void secure_flush(nchatd::Connection& c, tls_peer& t)
    {
        const std::string before(c.out.pending());
        const size_t took = nchatd::drain(*c.stream, c.out);
        take(std::string_view(before).substr(0, took));
        t.took(std::string_view(before).substr(0, took));
    }

    void take(std::string_view out)
    {
        for (char ch : out) {
            if (!sendable(static_cast<unsigned char>(ch)))
                fail("a client received a byte the server never sends");
        }
    }

    void close(nchatd::Connection& c) override
    {
        socket* s = find(c);
        if (!s)
            return;
        if (s->closed || !c.in_use)
            fail("a connection closed twice");
        s->closed = true;
        s->before_cut = {};
        if (c.stream)
            c.stream->close();
        c.stream.reset();
        (void)c.fd.release();  // made up, never a descriptor of this process
    }

    socket* find(const nchatd::Connection& c)
    {
        const int fd = c.fd.get();
        if (fd < 0 || static_cast<size_t>(fd) >= sockets.size()) {
            fail("output handed over for a descriptor never admitted");
            return nullptr;
        }
        return &sockets[static_cast<size_t>(fd)];
    }
    void fail(const char* what)
    {
        if (!complaint)
            complaint = what;
    }

    std::vector<socket> sockets;  // by descriptor; a descriptor is never reused
    bool in_flush_all = false;
    const char* complaint = nullptr;  // the first
};

struct rig {
    std::string log;
    nchatd::Log logger{&log};
    transport net;
    nchatd::Room room{slots, net, logger};
    rig() = default;
    rig(const rig&) = delete;
    rig& operator=(const rig&) = delete;
    ~rig()
    {
        // Connections still open hold made-up descriptors, never closed.
        for (nchatd::Connection& c : room.connections())
            (void)c.fd.release();
    }
};

inline const char* settle(rig& r);

inline tls_peer* tls_of(rig& r, const nchatd::Connection& c)
{
    return c.in_use ? r.net.sockets[static_cast<size_t>(c.fd.get())].tls.get() : nullptr;
}

// The server's side of one readable event on a TLS connection, as the
// loop serves it: one read of its stream, the bytes to the session.  Input
// the stream still holds is served as further events, a bounded number.
inline const char* serve_tls(rig& r, nchatd::Connection& c)
{
    for (int event = 0; event < 8 && c.open(); ++event) {
        unsigned char buf[nchatd::recv_size];
        nchatd::IoResult got = c.stream->read(buf);
        if (got.opened)
            r.room.log_event(c.peer, " secured with %s.\n", c.stream->describe().c_str());
        if (got.ended)
            r.room.request_close(c, got.why);
        else if (got.bytes > 0)
            (void)nchatd::receive(r.room, c, {buf, got.bytes});
        if (const char* bad = settle(r))
            return bad;
        if (got.bytes == 0 && !got.opened)
            break;
    }
    return nullptr;
}

// A connection on the TLS port shakes hands over its socket pair, the
// loop serving the server's side, before the fuzzer has its say.
inline const char* shake_hands(rig& r, nchatd::Connection& c, tls_peer& t)
{
    for (int round = 0; round < 8 && c.open() && !c.stream->established(); ++round) {
        (void)t.shake();
        ERR_clear_error();
        if (const char* bad = serve_tls(r, c))
            return bad;
    }
    return c.stream && c.stream->established() ? nullptr : "TLS handshake between the server and its client failed";
}

inline const char* arrive(rig& r, unsigned k)
{
    const unsigned host = (k >> 3) & 3;
    nchatd::Peer peer;
    std::string_view(hosts[host]).copy(peer.host.data(), peer.host.size() - 1);
    peer.port = static_cast<uint16_t>(40000 + r.net.sockets.size());
    nchatd::Connection* c = r.room.free_slot();
    if (!c || r.room.unnamed_from(host) >= unnamed_per_addr) {
        r.room.log_event(peer, " dropped: refused.\n");
        return nullptr;
    }
    int fd = static_cast<int>(r.net.sockets.size());
    transport::socket& s = r.net.sockets.emplace_back();
    s.chunk = chunk_sizes[k & 7];
    if (host != tls_host) {
        nchatd::admit(r.room, *c, nchatd::unique_fd(fd), peer);
        c->source = host;  // the host's entry, as the server's source table would give
        return nullptr;
    }
    s.tls = std::make_unique<tls_peer>();
    if (!s.tls->connect(k & 1))
        return "no socket pair for a TLS connection";
    peer.tls_port = tls_port;
    nchatd::admit(r.room, *c, nchatd::unique_fd(fd), peer);
    c->source = host;  // the host's entry, as the server's source table would give
    c->stream = std::make_unique<nchatd::TlsStream>(server_context(), s.tls->server.get());
    return shake_hands(r, *c, *s.tls);
}

// The invariants of the slot table and the output queues.  While an event
// is open, connections may be on their way out, but hidden already.
inline const char* check(rig& r, bool event_open)
{
    if (r.net.complaint)
        return r.net.complaint;
    size_t in_use = 0;
    for (size_t i = 0; i < slots; ++i) {
        nchatd::Connection& c = r.room.at(i);
        const nchatd::Profile& p = c.profile;
        if (c.editor.len > nchatd::line_max)
            return "input line longer than its limit";
        if (!whole_printable(c.editor.line()))
            return "input line holds a piece of a character or an unprintable one";
        if (c.editor.cols != nchatd::utf8::columns(c.editor.line()))
            return "column count out of step with the characters";
        if (nchatd::utf8::characters(p.status.data()) > nchatd::status_max)
            return "status longer than its characters allow";
        if (c.telnet.skip > 1 || p.bell > 3 || p.status.size() > 4 * nchatd::status_max ||
            strlen(p.status.c_str()) != p.status.size())
            return "connection record field out of range";
        if (c.out.size() > c.out.capacity() || c.out.capacity() > nchatd::outq_max)
            return "output queue bounds broken";
        if (!c.in_use) {
            if (c.fd.get() != -1 || c.closing != nchatd::Closing::open || !c.out.empty() || c.stream)
                return "free slot half closed";
            continue;
        }
        ++in_use;
        if (c.fd.get() < 0 || static_cast<size_t>(c.fd.get()) >= r.net.sockets.size() ||
            r.net.sockets[static_cast<size_t>(c.fd.get())].closed)
            return "slot in use without an open socket";
        if (!c.out.empty() && !c.listed)
            return "queued output that no flush will see";
        for (size_t j = 0; j < i; ++j) {
            if (r.room.at(j).in_use && r.room.at(j).fd.get() == c.fd.get())
                return "two slots share a socket";
        }
        if (!c.open()) {
            if (!event_open)
                return "closed connection not retired after its event";
            if (c.named() && r.room.find(c.name()) == &c)
                return "closed connection still found by name";
            continue;
        }
        if (c.named() && !nchatd::valid_name(c.name()))
            return "logged-in user with an invalid name";
        for (size_t j = 0; j < i; ++j) {
            const nchatd::Connection& v = r.room.at(j);
            if (v.open() && c.named() && v.name() == c.name())
                return "two open users share a name";
        }
    }
    size_t open_sockets = 0;
    for (const transport::socket& s : r.net.sockets)
        open_sockets += !s.closed;
    if (open_sockets != in_use)
        return "a freed slot left its socket open";
    return nullptr;
}

// Ends an event the way the loop does: retire, then flush.  Every queue
// that waits is on the room's pending list exactly once: the flush hands
// over each listed connection once and no other.
inline const char* settle(rig& r)
{
    if (const char* bad = check(r, true))
        return bad;
    r.room.retire();
    if (const char* bad = check(r, false))
        return bad;
    bool listed[slots]{};
    for (size_t i = 0; i < slots; ++i) {
        const nchatd::Connection& c = r.room.at(i);
        if (c.in_use) {
            listed[i] = c.listed;
            r.net.sockets[static_cast<size_t>(c.fd.get())].flushes = 0;
        }
    }
    r.net.in_flush_all = true;
    r.room.flush_all();
    r.net.in_flush_all = false;
    for (size_t i = 0; i < slots; ++i) {
        const nchatd::Connection& c = r.room.at(i);
        if (!c.in_use)
            continue;
        if (r.net.sockets[static_cast<size_t>(c.fd.get())].flushes != (listed[i] ? 1u : 0u))
            return "pending list out of step with the connections";
        if (c.listed != !c.out.empty())
            return "drained connection still listed, or waiting one unlisted";
    }
    return check(r, false);
}

// A turn of the loop without input: broken connections are noticed one
// event each; the day may change; the once-a-second sweep.
inline const char* turn(rig& r, unsigned k, size_t j)
{
    for (size_t i = 0; i < slots; ++i) {
        nchatd::Connection& c = r.room.at(i);
        if (c.in_use && r.net.sockets[static_cast<size_t>(c.fd.get())].broken) {
            r.room.request_close(c, nullptr);
            if (const char* bad = settle(r))
                return bad;
        }
    }
    if ((k & 3) == 3)
        r.room.broadcast(nullptr, "* Day changed to 01 Jan 2030\r\n", false);
    for (nchatd::Connection& c : r.room.connections()) {
        if (j % 2 == 1 && c.open() && !c.named()) {
            r.room.send_newline(c);
            r.room.send(c, nchatd::texts::login_timeout, nchatd::Mode::last);
            r.room.request_close(c, "login timeout");
        }
        (void)c.out.shrink();
        if (c.out.empty() && c.out.capacity() > 0)
            return "drained queue kept its memory";
    }
    return nullptr;
}

inline const char* step(rig& r, const uint8_t* data, size_t size, size_t& pos)
{
    unsigned op = data[pos] >> 5;
    unsigned k = data[pos++] & 31;
    size_t slot = k % slots;
    size_t other = (k >> 2) % slots;
    // The bytes of one receive: a length byte, then up to 128 bytes.
    const uint8_t* bytes = data + pos + 1;
    size_t n = 0;
    if ((op < 4 || (op == 7 && (k & 3) == 2)) && pos < size) {
        n = std::min<size_t>(data[pos] % nchatd::recv_size + 1, size - pos - 1);
        pos += 1 + n;
    }
    // A TLS client encrypts the bytes, or puts them on the wire raw.
    auto receive = [&](nchatd::Connection& c, bool raw) -> const char* {
        if (!c.in_use || n == 0)
            return nullptr;
        tls_peer* t = tls_of(r, c);
        if (!t) {
            (void)nchatd::receive(r.room, c, {bytes, n});
            return nullptr;
        }
        raw ? t->inject(bytes, n) : t->type(bytes, n);
        return serve_tls(r, c);
    };
    nchatd::Connection& c = r.room.at(slot);
    switch (op) {
    case 4:
        if (c.in_use)
            r.room.request_close(c, nullptr);
        break;
    case 5:
        if (const char* bad = arrive(r, k))
            return bad;
        break;
    case 6:
        for (size_t i = 0; i < slots; ++i) {
            if ((k & 8 || i == slot) && r.room.at(i).in_use) {
                r.net.sockets[static_cast<size_t>(r.room.at(i).fd.get())].unread = 0;
                const nchatd::Connection& d = r.room.at(i);
                tls_peer* t = tls_of(r, d);
                if (t && !t->read_all(d.out.pending().substr(0, d.stream->committed())))
                    return "a TLS client decrypted other bytes than the server handed over";
            }
        }
        break;
    case 7:
        if ((k & 3) == 1) {
            if (!r.room.at(other).in_use)
                break;
            r.net.sockets[static_cast<size_t>(r.room.at(other).fd.get())].broken = true;
            if (tls_peer* t = tls_of(r, r.room.at(other))) {
                (void)shutdown(t->client.get(), SHUT_WR);
                if (const char* bad = serve_tls(r, r.room.at(other)))
                    return bad;
            }
            break;
        }
        if ((k & 3) == 2) {
            if (const char* bad = receive(r.room.at(other), true))
                return bad;
            if (const char* bad = settle(r))
                return bad;
        }
        if (const char* bad = turn(r, k, other))
            return bad;
        break;
    default:
        if (const char* bad = receive(c, false))
            return bad;
    }
    return settle(r);
}

// Runs one input against a fresh room; returns null or the invariant that
// broke.
inline const char* run(const uint8_t* data, size_t size)
{
    rig r;
    const char* bad = nullptr;
    for (unsigned k : initial)
        bad = bad ? bad : arrive(r, k);
    bad = bad ? bad : settle(r);
    for (size_t pos = 0; !bad && pos < size;)
        bad = step(r, data, size, pos);
    if (!bad && r.log.size() > 0 && r.log.back() != '\n')
        bad = "log line without its end";
    return bad;
}

}  // namespace fuzz

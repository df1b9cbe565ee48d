// Admission: accepting a connection into a free slot, or refusing it
// with the reason.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "clock.h"
#include "server.h"
#include "session.h"
#include "sources.h"
#include "texts.h"

namespace nchatd {

namespace {

// A socket that gets no slot is told why in one send, never waited for.
// The text and the end of the stream leave in one segment (MSG_MORE holds
// the text until the shutdown): one packet to the client and one wake-up
// of it, not two, which takes about a quarter off what a flood of connects
// costs the server.  Both leave before the input is drained: a client whose
// unread input forces a reset at the close has its text and its end first.
// On the TLS port the text would be garbage to the client, and a
// handshake only to say no is what a flood wants: it is closed unsaid.
void refuse(unique_fd sock, std::string_view text, bool tls)
{
    if (!tls) {
        (void)send(sock.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
        (void)shutdown(sock.get(), SHUT_WR);
    }
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

// A tarpit: held, a script that waits for its refusal before it connects
// again costs next to nothing.  The bytes are those of any refusal.
void Server::refuse_connect_rate(unique_fd sock, bool tls)
{
    const long hold_ms = limits_.refusal_hold_ms;
    if (hold_ms <= 0 || refusals_.size() >= refusals_max_)
        return refuse(std::move(sock), texts::too_many_from_addr, tls);
    refusals_.push_back({std::move(sock), monotonic_us() + int64_t{hold_ms} * 1000, tls});
}

int Server::answer_held(bool all)
{
    const int64_t now = monotonic_us();
    size_t due = 0;
    while (due < refusals_.size() && (all || refusals_[due].due_us <= now)) {
        HeldRefusal& r = refusals_[due++];
        refuse(std::move(r.sock), texts::too_many_from_addr, r.tls);
    }
    refusals_.erase(refusals_.begin(), refusals_.begin() + static_cast<std::ptrdiff_t>(due));
    if (refusals_.empty())
        return -1;
    return static_cast<int>((refusals_.front().due_us - now + 999) / 1000);
}

void Server::admit(unique_fd sock, const sockaddr_storage& addr, uint16_t tls_port)
{
    Peer peer = peer_of(addr);
    peer.tls_port = tls_port;
    const bool tls = tls_port != 0;
    std::string line;
    if (const Refusal why = room_.bans().refusal(peer, line); why != Refusal::none) {
        refuse(std::move(sock), line, tls);
        (why == Refusal::banned ? room_.stats().refused_banned : room_.stats().refused_locked)++;
        room_.log_event(peer, " dropped: %s.\n", why == Refusal::banned ? "banned" : "chat locked");
        return;
    }
    const uint32_t source = sources_.find_or_add(source_key(addr));
    Source& s = sources_.at(source);
    // A source connecting in a loop is turned away before the welcome; its
    // refusals are logged once until its connects have refilled.
    if (const long burst = limits_.connect_burst; burst > 0) {
        const int64_t now = monotonic_us();
        if (s.connects.until_us <= now)
            s.connects_logged = false;
        if (!s.connects.take(connect_interval_us, burst * connect_interval_us, now)) {
            refuse_connect_rate(std::move(sock), tls);
            room_.stats().refused_connect_rate++;
            if (!s.connects_logged)
                room_.log_event(peer, " dropped: too many connects from this address.\n");
            s.connects_logged = true;
            return;
        }
    }
    // A full table makes room only by a waiter at the name prompt, and only
    // for a newcomer the limits below let in.
    Connection* c = room_.free_slot();
    Connection* waiter = c ? nullptr : longest_waiter();
    if (!c && !waiter) {
        refuse(std::move(sock), texts::too_many_users, tls);
        room_.stats().refused_table_full++;
        room_.log_event(peer, " dropped: too many users.\n");
        return;
    }
    if (per_source_ > 0 && s.connections >= static_cast<uint32_t>(per_source_)) {
        refuse(std::move(sock), texts::too_many_from_addr, tls);
        room_.stats().refused_per_address++;
        room_.log_event(peer, " dropped: too many connections from this address.\n");
        return;
    }
    const long per_addr = limits_.unnamed_per_addr;
    if (per_addr > 0 && room_.unnamed_from(source) >= static_cast<size_t>(per_addr)) {
        refuse(std::move(sock), texts::too_many_from_addr, tls);
        room_.stats().refused_per_address++;
        room_.log_event(peer, " dropped: too many unnamed connections from this address.\n");
        return;
    }
    if (!c)
        c = evict(*waiter);
    const int fd = sock.get();
    if (set_keepalive(fd) != 0 || set_cloexec(fd) != 0 || set_nonblock(fd) != 0) {
        const int err = errno;
        char text[160];
        int n = snprintf(text, sizeof text, "%.*s%s%.*s", static_cast<int>(texts::error_head.size()),
                         texts::error_head.data(), strerror(err), static_cast<int>(texts::error_tail.size()),
                         texts::error_tail.data());
        refuse(std::move(sock), {text, std::min(static_cast<size_t>(std::max(n, 0)), sizeof text - 1)}, tls);
        room_.log_event(peer, " dropped: %s\n", strerror(err));
        return;
    }
    // Best effort: without them a client is merely buffered more, or later.
    (void)set_sndbuf(fd, sndbuf_size);
    (void)set_nodelay(fd);
    std::unique_ptr<TlsStream> secure;
    if (tls) {
        secure = std::make_unique<TlsStream>(tls_.get(), fd);
        if (!secure->ok()) {
            refuse(std::move(sock), texts::no_resource, tls);
            room_.log_event(peer, " dropped: no resource.\n");
            return;
        }
    }
    nchatd::admit(room_, *c, std::move(sock), peer, telnet_greeting_);
    if (secure)
        c->stream = std::move(secure);
    else
        c->stream.plain(fd);
    c->admitted_s = c->backlog.progress_s = monotonic_s();
    c->source = source;
    s.connections++;
    set_events(*c);
}

// A full table: the connection that has waited longest at the name prompt,
// and long enough, gives way to a newcomer as if its grace were over.
Connection* Server::longest_waiter()
{
    const long after = limits_.evict_after;
    if (after <= 0)
        return nullptr;
    const int64_t now = monotonic_s();
    Connection* oldest = nullptr;
    for (Connection& c : room_.connections()) {
        if (c.open() && !c.named() && now - c.admitted_s >= after && (!oldest || c.admitted_s < oldest->admitted_s))
            oldest = &c;
    }
    return oldest;
}

Connection* Server::evict(Connection& waiter)
{
    room_.send_newline(waiter);
    room_.send(waiter, texts::login_timeout, Mode::last);
    room_.request_close(waiter, "login timeout");
    room_.stats().evicted_waiting++;
    room_.retire();
    return room_.free_slot();
}

// Out of descriptors, the pending connection would keep the listening
// socket readable and the loop spinning: give up the spare descriptor for a
// moment to take the connection and turn it away.
void Server::refuse_without_descriptor(const Listener& l)
{
    if (!spare_)
        return;
    spare_.reset();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    unique_fd sock(accept(l.fd.get(), reinterpret_cast<sockaddr*>(&addr), &len));
    if (sock && l.kind == Listen::control) {
        log_.line("Control connection dropped: no resource.\n");
    } else if (sock) {
        refuse(std::move(sock), texts::no_resource, l.kind == Listen::tls);
        room_.log_event(peer_of(addr), " dropped: no resource.\n");
    }
    spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// True when a connection was taken, so that another may be waiting.
bool Server::accept_one(const Listener& l)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    unique_fd sock(accept(l.fd.get(), reinterpret_cast<sockaddr*>(&addr), &len));
    if (!sock) {
        if (errno == EMFILE || errno == ENFILE)
            refuse_without_descriptor(l);
        return false;
    }
    switch (l.kind) {
    case Listen::chat:
        admit(std::move(sock), addr);
        break;
    case Listen::tls:
        admit(std::move(sock), addr, l.port);
        break;
    case Listen::control:
        admit_control(std::move(sock));
        break;
    }
    return true;
}

}  // namespace nchatd

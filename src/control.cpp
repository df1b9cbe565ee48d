// The control socket's clients: the operator's one request in, one reply
// out, then the end.  They never take a slot of the room, and each is
// bounded in size and time, so none can cost the chat anything.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "clock.h"
#include "moderation.h"
#include "server.h"
#include "wire.h"

namespace nchatd {

namespace {

// A client that gets no place is told why in one send, never waited for.
void turn_away(unique_fd sock, const std::string& reason)
{
    const std::string line = wire::reply({false, reason});
    (void)send(sock.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

size_t Server::control_clients() const
{
    size_t n = 0;
    for (const ControlClient& cc : controls_)
        n += static_cast<bool>(cc.fd);
    return n;
}

void Server::admit_control(unique_fd sock)
{
    ucred peer{};
    socklen_t len = sizeof peer;
    if (getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
        log_.line("Control connection refused: its user is unknown.\n");
        return;
    }
    // The socket's mode already keeps others out; this holds even when the
    // mode was loosened, or the socket came from elsewhere.
    if (peer.uid != 0 && peer.uid != geteuid()) {
        turn_away(std::move(sock), "uid " + std::to_string(peer.uid) + " may not use the control socket");
        log_.line("Control connection from uid %u refused: not root or the server's user.\n", peer.uid);
        return;
    }
    ControlClient* cc = nullptr;
    for (ControlClient& free : controls_) {
        if (!free.fd) {
            cc = &free;
            break;
        }
    }
    if (!cc) {
        turn_away(std::move(sock), "too many control connections at once");
        log_.line("Control connection from uid %u refused: too many at once.\n", peer.uid);
        return;
    }
    if (set_cloexec(sock.get()) != 0 || set_nonblock(sock.get()) != 0) {
        log_.line("Control connection from uid %u dropped: %s\n", peer.uid, strerror(errno));
        return;
    }
    *cc = {};
    cc->uid = peer.uid;
    cc->since_s = monotonic_s();
    cc->fd = std::move(sock);
    control_entry(*cc) = pollfd{cc->fd.get(), POLLIN, 0};
}

void Server::serve_control(ControlClient& cc, short revents)
{
    if (cc.answered) {
        send_reply(cc);
        return;
    }
    if (!(revents & POLLIN)) {
        if (revents & (POLLERR | POLLHUP | POLLNVAL))
            drop_control(cc, nullptr);
        return;
    }
    char buf[control_recv_size];
    ssize_t n = recv(cc.fd.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        // Gone before its request was whole: nothing to answer.
        drop_control(cc, nullptr);
        return;
    }
    cc.in.append(buf, static_cast<size_t>(n));
    take_request(cc);
}

void Server::take_request(ControlClient& cc)
{
    std::vector<std::string_view> args;
    std::string_view problem;
    Reply r;
    switch (wire::parse_request(cc.in, args, problem)) {
    case wire::Framing::incomplete:
        return;
    case wire::Framing::too_long:
        r = {false, "request too long: at most " + std::to_string(control_request_max) + " bytes"};
        log_.line("Control connection from uid %u refused: request too long.\n", cc.uid);
        break;
    case wire::Framing::malformed:
        r = {false, "malformed request: " + std::string(problem)};
        log_.line("Control connection from uid %u refused: malformed request.\n", cc.uid);
        break;
    case wire::Framing::complete:
        r = control_request(room_, args, "uid " + std::to_string(cc.uid));
        break;
    }
    cc.out = wire::reply(r);
    if (cc.out.size() > control_reply_max) {
        cc.out = wire::reply({false, "reply too long"});
        log_.line("Control connection from uid %u: reply too long, not sent.\n", cc.uid);
    }
    std::string().swap(cc.in);
    cc.answered = true;
    control_entry(cc).events = POLLOUT;
    send_reply(cc);
}

void Server::send_reply(ControlClient& cc)
{
    while (cc.sent < cc.out.size()) {
        ssize_t n = send(cc.fd.get(), cc.out.data() + cc.sent, cc.out.size() - cc.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0)
            break;
        cc.sent += static_cast<size_t>(n);
    }
    drop_control(cc, nullptr);
}

void Server::drop_control(ControlClient& cc, const char* why)
{
    if (why)
        log_.line("Control connection from uid %u dropped: %s.\n", cc.uid, why);
    control_entry(cc) = pollfd{-1, POLLIN, 0};
    cc = {};
}

// One that sends nothing, or takes no reply, would hold its place for ever.
void Server::sweep_controls(int64_t now_s)
{
    for (ControlClient& cc : controls_) {
        if (!cc.fd || now_s - cc.since_s < control_timeout_s)
            continue;
        if (!cc.answered)
            turn_away(std::move(cc.fd), "timeout: no whole request within " + std::to_string(control_timeout_s) + " s");
        drop_control(cc, "timeout");
    }
}

}  // namespace nchatd

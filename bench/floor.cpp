// nchatd-floor: the least a poll-based relay can do, as a yardstick for the
// benchmark.  It has no protocol beyond ncat --chat's greeting and "<userN>"
// tag, no line editing and no screen redraw: it reads lines, appends a copy
// for every client to that client's queue, and ends each loop turn with one
// send per client that has something queued.  The sender gets its copy too,
// as a chat server shows users their own lines: without it the floor would
// make one send fewer per line than nchatd for the same copies counted.  What nchatd spends above
// this is its own; what this spends is the kernel's.
//
// usage: nchatd-floor PORT CAPACITY
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t floor_input_max = 4096;  // a longer unterminated line closes the client
constexpr size_t floor_queue_max = 1 << 20; // a client this far behind is closed
constexpr int floor_capacity_max = 65536;
// nchatd's backlog and accepts per turn, so that a burst of connects meets
// the same queue and the same pace.
constexpr int floor_backlog = 4096; // the kernel caps it at net.core.somaxconn
constexpr int floor_accepts_per_turn = 32;

struct peer {
    int fd = -1;
    std::string in;
    std::string out;
    size_t sent = 0; // bytes of out already taken by the kernel
};

int floor_listen(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(s, floor_backlog) < 0) {
        close(s);
        return -1;
    }
    return s;
}

// True when a connection was taken.
bool floor_accept(int listener, std::vector<peer>& peers, std::vector<pollfd>& fds)
{
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    for (size_t i = 1; i < peers.size(); ++i) {
        if (peers[i].fd >= 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        peers[i] = peer{fd, {}, "<announce> already connected: nobody.\n", 0};
        fds[i] = pollfd{fd, POLLIN, 0};
        return true;
    }
    close(fd);
    return true;
}

void floor_close(peer& p, pollfd& pfd)
{
    close(p.fd);
    p = peer{};
    pfd = pollfd{-1, 0, 0};
}

void floor_relay(std::vector<peer>& peers, size_t from, std::string_view line)
{
    std::string tag = "<user" + std::to_string(from) + "> ";
    for (size_t i = 1; i < peers.size(); ++i) {
        if (peers[i].fd < 0)
            continue;
        peers[i].out += tag;
        peers[i].out += line;
    }
}

// Returns false when the client has gone.
bool floor_read(std::vector<peer>& peers, size_t i)
{
    char buf[4096];
    ssize_t n = recv(peers[i].fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (n < 0)
        return true;
    std::string& in = peers[i].in;
    in.append(buf, size_t(n));
    size_t start = 0;
    for (size_t nl = in.find('\n'); nl != in.npos; nl = in.find('\n', start)) {
        floor_relay(peers, i, std::string_view(in).substr(start, nl + 1 - start));
        start = nl + 1;
    }
    in.erase(0, start);
    return in.size() <= floor_input_max;
}

// One send of everything queued; returns false when the client has gone.
bool floor_flush(peer& p, pollfd& pfd)
{
    if (p.sent < p.out.size()) {
        ssize_t n = send(p.fd, p.out.data() + p.sent, p.out.size() - p.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            p.sent += size_t(n);
    }
    if (p.sent == p.out.size()) {
        p.out.clear();
        p.sent = 0;
    }
    pfd.events = short(POLLIN | (p.out.empty() ? 0 : POLLOUT));
    return p.out.size() - p.sent <= floor_queue_max;
}

} // namespace

int main(int argc, char** argv)
{
    int port = argc == 3 ? atoi(argv[1]) : 0;
    int capacity = argc == 3 ? atoi(argv[2]) : 0;
    if (port < 1 || port > 65535 || capacity < 1 || capacity > floor_capacity_max) {
        fprintf(stderr, "usage: nchatd-floor PORT CAPACITY (1 to %d)\n", floor_capacity_max);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int listener = floor_listen(port);
    if (listener < 0) {
        perror("nchatd-floor: listen");
        return 1;
    }
    size_t slots = size_t(capacity) + 1;
    std::vector<peer> peers(slots);
    std::vector<pollfd> fds(slots, pollfd{-1, 0, 0});
    fds[0] = pollfd{listener, POLLIN, 0};
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("nchatd-floor: poll"); // EINVAL: more slots than the open-files limit
            return 1;
        }
        for (int n = 0; (fds[0].revents & POLLIN) && n < floor_accepts_per_turn; ++n)
            if (!floor_accept(listener, peers, fds))
                break;
        for (size_t i = 1; i < slots; ++i)
            if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) && !floor_read(peers, i))
                floor_close(peers[i], fds[i]);
        for (size_t i = 1; i < slots; ++i)
            if (peers[i].fd >= 0 && !floor_flush(peers[i], fds[i]))
                floor_close(peers[i], fds[i]);
    }
}

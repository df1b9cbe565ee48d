#include "unit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "harness.h"
#include "msg.h"

namespace unit {

bench::bench(int max_users, bool daemonized)
{
    if (nchatd_server_init(s, max_users, daemonized) != 0)
        abort();
    for (int& c : clients_)
        c = -1;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        abort();
    port_ = ntohs(addr.sin_port);
}

bench::~bench()
{
    for (int c : clients_) {
        if (c >= 0)
            close(c);
    }
    close(listener_);
    nchatd_server_free(s);
}

int bench::connect(bool keep, int rcvbuf)
{
    int c = harness::connect_loopback(port_, rcvbuf);
    if (c < 0)
        abort();
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int sock = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &len);
    if (sock < 0)
        abort();
    nchatd_admit(s, sock, peer);
    int slot = -1;
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        if (s.users[i].in_use && s.users[i].sock == sock)
            slot = i;
    }
    if (slot < 0) {
        // Refused: hand back the client end anyway so the test can read why.
        return c;
    }
    if (clients_[slot] >= 0)
        close(clients_[slot]);
    clients_[slot] = c;
    if (!keep)
        read(slot);
    return slot;
}

int bench::login(std::string_view name, int rcvbuf)
{
    int slot = connect(false, rcvbuf);
    feed(slot, std::string(name) + "\r\n");
    read(slot);
    return slot;
}

void bench::feed(int slot, std::string_view bytes)
{
    nchatd_process_input(s, s.users[slot], reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    nchatd_reap_doomed(s);
    nchatd_flush_all(s);
}

std::string bench::read(int slot, int wait_ms)
{
    nchatd_flush_all(s);
    std::string out;
    int c = clients_[slot];
    if (c < 0)
        return out;
    char buf[65536];
    for (;;) {
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, out.empty() ? wait_ms : 0) <= 0)
            break;
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void bench::drain_all()
{
    for (int i = 0; i < static_cast<int>(s.max_users); ++i)
        read(i, 0);
}

bool bench::closed(int slot)
{
    return !s.users[slot].in_use;
}

std::string mask(std::string_view text)
{
    return harness::mask_stamps(text);
}

}  // namespace unit

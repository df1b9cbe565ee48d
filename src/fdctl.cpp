#include "fdctl.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bounds.h"

namespace nchatd {

namespace {

// Adds `flag` with the get/set pair given, leaving the other flags alone and
// skipping the write when the flag is already there.
int add_flag(int fd, int get, int set, int flag)
{
    int flags = fcntl(fd, get);
    if (flags < 0)
        return -1;
    if (flags & flag)
        return 0;
    return fcntl(fd, set, flags | flag) < 0 ? -1 : 0;
}

}  // namespace

int set_cloexec(int fd)
{
    return add_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC);
}

int set_nonblock(int fd)
{
    return add_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK);
}

int set_keepalive(int sock)
{
    const int on = 1;
    int r = setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (r != 0)
        return r;
    r = setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &keepidle_s, sizeof keepidle_s);
    if (r != 0)
        return r;
    r = setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &keepintvl_s, sizeof keepintvl_s);
    if (r != 0)
        return r;
    return setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &keepcnt, sizeof keepcnt);
}

int set_sndbuf(int sock, int bytes)
{
    return setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int set_nodelay(int sock)
{
    int on = 1;
    return setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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

}  // namespace nchatd

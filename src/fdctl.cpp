#include "fdctl.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

int nchatd_set_cloexec(int fd)
{
    return add_flag(fd, F_GETFD, F_SETFD, FD_CLOEXEC);
}

int nchatd_set_nonblock(int fd)
{
    return add_flag(fd, F_GETFL, F_SETFL, O_NONBLOCK);
}

int nchatd_set_keepalive(int sock)
{
    int r = setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &opt_keepalive, sizeof opt_keepalive);
    if (r != 0)
        return r;
    r = setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &opt_keepidle, sizeof opt_keepidle);
    if (r != 0)
        return r;
    r = setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &opt_keepintvl, sizeof opt_keepintvl);
    if (r != 0)
        return r;
    return setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &opt_keepcnt, sizeof opt_keepcnt);
}

int nchatd_set_sndbuf(int sock, int bytes)
{
    return setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int nchatd_set_nodelay(int sock)
{
    int on = 1;
    return setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

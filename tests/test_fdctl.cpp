#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "fdctl.h"

namespace {

int int_option(int sock, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(sock, level, name, &value, &len);
    return value;
}

TEST(Fdctl, FlagsAreAddedOnceAndOthersKept)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(fcntl(sock, F_SETFL, O_APPEND), 0);

    EXPECT_EQ(nchatd_set_cloexec(sock), 0);
    EXPECT_TRUE(fcntl(sock, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(nchatd_set_cloexec(sock), 0);  // already set: still fine

    EXPECT_EQ(nchatd_set_nonblock(sock), 0);
    int fl = fcntl(sock, F_GETFL);
    EXPECT_TRUE(fl & O_NONBLOCK);
    EXPECT_TRUE(fl & O_APPEND) << "other status flags must survive";
    EXPECT_EQ(nchatd_set_nonblock(sock), 0);
    close(sock);
}

TEST(Fdctl, KeepaliveValues)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(nchatd_set_keepalive(sock), 0);
    EXPECT_EQ(int_option(sock, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(sock, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(int_option(sock, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(int_option(sock, IPPROTO_TCP, TCP_KEEPCNT), 5);

    ASSERT_EQ(nchatd_set_nodelay(sock), 0);
    EXPECT_EQ(int_option(sock, IPPROTO_TCP, TCP_NODELAY), 1);
    ASSERT_EQ(nchatd_set_sndbuf(sock, 32768), 0);
    EXPECT_GE(int_option(sock, SOL_SOCKET, SO_SNDBUF), 32768);
    close(sock);
}

TEST(Fdctl, InvalidDescriptorFailsWithErrno)
{
    errno = 0;
    EXPECT_EQ(nchatd_set_cloexec(-1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(nchatd_set_nonblock(-1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_LT(nchatd_set_keepalive(-1), 0);
    EXPECT_EQ(errno, EBADF);

    // A descriptor that is no TCP socket fails at the TCP-level option,
    // after keep-alive itself was switched on.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_LT(nchatd_set_keepalive(fds[0]), 0);
    EXPECT_NE(errno, 0);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

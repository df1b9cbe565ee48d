#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <gtest/gtest.h>

#include "fdctl.h"
#include "harness.h"

namespace {

using harness::int_option;

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

TEST(Fdctl, FlagsAreAddedOnceAndOthersKept)
{
    nchatd::unique_fd sock(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(sock);
    ASSERT_EQ(fcntl(sock.get(), F_SETFL, O_APPEND), 0);

    EXPECT_EQ(nchatd::set_cloexec(sock.get()), 0);
    EXPECT_TRUE(fcntl(sock.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(nchatd::set_cloexec(sock.get()), 0);  // already set: still fine

    EXPECT_EQ(nchatd::set_nonblock(sock.get()), 0);
    int fl = fcntl(sock.get(), F_GETFL);
    EXPECT_TRUE(fl & O_NONBLOCK);
    EXPECT_TRUE(fl & O_APPEND) << "other status flags must survive";
    EXPECT_EQ(nchatd::set_nonblock(sock.get()), 0);
}

TEST(Fdctl, SocketOptionValues)
{
    nchatd::unique_fd sock(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(nchatd::set_keepalive(sock.get()), 0);
    EXPECT_EQ(int_option(sock.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(sock.get(), IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(int_option(sock.get(), IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(int_option(sock.get(), IPPROTO_TCP, TCP_KEEPCNT), 5);

    ASSERT_EQ(nchatd::set_nodelay(sock.get()), 0);
    EXPECT_EQ(int_option(sock.get(), IPPROTO_TCP, TCP_NODELAY), 1);
    ASSERT_EQ(nchatd::set_sndbuf(sock.get(), 32768), 0);
    EXPECT_GE(int_option(sock.get(), SOL_SOCKET, SO_SNDBUF), 32768);
}

TEST(Fdctl, InvalidDescriptorFailsWithErrno)
{
    errno = 0;
    EXPECT_EQ(nchatd::set_cloexec(-1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(nchatd::set_nonblock(-1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_LT(nchatd::set_keepalive(-1), 0);
    EXPECT_EQ(errno, EBADF);

    // A descriptor that is no TCP socket fails at the TCP-level option,
    // after keep-alive itself was switched on.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    nchatd::unique_fd a(fds[0]), b(fds[1]);
    errno = 0;
    EXPECT_LT(nchatd::set_keepalive(a.get()), 0);
    EXPECT_NE(errno, 0);
}

// Exactly one close per descriptor: on reset, on assignment over an owned
// one and at the end of scope, never after release.
TEST(Fdctl, UniqueFdClosesWhatItOwnsOnce)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        nchatd::unique_fd a(fds[0]);
        nchatd::unique_fd b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), fds[0]);
        nchatd::unique_fd& same = b;
        b = std::move(same);  // to itself: still owned
        EXPECT_TRUE(is_open(fds[0]));
        nchatd::unique_fd c(fds[1]);
        b = std::move(c);  // closes the read end, takes the write end
        EXPECT_FALSE(is_open(fds[0]));
        EXPECT_EQ(b.get(), fds[1]);
        EXPECT_EQ(b.release(), fds[1]);
        EXPECT_FALSE(b);
    }
    EXPECT_TRUE(is_open(fds[1])) << "a released descriptor is the caller's";
    nchatd::unique_fd d(fds[1]);
    d.reset();
    EXPECT_FALSE(is_open(fds[1]));
    EXPECT_EQ(d.get(), -1);
}

}  // namespace

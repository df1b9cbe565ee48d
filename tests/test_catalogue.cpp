// Fixed message texts of the login dialogue's refusals, the connection log
// lines that go with them, and the refusal of a socket that cannot be set
// up.  (The greeting and the names taken: test_chat, over the real binary.)
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "harness.h"
#include "server.h"
#include "unit.h"

namespace {

// Each refusal with its reply and its log line; whatever follows the
// refused name in the same receive is never looked at.
TEST(Catalogue, RefusedNamesEndTheConnection)
{
    const std::string too_long = "* name is too long, disconnecting\r\n";
    const std::string invalid = "* name contains invalid characters or too long\r\n";
    struct refusal {
        std::string name, reply, reason;
    };
    const refusal rows[] = {
        {std::string(21, 'x'), too_long, "name too long"},
        {"/" + std::string(20, 'x'), too_long, "name too long"},  // long wins
        {"tab\tin the twenty-one", too_long, "name too long"},
        {"/list", invalid, "invalid name"},
        {"/", invalid, "invalid name"},
        {"a\tb", invalid, "invalid name"},
        {"w", "* name already taken!\r\n", "duplicate name"},
        {" w", invalid, "invalid name"},
        {"w ", invalid, "invalid name"},  // would look like "w" in /list
        {" ", invalid, "invalid name"},
    };
    unit::bench b;
    int w = b.login("w");
    for (const auto& [name, text, reason] : rows) {
        SCOPED_TRACE(name);
        int n = b.connect();
        EXPECT_EQ(n, 1) << "the freed slot is offered again";
        const std::string port = std::to_string(b.user(n).peer.port);
        b.feed(n, name + "\r\n/list\r\nhello\r\n");
        EXPECT_EQ(b.read(n), name + "\r\n" + text);
        EXPECT_TRUE(b.closed(n));
        EXPECT_FALSE(b.user(n).fd);
        EXPECT_FALSE(b.user(n).named());
        EXPECT_TRUE(b.log.ends_with("127.0.0.1:" + port + " dropped: " + reason + ".\n")) << b.log;
    }
    EXPECT_EQ(b.read(w), "");  // nobody was announced, nobody leaves
    EXPECT_EQ(b.log.find("has been closed"), std::string::npos);
}

TEST(Catalogue, LogLinesOfConnectionEvents)
{
    unit::bench b;
    int a = b.connect();
    b.feed(a, "al\r\n");
    int c = b.connect();
    b.feed(c, "al\r\n");
    c = b.connect();
    b.feed(c, "/x\r\n");
    c = b.connect();
    b.feed(c, std::string(21, 'y') + "\r\n");
    b.feed(a, "/quit\r\n");
    EXPECT_EQ(b.log, "Connection from 127.0.0.1:40000 accepted.\n"
                     "Connection from 127.0.0.1:40000 named as \"al\"\n"
                     "Connection from 127.0.0.1:40001 accepted.\n"
                     "Connection from 127.0.0.1:40001 dropped: duplicate name.\n"
                     "Connection from 127.0.0.1:40002 accepted.\n"
                     "Connection from 127.0.0.1:40002 dropped: invalid name.\n"
                     "Connection from 127.0.0.1:40003 accepted.\n"
                     "Connection from 127.0.0.1:40003 dropped: name too long.\n"
                     "Connection from 127.0.0.1:40000 has been closed (user \"al\").\n");
}

TEST(Catalogue, SocketThatCannotBeSetUpIsRefusedWithTheReason)
{
    std::string log;
    nchatd::Log logger(&log);
    nchatd::Server server(1, nchatd::Limits{}, logger);

    // A socket pair takes no TCP keep-alive settings.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    nchatd::unique_fd ours(pair[1]);
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    server.admit(nchatd::unique_fd(pair[0]), local);
    const std::string reason = strerror(EOPNOTSUPP);
    EXPECT_EQ(harness::receive(ours.get(), 200), "ERROR: " + reason + ". Try again later.\r\nDisconnecting.\r\n");
    EXPECT_TRUE(log.starts_with("Connection from ") && log.ends_with(" dropped: " + reason + "\n")) << log;

    // It did not keep the only slot.
    int client_fd = -1;
    sockaddr_storage peer{};
    nchatd::unique_fd accepted(harness::loopback_connection(client_fd, peer));
    nchatd::unique_fd client(client_fd);
    ASSERT_TRUE(accepted && client);
    server.admit(std::move(accepted), peer);
    server.room().flush_all();
    EXPECT_EQ(harness::receive(client.get(), harness::welcome.size()), harness::welcome);
    EXPECT_NE(log.find(" accepted.\n"), std::string::npos) << log;
}

}  // namespace

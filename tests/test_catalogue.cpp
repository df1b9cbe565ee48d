// Fixed message texts, the login dialogue they belong to, and the
// connection log lines that go with them in the foreground.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "msg.h"
#include "unit.h"

using namespace std::literals;

namespace {

TEST(Catalogue, GreetingAndSuccessfulLogin)
{
    unit::bench b;
    int w = b.login("w");
    int n = b.connect(true);
    // The name prompt ends after ": ", without a line end.
    EXPECT_EQ(b.read(n), "Welcome to Nimbra chat v0.3.5!\r\nEnter your name (max 20 chars): ");
    b.feed(n, "alice\r\n");
    EXPECT_EQ(unit::mask(b.read(n)), "alice\r\nSS:SS * logged in as alice\r\n> ");
    EXPECT_EQ(unit::mask(b.read(w)), "\x1b[0m\rSS:SS * user alice logged in from 127.0.0.1\r\n> ");

    // Taken as typed: 20 characters, spaces inside, another case,
    // even while a second connection sits at its own name prompt.
    b.connect();
    for (std::string name : {"abcdefghijklmnopqrst"s, "a  b"s, "W"s}) {
        int c = b.connect();
        b.feed(c, name + "\r");
        EXPECT_EQ(unit::mask(b.read(c)), name + "\r\nSS:SS * logged in as " + name + "\r\n> ");
        EXPECT_EQ(b.user(c).name, name);
    }
}

TEST(Catalogue, RefusedNamesEndTheConnection)
{
    const std::string too_long = "* name is too long, disconnecting\r\n";
    const std::string invalid = "* name contains invalid characters or too long\r\n";
    const std::pair<std::string, std::string> rows[] = {
        {std::string(21, 'x'), too_long}, {"/" + std::string(20, 'x'), too_long},  // long wins
        {"/list", invalid},               {"/", invalid},
        {"a\tb", invalid},                {"w", "* name already taken!\r\n"},
        {" w", invalid},                  {"w ", invalid},  // would look like "w" in /list
        {" ", invalid},
    };
    unit::bench b;
    int w = b.login("w");
    for (const auto& [name, text] : rows) {
        int n = b.connect();
        EXPECT_EQ(n, 1) << "the freed slot is offered again";
        b.feed(n, name + "\r\n");
        EXPECT_EQ(b.read(n), name + "\r\n" + text) << name;
        EXPECT_TRUE(b.closed(n)) << name;
        EXPECT_EQ(b.user(n).sock, -1);
        EXPECT_EQ(b.user(n).name[0], '\0');
    }
    EXPECT_EQ(b.read(w), "");  // nobody was announced, nobody leaves
}

TEST(Catalogue, RefusalsOfAdmissionByteForByte)
{
    // The texts a refused socket gets; the others show in the dialogues.
    unit::bench b;
    int a = b.login("al");
    nchatd_msg_errno(b.s, b.user(a), EPIPE);
    EXPECT_EQ(b.read(a), "ERROR: Broken pipe. Try again later.\r\nDisconnecting.\r\n");
    nchatd_msg_errno(b.s, b.user(a), 9999);
    EXPECT_EQ(b.read(a), "ERROR: "s + strerror(9999) + ". Try again later.\r\nDisconnecting.\r\n");
    nchatd_msg_noresource(b.s, b.user(a));
    EXPECT_EQ(b.read(a), "Not enough resource available. Try again later.\r\nDisconnecting.\r\n");
}

// Replaces the port in each "Connection from 127.0.0.1:PORT" by "A" when
// it is `mine`, else by "P".
std::string ports_masked(const std::string& log, unsigned mine)
{
    std::string out;
    const std::string from = "Connection from 127.0.0.1:";
    size_t at = 0;
    for (size_t hit; (hit = log.find(from, at)) != std::string::npos;) {
        size_t digits = hit + from.size();
        size_t after = log.find_first_not_of("0123456789", digits);
        out += log.substr(at, digits - at) + (log.substr(digits, after - digits) == std::to_string(mine) ? "A" : "P");
        at = after;
    }
    return out + log.substr(at);
}

TEST(Catalogue, FullTableRefusesEvenForUnnamedConnections)
{
    unit::bench b(2, false);
    testing::internal::CaptureStdout();
    b.login("al");
    b.connect();  // at the name prompt, but it holds a slot
    int fd = b.connect();
    fflush(stdout);
    EXPECT_EQ(ports_masked(testing::internal::GetCapturedStdout(), 0),
              "Connection from 127.0.0.1:P accepted.\nConnection from 127.0.0.1:P named as \"al\"\n"
              "Connection from 127.0.0.1:P accepted.\nConnection from 127.0.0.1:P dropped: too many users.\n");
    timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string got(200, '\0');
    ssize_t n = recv(fd, got.data(), got.size(), MSG_WAITALL);  // all of it, up to the close
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(got, "Too many client are connected. Try again later.\r\nDisconnecting.\r\n");
    close(fd);
}

// One of each connection event; returns what the server logged.
std::string log_of_events(bool daemonized)
{
    unit::bench b(8, daemonized);
    testing::internal::CaptureStdout();
    int a = b.connect();
    b.feed(a, "al\r\n");
    int c = b.connect();
    b.feed(c, "al\r\n");
    c = b.connect();
    b.feed(c, "/x\r\n");
    c = b.connect();
    b.feed(c, std::string(21, 'y') + "\r\n");
    b.feed(a, "/quit\r\n");
    fflush(stdout);
    return ports_masked(testing::internal::GetCapturedStdout(), b.user(a).port);
}

TEST(Catalogue, LogLinesOnlyInTheForeground)
{
    EXPECT_EQ(log_of_events(true), "");
    EXPECT_EQ(log_of_events(false), "Connection from 127.0.0.1:A accepted.\n"
                                    "Connection from 127.0.0.1:A named as \"al\"\n"
                                    "Connection from 127.0.0.1:P accepted.\n"
                                    "Connection from 127.0.0.1:P dropped: duplicate name.\n"
                                    "Connection from 127.0.0.1:P accepted.\n"
                                    "Connection from 127.0.0.1:P dropped: invalid name.\n"
                                    "Connection from 127.0.0.1:P accepted.\n"
                                    "Connection from 127.0.0.1:P dropped: name too long.\n"
                                    "Connection from 127.0.0.1:A has been closed (user \"al\").\n");
}

}  // namespace

// The defences per source, through the real binary, with clients on
// several 127.0.0.x addresses; and the source key in-process, since
// loopback has one IPv6 address.  Judged by events and generous bounds.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "sources.h"

namespace {

using harness::client;
using harness::welcome;
using clock_type = std::chrono::steady_clock;

const std::string too_many_from = "Too many connections from your address. Try again later.";

using harness::occurrences;

// A peer's address as accept gives it to the server.
sockaddr_storage address(const char* text)
{
    return harness::numeric_address(text);
}

}  // namespace

TEST(Sources, IPv6CountsBySlash64AndTheTableStaysBounded)
{
    using nchatd::source_key;
    EXPECT_EQ(source_key(address("2001:db8:1:2::1")), source_key(address("2001:db8:1:2:ffff:ffff:ffff:ffff")));
    EXPECT_NE(source_key(address("2001:db8:1:2::1")), source_key(address("2001:db8:1:3::1")));
    // An IPv4 client on the IPv6 socket is the same source as on the IPv4 one.
    EXPECT_EQ(source_key(address("::ffff:192.0.2.7")), source_key(address("192.0.2.7")));
    EXPECT_NE(source_key(address("192.0.2.7")), source_key(address("192.0.2.8")));
    EXPECT_NE(source_key(address("::ffff:192.0.2.7")), source_key(address("::")));

    // Many sources pass through a small table: it never grows, an entry
    // with connections is never reused, and a known source finds its entry.
    nchatd::Sources table(8);
    const uint32_t held = table.find_or_add(source_key(address("10.0.0.1")));
    table.at(held).connections = 1;
    table.at(held).lines.until_us = 1;
    for (int i = 0; i < 1000; ++i) {
        std::string a = "2001:db8:" + std::to_string(i % 9999) + "::1";
        const uint32_t e = table.find_or_add(source_key(address(a.c_str())));
        ASSERT_LT(e, table.capacity());
        ASSERT_NE(e, held);
    }
    EXPECT_LE(table.size(), table.capacity());
    EXPECT_EQ(table.find_or_add(source_key(address("10.0.0.1"))), held);
    EXPECT_EQ(table.at(held).lines.until_us, 1);
}

// One address reconnecting in a loop, each connection with a fresh name,
// 23 lines and /quit: its connects are refused past the burst, logged once,
// and what it relays stays within one source's line budget.  Another
// address, and a user of the same address already in, are untouched.
TEST(Sources, ReconnectFloodIsThrottledAndBudgeted)
{
    harness::server srv;
    ASSERT_TRUE(srv.start({"-u", "0", "-T", "0"}));
    client reader, insider, other;
    ASSERT_TRUE(reader.login(srv.port(), "reader", "127.0.0.3"));
    ASSERT_TRUE(insider.login(srv.port(), "insider", "127.0.0.2"));
    const std::string burst = harness::numbered_lines("flood", 23);
    const auto start = clock_type::now();
    int refused = 0;
    std::vector<client> in;  // kept open: the server reads what they sent
    for (int i = 0; i < 40; ++i) {
        client& f = in.emplace_back();
        ASSERT_TRUE(f.connect(srv.port(), 0, "127.0.0.2"));
        ASSERT_TRUE(f.read_until("\r\n"));
        if (f.received().find(too_many_from) != std::string::npos) {
            ++refused;
            continue;
        }
        ASSERT_TRUE(f.read_until(welcome));
        f.send("f" + std::to_string(i) + "\r\n" + burst + "/quit\r\n");
        reader.read_for(0);
    }
    reader.read_for(1000);
    const double secs = std::chrono::duration<double>(clock_type::now() - start).count();
    const size_t relayed = occurrences(reader.received(), "flood ");
    // The burst of 10 is spent by the first ten; then one a second.
    EXPECT_GE(refused, 40 - 10 - static_cast<int>(secs) - 1) << secs << " s";
    EXPECT_EQ(occurrences(srv.log(), "dropped: too many connects from this address."), 1u);
    // Ten connections at the old defaults relayed 230 lines at once; now
    // the burst of 50 and 20 a second, give or take a receive or two.
    EXPECT_LE(relayed, 100 + static_cast<size_t>(25 * secs)) << secs << " s";
    EXPECT_GT(relayed, 0u);
    ASSERT_TRUE(other.login(srv.port(), "other", "127.0.0.4"));
    ASSERT_TRUE(other.send("hello\r\n"));
    EXPECT_TRUE(reader.read_until("<other> hello"));
    EXPECT_EQ(occurrences(srv.log(), "(user \"insider\")"), 0u) << "the user already in stays";
}

// A source over its connect rate is held before its refusal (-T), which
// is the same text and end: a script that waits for it makes far fewer
// connects than when it is answered at once.  Held refusals are bounded
// (past the bound they are answered at once), do not keep out another
// address, and are answered at the stop.
TEST(Sources, ConnectRefusalsAreHeld)
{
    const std::string refusal = too_many_from + "\r\nDisconnecting.\r\n";
    // Connects made in 1.5 s by a loop that waits for each refusal.
    const auto flood = [&](const char* hold_ms) {
        harness::server srv;
        EXPECT_TRUE(srv.start({"-k", "1", "-T", hold_ms}));
        int connects = 0;
        for (const auto start = clock_type::now(); harness::ms_since(start) < 1500 && connects < 5000; ++connects) {
            client f;
            const auto at = clock_type::now();
            EXPECT_TRUE(f.connect(srv.port(), 0, "127.0.0.2") && f.read_until("\r\n"));
            if (f.received().starts_with("Welcome"))
                continue;  // the connect the rate gives back each second
            EXPECT_TRUE(f.wait_closed());
            EXPECT_EQ(f.received(), refusal);
            EXPECT_GE(harness::ms_since(at), std::atol(hold_ms));
            if (::testing::Test::HasFailure())
                break;
        }
        return connects;
    };
    const int held = flood("400");
    const int answered = flood("0");
    EXPECT_GE(held, 2);
    EXPECT_GT(answered, 5 * held) << held << " held";

    harness::server srv;
    ASSERT_TRUE(srv.start({"-k", "1", "-T", "60000", "-u", "0", "-m", "0"}));
    std::vector<client> flooders(70);
    for (client& f : flooders)
        ASSERT_TRUE(f.connect(srv.port(), 0, "127.0.0.2"));
    // The first gets in and 64 of the others are held; past them (by the
    // 70th, unless the rate gave back several connects meanwhile) a
    // refusal is answered at once.
    EXPECT_TRUE(flooders[0].read_until(welcome));
    EXPECT_TRUE(flooders[69].wait_closed());
    EXPECT_EQ(flooders[69].received(), refusal);
    client other;
    ASSERT_TRUE(other.login(srv.port(), "other", "127.0.0.4"));
    std::vector<client*> silent;
    for (size_t i = 1; i < flooders.size(); ++i) {
        flooders[i].read_for(0);
        if (flooders[i].received().empty())
            silent.push_back(&flooders[i]);
    }
    EXPECT_EQ(silent.size(), 64u);
    EXPECT_EQ(srv.finish(SIGTERM, 5000), 0);
    for (client* f : silent) {
        EXPECT_TRUE(f->wait_closed());
        EXPECT_EQ(f->received(), refusal);
    }
    EXPECT_GE(occurrences(srv.log(), "dropped: too many connects from this address."), 1u);
}

// With -R 1 a source's shared budget outlives its connection: the next
// connection from it starts held back, and another address is not.
TEST(Sources, SharedBudgetOutlivesTheConnection)
{
    harness::server srv;
    ASSERT_TRUE(srv.start({"-r", "0", "-R", "1"}));
    client reader, first, second, other;
    ASSERT_TRUE(reader.login(srv.port(), "reader", "127.0.0.3"));
    ASSERT_TRUE(first.login(srv.port(), "first", "127.0.0.2"));
    ASSERT_TRUE(first.send(harness::numbered_lines("line", 80)));
    ASSERT_TRUE(srv.wait_log(harness::log_prefix(first) + " held back: input flood.\n"));
    first.close();
    ASSERT_TRUE(second.connect(srv.port(), 0, "127.0.0.2") && second.read_until(welcome));
    ASSERT_TRUE(second.send("second\r\nagain\r\n"));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(second) + " held back: input flood.\n"));
    ASSERT_TRUE(other.login(srv.port(), "other", "127.0.0.4"));
    ASSERT_TRUE(other.send("free\r\n"));
    EXPECT_TRUE(reader.read_until("<other> free"));
    EXPECT_EQ(occurrences(srv.log(), "named as \"second\""), 0u);
}

// The cap per source counts logged-in users too; a full table makes room
// by the oldest waiter at the name prompt, never by a logged-in user.
TEST(Sources, CapPerSourceAndAFullTableThatLetsPeopleIn)
{
    harness::server srv;
    ASSERT_TRUE(srv.start({"-n", "8", "-e", "1"}));  // -m: a quarter, 2
    client a, b, c, d;
    ASSERT_TRUE(a.login(srv.port(), "a", "127.0.0.2"));
    ASSERT_TRUE(b.login(srv.port(), "b", "127.0.0.2"));
    ASSERT_TRUE(c.connect(srv.port(), 0, "127.0.0.2"));
    EXPECT_TRUE(c.read_until(too_many_from));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(c) + " dropped: too many connections from this address.\n"));
    ASSERT_TRUE(d.login(srv.port(), "d", "127.0.0.3"));

    // Five waiters at the name prompt from three more addresses fill it up.
    std::vector<client> waiters(5);
    const char* from[] = {"127.0.0.4", "127.0.0.4", "127.0.0.5", "127.0.0.5", "127.0.0.6"};
    for (size_t i = 0; i < waiters.size(); ++i)
        ASSERT_TRUE(waiters[i].connect(srv.port(), 0, from[i]) && waiters[i].read_until(welcome));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    client newcomer;
    ASSERT_TRUE(newcomer.login(srv.port(), "newcomer", "127.0.0.7"));
    size_t gave_way = 0;
    for (size_t i = 0; i < waiters.size(); ++i) {
        waiters[i].read_for(200);
        if (waiters[i].received().find("* no name entered in time, disconnecting") != std::string::npos) {
            ++gave_way;
            EXPECT_TRUE(waiters[i].wait_closed());
            EXPECT_TRUE(srv.wait_log(harness::log_prefix(waiters[i]) + " dropped: login timeout.\n"));
        } else {
            ASSERT_TRUE(waiters[i].send("w" + std::to_string(i) + "\r\n") && waiters[i].read_until("> "));
        }
    }
    EXPECT_EQ(gave_way, 1u);
    // Only logged-in users now: the next one is refused, nobody is evicted.
    client late;
    ASSERT_TRUE(late.connect(srv.port(), 0, "127.0.0.8"));
    EXPECT_TRUE(late.read_until("Too many client are connected."));
    EXPECT_TRUE(late.wait_closed());
    EXPECT_EQ(occurrences(srv.log(), "dropped: login timeout."), 1u);
    EXPECT_EQ(occurrences(srv.log(), "has been closed (user"), 0u);
}

// A user pasting commands whose replies overflow its queue is held back,
// not dropped, and gets every reply; a slow reader behind others' traffic
// has lines skipped, not the connection, and is told how many.
TEST(Sources, RepliesHoldInputAndOthersLinesAreSkipped)
{
    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-r", "0", "-u", "0"})));
    client paster, slow, writer;
    ASSERT_TRUE(paster.login(srv.port(), "paster", "127.0.0.2", 2048));
    std::string paste;
    for (int i = 0; i < 200; ++i)
        paste += "/help\r\n";
    ASSERT_TRUE(paster.send(paste));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(paster) + " held back: replies waiting.\n"));
    for (int i = 0; i < 300 && occurrences(paster.received(), "* end.") < 200; ++i)
        paster.read_for(50);
    EXPECT_EQ(occurrences(paster.received(), "* end."), 200u);
    EXPECT_EQ(occurrences(srv.log(), "output queue full"), 0u);

    ASSERT_TRUE(slow.login(srv.port(), "slow", "127.0.0.3", 2048));
    ASSERT_TRUE(writer.login(srv.port(), "writer", "127.0.0.4"));
    const std::string line = std::string(400, 'x') + "\r\n";
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(writer.send(line));
        writer.read_for(0);
    }
    writer.read_for(1000);  // the writer reads on; the slow reader does not
    // Then it reads: once drained, it is told what it missed.
    EXPECT_TRUE(slow.read_until("lines skipped: your connection is too slow\r\n", 15000));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(slow) + " missed "));
    EXPECT_EQ(occurrences(srv.log(), "output queue full"), 0u);
    ASSERT_TRUE(slow.send("/list\r\n"));
    EXPECT_TRUE(slow.read_until("* end.", 5000)) << "the slow reader is still in";
}

// Admission, refusal and disconnection, seen from real clients of the real
// server, and how the server copes with peers that vanish or with too few
// descriptors.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::client;
using harness::mask_stamps;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

using harness::welcome;
const std::string too_many = "Too many client are connected. Try again later.\r\nDisconnecting.\r\n";
const std::string no_resource = "Not enough resource available. Try again later.\r\nDisconnecting.\r\n";

TEST(Server, WelcomeAndDepartures)
{
    harness::server srv;
    ASSERT_TRUE(srv.start());
    client alice, bob, carol, guest;
    ASSERT_TRUE(alice.login(srv.port(), "alice"));
    ASSERT_TRUE(bob.login(srv.port(), "bob"));
    ASSERT_TRUE(carol.login(srv.port(), "carol"));
    ASSERT_TRUE(guest.connect(srv.port()));
    EXPECT_EQ(harness::take_masked(guest, welcome.size() + 1, 300), welcome) << "and no line prompt yet";
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(guest) + " accepted.\n"));
    alice.read_for(100);
    alice.take();

    // Without a name a client leaves unannounced.
    std::string gone = harness::log_prefix(guest) + " has been closed.\n";
    guest.close();
    EXPECT_TRUE(srv.wait_log(gone));
    alice.read_for(300);
    EXPECT_EQ(alice.take(), "");

    gone = harness::log_prefix(bob) + " has been closed (user \"bob\").\n";
    bob.close();
    const std::string notice = "\x1b[0m\rSS:SS * user bob logged off from 127.0.0.1\r\n> ";
    EXPECT_EQ(harness::take_masked(alice, notice.size()), notice);
    EXPECT_EQ(harness::take_masked(carol, notice.size()), notice);
    EXPECT_TRUE(srv.wait_log(gone));

    // A reset instead of an orderly end is a departure all the same.
    gone = harness::log_prefix(carol) + " has been closed (user \"carol\").\n";
    carol.reset();
    EXPECT_TRUE(alice.read_until("* user carol logged off from 127.0.0.1\r\n> "));
    EXPECT_TRUE(srv.wait_log(gone));
    client dave;
    EXPECT_TRUE(dave.login(srv.port(), "dave"));
}

TEST(Server, FullTableRefusesAndFreedSlotIsReusedFirst)
{
    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-n", "3", "-e", "0"})));
    client a, guest, c;
    ASSERT_TRUE(a.login(srv.port(), "a"));
    ASSERT_TRUE(guest.connect(srv.port()) && guest.read_until("chars): "));
    ASSERT_TRUE(c.login(srv.port(), "c"));

    // A connection still at its name prompt holds its slot.
    client late;
    ASSERT_TRUE(late.connect(srv.port()));
    EXPECT_EQ(harness::take_masked(late, too_many.size()), too_many);
    EXPECT_TRUE(late.wait_closed());
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(late) + " dropped: too many users.\n"));

    guest.close();
    ASSERT_TRUE(srv.wait_log(" has been closed.\n"));
    client d;
    ASSERT_TRUE(d.login(srv.port(), "d"));
    a.read_for(100);
    a.take();
    ASSERT_TRUE(a.send("/list\r\n"));
    ASSERT_TRUE(a.read_until("* end.\r\n> "));
    EXPECT_EQ(mask_stamps(a.take()), "/list\r\nSS:SS *   a\r\nSS:SS *   d\r\nSS:SS *   c\r\nSS:SS * end.\r\n> ");
    EXPECT_TRUE(srv.alive());
}

TEST(Server, LogLinesLeaveAtOnceThroughAPipe)
{
    harness::server srv;
    srv.log_through_pipe = true;
    ASSERT_TRUE(srv.start());
    client c;
    ASSERT_TRUE(c.connect(srv.port()));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(c) + " accepted.\n", 1000));
    ASSERT_TRUE(c.read_until("chars): ") && c.send("pat\r\n"));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(c) + " named as \"pat\"\n", 1000));
    std::string gone = harness::log_prefix(c) + " has been closed (user \"pat\").\n";
    c.close();
    EXPECT_TRUE(srv.wait_log(gone, 1000));
    EXPECT_EQ(srv.err(), "");
}

TEST(Server, PeersThatVanishWhileBeingWrittenTo)
{
    harness::server srv;
    // A burst of 40 lines at once: more than the line budget lets through.
    ASSERT_TRUE(srv.start({"-r", "0"}));
    client alice, bob, carol;
    ASSERT_TRUE(alice.login(srv.port(), "alice"));
    ASSERT_TRUE(bob.login(srv.port(), "bob"));
    ASSERT_TRUE(carol.login(srv.port(), "carol"));

    // Bob's own copy of his line goes to a socket he has already closed.
    ASSERT_TRUE(bob.send("see you\r\n"));
    bob.close();
    EXPECT_TRUE(alice.read_until("<bob> see you\r\n> "));
    EXPECT_TRUE(alice.read_until("* user bob logged off from 127.0.0.1\r\n> "));

    // Carol resets while the server is still working through a burst of
    // lines that fan out to her.
    std::string burst;
    for (int i = 0; i < 40; ++i)
        burst += "line " + std::to_string(100 + i) + " " + std::string(90, 'x') + "\r\n";
    ASSERT_TRUE(alice.send(burst));
    carol.reset();
    EXPECT_TRUE(alice.read_until("<\x1b[1malice\x1b[0m> line 139 "));
    EXPECT_TRUE(alice.read_until("* user carol logged off from 127.0.0.1\r\n> "));
    EXPECT_TRUE(srv.alive());

    client dave;
    ASSERT_TRUE(dave.login(srv.port(), "dave"));
    ASSERT_TRUE(alice.send("still here\r\n"));
    EXPECT_TRUE(dave.read_until("<alice> still here\r\n> "));
}

// A soft limit below what the clients need is raised to it; a hard limit
// that is too low is worth a warning, and holds its promise; six are what
// the server holds itself, so then no client can be served.
TEST(Server, OpenFilesLimitIsRaisedOrWarnedAbout)
{
    struct limit {
        std::string nofile, slots;
        int served;
        std::string warning, refusal;
    };
    const limit rows[] = {
        {"64:4096", "100", 100, "", too_many},
        {"64:64", "2048", 48, ": open files limit 64 is too low for 2048 clients; at most 48 can be served\n",
         " Try again later.\r\nDisconnecting.\r\n"},
        {"6:6", "50", 0, ": open files limit 6 is too low for 50 clients; none can be served\n", ""},
    };
    for (const limit& l : rows) {
        SCOPED_TRACE(l.nofile);
        harness::server srv;
        // All of them wait at the name prompt from one address: no limit on that.
        ASSERT_TRUE(
            srv.start(harness::one_host({"-n", l.slots, "-u", "0", "-e", "0"}), {"prlimit", "--nofile=" + l.nofile}));
        std::vector<client> clients(static_cast<size_t>(l.served) + 1);
        int welcomed = 0;
        for (int i = 0; i < l.served; ++i)
            welcomed += clients[i].connect(srv.port()) && clients[i].read_until(welcome, 2000);
        EXPECT_EQ(welcomed, l.served);
        if (!l.refusal.empty()) {
            ASSERT_TRUE(clients.back().connect(srv.port()));
            EXPECT_TRUE(clients.back().read_until(l.refusal));
        }
        EXPECT_EQ(srv.err(), l.warning.empty() ? "" : harness::binary() + l.warning);
    }
}

TEST(Server, OutOfDescriptorsRefusesWithoutSpinning)
{
    // Seven descriptors: the standard three, the listening socket, the
    // spare one kept for this case, the signal descriptor, and room for a
    // single client.
    harness::server srv;
    ASSERT_TRUE(srv.start({"-n", "50"}, {"prlimit", "--nofile=7:7"}));
    EXPECT_EQ(srv.err(),
              harness::binary() + ": open files limit 7 is too low for 50 clients; at most 1 can be served\n");
    client admitted;
    ASSERT_TRUE(admitted.connect(srv.port()) && admitted.read_until(welcome));

    // While refused connections arrive, the server stays idle in between.
    long before = harness::cpu_ticks(srv.pid());
    std::vector<client> refused(4);
    for (auto& c : refused) {
        ASSERT_TRUE(c.connect(srv.port()));
        std::this_thread::sleep_for(500ms);
    }
    long spent = harness::cpu_ticks(srv.pid()) - before;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 5) << "CPU ticks over 2 s";
    for (auto& c : refused) {
        EXPECT_EQ(harness::take_masked(c, no_resource.size(), 1000), no_resource);
        EXPECT_TRUE(c.wait_closed());
        EXPECT_TRUE(srv.wait_log(harness::log_prefix(c) + " dropped: no resource.\n"));
    }

    // Once the client leaves, the next one is served again.
    std::string gone = harness::log_prefix(admitted) + " has been closed.\n";
    admitted.close();
    EXPECT_TRUE(srv.wait_log(gone));
    client again;
    EXPECT_TRUE(again.login(srv.port(), "again"));
    EXPECT_TRUE(srv.alive());
}

}  // namespace

TEST(Server, ReaderDroppedInTheTurnItWasReadyIn)
{
    // The reader in the last slot never reads and never stops sending, so
    // it is ready in the very turn the writer's lines overflow its queue:
    // the turn's scan must still end at the table's end.
    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-n", "2", "-r", "0", "-o", "0"})));
    client writer, stuck;
    ASSERT_TRUE(writer.login(srv.port(), "writer"));
    ASSERT_TRUE(stuck.connect(srv.port(), 2048) && stuck.read_until("chars): "));
    ASSERT_TRUE(stuck.send("stuck\r\n") && stuck.read_until("> "));
    const std::string line = std::string(500, 'w') + "\r\n";
    // Kept ready: its socket always holds input the server has not read.
    const std::string noise(64 * 1024, 'x');
    for (int i = 0; i < 2000 && srv.log().find("dropped: output queue full.") == std::string::npos; ++i) {
        (void)::send(stuck.fd(), noise.data(), noise.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        ASSERT_TRUE(writer.send(line));
        writer.read_for(5);  // the writer keeps up with its own copies
        writer.take();
    }
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(stuck) + " dropped: output queue full.\n"));
    EXPECT_TRUE(srv.alive());
    writer.take();
    ASSERT_TRUE(writer.send("/list\r\n"));
    EXPECT_TRUE(writer.read_until("* end.\r\n> ")) << srv.log();
}

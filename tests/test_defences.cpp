// The defences of the real server against bursty and hostile clients:
// connect bursts, silent connections, floods, a stalled log, and memory
// held by queues that have drained.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "harness.h"
#include "server.h"

namespace {

using harness::client;
using harness::welcome;
using std::chrono::steady_clock;

using harness::ms_since;

// A connect() whose handshake the kernel completes while the server is
// stopped: the fd, or -1 when its SYN was dropped for a full queue.
int connect_queued(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int err = 0;
    socklen_t len = sizeof err;
    pollfd p{fd, POLLOUT, 0};
    if (fd < 0 || (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) ||
        poll(&p, 1, 2000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TEST(Defences, BurstOfConnectsWaitsInTheQueueAndIsGreetedInOrder)
{
    // More than a backlog of 511 holds, fewer than the kernel allows.
    int somaxconn = 0;
    std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
    const int n = std::min(600, std::max(somaxconn, 1));
    ASSERT_GT(harness::raise_open_files(2048), 0);

    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-n", std::to_string(n), "-u", "0"})));
    // A server that takes nobody meanwhile: everything waits in the queue.
    kill(srv.pid(), SIGSTOP);
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = connect_queued(srv.port());
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    kill(srv.pid(), SIGCONT);
    EXPECT_EQ(fds.size(), static_cast<size_t>(n)) << "connects turned away by a full accept queue";

    size_t greeted = 0;
    std::string log;
    size_t last_at = 0;
    bool in_order = true;
    for (int fd : fds) {
        std::string got;
        char buf[256];
        pollfd p{fd, POLLIN, 0};
        while (got.size() < welcome.size() && poll(&p, 1, 5000) == 1) {
            ssize_t r = read(fd, buf, sizeof buf);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        greeted += got == welcome;
        sockaddr_in me{};
        socklen_t len = sizeof me;
        getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
        const std::string line = "Connection from 127.0.0.1:" + std::to_string(ntohs(me.sin_port)) + " accepted.\n";
        if (log.find(line) == std::string::npos && srv.wait_log(line, 5000))
            log = srv.log();
        const size_t at = log.find(line);
        in_order = in_order && at != std::string::npos && at >= last_at;
        last_at = at;
        close(fd);
    }
    EXPECT_EQ(greeted, fds.size());
    EXPECT_TRUE(in_order) << "admitted in the order of the connects";
    EXPECT_TRUE(srv.alive());
}

TEST(Defences, SilentConnectionsTimeOutAndAreLimitedPerAddress)
{
    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-n", "6", "-g", "2", "-u", "3"})));
    // Two silent connections and one inside a subnegotiation that never ends.
    std::vector<client> idle(3);
    for (auto& c : idle)
        ASSERT_TRUE(c.connect(srv.port()) && c.read_until(welcome));
    ASSERT_TRUE(idle[2].send("\xff\xfa\x1f"));

    // A fourth from the same address is turned away; another address is not.
    client same;
    ASSERT_TRUE(same.connect(srv.port()));
    EXPECT_TRUE(same.read_until("Too many connections from your address. Try again later.\r\nDisconnecting.\r\n"));
    EXPECT_TRUE(same.wait_closed());
    EXPECT_TRUE(
        srv.wait_log(harness::log_prefix(same) + " dropped: too many unnamed connections from this address.\n"));
    client other;
    ASSERT_TRUE(other.connect(srv.port(), 0, "127.0.0.2"));
    EXPECT_TRUE(other.read_until(welcome));

    // Logged-in users never count: one logs in, and the address has room again.
    client alice;
    ASSERT_TRUE(idle[0].send("alice\r\n") && idle[0].read_until("> "));
    ASSERT_TRUE(alice.connect(srv.port()) && alice.read_until(welcome));

    // Past the grace, everybody still at the name prompt is told and closed.
    const std::string notice = "\r\n* no name entered in time, disconnecting\r\n";
    for (client* c : {&idle[1], &idle[2], &alice, &other}) {
        EXPECT_TRUE(c->read_until(notice, 4000));
        EXPECT_TRUE(c->wait_closed());
        EXPECT_TRUE(srv.wait_log(harness::log_prefix(*c) + " dropped: login timeout.\n"));
    }
    idle[0].take();
    ASSERT_TRUE(idle[0].send("/list\r\n"));
    EXPECT_TRUE(idle[0].read_until("* end.\r\n> ")) << "a logged-in user is never timed out";
}

TEST(Defences, FloodIsHeldBackWithoutLossWhilePastesAndOthersGoThrough)
{
    const int rate = 100;  // lines a second; the burst is 25 lines
    harness::server srv;
    ASSERT_TRUE(srv.start({"-r", std::to_string(rate)}));
    client writer, bob, reader;
    ASSERT_TRUE(writer.login(srv.port(), "writer"));
    ASSERT_TRUE(bob.login(srv.port(), "bob"));
    // A slow reader: a small receive buffer, read a little at a time.
    ASSERT_TRUE(reader.connect(srv.port(), 4096) && reader.read_until(welcome));
    ASSERT_TRUE(reader.send("reader\r\n") && reader.read_until("> "));
    reader.take();

    // A paste of 20 lines goes through at once: it is never held back.
    ASSERT_TRUE(writer.send(harness::numbered_lines("paste", 20, 1)));
    EXPECT_TRUE(reader.read_until("<writer> paste 20\r\n", 3000));
    EXPECT_EQ(srv.log().find("held back"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the budget refills

    // A flood is read no faster than the budget, and every line arrives.
    const int flood = 200;
    auto start = steady_clock::now();
    ASSERT_TRUE(writer.send(harness::numbered_lines("flood", flood, 1)));
    EXPECT_TRUE(srv.wait_log(harness::log_prefix(writer) + " held back: input flood.\n"));
    // Meanwhile another user's line is not stuck behind the flood: it
    // arrives before the flood's last line.
    ASSERT_TRUE(bob.send("still here\r\n"));
    EXPECT_TRUE(reader.read_until("<bob> still here\r\n"));
    EXPECT_EQ(reader.received().find("<writer> flood " + std::to_string(flood) + "\r\n"), std::string::npos);
    EXPECT_TRUE(reader.read_until("<writer> flood " + std::to_string(flood) + "\r\n", 10000));
    EXPECT_GE(ms_since(start), (flood - 25) * 1000 / rate - 100);
    std::string got = harness::screen_text(reader.take());
    size_t at = 0;
    for (int i = 1; i <= flood; ++i) {
        at = got.find("<writer> flood " + std::to_string(i) + "\n", at);
        ASSERT_NE(at, std::string::npos) << "line " << i << " lost or out of order";
    }
    EXPECT_EQ(harness::occurrences(srv.log(), " held back: input flood."), 1u);
    EXPECT_EQ(srv.log().find("dropped"), std::string::npos);
}

// The byte charge, in this process against the budget's own clock: input
// with no line end costs a line per flood_line_bytes, so typing on without
// ever ending the line is held back like a flood.
TEST(Defences, InputWithNoLineEndIsChargedByTheByte)
{
    std::string log;
    nchatd::Log logger(&log);
    nchatd::Limits limits;
    limits.line_rate = 1;  // the charge runs far ahead of the clock, however slow the turns
    nchatd::Server server(1, limits, logger);
    int writer_fd = -1;
    sockaddr_storage peer{};
    nchatd::unique_fd accepted(harness::loopback_connection(writer_fd, peer));
    nchatd::unique_fd writer(writer_fd);
    ASSERT_TRUE(accepted && writer);
    const int fd = accepted.get();
    server.admit(std::move(accepted), peer);

    const int64_t lines = 4;
    const std::string typed(lines * nchatd::flood_line_bytes, 'x');
    const int64_t before = nchatd::monotonic_us();
    ASSERT_EQ(send(writer.get(), typed.data(), typed.size(), 0), static_cast<ssize_t>(typed.size()));
    int unread = 1;
    for (int turn = 0; turn < 1000 && unread > 0; ++turn)
        ASSERT_TRUE(server.turn(0) == 0 && ioctl(fd, FIONREAD, &unread) == 0);
    const int64_t after = nchatd::monotonic_us();
    ASSERT_EQ(unread, 0);
    const nchatd::FloodBudget& budget = server.room().at(0).flood;
    const int64_t owed = lines * 1000000 / limits.line_rate;
    EXPECT_GE(budget.until_us, before + owed);
    EXPECT_LE(budget.until_us, after + owed);
    EXPECT_FALSE(budget.throttled) << "within the burst";
}

namespace {

// Runs a server whose standard output is `log_out`, fills it far beyond
// what it and the server's own buffer hold while nobody reads `log_in`,
// and checks that chat goes on; then reads the log, which says first what
// it lost and then goes on.
void serves_beside_a_stalled_log(int log_in, int log_out)
{
    int port = harness::free_port();
    pid_t pid =
        harness::spawn({harness::binary(), "-i", "-u", "0", "-k", "0", "-m", "0", "-p", std::to_string(port)}, log_out);
    close(log_out);
    struct reaper {
        pid_t pid;
        int fd;
        ~reaper()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            close(fd);
        }
    } stop_at_end{pid, log_in};
    client alice;
    for (int i = 0; i < 100 && !alice.connect(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(alice.read_until(welcome));
    ASSERT_TRUE(alice.send("alice\r\n") && alice.read_until("> "));

    for (int i = 0; i < 1000; ++i) {
        client c;
        ASSERT_TRUE(c.connect(port));
        ASSERT_TRUE(c.read_until(welcome)) << "the server waits for its log";
    }
    alice.take();
    ASSERT_TRUE(alice.send("/version\r\n"));
    EXPECT_TRUE(alice.read_until("* end.\r\n> ")) << "the server waits for its log";

    fcntl(log_in, F_SETFL, O_NONBLOCK);
    std::string log;
    client late;
    auto start = steady_clock::now();
    while (ms_since(start) < 5000 && log.find("named as \"late\"") == std::string::npos) {
        char buf[4096];
        ssize_t n = read(log_in, buf, sizeof buf);
        if (n > 0)
            log.append(buf, static_cast<size_t>(n));
        if (log.find(" lines lost.\n") != std::string::npos && late.fd() < 0) {
            ASSERT_TRUE(late.login(port, "late"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t lost = log.find("Log output stalled: ");
    ASSERT_NE(lost, std::string::npos);
    EXPECT_NE(log.find(" lines lost.\n", lost), std::string::npos);
    EXPECT_GT(log.find("named as \"late\""), lost);
    EXPECT_EQ(log.rfind('\n'), log.size() - 1) << "lines are never cut";
}

}  // namespace

TEST(Defences, StalledLogNeverStopsTheServer)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[0], F_SETPIPE_SZ, 4096);
    ASSERT_NO_FATAL_FAILURE(serves_beside_a_stalled_log(out[0], out[1])) << "through a pipe";

    // A terminal's open file is shared with the shell, so the server opens
    // its own, non-blocking; raw, so that the log reads as written.
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[64];
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0 &&
                ptsname_r(terminal, name, sizeof name) == 0);
    int tty = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    ASSERT_TRUE(tty >= 0 && tcgetattr(tty, &raw) == 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(tty, TCSANOW, &raw), 0);
    serves_beside_a_stalled_log(terminal, tty);
}

TEST(Defences, DrainedQueuesGiveMemoryBack)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory on purpose";
#endif
    harness::server srv;
    ASSERT_TRUE(srv.start(harness::one_host({"-n", "64", "-u", "0", "-r", "0", "-o", "0"})));
    client writer;
    ASSERT_TRUE(writer.login(srv.port(), "writer"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long before = harness::rss_kib(srv.pid());

    // Readers that stop reading while their queues fill to the bound.
    std::vector<client> stuck(40);
    for (size_t i = 0; i < stuck.size(); ++i)
        ASSERT_TRUE(stuck[i].connect(srv.port(), 2048) && stuck[i].read_until(welcome) &&
                    stuck[i].send("stuck" + std::to_string(i) + "\r\n") && stuck[i].read_until("> "));
    const std::string line = std::string(400, 'x') + "\r\n";
    // The writer reads its echo and copies while it sends and while the
    // server works through the paste: one that stops reading is rightly
    // held back by its own queue before the readers' queues fill.
    for (int i = 0; i < 600; ++i) {
        ASSERT_TRUE(writer.send(line));
        writer.read_for(0);
        writer.take();
    }
    for (int i = 0; i < 200 && srv.log().find("dropped: output queue full.") == std::string::npos; ++i) {
        writer.read_for(50);
        writer.take();
    }
    EXPECT_TRUE(srv.wait_log("dropped: output queue full.", 1000));
    long full = harness::rss_kib(srv.pid());
    for (auto& c : stuck)
        c.close();
    // The once-a-second sweep gives the memory back; a busy machine may
    // only delay it.
    long after = full;
    for (auto start = steady_clock::now(); after > 2 * before && ms_since(start) < 10000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = harness::rss_kib(srv.pid());
    }
    EXPECT_GT(full, before + 2048) << "the queues did fill";
    EXPECT_LE(after, 2 * before) << "before " << before << " KiB, full " << full << " KiB";
}

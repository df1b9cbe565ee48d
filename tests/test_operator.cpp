// What an operator relies on, through the real binary: a restart that binds
// at once, the address to listen on, a clean stop on SIGTERM or SIGINT,
// systemd's socket activation and readiness, telnet options up front.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::client;
using harness::log_prefix;
using harness::ms_since;
using harness::take_masked;
using harness::welcome;
using clock_type = std::chrono::steady_clock;

const std::string prog = harness::binary();
const std::string notice = "* server is shutting down, disconnecting\r\n";

bool have_ipv6()
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// True when a connection that is not listening still holds `port` in the
// kernel's tables, as the ones of a killed server do for a minute.
bool lingering(int port)
{
    for (const harness::tcp_socket& t : harness::tcp_sockets(port)) {
        if (t.state != 0x0A)
            return true;
    }
    return false;
}

bool on_path(const std::string& name)
{
    std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

// Logs in over an address of either family; the received bytes are taken.
bool login_at(client& c, const char* address, int port, const std::string& name)
{
    if (!c.connect_to(address, port) || !c.read_until("chars): ") || !c.send(name + "\r\n") ||
        !c.read_until("* logged in as " + name + "\r\n> "))
        return false;
    c.take();
    return true;
}

TEST(Operator, RestartBindsAtOnceButNeverBesideALiveServer)
{
    harness::server first;
    ASSERT_TRUE(first.start());
    const int port = first.port();
    client alice, guest;
    ASSERT_TRUE(alice.login(port, "alice"));
    ASSERT_TRUE(guest.connect(port) && guest.read_until("chars): "));
    ASSERT_EQ(first.finish(SIGKILL, 3000), 128 + SIGKILL);
    // The clients see the end and close, as telnet does: the dead server's
    // side of each connection waits in TIME_WAIT.
    EXPECT_TRUE(alice.wait_closed() && guest.wait_closed());
    alice.close();
    guest.close();
    EXPECT_TRUE(lingering(port)) << "nothing held the port: the restart below proves nothing";

    harness::server second;
    ASSERT_TRUE(second.start({"-p", std::to_string(port)}));
    client bob;
    EXPECT_TRUE(bob.login(port, "bob"));

    // A port that a live server listens on is refused, on any address.
    const std::string busy = prog + ": failed to bind server socket: Address already in use\n";
    std::vector<std::vector<std::string>> tries = {{"-i", "-p", std::to_string(port)},
                                                   {"-i", "-p", std::to_string(port), "-b", "127.0.0.1"}};
    if (have_ipv6())
        tries.push_back({"-i", "-p", std::to_string(port), "-b", "::1"});
    for (const auto& args : tries) {
        auto r = harness::run(args, 3000);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.err, busy) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
    }
    EXPECT_TRUE(second.alive());
}

TEST(Operator, ListensWhereToldAndShowsEachFamilyInItsForm)
{
    harness::server v4;
    ASSERT_TRUE(v4.start({"-b", "127.0.0.1"}));
    client c;
    EXPECT_TRUE(c.connect_to("127.0.0.1", v4.port()) && c.read_until(welcome));
    EXPECT_FALSE(c.connect_to("127.0.0.2", v4.port()));
    harness::server mapped;
    ASSERT_TRUE(mapped.start({"-b", "::ffff:127.0.0.1"}));
    EXPECT_TRUE(c.connect_to("127.0.0.1", mapped.port()) && c.read_until(welcome));
    if (!have_ipv6())
        GTEST_SKIP() << "no IPv6 loopback address on this host";
    EXPECT_FALSE(c.connect_to("::1", v4.port()));

    harness::server v6;
    ASSERT_TRUE(v6.start({"-b", "::1"}));
    EXPECT_FALSE(c.connect_to("127.0.0.1", v6.port()));
    client six, seven;
    ASSERT_TRUE(login_at(six, "::1", v6.port(), "six"));
    ASSERT_EQ(log_prefix(six).rfind("Connection from [::1]:", 0), 0u);
    EXPECT_TRUE(v6.wait_log(log_prefix(six) + " accepted.\n" + log_prefix(six) + " named as \"six\"\n"));
    ASSERT_TRUE(login_at(seven, "::1", v6.port(), "seven"));
    EXPECT_TRUE(six.read_until("* user seven logged in from ::1\r\n> "));
    ASSERT_TRUE(six.send("/info seven\r\n") && six.read_until("* end.\r\n> "));
    EXPECT_NE(six.take().find("*   connected from ::1\r\n"), std::string::npos);
    std::string gone = log_prefix(seven) + " has been closed (user \"seven\").\n";
    seven.close();
    EXPECT_TRUE(six.read_until("* user seven logged off from ::1\r\n> "));
    EXPECT_TRUE(v6.wait_log(gone));

    // Without -b both families reach one server.  IPv4 clients see and
    // cause exactly what they always did; the address limit tells the
    // families apart and counts each address once.
    harness::server dual;
    ASSERT_TRUE(dual.start({"-u", "1"}));
    client four, sixth;
    ASSERT_TRUE(four.login(dual.port(), "four"));
    EXPECT_TRUE(dual.wait_log(log_prefix(four) + " accepted.\n" + log_prefix(four) + " named as \"four\"\n"));
    ASSERT_EQ(log_prefix(four).rfind("Connection from 127.0.0.1:", 0), 0u);
    ASSERT_TRUE(login_at(sixth, "::1", dual.port(), "six"));
    const std::string seen = "\x1b[0m\rSS:SS * user six logged in from ::1\r\n> ";
    EXPECT_EQ(take_masked(four, seen.size()), seen);
    client five;
    ASSERT_TRUE(five.login(dual.port(), "five"));
    const std::string five_seen = "\x1b[0m\rSS:SS * user five logged in from 127.0.0.1\r\n> ";
    EXPECT_EQ(take_masked(four, five_seen.size()), five_seen);
    EXPECT_EQ(take_masked(sixth, five_seen.size()), five_seen);
    ASSERT_TRUE(sixth.send("/info four\r\n") && sixth.read_until("* end.\r\n> "));
    EXPECT_NE(sixth.take().find("*   connected from 127.0.0.1\r\n"), std::string::npos);

    client v4_guest, v6_guest, v4_extra, v6_extra;
    ASSERT_TRUE(v4_guest.connect(dual.port()) && v4_guest.read_until(welcome));
    ASSERT_TRUE(v6_guest.connect_to("::1", dual.port()) && v6_guest.read_until(welcome));
    const std::string refused = "Too many connections from your address. Try again later.\r\nDisconnecting.\r\n";
    for (client* extra : {&v4_extra, &v6_extra}) {
        ASSERT_TRUE(extra == &v4_extra ? extra->connect(dual.port()) : extra->connect_to("::1", dual.port()));
        EXPECT_EQ(take_masked(*extra, refused.size()), refused);
        EXPECT_TRUE(dual.wait_log(log_prefix(*extra) + " dropped: too many unnamed connections from this address.\n"));
    }
}

TEST(Operator, StopsCleanlyOnSigtermOrSigint)
{
    harness::server srv;
    // The readers' backlog is the point: no line of it is skipped (-o 0),
    // and the writer's paste is not held by its address's budget.
    ASSERT_TRUE(srv.start(harness::one_host({"-r", "0", "-o", "0"})));
    client alice, writer, slow, late, guest;
    ASSERT_TRUE(alice.login(srv.port(), "alice"));
    ASSERT_TRUE(writer.login(srv.port(), "writer"));
    for (client* c : {&slow, &late})
        ASSERT_TRUE(c->connect(srv.port(), 2048) && c->read_until("chars): ") &&
                    c->send(c == &slow ? "slow\r\n" : "late\r\n") && c->read_until("> "));
    late.take();
    // Two readers that stop while their queues fill, short of the bound
    // that would drop them; the others keep up.  `late` reads again once
    // the stop has begun, `slow` never does.
    for (int batch = 0; batch < 10; ++batch) {
        std::string lines;
        for (int i = 0; i < 30; ++i)
            lines += std::to_string(batch * 30 + i + 100) + std::string(400, 'x') + "\r\n";
        const std::string last = std::to_string(batch * 30 + 129) + std::string(400, 'x') + "\r\n> ";
        ASSERT_TRUE(writer.send(lines));
        ASSERT_TRUE(alice.read_until("<writer> " + last) && writer.read_until("<\x1b[1mwriter\x1b[0m> " + last));
    }
    // One at the name prompt and one in mid-line, each half-typed.
    ASSERT_TRUE(guest.connect(srv.port()) && guest.read_until("chars): ") && guest.send("gu") &&
                guest.read_until("gu"));
    ASSERT_TRUE(alice.send("hel") && alice.read_until("> hel"));
    alice.take();
    writer.take();
    guest.take();

    auto start = clock_type::now();
    ASSERT_EQ(kill(srv.pid(), SIGTERM), 0);
    // Every wake-up of the stop writes on: the whole backlog, then the
    // notice, then the close.
    EXPECT_TRUE(late.wait_closed(5000));
    std::string seen = harness::screen_text(late.take());
    size_t at = 0;
    std::string line;
    for (int i = 100; i < 400 && at != std::string::npos; ++i) {
        line = "<writer> " + std::to_string(i) + std::string(400, 'x') + "\n";
        at = seen.find(line, at);
    }
    ASSERT_NE(at, std::string::npos) << "the backlog was cut short";
    EXPECT_EQ(harness::mask_stamps(seen.substr(at + line.size())),
              "SS:SS " + notice.substr(0, notice.size() - 2) + "\n");
    EXPECT_EQ(srv.finish(SIGTERM, 5000), 0);
    long took = ms_since(start);
    EXPECT_GE(took, 1500) << "the slow reader's queue had drained: the stop had nothing to wait for";
    EXPECT_LT(took, 4000) << "the slow reader held the stop";
    const std::string over_line = "\x1b[0m\rSS:SS " + notice;
    EXPECT_EQ(take_masked(alice, over_line.size() + 1, 300), over_line);
    EXPECT_EQ(take_masked(writer, over_line.size() + 1, 300), over_line);
    EXPECT_EQ(take_masked(guest, notice.size() + 3, 300), "\r\n" + notice);
    for (client* c : {&alice, &writer, &guest, &slow})
        EXPECT_TRUE(c->wait_closed());
    std::string log = srv.log();
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "Shutting down on SIGTERM.\n");

    harness::server quick;
    ASSERT_TRUE(quick.start());
    client bob;
    ASSERT_TRUE(bob.login(quick.port(), "bob"));
    start = clock_type::now();
    EXPECT_EQ(quick.finish(SIGINT, 5000), 0);
    EXPECT_LT(ms_since(start), 1500) << "nothing queued, yet the stop waited out its 2 s";
    EXPECT_EQ(take_masked(bob, over_line.size() + 1, 300), over_line);
    EXPECT_TRUE(bob.wait_closed());
    EXPECT_TRUE(quick.wait_log("Shutting down on SIGINT.\n"));
}

TEST(Operator, TakesTheSocketSystemdHandsOverAndSaysWhenReady)
{
    if (!on_path("systemd-socket-activate"))
        GTEST_SKIP() << "systemd-socket-activate is not installed (Debian package systemd)";
    // The readiness socket, as systemd binds it for a Type=notify service.
    const std::string notify_path = "/tmp/nchatd-notify-" + std::to_string(getpid());
    unlink(notify_path.c_str());
    int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    notify_path.copy(at.sun_path, sizeof at.sun_path - 1);
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    auto next_message = [notify](int timeout_ms) {
        pollfd p{notify, POLLIN, 0};
        char text[256];
        ssize_t n = poll(&p, 1, timeout_ms) > 0 ? recv(notify, text, sizeof text, 0) : -1;
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    };

    // It listens and starts the server at the first connection; the -p
    // and -c given are not used then.  The control socket is told apart by
    // its name.
    const int port = harness::free_port(), unused = harness::free_port();
    char log_path[] = "/tmp/nchatd-log-XXXXXX";
    int out = mkstemp(log_path);
    const std::string control = notify_path + ".control", unused_control = notify_path + ".unused";
    std::vector<std::string> words = {"systemd-socket-activate",
                                      "-l",
                                      control,
                                      "-l",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--fdname=control:nchatd.socket",
                                      "-E",
                                      "NOTIFY_SOCKET=" + notify_path,
                                      prog,
                                      "-i",
                                      "-p",
                                      std::to_string(unused),
                                      "-c",
                                      unused_control};
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = harness::spawn(words, out, null);
    close(null);
    close(out);
    client c;
    for (int i = 0; i < 100 && !c.connect(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(c.read_until(welcome, 5000));
    EXPECT_EQ(next_message(5000), "READY=1");
    client other;
    EXPECT_FALSE(other.connect(unused));
    EXPECT_TRUE(other.login(port, "other"));
    harness::run_result users = harness::run_program({harness::ctl_binary(), "-c", control, "users"});
    EXPECT_EQ(users.status, 0) << users.err;
    EXPECT_EQ(users.out.find("-\t127.0.0.1\t"), 0u) << users.out;
    EXPECT_NE(users.out.find("\nother\t127.0.0.1\t"), std::string::npos) << users.out;
    EXPECT_EQ(access(unused_control.c_str(), F_OK), -1);

    kill(pid, SIGTERM);
    int status = -1;
    for (int i = 0; i < 250 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(next_message(1000), "STOPPING=1");
    EXPECT_TRUE(c.read_until("\r\n" + notice));
    const std::string log = harness::read_file(log_path);
    EXPECT_EQ(log.rfind("Init ok, waiting for connections.\n", 0), 0u) << log;
    unlink(log_path);
    close(notify);
    unlink(notify_path.c_str());
    unlink(control.c_str());
}

TEST(Operator, TelnetOptionsBeforeTheNamePromptWithT)
{
    harness::server srv;
    ASSERT_TRUE(srv.start({"-t"}));
    client c;
    ASSERT_TRUE(c.connect(srv.port()));
    const std::string options = "\xff\xfd\x1f\xff\xfe\x22\xff\xfb\x01\xff\xfb\x03";
    const std::string greeting = "Welcome to Nimbra chat v0.3.5!\r\n" + options + "Enter your name (max 20 chars): ";
    EXPECT_EQ(take_masked(c, greeting.size() + 1, 500), greeting);
    // The client's answer does not bring the sequence a second time.
    ASSERT_TRUE(c.send("\xff\xfd\x01\xff\xfd\x03tom\r\n"));
    const std::string logged_in = "tom\r\nSS:SS * logged in as tom\r\n> ";
    EXPECT_EQ(take_masked(c, logged_in.size() + 1, 500), logged_in);
    ASSERT_TRUE(c.send("/info\r\n") && c.read_until("* end.\r\n> "));
    EXPECT_NE(c.take().find("*   telnet option sequence sent: yes\r\n"), std::string::npos);
}

}  // namespace

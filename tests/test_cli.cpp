// The command line, through the real binary: help, option letters, operands
// and the failures that start-up reports before it detaches.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::run;

const std::string prog = harness::binary();

std::string printed(const char* format, int n)
{
    char buf[32];
    snprintf(buf, sizeof buf, format, n);
    return buf;
}

// True when exactly `slots` clients on `port` are admitted and one more is
// turned away.
bool serves(int port, int slots = 1)
{
    std::vector<harness::client> c(static_cast<size_t>(slots) + 1);
    for (int i = 0; i < slots; ++i) {
        if (!c[i].connect(port) || !c[i].read_until("chars): ", 2000))
            return false;
    }
    return c[slots].connect(port) && c[slots].read_until("Too many client are connected.", 2000);
}

// The process that listens on `port`, or 0.
pid_t listener_pid(int port)
{
    std::string inode;
    for (const harness::tcp_socket& t : harness::tcp_sockets(port)) {
        if (t.state == 0x0A)
            inode = "socket:[" + std::to_string(t.inode) + "]";
    }
    for (const auto& fd : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = atoi(fd.path().filename().c_str());
        std::error_code ec;
        for (const auto& f : std::filesystem::directory_iterator(fd.path() / "fd", ec)) {
            if (pid > 0 && !inode.empty() && std::filesystem::read_symlink(f, ec) == inode)
                return pid;
        }
    }
    return 0;
}

// A test that expects the foreground may have started a daemon instead:
// stop whatever listens on `port`, so that nothing outlives the test.
void stop_stray_listener(int port)
{
    if (pid_t pid = listener_pid(port); pid > 0)
        kill(pid, SIGKILL);
}

TEST(Cli, HelpAndVersionEndParsing)
{
    const std::string help = "Usage: " + prog +
                             " [OPTION]...\n"
                             "Nimbra chat daemon v0.3.5\n"
                             "\n"
                             "  -d        daemonize (default)\n"
                             "  -i        do not daemonize\n"
                             "  -n NUM    specify maximal number of clients (default: 64)\n"
                             "  -p PORT   specify port number (default: 2987)\n"
                             "  -b ADDR   specify one numeric IPv4 or IPv6 address to listen on (default: every IPv4 "
                             "and IPv6 address)\n"
                             "  -g SECS   specify seconds to wait for a name, 0 for ever (default: 60)\n"
                             "  -u NUM    specify maximal number of clients at the name prompt per address, 0 for no "
                             "limit (default: 10)\n"
                             "  -r LINES  specify lines per second a client may send, 0 for no limit (default: 5)\n"
                             "  -R LINES  specify lines per second all clients from one address may send together, 0 "
                             "for no limit (default: 20)\n"
                             "  -k NUM    specify connects one address may make at once, then one a second, 0 for no "
                             "limit (default: 10)\n"
                             "  -m NUM    specify maximal number of clients per address, logged in or not, 0 for no "
                             "limit (default: a quarter of -n, 16)\n"
                             "  -e SECS   specify seconds at the name prompt after which a client gives way to a "
                             "newcomer when all slots are taken, 0 for never (default: 5)\n"
                             "  -o KIB    specify KiB of output queued for a client past which chat lines to it are "
                             "skipped and counted, 0 for never (default: 32)\n"
                             "  -w SECS   specify seconds a client may take none of its queued output before it is "
                             "dropped, 0 for ever (default: 60)\n"
                             "  -T MS     specify milliseconds a connect from an address over its connect rate "
                             "waits for its refusal, 0 to refuse at once (default: 1000)\n"
                             "  -H LINES  specify recent chat lines shown to a user who logs in, at most 200 "
                             "(default: 0)\n"
                             "  -s PORT   specify a TLS port beside the plain one (needs -C and -K)\n"
                             "  -C FILE   specify the PEM certificate chain of the TLS port\n"
                             "  -K FILE   specify the PEM private key of the TLS port\n"
                             "  -c PATH   listen for nchatctl on the UNIX socket PATH (default: none)\n"
                             "  -a        accept printable ASCII only, for terminals that are not UTF-8\n"
                             "  -t        send the telnet option sequence to every new connection before the name "
                             "prompt\n"
                             "  -V        print the version and exit (also --version)\n"
                             "  -h        print this help and exit (also --help)\n";
    const std::string version = "nchatd 0.3.5\n";
    // Earlier options do not change the defaults shown; a lone dash is
    // consumed silently; nothing after --help or --version is looked at.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, help},
        {{"-n", "5", "--help"}, help},
        {{"-i", "-p", "3000", "--help"}, help},
        {{"-", "--help"}, help},
        {{"--help", "-x"}, help},
        {{"-h"}, help},
        {{"-ih", "5103"}, help},
        {{"-V"}, version},
        {{"--version"}, version},
        {{"-iV", "-x"}, version},
        {{"-n", "5", "--version", "extra"}, version},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, BadOptionsAndOperands)
{
    struct bad {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::string range_p = ": operand of -p must be between 1 and 65535\n";
    const std::string range_n = ": operand of -n must be between 1 and 2048\n";
    const std::vector<bad> cases = {
        {{"-x"}, 1, ": unknown option: -x\n"},
        {{"--"}, 1, ": unknown option: --\n"},
        {{"--x"}, 1, ": unknown option: --\n"},
        {{"-ix"}, 1, ": unknown option: -x\n"},
        {{"-x", "--help"}, 1, ": unknown option: -x\n"},
        // The operand is the next argument, never the rest of the group.
        {{"-n5", "3"}, 1, ": unknown option: -5\n"},
        {{"-n"}, 2, ": missing operand for -n\n"},
        {{"-np", "3"}, 2, ": missing operand for -p\n"},
        {{"-p", "80x"}, 2, ": invalid operand of -p\n"},
        {{"-p", " "}, 2, ": invalid operand of -p\n"},
        {{"-n", "0x"}, 2, ": invalid operand of -n\n"},
        {{"-p", "0"}, 2, range_p},
        {{"-p", "65536"}, 2, range_p},
        {{"-p", ""}, 2, range_p},
        {{"-p", "-1"}, 2, range_p},
        {{"-p", "99999999999999999999"}, 2, range_p},
        // Parsing ends at the first bad operand: no version after it.
        {{"-p", "0", "-V"}, 2, range_p},
        {{"-n", "0"}, 2, range_n},
        {{"-n", "2049"}, 2, range_n},
        // The defences take 0 for "off", and no negative number.
        {{"-g", "-1"}, 2, ": operand of -g must be between 0 and 86400\n"},
        {{"-u", "2049"}, 2, ": operand of -u must be between 0 and 2048\n"},
        {{"-r", "1001"}, 2, ": operand of -r must be between 0 and 1000\n"},
        {{"-r"}, 2, ": missing operand for -r\n"},
        {{"-H", "201"}, 2, ": operand of -H must be between 0 and 200\n"},
        {{"-H", "-1"}, 2, ": operand of -H must be between 0 and 200\n"},
        // Every word is an option or an operand of one.
        {{"-i", "5103"}, 2, ": unexpected operand: 5103\n"},
        {{"-n", "1", "extra", "-p", "3000", "--help"}, 2, ": unexpected operand: extra\n"},
        {{""}, 2, ": unexpected operand: \n"},
        {{"-b"}, 2, ": missing operand for -b\n"},
        {{"-b", "localhost"}, 2, ": invalid operand of -b\n"},
        {{"-b", "127.1"}, 2, ": invalid operand of -b\n"},
        {{"-b", "::1::2"}, 2, ": invalid operand of -b\n"},
        {{"-b", "[::1]"}, 2, ": invalid operand of -b\n"},
        {{"-b", ""}, 2, ": invalid operand of -b\n"},
        {{"-c"}, 2, ": missing operand for -c\n"},
        {{"-c", ""}, 2, ": invalid operand of -c\n"},
        // A well-formed address that is not this host's is a bind failure.
        {{"-i", "-b", "192.0.2.1"}, 1, ": failed to bind server socket: Cannot assign requested address\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, prog + c.err);
        EXPECT_EQ(r.out, "");
    }
    // An empty operand (an unset shell variable) or one without digits
    // never passes for 0, which would turn a defence off.
    for (const char* letter : {"-g", "-u", "-r", "-R", "-k", "-T", "-m", "-e", "-o", "-w", "-H"}) {
        for (const char* operand : {"", "+", " "}) {
            SCOPED_TRACE(std::string(letter) + " '" + operand + "'");
            auto r = run({letter, operand});
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, prog + ": invalid operand of " + letter + "\n");
        }
    }
}

TEST(Cli, OperandsTakeAnyBaseAndGroupedLettersTakeThemInOrder)
{
    // The harness passes its own -p first; a later one replaces it.
    for (const char* format : {"0x%x", "0%o", " +%d"}) {
        int port = harness::free_port();
        harness::server srv;
        ASSERT_TRUE(srv.start({"-n", "1", "-p", printed(format, port)})) << format;
        EXPECT_TRUE(serves(port)) << format;
        EXPECT_FALSE(serves(srv.port())) << format;
    }
    harness::server in;
    ASSERT_TRUE(in.start({"-in", "3", "-m", "0"}));
    EXPECT_TRUE(serves(in.port(), 3));

    int port = harness::free_port();
    harness::server np;
    ASSERT_TRUE(np.start({"-np", "0x2", printed("%d", port), "-m", "0"}));
    EXPECT_TRUE(serves(port, 2));
}

TEST(Cli, LastModeWins)
{
    // Run to a time limit: a server still running then is in the
    // foreground; one that detached must be found and stopped.
    int port = harness::free_port();
    auto r = run({"-d", "-i", "-p", printed("%d", port)}, 1500);
    if (r.status >= 0)
        stop_stray_listener(port);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.out, "Init ok, waiting for connections.\n");
    EXPECT_EQ(r.err, "");
}

TEST(Cli, DetachedServerKeepsServingWithDefaultSlots)
{
    // Without -i the parent returns at once and the detached server
    // serves the default 64 slots; the daemon is found by its listening
    // socket and stopped.
    int port = harness::free_port();
    // All 64 wait at the name prompt from one address: -u 0 and the flags
    // of one host lift the limits on that.
    auto r = run(harness::one_host({"-u", "0", "-e", "0", "-p", printed("%d", port)}), 3000);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    if (r.status == 0) {
        EXPECT_TRUE(serves(port, 64));
        // The daemon lets go of the caller's terminal or pipes.
        pid_t daemon = listener_pid(port);
        for (int fd = 0; fd <= 2; ++fd) {
            std::error_code ec;
            auto path =
                std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/fd/" + std::to_string(fd), ec);
            EXPECT_EQ(path, "/dev/null") << "descriptor " << fd;
        }
        stop_stray_listener(port);
    }
}

TEST(Cli, BindFailureIsReportedBeforeDetaching)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string port = printed("%d", ntohs(addr.sin_port));
    const std::string want = prog + ": failed to bind server socket: Address already in use\n";

    auto fg = run({"-i", "-p", port}, 3000);
    EXPECT_EQ(fg.status, 1);
    EXPECT_EQ(fg.err, want);
    EXPECT_EQ(fg.out, "");
    // Only when the foreground fails as it should is the detached mode
    // tried: a start that wrongly succeeded would leave a daemon behind.
    ASSERT_EQ(fg.status, 1);
    auto bg = run({"-p", port}, 3000);
    EXPECT_EQ(bg.status, 1);
    EXPECT_EQ(bg.err, want);
    EXPECT_EQ(bg.out, "");
    close(holder);
}

}  // namespace

// The control socket and nchatctl, through the real binaries: the socket's
// mode, a stale socket, the peer's uid, the reports, bad and oversized
// requests, idle clients, and nchatctl's exit statuses.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::client;
using harness::run_result;

const std::string ctl_prog = harness::ctl_binary();

// A directory of its own for each test's socket, removed at the end.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char tmpl[] = "/tmp/nchatd-ctl-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~scratch_dir() { std::filesystem::remove_all(path); }
};

run_result ctl(const std::string& path, std::vector<std::string> args, std::vector<std::string> prefix = {})
{
    prefix.insert(prefix.end(), {ctl_prog, "-c", path});
    prefix.insert(prefix.end(), args.begin(), args.end());
    return harness::run_program(prefix, 15000);
}

// A raw client of the control socket, or -1.
int connect_control(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `bytes` as far as the server takes them, then reads its reply.
std::string raw_request(const std::string& path, std::string_view bytes)
{
    int fd = connect_control(path);
    if (fd < 0)
        return "no connection";
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string reply = harness::receive(fd, SIZE_MAX, 10000);
    close(fd);
    return reply;
}

TEST(Control, PrivateSocketStaleOneReplacedOtherUsersRefused)
{
    scratch_dir dir;
    const std::string path = dir.path + "/control";
    const std::string port = std::to_string(harness::free_port());
    // Anything but a stale socket at the path is a start-up error.
    {
        std::ofstream(path) << "not a socket\n";
    }
    run_result r = harness::run({"-i", "-p", port, "-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, harness::binary() + ": " + path + " exists and is not a socket\n");
    std::filesystem::remove(path);

    harness::server s;
    ASSERT_TRUE(s.start({"-c", path}));
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    r = harness::run({"-i", "-p", port, "-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, harness::binary() + ": another server listens on the control socket " + path + "\n");

    if (geteuid() == 0) {
        // Another user: kept out by the mode, and by the uid check where
        // the mode has been loosened.
        const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        r = ctl(path, {"users"}, nobody);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, ctl_prog + ": cannot reach nchatd at " + path + ": Permission denied\n");
        chmod(dir.path.c_str(), 0755);
        chmod(path.c_str(), 0666);
        r = ctl(path, {"kick", "someone"}, nobody);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, ctl_prog + ": uid 65534 may not use the control socket\n");
        EXPECT_TRUE(s.wait_log("Control connection from uid 65534 refused: not root or the server's user.\n"));
    } else {
        std::cout << "not root: the refusal of another uid is not tried\n";
    }

    // A crashed server leaves its socket behind; the next one replaces it,
    // and an orderly stop removes it.
    kill(s.pid(), SIGKILL);
    s.stop();
    ASSERT_TRUE(std::filesystem::is_socket(path));
    harness::server again;
    ASSERT_TRUE(again.start({"-c", path}));
    r = ctl(path, {"stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(again.finish(SIGTERM, 5000), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Control, ReportsCountConnectionsButNeverControlClients)
{
    scratch_dir dir;
    const std::string path = dir.path + "/control";
    harness::server s;
    // -m 0: the default cap per address, a quarter of -n, would be one.
    ASSERT_TRUE(s.start({"-c", path, "-n", "3", "-u", "1", "-r", "0", "-m", "0"}));
    // A control client holds no place: with it connected, three chat
    // clients still get in.
    int idle = connect_control(path);
    ASSERT_GE(idle, 0);
    client alice, waiting, refused, other, full;
    ASSERT_TRUE(alice.login(s.port(), "alice"));
    ASSERT_TRUE(waiting.connect(s.port()));
    ASSERT_TRUE(waiting.read_until("chars): "));
    ASSERT_TRUE(refused.connect(s.port()));  // a second one at the name prompt
    EXPECT_TRUE(refused.read_until("Too many connections from your address."));
    ASSERT_TRUE(other.connect(s.port(), 0, "127.0.0.2"));
    ASSERT_TRUE(other.read_until("chars): "));
    ASSERT_TRUE(full.connect(s.port()));
    EXPECT_TRUE(full.read_until("Too many client are connected."));
    ASSERT_TRUE(alice.send("hello\r\n"));
    ASSERT_TRUE(alice.read_until("> "));

    run_result users = ctl(path, {"users"});
    EXPECT_EQ(users.status, 0) << users.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = users.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(users.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u) << users.out;
    EXPECT_EQ(lines[0].rfind("alice\t127.0.0.1\t", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("-\t127.0.0.1\t", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("-\t127.0.0.2\t", 0), 0u) << lines[2];
    // name, address, port, connected, idle, lines written, queued, flags
    EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), '\t'), 7) << lines[0];
    EXPECT_NE(lines[0].find("\t1\t0\t-"), std::string::npos) << lines[0];

    run_result stats = ctl(path, {"stats"});
    EXPECT_EQ(stats.status, 0) << stats.err;
    for (const char* figure : {"\nconnections 3\n", "\nconnections_peak 3\n", "\nusers 1\n", "\nlines_received 2\n",
                               "\nrefused_table_full 1\n", "\nrefused_per_address 1\n"})
        EXPECT_NE(stats.out.find(figure), std::string::npos) << figure << stats.out;
    EXPECT_EQ(stats.out.rfind("uptime_seconds ", 0), 0u) << stats.out;
    close(idle);
}

TEST(Control, BadRequestsIdleClientsAndNchatctlStatuses)
{
    scratch_dir dir;
    const std::string path = dir.path + "/control";
    harness::server s;
    ASSERT_TRUE(s.start({"-c", path, "-g", "1"}));

    // Usage errors and an unreachable server: status 2.
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"-c"}, {"-x", "users"}, {""}}) {
        std::vector<std::string> words = {ctl_prog};
        words.insert(words.end(), args.begin(), args.end());
        run_result r = harness::run_program(words);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "no arguments" : args[0]);
        EXPECT_EQ(r.err.rfind(ctl_prog + ": ", 0), 0u) << r.err;
    }
    run_result r = ctl(dir.path + "/none", {"users"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, ctl_prog + ": cannot reach nchatd at " + dir.path + "/none: No such file or directory\n");
    r = harness::run_program({ctl_prog, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: " + ctl_prog + " [-c PATH] COMMAND [ARGUMENT]...\n", 0), 0u) << r.out;

    // Refusals: status 1 with the server's reason, even when the server
    // closes before it has read the whole request.
    r = ctl(path, {"frobnicate", "now"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ctl_prog + ": unknown command: frobnicate\n");
    r = ctl(path, {"say", std::string(5000, 'x')});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ctl_prog + ": request too long: at most 4096 bytes\n");
    EXPECT_EQ(raw_request(path, std::string(1 << 20, 'x')), "error request too long: at most 4096 bytes\n");
    EXPECT_EQ(raw_request(path, "users\n"), "error malformed request: an argument without its terminating NUL\n");
    EXPECT_EQ(raw_request(path, std::string("say\0\x1b[2J\0\n", 10)),
              "error malformed request: an argument that is not printable UTF-8 text\n");
    EXPECT_EQ(raw_request(path, std::string("users\0\nstats\0\n", 14)),
              "error malformed request: bytes after the request\n");

    // Clients that send nothing fill the few places, but cannot slow the
    // chat, and are dropped after the timeout.
    client a, b, nameless;
    ASSERT_TRUE(a.login(s.port(), "a"));
    ASSERT_TRUE(b.login(s.port(), "b"));
    ASSERT_TRUE(nameless.connect(s.port()));
    std::vector<int> idle;
    for (int i = 0; i < 4; ++i)
        idle.push_back(connect_control(path));
    EXPECT_EQ(raw_request(path, std::string("users\0\n", 7)), "error too many control connections at once\n");
    ASSERT_TRUE(a.send("still here\r\n"));
    EXPECT_TRUE(b.read_until("<a> still here"));
    for (int fd : idle) {
        EXPECT_EQ(harness::receive(fd, SIZE_MAX, 10000), "error timeout: no whole request within 5 s\n");
        close(fd);
    }
    EXPECT_TRUE(s.wait_log("Control connection from uid " + std::to_string(geteuid()) + " dropped: timeout.\n"));
    // The chat's own timeout went on meanwhile, and is counted.
    EXPECT_TRUE(nameless.wait_closed(5000));
    r = ctl(path, {"stats"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\ndropped_login_timeout 1\n"), std::string::npos) << r.out;
}

}  // namespace

// Moderation end to end: nchatctl's words reach the room, the sockets and
// admission, and the reports show what was done.
TEST(Control, ModerationThroughNchatctl)
{
    scratch_dir dir;
    const std::string path = dir.path + "/control";
    harness::server s;
    ASSERT_TRUE(s.start({"-c", path, "-H", "5"}));
    client alice, bob, raid1, raid2;
    ASSERT_TRUE(alice.login(s.port(), "alice"));
    ASSERT_TRUE(bob.login(s.port(), "bob"));
    ASSERT_TRUE(raid1.login(s.port(), "raid1", "127.0.1.2"));
    ASSERT_TRUE(raid2.login(s.port(), "raid2", "127.0.1.3"));
    ASSERT_TRUE(bob.send("said before\r\n") && alice.read_until("said before\r\n> "));
    ASSERT_TRUE(bob.send("hal"));  // half-typed: drawn again below each notice
    ASSERT_TRUE(bob.read_until("hal"));
    alice.read_for(100);
    alice.take();
    bob.take();

    run_result r = ctl(path, {"kick", "alice", "being", "rude"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "user alice was removed by an operator (being rude)\n");
    EXPECT_TRUE(alice.read_until("* you have been removed by an operator: being rude\r\n"));
    EXPECT_TRUE(alice.wait_closed());
    EXPECT_TRUE(bob.read_until("* user alice was removed by an operator (being rude)\r\n> hal"));

    // A range closes both live sessions in it; a short ban runs out.
    r = ctl(path, {"ban", "127.0.1.0/24", "3s", "raid"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(raid1.wait_closed());
    EXPECT_TRUE(raid2.wait_closed());
    client again;
    ASSERT_TRUE(again.connect(s.port(), 0, "127.0.1.9"));
    EXPECT_TRUE(again.read_until("* your address is banned for "));
    EXPECT_TRUE(again.wait_closed());
    bool let_in = false;
    for (int tries = 0; tries < 100 && !let_in; ++tries) {
        usleep(200 * 1000);
        client later;
        let_in = later.connect(s.port(), 0, "127.0.1.9") && later.read_until("chars): ", 200);
    }
    EXPECT_TRUE(let_in) << "a 3 s ban still refuses after 20 s or more";

    // By name: that address, and its reconnect is refused before the welcome.
    client carol, carol_back;
    ASSERT_TRUE(carol.login(s.port(), "carol", "127.0.0.5"));
    r = ctl(path, {"ban", "carol", "1h"});
    EXPECT_EQ(r.out, "banned 127.0.0.5/32 for 1h0m\nuser carol was removed by an operator\n") << r.err;
    ASSERT_TRUE(carol_back.connect(s.port(), 0, "127.0.0.5"));
    EXPECT_TRUE(carol_back.read_until("* your address is banned for 60 more minutes\r\n"));
    EXPECT_TRUE(carol_back.wait_closed());
    r = ctl(path, {"bans"});
    EXPECT_EQ(r.out.rfind("127.0.0.5/32 for ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" by uid " + std::to_string(geteuid()) + "\n"), std::string::npos) << r.out;

    // Standing shows in users; an operator acts from the chat too.
    client dave;
    ASSERT_TRUE(dave.login(s.port(), "dave", "127.0.0.6"));
    EXPECT_EQ(ctl(path, {"op", "bob"}).status, 0);
    EXPECT_EQ(ctl(path, {"mute", "dave", "10m"}).status, 0);
    r = ctl(path, {"users"});
    EXPECT_NE(r.out.find("bob\t127.0.0.1\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\top\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tmuted\n"), std::string::npos) << r.out;
    ASSERT_TRUE(dave.send("let me speak\r\n"));
    EXPECT_TRUE(dave.read_until("* you are muted for 10 more minutes\r\n> "));
    EXPECT_EQ(ctl(path, {"unmute", "dave"}).status, 0);
    ASSERT_TRUE(dave.send("thanks\r\n"));
    EXPECT_TRUE(bob.read_until("<dave> thanks\r\n> hal"));
    EXPECT_EQ(bob.take().find("let me speak"), std::string::npos) << "a muted line was delivered";
    ASSERT_TRUE(bob.send("\b\b\b/kick dave\r\n"));
    EXPECT_TRUE(dave.read_until("* you have been removed by an operator\r\n"));
    EXPECT_TRUE(dave.wait_closed());
    client eve;
    ASSERT_TRUE(eve.login(s.port(), "eve", "127.0.0.10"));
    ASSERT_TRUE(bob.send("/ban eve 10m spam\r\n"));
    EXPECT_TRUE(eve.read_until("* you have been removed by an operator: spam\r\n"));
    r = ctl(path, {"bans"});
    EXPECT_NE(r.out.find("127.0.0.10/32 for "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" by bob: spam\n"), std::string::npos) << r.out;

    // The lock, the notice, the ring cleared, and the counts of it all.
    EXPECT_EQ(ctl(path, {"lock"}).out, "locked\n");
    client locked_out;
    ASSERT_TRUE(locked_out.connect(s.port(), 0, "127.0.0.7"));
    EXPECT_TRUE(locked_out.read_until("* the chat is closed to newcomers for now\r\n"));
    EXPECT_EQ(ctl(path, {"unlock"}).out, "unlocked\n");
    EXPECT_EQ(ctl(path, {"say", "back soon"}).status, 0);
    EXPECT_TRUE(bob.read_until("* notice from the operator: back soon\r\n> "));
    client before_clear, after_clear;
    ASSERT_TRUE(before_clear.connect(s.port(), 0, "127.0.0.8") && before_clear.read_until("chars): "));
    ASSERT_TRUE(before_clear.send("erin\r\n"));
    EXPECT_TRUE(before_clear.read_until("* end of last lines\r\n> "));
    r = ctl(path, {"clear"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(after_clear.connect(s.port(), 0, "127.0.0.9") && after_clear.read_until("chars): "));
    after_clear.take();
    ASSERT_TRUE(after_clear.send("fay\r\n"));
    EXPECT_EQ(harness::take_masked(after_clear, 30), "fay\r\nSS:SS * logged in as fay\r\n> ");
    EXPECT_TRUE(s.wait_log("Recent lines cleared by uid " + std::to_string(geteuid()) + ".\n"));
    r = ctl(path, {"stats"});
    EXPECT_NE(r.out.find("\nrefused_locked 1\n"), std::string::npos) << r.out;
    const size_t banned = r.out.find("\nrefused_banned ");
    ASSERT_NE(banned, std::string::npos) << r.out;
    EXPECT_GE(std::stoi(r.out.substr(banned + 16)), 3) << "two refused while banned, and the retries";
    r = ctl(path, {"kick", "nobody"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ctl_prog + ": no such user: nobody\n");
}

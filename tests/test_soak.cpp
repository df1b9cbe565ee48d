// Soak and stress test of the real daemon with a full table: a login storm,
// rounds of churn and chat, clients that stop reading, garbage input, a
// half-typed line of the longest length and a client that never says a
// word.  Afterwards the server must still serve a newcomer, list exactly
// the clients that are left, keep its memory flat and sleep when idle.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// An instrumented server and test run several times slower: fewer slots.
constexpr int slots = sanitized ? 1024 : 2048;
constexpr int churn = slots / 16;  // clients that leave, and arrive, per round
constexpr int rounds = 6;
constexpr int talkers = 4;
constexpr int lines_per_talker = 5;
constexpr int slow_readers = 4;
// Private messages sent to each slow reader before the test gives up: its
// queue holds 128 KiB and every message with its redraw is over 1 KiB.  A
// message fits in one receive, so the sender's reply is one TCP segment.
constexpr int flood_max = 2000;
// Connects in flight at once: people arrive a few at a time (everybody at
// once is the bench's burst), and each login is then the server's work
// rather than a wait behind the others.
constexpr int connect_window = 4;
// Names are sent in batches, as by a crowd that arrives at once: every
// login is announced to everybody, and a batch is announced in one write
// per client instead of one per login.  Once clients with a long half-typed
// line are about, logins come in small batches and leaves in waves: each
// notice costs such a client 1.5 KiB of erase and redraw, and about 85 in
// one loop turn overflow its 128 KiB queue, although it reads.
constexpr int storm_batch = 64;
constexpr int login_batch = 8;
constexpr int leave_wave = 32;
constexpr auto phase_limit = 25s;
// All phases together: the test has 90 s, the last 3 s measure idleness.
constexpr auto test_limit = 80s;

enum class role { chat, slow, typist, garbage, idle };

struct peer {
    int fd = -1;
    role kind = role::chat;
    std::string name;
    std::string carry;  // what came after the last line end
    bool prompted = false;
    bool in = false;
    bool leaving = false;
    bool eof = false;
    int replies = 0;                                        // "* private message sent" and version replies
    int ends = 0;                                           // replies closed by "* end."
    std::vector<int> seen = std::vector<int>(talkers, -1);  // last line per talker
    std::vector<std::string> listed;
    std::string fault;
};

std::string chat_text(int talker, int seq)
{
    return "seq " + std::to_string(talker) + " " + std::to_string(seq) + " " +
           std::string(20 + (seq * 37 + talker * 11) % 300, static_cast<char>('a' + talker));
}

// Every client of the test, served by one epoll loop.
class crowd {
  public:
    explicit crowd(int port) : port_(port), ep_(epoll_create1(EPOLL_CLOEXEC)) {}
    ~crowd()
    {
        for (peer& p : peers)
            close(p.fd);
        close(ep_);
    }

    std::vector<peer> peers;
    std::set<std::string> logged_off;  // as the first client was told
    int in_flight = 0;                 // connected, name prompt not yet seen
    std::vector<int> unnamed;          // prompted, name not yet sent
    int logins = 0;

    int connect(role kind)
    {
        peer& p = peers.emplace_back();
        int id = static_cast<int>(peers.size()) - 1;
        p.kind = kind;
        p.name = "u" + std::to_string(id);
        p.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int small = 4096;  // a slow reader's window closes at once
        if (kind == role::slow)
            setsockopt(p.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        if (::connect(p.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            p.fault = "connect failed";
        epoll_event ev{EPOLLIN, {}};
        ev.data.u32 = static_cast<uint32_t>(id);
        epoll_ctl(ep_, EPOLL_CTL_ADD, p.fd, &ev);
        ++in_flight;
        return id;
    }

    void send(int id, std::string_view bytes)
    {
        if (::send(peers[id].fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            peers[id].fault = "send failed";
    }

    // Stops reading; the kernel buffers fill and then the server's queue.
    void deafen(int id) { epoll_ctl(ep_, EPOLL_CTL_DEL, peers[id].fd, nullptr); }

    void leave(int id, int how)
    {
        peer& p = peers[id];
        p.leaving = true;
        if (how == 0)
            return send(id, "/quit\r\n");
        linger lg{1, 0};
        if (how == 2)
            setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        deafen(id);
        close(p.fd);
        p.fd = -1;
        p.eof = true;
    }

    bool live(const peer& p) const { return p.in && !p.eof && !p.leaving && p.kind != role::slow; }

    // Serves the clients until `done` holds; false after `limit`.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = phase_limit)
    {
        auto end = std::min(steady::now() + limit, end_);
        while (!done()) {
            if (steady::now() > end)
                return false;
            pump(10);
        }
        return true;
    }

    // Connects and logs in `count` clients, a few connects at a time.
    std::vector<int> arrive(int count, role kind, int batch = login_batch)
    {
        std::vector<int> ids;
        int goal = logins + count;
        bool ok = until([&] {
            while (static_cast<int>(ids.size()) < count && in_flight < connect_window)
                ids.push_back(connect(kind));
            bool all = static_cast<int>(ids.size()) == count && in_flight == 0;
            if (static_cast<int>(unnamed.size()) >= batch || (all && !unnamed.empty())) {
                for (int id : unnamed)
                    send(id, peers[id].name + "\r\n");
                unnamed.clear();
            }
            return logins == goal;
        });
        EXPECT_TRUE(ok) << logins - (goal - count) << " of " << count << " clients logged in";
        return ids;
    }

    void pump(int ms)
    {
        epoll_event ev[256];
        int n = epoll_wait(ep_, ev, 256, ms);
        for (int i = 0; i < n; ++i) {
            peer& p = peers[ev[i].data.u32];
            ssize_t got = recv(p.fd, buf_, sizeof buf_, MSG_DONTWAIT);
            if (got > 0) {
                take(p, std::string_view(buf_, static_cast<size_t>(got)));
                continue;
            }
            if (got < 0 && errno == EAGAIN)
                continue;
            deafen(ev[i].data.u32);
            close(p.fd);
            p.fd = -1;
            p.eof = true;
            in_flight -= !p.prompted;
            if (!p.leaving)
                p.fault = "dropped by the server";
        }
    }

  private:
    int port_;
    int ep_;
    steady::time_point end_ = steady::now() + test_limit;
    char buf_[65536];

    void take(peer& p, std::string_view bytes)
    {
        p.carry.append(bytes);
        size_t start = 0;
        for (size_t end; (end = p.carry.find("\r\n", start)) != std::string::npos; start = end + 2)
            line(p, std::string_view(p.carry).substr(start, end - start));
        p.carry.erase(0, start);
        if (!p.prompted && p.carry.find("chars): ") != std::string::npos) {
            p.prompted = true;
            --in_flight;
            if (p.kind != role::idle)
                unnamed.push_back(static_cast<int>(&p - peers.data()));
        }
    }

    void line(peer& p, std::string_view text)
    {
        if (!p.in && text.ends_with("* logged in as " + p.name)) {
            p.in = true;
            ++logins;
        }
        if (text.find("* private message sent") != std::string::npos || text.find("* nchatd v") != std::string::npos)
            ++p.replies;
        if (text.ends_with("* end."))
            ++p.ends;
        if (text.size() >= 10 && text.substr(6, 4) == "*   ")
            p.listed.emplace_back(text.substr(10));
        if (&p == peers.data() && text.find(" logged off from ") != std::string::npos) {
            size_t at = text.find("* user ") + 7;
            logged_off.emplace(text.substr(at, text.find(' ', at) - at));
        }
        // A delivered line starts behind the redraw's carriage return;
        // what comes before is the echo or redraw of half-typed input.
        size_t from = text.rfind("\x1b[0m\r");
        size_t at = from == std::string::npos ? from : text.find("> seq ", from);
        if (at == std::string::npos)
            return;
        int t = -1;
        int seq = -1;
        std::string rest(text.substr(at + 2));
        if (sscanf(rest.c_str(), "seq %d %d", &t, &seq) != 2 || t < 0 || t >= talkers || rest != chat_text(t, seq))
            p.fault = "cut or garbled chat line: " + rest.substr(0, 40);
        else if (p.seen[t] >= 0 && seq != p.seen[t] + 1)
            p.fault = "chat line out of order";
        else
            p.seen[t] = seq;
    }
};

using harness::cpu_ticks;
using harness::rss_kib;

int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

double seconds_since(steady::time_point t)
{
    return std::chrono::duration<double>(steady::now() - t).count();
}

TEST(Soak, FullTableChurnSlowReadersGarbageAndIdle)
{
    // A descriptor per client, for a full table and a few more.
    ASSERT_GT(harness::raise_open_files(2 * slots + 256), slots + 64);

    harness::server srv;
    // A whole table from one address, writing as fast as it can: the
    // per-address and flood limits would only hold the soak back.
    ASSERT_TRUE(
        srv.start(harness::one_host({"-n", std::to_string(slots), "-u", "0", "-r", "0", "-o", "0", "-e", "0"})));
    crowd c(srv.port());
    std::mt19937 rng(2987);

    // Peer 0 logs in first and watches the logoffs; the last slot goes to a
    // client that never sends a byte.
    auto started = steady::now();
    c.arrive(1, role::chat);
    c.arrive(slots - 2, role::chat, storm_batch);
    int idle = c.connect(role::idle);
    ASSERT_TRUE(c.until([&] { return c.peers[idle].prompted; }));
    printf("[ soak ] %d clients logged in in %.1f s\n", slots - 1, seconds_since(started));
    harness::client refused;
    ASSERT_TRUE(refused.connect(srv.port()));
    EXPECT_TRUE(refused.read_until("Too many client are connected. Try again later.\r\n"));
    EXPECT_TRUE(refused.wait_closed());

    std::vector<int> slow;
    std::vector<int> garbage;
    int seq = 0;
    long rss_second = 0;
    for (int round = 1; round <= rounds; ++round) {
        auto round_start = steady::now();
        // Churn: a third quit, a third vanish, a third reset.
        std::vector<int> chatters;
        for (size_t id = 1; id < c.peers.size(); ++id) {
            if (c.live(c.peers[id]) && c.peers[id].kind == role::chat)
                chatters.push_back(static_cast<int>(id));
        }
        std::shuffle(chatters.begin(), chatters.end(), rng);
        for (int i = 0; i < churn; i += leave_wave) {
            size_t gone = c.logged_off.size();
            for (int j = i; j < std::min(churn, i + leave_wave); ++j, ++gone)
                c.leave(chatters[j], j % 3);
            ASSERT_TRUE(c.until([&] { return c.logged_off.size() >= gone; })) << "leaves not noticed";
        }
        if (round > 1) {
            c.arrive(churn, role::chat);
        } else {
            c.arrive(churn - slow_readers - 4, role::chat);
            for (int id : c.arrive(2, role::typist))
                c.send(id, std::string(560, 'y'));
            garbage = c.arrive(2, role::garbage);
            for (int id : garbage) {
                std::string g;
                while (g.size() < 8192) {
                    if (rng() % 5 == 0)
                        g.append(1 + rng() % 300, '\xff');
                    else if (char ch = static_cast<char>(rng()); ch != '\r' && ch != '\n')
                        g.push_back(ch);
                }
                // Ends a subnegotiation or option left open, erases the line.
                c.send(id, g + "\xf0\xf0" + std::string(600, '\x7f') + "/version\r\n");
            }
            // Last to arrive, so that it is the chat that drops them.
            slow = c.arrive(slow_readers, role::slow);
            for (int id : slow) {
                c.send(id, std::string(560, 'z'));
                c.deafen(id);
            }
        }

        // Chat: every live client must get every line whole and in order,
        // while each slow reader is flooded with private messages until the
        // server drops it.
        for (int t = 0; t < talkers; ++t) {
            std::string lines;
            for (int k = 1; k <= lines_per_talker; ++k)
                lines += chat_text(t, seq + k) + "\r\n";
            c.send(chatters[churn + t], lines);
        }
        seq += lines_per_talker;
        std::vector<int> sent(slow.size(), 0);
        auto flooded = [&] {
            bool all = true;
            for (size_t i = 0; round == 1 && i < slow.size(); ++i) {
                int from = chatters[churn + talkers + static_cast<int>(i)];
                bool dropped = c.logged_off.count(c.peers[slow[i]].name) > 0;
                all = all && dropped;
                if (!dropped && sent[i] < flood_max && c.peers[from].replies == sent[i]) {
                    c.send(from, "/msg " + c.peers[slow[i]].name + " " + std::string(100, 'f') + "\r\n");
                    ++sent[i];
                }
            }
            return all;
        };
        auto delivered = [&] {
            for (const peer& p : c.peers) {
                if (c.live(p) && p.fault.empty() && *std::min_element(p.seen.begin(), p.seen.end()) != seq)
                    return false;
            }
            return true;
        };
        ASSERT_TRUE(c.until([&] { return flooded() && delivered(); })) << "round " << round;
        for (const peer& p : c.peers)
            ASSERT_EQ(p.fault, "") << p.name;
        if (round == 2)
            rss_second = rss_kib(srv.pid());
        printf("[ soak ] round %d: %.1f s, %zu messages to slow readers\n", round, seconds_since(round_start),
               static_cast<size_t>(std::accumulate(sent.begin(), sent.end(), 0)));
    }
    long rss_last = rss_kib(srv.pid());

    for (int id : slow) {
        std::string port = std::to_string(local_port(c.peers[id].fd));
        EXPECT_NE(srv.log().find("Connection from 127.0.0.1:" + port + " dropped: output queue full.\n"),
                  std::string::npos);
    }
    for (int id : garbage)
        EXPECT_EQ(c.peers[id].replies, 1) << "garbage left the connection unusable";

    // A newcomer chats normally and sees exactly who is there.
    int fresh = c.arrive(1, role::chat)[0];
    c.send(fresh, chat_text(0, ++seq) + "\r\n/list\r\n");
    ASSERT_TRUE(c.until([&] {
        for (const peer& p : c.peers) {
            if (c.live(p) && p.seen[0] != seq)
                return false;
        }
        return c.peers[fresh].ends == 1;
    }));
    std::multiset<std::string> expected{""};  // the idle client has no name
    for (const peer& p : c.peers) {
        if (c.live(p))
            expected.insert(p.name);
    }
    const auto& listed = c.peers[fresh].listed;
    EXPECT_EQ(std::multiset<std::string>(listed.begin(), listed.end()), expected);

    // Queues are kept per slot and give back what they grew by once
    // drained, so after the second round the process should not grow; the
    // tolerance covers the allocator's page-level noise.  AddressSanitizer
    // keeps freed memory in quarantine, so there the figure means nothing.
    // A drained queue gives its buffer back in the once-a-second sweep, so
    // a reading taken just before a sweep is high: a leak stays above the
    // bound, a sweep still to come brings the process under it.
#if !defined(__SANITIZE_ADDRESS__)
    const long bound = rss_second + std::max(rss_second / 10, 512L);
    for (int tries = 0; rss_last > bound && tries < 50; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rss_last = rss_kib(srv.pid());
    }
    EXPECT_LE(rss_last, bound);
#endif
    printf("[ soak ] VmRSS after round 2: %ld KiB, after round %d: %ld KiB\n", rss_second, rounds, rss_last);

    c.pump(500);
    long before = cpu_ticks(srv.pid());
    auto idle_start = steady::now();
    c.until([] { return false; }, 3000ms);
    long used = cpu_ticks(srv.pid()) - before;
    double share = static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds_since(idle_start);
    printf("[ soak ] idle server: %ld ticks in 3 s (%.2f%% CPU); whole test %.1f s\n", used, 100 * share,
           seconds_since(started));
    // A server that spins takes a third of a core or more even beside two
    // busy loops on two cores; an idle one wakes once a second.
    EXPECT_LT(share, 0.05);
    EXPECT_TRUE(srv.alive());
}

}  // namespace

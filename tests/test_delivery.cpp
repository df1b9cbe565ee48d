// Line delivery: a message above the user's half-typed input, with erase
// run, bell, wake-up banner, time stamp and redraw; broadcast recipients.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "unit.h"

namespace {

const std::string sc = "\x1b[0m\r";
const std::string banner = "\r* \x1b[7mMessage arrived\x1b[0m\r\n";

std::string backs(size_t n)
{
    return std::string(n, '\b');
}

std::string spaces(size_t n)
{
    return std::string(n, ' ');
}

// Broadcasts `text` from slot `from` (-1: no originator), composed where
// every message is composed, so that a stamp fits in front of it.
void broadcast(unit::bench& b, int from, std::string_view text, bool with_time = false)
{
    memcpy(b.s.msg_text, text.data(), text.size());
    nchatd_broadcast(b.s, from < 0 ? nullptr : &b.user(from), b.s.msg_text, text.size(), with_time);
}

// Points slots at one packet socket pair while it lives: what they are
// sent leaves at once, one record per send, in the order of the sends.
struct wire {
    unit::bench& b;
    std::vector<int> slots;
    std::vector<int> saved;
    int fds[2] = {-1, -1};

    wire(unit::bench& bench, std::vector<int> which) : b(bench), slots(std::move(which))
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        for (int slot : slots) {
            saved.push_back(b.user(slot).sock);
            b.user(slot).sock = fds[0];
            b.user(slot).direct = true;
        }
    }
    ~wire()
    {
        for (size_t i = 0; i < slots.size(); ++i) {
            b.user(slots[i]).sock = saved[i];
            b.user(slots[i]).direct = false;
        }
        close(fds[0]);
        close(fds[1]);
    }
    std::vector<std::string> pieces()
    {
        std::vector<std::string> out;
        char buf[4096];
        ssize_t n;
        while (out.size() < 1000 && (n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            out.emplace_back(buf, static_cast<size_t>(n));
        return out;
    }
};

TEST(Delivery, EraseRunCoversWhatTheTextLeavesOpen)
{
    unit::bench b;
    int a = b.login("a");
    int u = b.login("u");
    b.drain_all();
    b.feed(u, "abcde");  // W = 2 + 5
    ASSERT_EQ(b.read(u), "abcde");

    broadcast(b, a, "xy\r\n");
    EXPECT_EQ(b.read(u), backs(5) + spaces(5) + sc + "xy\r\n> abcde");
    broadcast(b, a, "seven!!\r\n");  // V = W: nothing to erase
    EXPECT_EQ(b.read(u), sc + "seven!!\r\n> abcde");
    broadcast(b, a, "twenty bytes long!\r\n");
    EXPECT_EQ(b.read(u), sc + "twenty bytes long!\r\n> abcde");
    broadcast(b, a, "\r\n");
    EXPECT_EQ(b.read(u), backs(7) + spaces(7) + sc + "\r\n> abcde");
    broadcast(b, a, "ab\n\r\n");  // only trailing line ends are invisible
    EXPECT_EQ(b.read(u), backs(5) + spaces(5) + sc + "ab\n\r\n> abcde");
    broadcast(b, a, "a\rb\r\n");
    EXPECT_EQ(b.read(u), backs(4) + spaces(4) + sc + "a\rb\r\n> abcde");
    EXPECT_EQ(std::string(b.user(u).line, b.user(u).line_len), "abcde");

    // An empty input line: the prompt is the end of it.
    broadcast(b, u, "x\r\n");
    EXPECT_EQ(b.read(a), backs(1) + spaces(1) + sc + "x\r\n> ");
}

TEST(Delivery, LongEraseRunGoesOutInPiecesOf63)
{
    unit::bench b;
    int a = b.login("a");
    int u = b.login("u");
    b.drain_all();
    std::string typed(128, 'q');  // W = 130
    b.feed(u, typed);
    ASSERT_EQ(b.read(u), typed);
    broadcast(b, a, "\r\n");
    EXPECT_EQ(b.read(u), backs(130) + spaces(130) + sc + "\r\n> " + typed);

    wire w(b, {u});
    broadcast(b, a, "\r\n");
    std::vector<std::string> want = {backs(63),  backs(63), backs(4), spaces(63), spaces(63),
                                     spaces(4),  sc,        "\r\n",   "> ",       typed};
    EXPECT_EQ(w.pieces(), want);
}

TEST(Delivery, BellAndBannerBySettingAndWaiting)
{
    struct row {
        int mode;
        bool waiting;
        std::string head;  // what comes before safe_cr
    };
    const row rows[] = {
        {0, false, ""},   {0, true, banner},        {1, false, "\a"}, {1, true, banner + "\a"},
        {2, false, ""},   {2, true, "\a" + banner}, {3, false, "\a"}, {3, true, "\a" + banner},
    };
    unit::bench b;
    int a = b.login("a");
    int u = b.login("u");
    b.drain_all();
    for (const row& r : rows) {
        b.user(u).bell_mode = static_cast<uint8_t>(r.mode);
        b.user(u).waiting = r.waiting;
        broadcast(b, a, "hello\r\n");
        EXPECT_EQ(b.read(u), r.head + sc + "hello\r\n> ") << "bell_mode " << r.mode << " waiting " << r.waiting;
        EXPECT_FALSE(b.user(u).waiting);
    }
    // The message bell follows the erase run; the wake-up bell and the
    // banner come before it, which still counts from the old column.
    b.feed(u, "ab");
    b.read(u);
    b.user(u).bell_mode = 1;
    b.user(u).waiting = true;
    broadcast(b, a, "x\r\n");
    EXPECT_EQ(b.read(u), banner + backs(3) + spaces(3) + "\a" + sc + "x\r\n> ab");
    b.user(u).bell_mode = 3;
    b.user(u).waiting = true;
    broadcast(b, a, "x\r\n");
    broadcast(b, a, "y\r\n");  // only the first message wakes
    EXPECT_EQ(b.read(u), "\a" + banner + backs(3) + spaces(3) + sc + "x\r\n> ab" + backs(3) + spaces(3) + "\a" +
                             sc + "y\r\n> ab");
}

TEST(Delivery, StampedPrivateMessage)
{
    unit::bench b;
    int a = b.login("a");
    int u = b.login("u");
    b.drain_all();
    b.feed(u, "twelve chars");  // W = 14
    b.read(u);

    time_t before = time(nullptr);
    nchatd_send_privmsg(b.s, b.user(u), b.user(a), "x");
    std::string got = b.read(u);
    time_t after = time(nullptr);
    // The 6-byte stamp counts towards the visible length: 14 - 12 = 2.
    EXPECT_EQ(unit::mask(got), backs(2) + spaces(2) + sc + "SS:SS ![a] x\r\n> twelve chars");
    char early[16], late[16];
    struct tm t;
    strftime(early, sizeof early, "%H:%M ", localtime_r(&before, &t));
    strftime(late, sizeof late, "%H:%M ", localtime_r(&after, &t));
    std::string stamp = got.substr(4 + sc.size(), 6);
    EXPECT_TRUE(stamp == early || stamp == late) << stamp;
    EXPECT_EQ(b.read(a), "");  // the sender gets nothing from the delivery

    b.user(u).waiting = true;  // a private message wakes its receiver
    nchatd_send_privmsg(b.s, b.user(u), b.user(a), "  spaced  ");
    EXPECT_EQ(unit::mask(b.read(u)), banner + sc + "SS:SS ![a]   spaced  \r\n> twelve chars");
}

TEST(Broadcast, ReachesEveryOtherLoggedInUserInSlotOrder)
{
    unit::bench b;
    int a = b.login("A");
    int w = b.login("B");
    int c = b.login("C");
    int d = b.connect();  // still at the name prompt
    b.feed(a, "1");
    b.feed(c, "2");
    b.drain_all();
    {
        wire both(b, {a, c});
        b.feed(w, "yo\r");
        std::string got;
        for (const std::string& piece : both.pieces())
            got += piece;
        EXPECT_EQ(unit::mask(got), sc + "SS:SS <B> yo\r\n> 1" + sc + "SS:SS <B> yo\r\n> 2");
        size_t second = got.find(sc, 1);  // one stamp for every recipient
        ASSERT_NE(second, std::string::npos);
        EXPECT_EQ(got.substr(sc.size(), 6), got.substr(second + sc.size(), 6));
    }
    EXPECT_EQ(unit::mask(b.read(w)), "yo" + sc + "SS:SS <\x1b[1mB\x1b[0m> yo\r\n> ");
    EXPECT_EQ(b.read(d), "");

    // No originator, no stamp, as the day change goes out.
    char day[] = "* Day changed to 01 Jan 2030\r\n";
    nchatd_broadcast(b.s, nullptr, day, strlen(day), false);
    EXPECT_EQ(b.read(a), sc + day + "> 1");
    EXPECT_EQ(b.read(w), sc + day + "> ");
    EXPECT_EQ(b.read(c), sc + day + "> 2");
    EXPECT_EQ(b.read(d), "");

    broadcast(b, c, "* note\r\n", true);
    EXPECT_EQ(unit::mask(b.read(a)), sc + "SS:SS * note\r\n> 1");
    EXPECT_EQ(unit::mask(b.read(w)), sc + "SS:SS * note\r\n> ");
    EXPECT_EQ(b.read(c), "");
    EXPECT_EQ(b.read(d), "");
}

}  // namespace

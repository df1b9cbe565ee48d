// Line delivery: a message above the user's half-typed input, with erase
// run, bell, wake-up banner, time stamp and redraw; broadcast recipients.
#include <ctime>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "unit.h"

using namespace std::literals;

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

// Broadcasts `text` from slot `from` (-1: no originator).
void broadcast(unit::bench& b, int from, std::string_view text, bool with_time = false)
{
    b.room.broadcast(from < 0 ? nullptr : &b.user(from), text, with_time);
}

TEST(Delivery, EraseRunCoversWhatTheTextLeavesOpen)
{
    unit::bench b;
    const auto [a, u] = b.users("a", "u");
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
    EXPECT_EQ(b.user(u).editor.line(), "abcde");

    // An empty input line: the prompt is the end of it.
    broadcast(b, u, "x\r\n");
    EXPECT_EQ(b.read(a), backs(1) + spaces(1) + sc + "x\r\n> ");

    // Runs longer than the 63 bytes sent at once, on a row wide enough.
    std::string typed(128, 'q');
    b.feed(a, "\xff\xfa\x1f\x00\xc8\x00\x18\xff\xf0"s);  // a window 200 columns wide
    b.read(a);
    b.feed(a, typed);
    ASSERT_EQ(b.read(a), typed);
    broadcast(b, u, "\r\n");
    EXPECT_EQ(b.read(a), backs(130) + spaces(130) + sc + "\r\n> " + typed);
}

TEST(Delivery, BellAndBannerBySettingAndWaiting)
{
    struct row {
        int mode;
        bool waiting;
        std::string head;  // what comes before safe_cr
    };
    const row rows[] = {
        {0, false, ""}, {0, true, banner},        {1, false, "\a"}, {1, true, banner + "\a"},
        {2, false, ""}, {2, true, "\a" + banner}, {3, false, "\a"}, {3, true, "\a" + banner},
    };
    unit::bench b;
    const auto [a, u] = b.users("a", "u");
    for (const row& r : rows) {
        b.user(u).profile.bell = static_cast<uint8_t>(r.mode);
        b.user(u).profile.waiting = r.waiting;
        broadcast(b, a, "hello\r\n");
        EXPECT_EQ(b.read(u), r.head + sc + "hello\r\n> ") << "bell " << r.mode << " waiting " << r.waiting;
        EXPECT_FALSE(b.user(u).profile.waiting);
    }
    // The message bell follows the erase run; the wake-up bell and the
    // banner come before it, which still counts from the old column.
    b.feed(u, "ab");
    b.read(u);
    b.user(u).profile.bell = 1;
    b.user(u).profile.waiting = true;
    broadcast(b, a, "x\r\n");
    EXPECT_EQ(b.read(u), banner + backs(3) + spaces(3) + "\a" + sc + "x\r\n> ab");
    b.user(u).profile.bell = 3;
    b.user(u).profile.waiting = true;
    broadcast(b, a, "x\r\n");
    broadcast(b, a, "y\r\n");  // only the first message wakes
    EXPECT_EQ(b.read(u),
              "\a" + banner + backs(3) + spaces(3) + sc + "x\r\n> ab" + backs(3) + spaces(3) + "\a" + sc + "y\r\n> ab");
}

TEST(Delivery, StampedPrivateMessage)
{
    unit::bench b;
    const auto [a, u] = b.users("a", "u");
    b.feed(u, "twelve chars");  // W = 14
    b.read(u);

    time_t before = time(nullptr);
    b.room.private_message(b.user(u), b.user(a), "x");
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

    b.user(u).profile.waiting = true;  // a private message wakes its receiver
    b.room.private_message(b.user(u), b.user(a), "  spaced  ");
    EXPECT_EQ(unit::mask(b.read(u)), banner + sc + "SS:SS ![a]   spaced  \r\n> twelve chars");
}

TEST(Broadcast, ReachesEveryOtherLoggedInUser)
{
    unit::bench b;
    int a = b.login("A");
    int w = b.login("B");
    int c = b.login("C");
    int d = b.connect();  // still at the name prompt
    b.feed(a, "1");
    b.feed(c, "2");
    b.drain_all();
    b.feed(w, "yo\r");
    std::string to_a = b.read(a);
    std::string to_c = b.read(c);
    EXPECT_EQ(unit::mask(to_a), sc + "SS:SS <B> yo\r\n> 1");
    EXPECT_EQ(unit::mask(to_c), sc + "SS:SS <B> yo\r\n> 2");
    EXPECT_EQ(to_a.substr(sc.size(), 6), to_c.substr(sc.size(), 6)) << "one stamp for every recipient";
    EXPECT_EQ(unit::mask(b.read(w)), "yo" + sc + "SS:SS <\x1b[1mB\x1b[0m> yo\r\n> ");
    EXPECT_EQ(b.read(d), "");

    // No originator, no stamp, as the day change goes out.
    const std::string day = "* Day changed to 01 Jan 2030\r\n";
    broadcast(b, -1, day);
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

// A message is composed once for the readers with nothing typed; a reader
// whose width, bell or wait differs still gets its own bytes, and its own
// cursor for the next delivery, wherever it sits among the others.
TEST(Broadcast, EachReaderGetsTheBytesOfItsOwnScreen)
{
    const auto seen = [](bool behind_plain_reader) {
        unit::bench b;
        const int a = b.login("A");
        if (behind_plain_reader)
            b.login("P");
        const int ringing = b.login("R");
        const int waiting = b.login("W");
        const int narrow = b.login("N");
        b.user(narrow).telnet.width = 1;
        b.user(ringing).profile.bell = 1;
        b.user(waiting).profile.waiting = true;
        b.drain_all();
        std::string got;
        for (std::string_view text : {"longer than the narrow one\r\n"sv, "x\r\n"sv}) {
            broadcast(b, a, text);
            for (int reader : {narrow, ringing, waiting})
                got += b.read(reader) + "|";
        }
        return got;
    };
    const std::string alone = seen(false);
    EXPECT_NE(alone.find('\a'), std::string::npos);
    EXPECT_NE(alone.find(banner), std::string::npos);
    EXPECT_EQ(seen(true), alone);
}

}  // namespace

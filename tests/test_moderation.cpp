// Moderation over the room: kick, ban, mute, say, op and the lock as the
// control socket asks for them, and the operators' own commands in the chat.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "moderation.h"
#include "unit.h"

using namespace std::literals;

namespace {

using unit::notice;

int64_t fake_now = 1000;

// A bench whose moderation clock the test turns by hand.
struct rig : unit::bench {
    rig()
    {
        room.bans().clock = [] { return fake_now; };
    }

    // One control request, then the loop's retire and flush.
    nchatd::Reply ctl(std::initializer_list<std::string_view> args)
    {
        std::vector<std::string_view> words(args);
        nchatd::Reply r = nchatd::control_request(room, words, "uid 1000");
        room.retire();
        room.flush_all();
        return r;
    }

    // Whether a newcomer from `host` is let in; the line it is told if not.
    std::string refusal(const char* host)
    {
        nchatd::Peer p;
        std::string_view(host).copy(p.host.data(), p.host.size() - 1);
        p.ipv6 = std::string_view(host).find(':') != std::string_view::npos;
        std::string line;
        (void)room.bans().refusal(p, line);
        return line;
    }
};

TEST(Moderation, KickTellsBothSidesFreesTheNameAndSkipsTheLogoff)
{
    rig b;
    const auto [alice, bob, carol] = b.users("alice", "bob", "carol");
    b.feed(carol, "hel");
    b.read(carol);

    nchatd::Reply r = b.ctl({"kick", "bob", "spamming", "the room"});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, "user bob was removed by an operator (spamming the room)\n");
    EXPECT_EQ(unit::mask(b.read(bob)), "\x1b[0m\rSS:SS * you have been removed by an operator: spamming the room\r\n");
    EXPECT_TRUE(b.closed(bob));
    // Above carol's half-typed line, which is drawn again; no logoff notice.
    EXPECT_EQ(unit::mask(b.read(carol)),
              "\x1b[0m\rSS:SS * user bob was removed by an operator (spamming the room)\r\n> hel");
    EXPECT_EQ(unit::mask(b.read(alice)), notice("* user bob was removed by an operator (spamming the room)"));
    EXPECT_NE(b.log.find("user \"bob\" removed by uid 1000: spamming the room."), std::string::npos) << b.log;
    int again = b.login("bob");
    EXPECT_EQ(b.user(again).name(), "bob"sv);

    // Without a reason, no parentheses; mistakes change nothing.
    b.drain_all();
    EXPECT_EQ(b.ctl({"kick", "bob"}).text, "user bob was removed by an operator\n");
    EXPECT_EQ(unit::mask(b.read(alice)), notice("* user bob was removed by an operator"));
    EXPECT_EQ(b.ctl({"kick", "Alice"}).text, "no such user: Alice\n");
    EXPECT_FALSE(b.ctl({"kick"}).ok);
    EXPECT_EQ(b.ctl({"frob"}).text, "unknown command: frob\n");
    EXPECT_EQ(b.read(alice), "");
    EXPECT_FALSE(b.closed(alice));
}

TEST(Moderation, BansByNameAndRangeCloseLiveSessionsAndTurnNewcomersAway)
{
    rig b;
    int keep = b.login("keep", unit::bench::fast_reader, "10.0.1.1");
    int bob = b.login("bob", unit::bench::fast_reader, "10.0.0.1");
    int bob2 = b.login("bob2", unit::bench::fast_reader, "10.0.0.2");
    int unnamed = b.connect(false, unit::bench::fast_reader, "10.0.0.3");
    b.drain_all();

    // By name: that one address, for the duration given, with the reason.
    nchatd::Reply r = b.ctl({"ban", "bob", "10m", "flooding"});
    EXPECT_EQ(r.text, "banned 10.0.0.1/32 for 10m0s\nuser bob was removed by an operator (flooding)\n");
    EXPECT_TRUE(b.closed(bob));
    EXPECT_FALSE(b.closed(bob2));
    EXPECT_EQ(b.refusal("10.0.0.1"), "* your address is banned for 10 more minutes: flooding\r\n");
    EXPECT_EQ(b.refusal("10.0.0.2"), "");

    // A range: every live session in it at once, at the name prompt too.
    fake_now += 30;
    r = b.ctl({"ban", "10.0.0.7/24", "raid"});
    EXPECT_TRUE(r.ok) << r.text;
    EXPECT_TRUE(b.closed(bob2));
    EXPECT_TRUE(b.closed(unnamed));
    EXPECT_FALSE(b.closed(keep));
    EXPECT_EQ(unit::mask(b.read(unnamed)), "\r\n* you have been removed by an operator: raid\r\n");
    EXPECT_EQ(b.refusal("10.0.0.200"), "* your address is banned for 60 more minutes: raid\r\n");
    EXPECT_EQ(b.ctl({"bans"}).text, "10.0.0.1/32 for 9m30s by uid 1000: flooding\n"
                                    "10.0.0.0/24 for 1h0m by uid 1000: raid\n");

    // Timed bans expire; a bare address lifts whatever covers it.
    fake_now += 10 * 60;
    EXPECT_EQ(b.ctl({"bans"}).text, "10.0.0.0/24 for 50m0s by uid 1000: raid\n");
    EXPECT_EQ(b.ctl({"unban", "10.0.0.9"}).text, "lifted 1 ban\n");
    EXPECT_EQ(b.refusal("10.0.0.1"), "");
    EXPECT_EQ(b.ctl({"unban", "10.0.0.9"}).text, "no ban covers: 10.0.0.9\n");

    // IPv6: a name bans the /64; an IPv6 range never covers IPv4 clients.
    int six = b.login("six", unit::bench::fast_reader, "2001:db8::1");
    EXPECT_EQ(b.ctl({"ban", "six", "0"}).text,
              "banned 2001:db8::/64 until the server stops\nuser six was removed by an operator\n");
    EXPECT_TRUE(b.closed(six));
    EXPECT_EQ(b.refusal("2001:db8::ff:1"), "* your address is banned until the server stops\r\n");
    EXPECT_TRUE(b.ctl({"ban", "::ffff:0:0/96"}).ok);
    EXPECT_TRUE(b.ctl({"ban", "::/0"}).ok);
    EXPECT_EQ(b.refusal("10.0.1.1"), "");
    EXPECT_FALSE(b.closed(keep));

    // Bad input: one error line, nothing changed.
    const std::string before = b.ctl({"bans"}).text;
    EXPECT_EQ(b.ctl({"ban", "10.0.0.0/33"}).text, "bad range: 10.0.0.0/33\n");
    EXPECT_EQ(b.ctl({"ban", "::/129"}).text, "bad range: ::/129\n");
    EXPECT_EQ(b.ctl({"ban", "garbage"}).text, "no such user: garbage\n");
    EXPECT_EQ(b.ctl({"ban", "keep", "5x"}).text, "bad duration: 5x\n");
    EXPECT_EQ(b.ctl({"ban", "keep", "0s"}).text, "bad duration: 0s\n");
    EXPECT_EQ(b.ctl({"unban", "1.2.3.4/40"}).text, "bad range: 1.2.3.4/40\n");
    EXPECT_EQ(b.ctl({"bans"}).text, before);
    EXPECT_FALSE(b.closed(keep));

    // A word that is not a duration begins the reason; the default is 1h.
    r = b.ctl({"ban", "keep", "being", "rude"});
    EXPECT_EQ(r.text.substr(0, 28), "banned 10.0.1.1/32 for 1h0m\n");
    EXPECT_EQ(b.refusal("10.0.1.1"), "* your address is banned for 60 more minutes: being rude\r\n");
    EXPECT_NE(b.log.find("Ban on 10.0.1.1/32 for 1h0m by uid 1000: being rude."), std::string::npos) << b.log;
}

TEST(Moderation, MuteHoldsLinesAndPrivateMessagesUntilLiftedOrOver)
{
    rig b;
    const auto [alice, bob] = b.users("alice", "bob");

    EXPECT_EQ(b.ctl({"mute", "bob", "5m"}).text, "muted bob for 5m0s\n");
    EXPECT_EQ(unit::mask(b.read(bob)), notice("* you are muted for 5 more minutes"));
    const std::string told = "\r\nSS:SS * you are muted for 5 more minutes\r\n> ";
    EXPECT_EQ(b.type(bob, "hello"), "hello" + told);
    EXPECT_EQ(b.type(bob, "/msg alice psst"), "/msg alice psst\r\n" + told.substr(2));
    EXPECT_EQ(b.type(bob, "/me waves"), "/me waves" + told);
    EXPECT_EQ(b.type(bob, "/away gone"), "/away gone\r\n" + told.substr(2, told.size() - 4) + "SS:SS * end.\r\n> ");
    EXPECT_EQ(b.type(bob, "/name loud"), "/name loud\r\n" + told.substr(2, told.size() - 4) + "SS:SS * end.\r\n> ");
    EXPECT_NE(b.type(bob, "/list").find("alice"), std::string::npos);  // reading still works
    EXPECT_EQ(b.read(alice), "");

    EXPECT_EQ(b.ctl({"mute", "bob", "5x"}).text, "bad duration: 5x\n");
    EXPECT_EQ(b.ctl({"unmute", "alice"}).text, "not muted: alice\n");
    EXPECT_EQ(b.ctl({"unmute", "bob"}).text, "unmuted bob\n");
    EXPECT_EQ(unit::mask(b.read(bob)), notice("* you are no longer muted"));
    b.type(bob, "back");
    EXPECT_NE(b.read(alice).find("<bob> back"), std::string::npos);

    // A mute ends by itself; without a duration it lasts an hour.
    b.ctl({"mute", "bob"});
    b.read(bob);
    fake_now += 3599;
    EXPECT_EQ(b.type(bob, "x"), "x\r\nSS:SS * you are muted for 1 more minute\r\n> ");
    fake_now += 1;
    b.type(bob, "free");
    EXPECT_NE(b.read(alice).find("<bob> free"), std::string::npos);
}

TEST(Moderation, SayOpAndTheLock)
{
    rig b;
    const auto [alice, bob] = b.users("alice", "bob");
    int newcomer = b.connect();

    EXPECT_EQ(b.ctl({"say", "back in", "5 minutes"}).text, "notice from the operator: back in 5 minutes\n");
    EXPECT_EQ(unit::mask(b.read(alice)), notice("* notice from the operator: back in 5 minutes"));
    EXPECT_EQ(unit::mask(b.read(bob)), notice("* notice from the operator: back in 5 minutes"));
    EXPECT_EQ(b.read(newcomer), "");
    EXPECT_FALSE(b.ctl({"say"}).ok);

    EXPECT_EQ(b.ctl({"op", "bob"}).text, "bob is an operator\n");
    EXPECT_TRUE(b.user(bob).standing.op);
    EXPECT_EQ(unit::mask(b.read(bob)), notice("* you are now an operator"));
    EXPECT_EQ(b.ctl({"deop", "bob"}).text, "bob is not an operator\n");
    EXPECT_EQ(unit::mask(b.read(bob)), notice("* you are no longer an operator"));
    EXPECT_EQ(b.ctl({"op", "nobody"}).text, "no such user: nobody\n");

    EXPECT_EQ(b.ctl({"lock", "raid", "in progress"}).text, "locked\n");
    EXPECT_EQ(b.refusal("127.0.0.1"), "* the chat is closed to newcomers for now: raid in progress\r\n");
    EXPECT_FALSE(b.closed(newcomer));  // already inside
    b.ctl({"unlock"});
    b.ctl({"lock"});
    EXPECT_EQ(b.refusal("127.0.0.1"), "* the chat is closed to newcomers for now\r\n");
    b.ctl({"unlock"});
    EXPECT_EQ(b.refusal("127.0.0.1"), "");
}

TEST(Operators, CommandsInTheChatAndTheirHelpRows)
{
    rig b;
    int alice = b.login("alice", unit::bench::fast_reader, "10.0.0.1");
    int bob = b.login("bob", unit::bench::fast_reader, "10.0.0.2");
    int carol = b.login("carol", unit::bench::fast_reader, "10.0.0.3");
    b.drain_all();

    // For everybody else the words are unknown and /help is unchanged.
    const std::string help = b.type(bob, "/help");
    for (std::string_view word : {"/kick carol", "/ban carol", "/mute carol", "/unmute carol", "/say hi"})
        EXPECT_EQ(b.type(bob, word), std::string(word) + "\r\nSS:SS * unknown command\r\n> ");
    b.drain_all();

    b.ctl({"op", "bob"});
    b.read(bob);
    const std::string ops = b.type(bob, "/help");
    const size_t end = help.size() - "SS:SS * end.\r\n> "sv.size();
    ASSERT_EQ(ops.substr(0, end), help.substr(0, end));
    EXPECT_EQ(ops.substr(end),
              "SS:SS *  /kick nick [why] Remove a user from the chat.\r\n"
              "SS:SS *  /ban nick [time] [why] Remove a user and keep the address out "
              "(time: 30s, 10m, 2h, 1d, 0; 1h).\r\n"
              "SS:SS *  /mute nick [time] Keep a user's lines and private messages from others (1h).\r\n"
              "SS:SS *  /unmute nick     Let a muted user speak again.\r\n"
              "SS:SS *  /say text        Send a notice from the operator to everybody.\r\n"
              "SS:SS * end.\r\n> ");

    EXPECT_EQ(b.type(bob, "/mute carol 2m"), "/mute carol 2m\r\nSS:SS * muted carol for 2m0s\r\n> ");
    EXPECT_EQ(b.type(bob, "/unmute carol"), "/unmute carol\r\nSS:SS * unmuted carol\r\n> ");
    EXPECT_EQ(b.type(bob, "/say tea  time"), "/say tea  time\r\nSS:SS * notice from the operator: tea  time\r\n> ");
    EXPECT_EQ(b.type(bob, "/kick bob"), "/kick bob\r\nSS:SS * not available on self\r\n> ");
    EXPECT_EQ(b.type(bob, "/kick zed"), "/kick zed\r\nSS:SS * no such user: zed\r\n> ");
    EXPECT_EQ(b.type(bob, "/ban carol 1d  rude  words"),
              "/ban carol 1d  rude  words\r\nSS:SS * banned 10.0.0.3/32 for 1d0h\r\n"
              "SS:SS * user carol was removed by an operator (rude  words)\r\n> ");
    EXPECT_TRUE(b.closed(carol));
    EXPECT_EQ(b.ctl({"bans"}).text, "10.0.0.3/32 for 1d0h by bob: rude  words\n");
    EXPECT_NE(b.log.find("user \"carol\" removed by bob: rude  words."), std::string::npos) << b.log;
    const std::string seen = unit::mask(b.read(alice));
    EXPECT_NE(seen.find("* notice from the operator: tea  time"), std::string::npos);
    EXPECT_NE(seen.find("* user carol was removed by an operator (rude  words)"), std::string::npos);

    b.ctl({"deop", "bob"});
    b.read(bob);
    EXPECT_EQ(b.type(bob, "/kick alice"), "/kick alice\r\nSS:SS * unknown command\r\n> ");
    EXPECT_EQ(b.type(bob, "/help"), help);
}

}  // namespace

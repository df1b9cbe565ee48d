// What users do with each other beyond chat lines: recent lines for those
// who come later, actions, away marks and ignore lists.  Byte for byte over
// the in-process bench, time stamps masked.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "harness.h"
#include "unit.h"

namespace {

const std::string end = "SS:SS * end.\r\n> ";

using unit::notice;

// Connects and logs in as `name`; `got` is what the login answered after
// the echo of the name, unmasked.
int arrive(unit::bench& b, std::string_view name, std::string& got)
{
    int slot = b.connect();
    b.feed(slot, std::string(name) + "\r");
    got = b.read(slot).substr(name.size());
    return slot;
}

std::string logged_in(std::string_view name, std::string_view recent = "")
{
    return "\r\nSS:SS * logged in as " + std::string(name) + "\r\n" + std::string(recent) + "> ";
}

TEST(Social, RecentLinesGreetLatecomers)
{
    std::string got;
    {
        // Without -H nothing is kept: a latecomer's login is as it always was.
        unit::bench b;
        int al = b.login("al");
        b.type(al, "hello");
        arrive(b, "bo", got);
        EXPECT_EQ(unit::mask(got), logged_in("bo"));
    }
    unit::bench b(16);
    b.room.recent().allocate(3);
    int al = b.login("al");
    arrive(b, "bo", got);
    EXPECT_EQ(unit::mask(got), logged_in("bo")) << "nothing said yet: no frame either";

    // Chat lines and actions are kept; private messages, notices and
    // replies are not.
    b.type(al, "one");
    b.type(al, "/msg bo secret");
    b.type(al, "/status busy");
    b.type(al, "/me waves");
    b.type(al, "/list");
    int cy = arrive(b, "cy", got);
    const std::string two = "SS:SS * last 2 lines:\r\nSS:SS <al> one\r\nSS:SS * al waves\r\n"
                            "SS:SS * end of last lines\r\n";
    EXPECT_EQ(unit::mask(got), logged_in("cy", two));
    // Each line behind the stamp it was said with, not the time of login.
    b.room.recent().clear();
    b.room.recent().keep("01:02 ", "<zed> earlier\r\n");
    arrive(b, "di", got);
    EXPECT_NE(got.find("\r\n01:02 <zed> earlier\r\n"), std::string::npos) << got;

    // The ring keeps the newest three, oldest first, round and round.
    for (const char* line : {"a", "b", "c", "d", "e"})
        b.type(cy, line);
    arrive(b, "ed", got);
    EXPECT_EQ(unit::mask(got), logged_in("ed", "SS:SS * last 3 lines:\r\nSS:SS <cy> c\r\nSS:SS <cy> d\r\n"
                                               "SS:SS <cy> e\r\nSS:SS * end of last lines\r\n"));

    // Cleared, it is as if nothing had been said.
    b.room.recent().clear();
    arrive(b, "flo", got);
    EXPECT_EQ(unit::mask(got), logged_in("flo"));
}

TEST(Social, RecentLinesFromTheServerStartedWithH)
{
    harness::server srv;
    ASSERT_TRUE(srv.start({"-H", "2"}));
    harness::client ann, ben;
    ASSERT_TRUE(ann.login(srv.port(), "ann"));
    for (const char* line : {"one\r\n", "two\r\n", "/me three\r\n"}) {
        ASSERT_TRUE(ann.send(line));
        ASSERT_TRUE(ann.read_until("> "));
        ann.take();
    }
    ASSERT_TRUE(ben.connect(srv.port()) && ben.read_until("chars): ") && ben.send("ben\r\n"));
    ASSERT_TRUE(ben.read_until("* end of last lines\r\n> "));
    const std::string got = ben.take();
    EXPECT_EQ(unit::mask(got.substr(got.find("* logged in"))),
              "* logged in as ben\r\nSS:SS * last 2 lines:\r\nSS:SS <ann> two\r\nSS:SS * ann three\r\n"
              "SS:SS * end of last lines\r\n> ");
}

TEST(Social, ActionsAreChatLines)
{
    unit::bench b;
    const auto [al, bo] = b.users("al", "bo");
    // The writer's copy replaces the typed line, as a chat line's does.
    EXPECT_EQ(b.type(al, "/me waves  at all"), "/me waves  at all" + notice("* \x1b[1mal\x1b[0m waves  at all"));
    EXPECT_EQ(unit::mask(b.read(bo)), notice("* al waves  at all"));
    EXPECT_EQ(b.user(al).profile.lines_written, 1u);
    EXPECT_EQ(b.type(al, "/me"), "/me\r\nSS:SS * /me needs an action\r\n> ");
    EXPECT_EQ(b.read(bo), "");
    EXPECT_EQ(b.user(al).profile.lines_written, 1u);
}

TEST(Social, AwayIsAnnouncedShownAndAnswered)
{
    unit::bench b;
    const auto [al, bo] = b.users("al", "bo");
    EXPECT_EQ(b.type(al, "/away"), "/away\r\nSS:SS * you are not away\r\n" + end);
    EXPECT_EQ(b.type(al, "/away " + std::string(40, 'x')),
              "/away " + std::string(40, 'x') + "\r\nSS:SS * away message is too long\r\n" + end);
    EXPECT_EQ(b.type(al, "/away out for lunch"), "/away out for lunch\r\nSS:SS * you are away\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(bo)), notice("* user al is away: out for lunch"));

    EXPECT_EQ(b.type(bo, "/list"), "/list\r\nSS:SS *   al (away)\r\nSS:SS *   bo\r\n" + end);
    b.user(al).profile.away_since -= 12 * 60;
    // The private message arrives as ever; its sender learns why no answer comes.
    EXPECT_EQ(b.type(bo, "/msg al hi"),
              "/msg al hi\r\nSS:SS * private message sent\r\nSS:SS * al is away (for 12 min): out for lunch\r\n> ");
    EXPECT_EQ(unit::mask(b.read(al)), notice("![bo] hi"));
    b.user(al).profile.away_since -= 113 * 60;
    std::string info = b.type(bo, "/info al");
    EXPECT_NE(info.find("\"\r\nSS:SS *   away (for 2 h 5 min): out for lunch\r\n" + end), std::string::npos) << info;

    EXPECT_EQ(b.type(al, "/away"), "/away\r\nSS:SS * you are back\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(bo)), notice("* user al is back"));
    EXPECT_EQ(b.type(bo, "/list"), "/list\r\nSS:SS *   al\r\nSS:SS *   bo\r\n" + end);
    EXPECT_EQ(b.type(bo, "/msg al hi"), "/msg al hi\r\nSS:SS * private message sent\r\n> ");
    EXPECT_EQ(b.type(bo, "/info al").find("away"), std::string::npos);
}

TEST(Social, IgnoreHidesAConnectionNotANameUpToTheBound)
{
    unit::bench b(40);
    const auto [al, bo, cy] = b.users("al", "bo", "cy");
    EXPECT_EQ(b.type(al, "/ignore"), "/ignore\r\nSS:SS * you ignore nobody\r\n" + end);
    EXPECT_EQ(b.type(al, "/ignore bo"), "/ignore bo\r\nSS:SS * ignoring user bo\r\n" + end);
    EXPECT_EQ(b.type(al, "/ignore bo"), "/ignore bo\r\nSS:SS * already ignoring user bo\r\n" + end);
    EXPECT_EQ(b.type(al, "/ignore al"), "/ignore al\r\nSS:SS * not available on self\r\n" + end);
    EXPECT_EQ(b.type(al, "/ignore zed"), "/ignore zed\r\nSS:SS * no such user\r\n" + end);

    // Lines, actions and private messages are hidden, and bo cannot tell.
    b.type(bo, "spam");
    b.type(bo, "/me spams");
    EXPECT_EQ(b.type(bo, "/msg al buy"), "/msg al buy\r\nSS:SS * private message sent\r\n> ");
    EXPECT_EQ(unit::mask(b.read(cy)), notice("<bo> spam") + notice("* bo spams"));
    EXPECT_EQ(b.read(al), "");
    // Notices still arrive, and the ignore follows the new name.
    b.type(bo, "/name bob");
    EXPECT_NE(b.read(al), "");
    b.type(bo, "more spam");
    EXPECT_EQ(b.read(al), "");
    EXPECT_EQ(b.type(al, "/ignore"), "/ignore\r\nSS:SS * you ignore:\r\nSS:SS *   bob\r\n" + end);
    EXPECT_EQ(b.type(al, "/unignore bob"), "/unignore bob\r\nSS:SS * no longer ignoring user bob\r\n" + end);
    EXPECT_EQ(b.type(al, "/unignore bob"), "/unignore bob\r\nSS:SS * not ignoring user bob\r\n" + end);
    b.type(bo, "fine");
    EXPECT_EQ(unit::mask(b.read(al)), notice("<bob> fine"));

    // An ignore ends with either connection: whoever takes bob's place and
    // name later is not ignored, though cy ended before bob did.
    b.type(al, "/ignore bob");
    b.type(cy, "/ignore bob");
    b.type(cy, "/quit");
    b.type(bo, "/quit");
    b.drain_all();
    int again = b.login("bob");
    ASSERT_EQ(again, bo);
    b.drain_all();
    b.type(again, "new here");
    EXPECT_EQ(unit::mask(b.read(al)), notice("<bob> new here"));
    EXPECT_EQ(b.type(al, "/ignore"), "/ignore\r\nSS:SS * you ignore nobody\r\n" + end);

    // At most 32 at once; one who leaves makes room.
    for (int i = 0; i < 33; ++i) {
        std::string name = "u" + std::to_string(i);
        b.login(name);
        std::string got = b.type(al, "/ignore " + name);
        EXPECT_EQ(got.find("full") == std::string::npos, i < 32) << got;
    }
    EXPECT_EQ(b.type(al, "/ignore u32"), "/ignore u32\r\nSS:SS * ignore list is full (32 users)\r\n" + end);
    int u0 = static_cast<int>(b.room.slot_of(*b.room.find("u0")));
    b.type(u0, "/quit");
    b.drain_all();
    EXPECT_EQ(b.type(al, "/ignore u32"), "/ignore u32\r\nSS:SS * ignoring user u32\r\n" + end);
}

}  // namespace

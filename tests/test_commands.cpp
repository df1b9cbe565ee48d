// Command lines: the replies of every command word, byte for byte (time
// stamps masked), and the notices they send to the other users.
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "session.h"
#include "telnet.h"
#include "unit.h"

using namespace std::literals;

namespace {

using unit::notice;

const std::string end = "SS:SS * end.\r\n> ";
const std::string none = "SS:SS * no such user\r\n";
const std::string stuff(nchatd::telnet::option_sequence);

// Types `line` and a CR as one receive; returns, stamps masked, what the
// user got after the echo of the line (and the line break of a command).
std::string run(unit::bench& b, int slot, std::string_view line)
{
    b.feed(slot, std::string(line) + "\r");
    std::string got = b.read(slot);
    std::string head = std::string(line) + (line.starts_with('/') ? "\r\n" : "");
    EXPECT_EQ(got.substr(0, head.size()), head) << line;
    return unit::mask(got.size() < head.size() ? "" : got.substr(head.size()));
}

// Bytes as the receive path takes them.
std::span<const unsigned char> as_input(std::string_view bytes)
{
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

std::string asctime_text(time_t t, bool local)
{
    char buf[64];
    struct tm tm;
    strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm));
    return buf;
}

TEST(Commands, HelpListsEveryRowWithItsOwnStamp)
{
    const std::string listing = "SS:SS *  /help            Print available commands.\r\n"
                                "SS:SS *  /list            List connected users.\r\n"
                                "SS:SS *  /quit            Quit chat.\r\n"
                                "SS:SS *  /exit            Quit chat.\r\n"
                                "SS:SS *  /name [nick]     Print or change nick name.\r\n"
                                "SS:SS *  /nick [nick]     Print or change nick name.\r\n"
                                "SS:SS *  /msg nick msg    Send a private message to a user.\r\n"
                                "SS:SS *  /priv nick msg   Send a private message to a user.\r\n"
                                "SS:SS *  /time            Show local time on the server.\r\n"
                                "SS:SS *  /info [user]     Show information about a user or self.\r\n"
                                "SS:SS *  /telnet [arg]    Send telnet sequence, or resend if [arg] not empty.\r\n"
                                "SS:SS *  /wait            Wait for others to write.\r\n"
                                "SS:SS *  /version         Print version number.\r\n"
                                "SS:SS *  /status [stat]   Get or set your status.\r\n"
                                "SS:SS *  /statusof nick   Get stauts of the specified user.\r\n"
                                "SS:SS *  /bell [arg/?]    Get or set bell setting.\r\n";
    const std::string added = "SS:SS *  /me action       Show others what you do.\r\n"
                              "SS:SS *  /away [msg]      Mark yourself away, or back without [msg].\r\n"
                              "SS:SS *  /ignore [nick]   Hide a user's lines, or list whom you ignore.\r\n"
                              "SS:SS *  /unignore nick   Show a user's lines again.\r\n" +
                              end;
    unit::bench b;
    int a = b.login("al");
    // The sixteen stay as they were, byte for byte; the new ones follow.
    EXPECT_EQ(run(b, a, "/help"), listing + added);
    EXPECT_EQ(run(b, a, "/help me please"), listing + added);
    EXPECT_EQ(run(b, a, "/help   "), listing + added);
}

TEST(Commands, UnknownWordsAndTheCutOfTheWord)
{
    unit::bench b;
    int a = b.login("al");
    for (std::string_view line :
         {"/"sv, "/ list"sv, "/list,"sv, "/list\t"sv, "/LIST"sv, "/lis"sv, "/listx"sv, "/list_"sv, "/help-me"sv})
        EXPECT_EQ(run(b, a, line), "SS:SS * unknown command\r\n> ") << line;
    EXPECT_EQ(b.user(a).profile.lines_written, 0u);
}

TEST(Commands, ListShowsEveryOccupiedSlot)
{
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    b.connect();  // still at the name prompt: an empty name
    EXPECT_EQ(run(b, a, "/list"), "SS:SS *   alice\r\nSS:SS *   bob\r\nSS:SS *   \r\n" + end);
    EXPECT_EQ(run(b, a, "/list all"), "SS:SS *   alice\r\nSS:SS *   bob\r\nSS:SS *   \r\n" + end);
}

TEST(Commands, ConnectionsOnTheirWayOutAreNeitherListedNorFound)
{
    unit::bench b;
    int a = b.login("alice");
    int slow = b.login("slow", 0);  // never reads
    b.drain_all();
    // Alice's lines pile up for slow until one passes the bound of its
    // queue; slow is then dropped after the event, and until then the rest
    // of alice's receive must not see it.
    const std::string line(400, 'x');
    for (int i = 0; i < 1000 && b.user(slow).open(); ++i) {
        b.feed(a, line);
        nchatd::receive(b.room, b.user(a), as_input("\r"));
        b.read(a);
    }
    ASSERT_EQ(b.user(slow).closing, nchatd::Closing::overflow);
    nchatd::receive(b.room, b.user(a), as_input("/list\r/msg slow hi\r/statusof slow\r"));
    EXPECT_EQ(unit::mask(b.read(a)), "/list\r\nSS:SS *   alice\r\n" + end + "/msg slow hi\r\n" + none + "> " +
                                         "/statusof slow\r\n" + none + end);
    b.room.retire();
    EXPECT_TRUE(b.closed(slow));
    EXPECT_EQ(unit::mask(b.read(a)), notice("* user slow logged off from 127.0.0.1"));
    EXPECT_NE(b.log.find(":40001 dropped: output queue full.\n"), std::string::npos) << b.log;
}

TEST(Commands, InfoAboutSelfAndOthers)
{
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    nchatd::Profile& me = b.user(a).profile;
    me.last_active = 1000;
    time_t before = time(nullptr);
    std::string got = run(b, a, "/info");
    EXPECT_GE(me.last_active, before);  // the time of this very line
    std::string self = "SS:SS * information about user: alice\r\nSS:SS *   0 lines written\r\n"
                       "SS:SS *   message pending: no\r\nSS:SS *   telnet option sequence sent: no\r\n"
                       "SS:SS *   waiting: no\r\nSS:SS *   logged in at UTC: " +
                       asctime_text(me.login_time, false) +
                       "\r\nSS:SS *   idling since UTC: " + asctime_text(me.last_active, false) +
                       "\r\nSS:SS *   connected from 127.0.0.1\r\nSS:SS *   user status: \"\"\r\n" + end;
    EXPECT_EQ(got, unit::mask(self));
    me.waiting = true;  // every line ends wait mode before it is looked at
    EXPECT_EQ(run(b, a, "/info alice"), unit::mask(self));

    run(b, o, "hi");
    run(b, o, "/status busy  ");
    run(b, o, "/wait");
    b.feed(o, "\xff\xff"
              "abc");
    b.user(o).profile.login_time = 1000000000;
    b.user(o).profile.last_active = 1234567890;
    b.drain_all();
    const std::string rest = "SS:SS *   logged in at UTC: Sun Sep  9 01:46:40 2001\r\n"
                             "SS:SS *   idling since UTC: Fri Feb 13 23:31:30 2009\r\n"
                             "SS:SS *   connected from 127.0.0.1\r\nSS:SS *   user status: \"busy  \"\r\n" +
                             end;
    EXPECT_EQ(run(b, a, "/info bob"), "SS:SS * information about user: bob\r\nSS:SS *   1 line written\r\n"
                                      "SS:SS *   message pending: yes\r\n"
                                      "SS:SS *   telnet option sequence sent: yes\r\nSS:SS *   waiting: yes\r\n" +
                                          rest);
    b.feed(o, "\r");  // "abc" as a second chat line
    b.user(o).profile.last_active = 1234567890;
    b.drain_all();
    EXPECT_EQ(run(b, a, "/info bob"), "SS:SS * information about user: bob\r\nSS:SS *   2 lines written\r\n"
                                      "SS:SS *   message pending: no\r\n"
                                      "SS:SS *   telnet option sequence sent: yes\r\nSS:SS *   waiting: no\r\n" +
                                          rest);
    EXPECT_EQ(run(b, a, "/info zed"), none + end);
    EXPECT_EQ(run(b, a, "/info BOB"), none + end);
}

TEST(Commands, NameShowsAndChanges)
{
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    const std::string invalid = "SS:SS * name contains invalid characters or too long\r\n" + end;
    EXPECT_EQ(run(b, a, "/name"), "SS:SS * your name is \"alice\"\r\n" + end);
    EXPECT_EQ(run(b, a, "/nick alice"), "SS:SS * your name is already \"alice\"\r\n" + end);
    EXPECT_EQ(run(b, a, "/name " + std::string(21, 'n')), invalid);
    EXPECT_EQ(run(b, a, "/name /x"), invalid);
    EXPECT_EQ(run(b, a, "/name a\tb"), invalid);
    EXPECT_EQ(run(b, a, "/nick bob"), "SS:SS * name already taken!\r\n" + end);
    EXPECT_EQ(b.user(a).name(), "alice");
    EXPECT_FALSE(b.closed(a));
    EXPECT_EQ(b.read(o), "");

    // Another case is another name; the others hear of the change, the
    // caller does not.
    EXPECT_EQ(run(b, a, "/name BOB"), "SS:SS * your name is \"BOB\"\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(o)), notice("* user alice is known as BOB"));
    const std::string n20(20, 'n');
    EXPECT_EQ(run(b, a, "/nick " + n20), "SS:SS * your name is \"" + n20 + "\"\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(o)), notice("* user BOB is known as " + n20));
    EXPECT_EQ(run(b, a, "/nick al  "), invalid);
    EXPECT_EQ(run(b, a, "/nick a  l"), "SS:SS * your name is \"a  l\"\r\n" + end);
    b.read(o);
    run(b, a, "hey");  // every later message carries the new name
    EXPECT_EQ(unit::mask(b.read(o)), notice("<a  l> hey"));
}

TEST(Commands, StatusAndStatusof)
{
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    b.connect();  // holds the empty name
    EXPECT_EQ(run(b, a, "/status"), "SS:SS * your status is \"\"\r\n" + end);
    const std::string s39(39, 's');
    EXPECT_EQ(run(b, a, "/status " + s39), "SS:SS * status set\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(o)), notice("* alice set status to \"" + s39 + "\""));
    EXPECT_EQ(run(b, a, "/status " + std::string(40, 't')), "SS:SS * new status message is too long\r\n" + end);
    EXPECT_EQ(b.read(o), "");
    EXPECT_EQ(run(b, a, "/status"), "SS:SS * your status is \"" + s39 + "\"\r\n" + end);
    EXPECT_EQ(run(b, a, "/status   out  "), "SS:SS * status set\r\n" + end);
    EXPECT_EQ(unit::mask(b.read(o)), notice("* alice set status to \"out  \""));

    EXPECT_EQ(run(b, o, "/statusof alice"), "SS:SS * status of user alice: \"out  \"\r\n" + end);
    EXPECT_EQ(run(b, o, "/statusof bob"), "SS:SS * status of user bob: \"\"\r\n" + end);
    for (std::string_view line : {"/statusof zed"sv, "/statusof ALICE"sv, "/statusof"sv, "/statusof   "sv})
        EXPECT_EQ(run(b, o, line), none + end) << line;
}

TEST(Commands, PrivateMessages)
{
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    b.connect();  // holds the empty name
    EXPECT_EQ(run(b, a, "/msg alice hi"), "SS:SS * not available on self\r\n> ");
    for (std::string_view line : {"/msg zed hi"sv, "/msg"sv, "/priv Bob hi"sv})
        EXPECT_EQ(run(b, a, line), none + "> ") << line;
    EXPECT_EQ(b.read(o), "");

    // Every space after the nick goes; the message keeps its own.
    const std::string sent = "SS:SS * private message sent\r\n> ";
    EXPECT_EQ(run(b, a, "/msg bob   hello  there  "), sent);
    EXPECT_EQ(unit::mask(b.read(o)), notice("![alice] hello  there  "));
    EXPECT_EQ(run(b, a, "/priv bob"), sent);
    EXPECT_EQ(run(b, a, "/priv bob    "), sent);
    EXPECT_EQ(unit::mask(b.read(o)), notice("![alice] ") + notice("![alice] "));
    EXPECT_EQ(b.user(a).profile.lines_written, 0u);
}

TEST(Commands, NickWithASpaceIsOutOfReachOfPrivateMessages)
{
    unit::bench b;
    const auto [a, spaced, o] = b.users("alice", "bob", "a");
    run(b, spaced, "/nick a b");
    b.drain_all();
    // The nick ends at the first space, so "a b" can never be named.
    EXPECT_EQ(run(b, a, "/msg a b hi"), "SS:SS * private message sent\r\n> ");
    EXPECT_EQ(unit::mask(b.read(o)), notice("![alice] b hi"));
    EXPECT_EQ(b.read(spaced), "");
    EXPECT_EQ(run(b, o, "/priv a b hi"), "SS:SS * not available on self\r\n> ");
    EXPECT_EQ(b.read(spaced), "");
}

TEST(Commands, WaitEndsWithTheFirstDeliveryOrTheWaitersOwnLine)
{
    const std::string banner = "\r* \x1b[7mMessage arrived\x1b[0m\r\n";
    unit::bench b;
    const auto [a, o] = b.users("alice", "bob");
    EXPECT_EQ(run(b, a, "/wait"), "SS:SS * enterring wait mode\r\n\n\n> ");
    b.feed(a, "\r");  // an empty line changes nothing
    EXPECT_TRUE(b.user(a).profile.waiting);
    run(b, o, "hey");
    run(b, o, "again");
    EXPECT_EQ(unit::mask(b.read(a)), banner + notice("<bob> hey") + notice("<bob> again"));

    // The waiter's own line ends wait mode first: no banner on its copy,
    // none on the next line from others.
    run(b, a, "/wait");
    EXPECT_EQ(run(b, a, "me"), "\x1b[0m\rSS:SS <\x1b[1malice\x1b[0m> me\r\n> ");
    EXPECT_EQ(unit::mask(b.read(o)), notice("<alice> me"));
    run(b, o, "you");
    EXPECT_EQ(unit::mask(b.read(a)), notice("<bob> you"));
    run(b, a, "/wait");
    run(b, a, "/version");
    EXPECT_FALSE(b.user(a).profile.waiting);
}

TEST(Commands, BellSettings)
{
    unit::bench b;
    int a = b.login("al");
    EXPECT_EQ(run(b, a, "/bell"), "SS:SS * your bell setting is \"none\"\r\n" + end);
    const std::string head = "SS:SS * possible bell settings:\r\n";
    EXPECT_EQ(run(b, a, "/bell ?"), head +
                                        "SS:SS *  [none]\r\nSS:SS *  msg-only\r\n"
                                        "SS:SS *  wait-only\r\nSS:SS *  msg-and-wait\r\n" +
                                        end);
    EXPECT_EQ(run(b, a, "/bell wait-only"), "SS:SS * bell setting set\r\n" + end);
    EXPECT_EQ(b.user(a).profile.bell, 2);
    EXPECT_EQ(run(b, a, "/bell ?"), head +
                                        "SS:SS *  none\r\nSS:SS *  msg-only\r\n"
                                        "SS:SS *  [wait-only]\r\nSS:SS *  msg-and-wait\r\n" +
                                        end);
    for (std::string_view bad : {"/bell MSG-ONLY"sv, "/bell msg-only "sv, "/bell ??"sv, "/bell msg"sv})
        EXPECT_EQ(run(b, a, bad), "SS:SS * unknown bell setting\r\n" + end) << bad;
    EXPECT_EQ(b.user(a).profile.bell, 2);
    EXPECT_EQ(run(b, a, "/bell msg-and-wait"), "SS:SS * bell setting set\r\n" + end);
    EXPECT_EQ(run(b, a, "/bell"), "SS:SS * your bell setting is \"msg-and-wait\"\r\n" + end);
}

TEST(Commands, TimeVersionTelnet)
{
    unit::bench b;
    int a = b.login("al");
    b.room.set_start_time(1000000000);
    time_t before = time(nullptr);
    std::string got = run(b, a, "/time");
    bool matched = false;
    for (time_t t = before; t <= time(nullptr) && !matched; ++t)
        matched = got == unit::mask("SS:SS * Start UTC:   Sun Sep  9 01:46:40 2001\r\nSS:SS * UTC time:    " +
                                    asctime_text(t, false) + "\r\nSS:SS * Server time: " + asctime_text(t, true) +
                                    "\r\n" + end);
    EXPECT_TRUE(matched) << got;

    EXPECT_EQ(run(b, a, "/version"), "SS:SS * nchatd v0.3.5\r\n" + end);

    EXPECT_EQ(run(b, a, "/telnet"), "SS:SS * sending telnet stuff\r\n" + stuff + end);
    EXPECT_TRUE(b.user(a).profile.telnet_sent);
    EXPECT_EQ(run(b, a, "/telnet"), end);
    EXPECT_EQ(run(b, a, "/telnet again"), "SS:SS * sending telnet stuff\r\n" + stuff + end);
}

TEST(Commands, QuitAndExitLeave)
{
    unit::bench b;
    const auto [a, o, c] = b.users("alice", "bob", "cy");
    run(b, a, "/status gone");
    run(b, a, "/bell msg-and-wait");
    b.user(a).profile.waiting = true;  // as if "/wait" had been typed
    b.drain_all();
    // No prompt after the farewell: the connection ends.
    EXPECT_EQ(run(b, a, "/quit now"), "SS:SS * goodbye\r\n");
    EXPECT_TRUE(b.closed(a));
    EXPECT_EQ(unit::mask(b.read(o)), notice("* user alice logged off from 127.0.0.1"));
    EXPECT_EQ(unit::mask(b.read(c)), notice("* user alice logged off from 127.0.0.1"));
    EXPECT_EQ(run(b, o, "/exit"), "SS:SS * goodbye\r\n");
    EXPECT_TRUE(b.closed(o));
    EXPECT_EQ(unit::mask(b.read(c)), notice("* user bob logged off from 127.0.0.1"));
    EXPECT_EQ(run(b, c, "/list"), "SS:SS *   cy\r\n" + end);
    // The next occupant of the slot starts afresh.
    EXPECT_EQ(b.login("dee"), a);
    EXPECT_EQ(run(b, a, "/status"), "SS:SS * your status is \"\"\r\n" + end);
    EXPECT_FALSE(b.user(a).profile.waiting);
    EXPECT_EQ(b.user(a).profile.bell, 0);
}

}  // namespace

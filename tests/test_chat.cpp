// Login and chat through real clients: the names taken as typed, what the
// others are told, and the exact bytes of a chat line as its writer and its
// readers receive them.  (Refused names: test_catalogue and the transcript.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::client;
using harness::mask_stamps;

using harness::welcome;

// What a logged-in user receives for a line delivered to it while it has
// `typed` on its input line.
std::string delivered(const std::string& text, const std::string& typed = "")
{
    size_t width = 2 + typed.size();
    std::string erase;
    if (text.size() < width)
        erase = std::string(width - text.size(), '\b') + std::string(width - text.size(), ' ');
    return erase + "\x1b[0m\r" + text + "\r\n> " + typed;
}

TEST(Chat, AcceptedNamesAndTheLoginNotice)
{
    harness::server srv;
    ASSERT_TRUE(srv.start());
    client alice, guest;
    ASSERT_TRUE(alice.login(srv.port(), "Alice"));
    ASSERT_TRUE(guest.connect(srv.port()) && guest.read_until("chars): "));
    guest.take();
    // The guest is halfway through typing a name that is still free.
    ASSERT_TRUE(guest.send("Carol"));
    ASSERT_TRUE(guest.read_until("Carol"));
    guest.take();

    const std::vector<std::string> names = {"alice", "Bob  the 2nd", std::string(20, 'z'), "Carol",
                                            "~!@#$%^&*()_+{}|:<>?"};
    std::vector<client> users(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        client& c = users[i];
        ASSERT_TRUE(c.connect(srv.port()));
        ASSERT_EQ(harness::take_masked(c, welcome.size()), welcome);
        ASSERT_TRUE(c.send(names[i] + "\r\n"));
        std::string want = names[i] + "\r\nSS:SS * logged in as " + names[i] + "\r\n> ";
        EXPECT_EQ(harness::take_masked(c, want.size()), want) << names[i];
        EXPECT_TRUE(srv.wait_log(harness::log_prefix(c) + " named as \"" + names[i] + "\"\n")) << names[i];
        // Everybody logged in before hears of it; the newcomer does not.
        std::string notice = delivered("SS:SS * user " + names[i] + " logged in from 127.0.0.1");
        EXPECT_EQ(harness::take_masked(alice, notice.size()), notice) << names[i];
        for (size_t k = 0; k < i; ++k)
            EXPECT_EQ(harness::take_masked(users[k], notice.size()), notice) << names[k] << " about " << names[i];
    }
    for (auto& c : users) {
        c.read_for(50);
        EXPECT_EQ(c.take(), "");
    }
    guest.read_for(100);
    EXPECT_EQ(guest.take(), "") << "a client without a name hears nothing";

    // Now "Carol" is taken, so the guest's own name is refused.
    ASSERT_TRUE(guest.send("\r\n"));
    EXPECT_EQ(harness::take_masked(guest, 25), "\r\n* name already taken!\r\n");
    EXPECT_TRUE(guest.wait_closed());
}

TEST(Chat, ChatLineAsWriterAndReadersSeeIt)
{
    harness::server srv;
    ASSERT_TRUE(srv.start());
    client ann, ben, cat, guest;
    ASSERT_TRUE(ann.login(srv.port(), "ann"));
    ASSERT_TRUE(ben.login(srv.port(), "ben"));
    ASSERT_TRUE(cat.login(srv.port(), "cat"));
    ASSERT_TRUE(guest.connect(srv.port()) && guest.read_until("chars): "));
    ann.read_for(100);
    ben.read_for(100);
    ann.take();
    ben.take();
    guest.take();

    // Ben has half a line typed; it is drawn again below the message.
    ASSERT_TRUE(ben.send("xy"));
    ASSERT_TRUE(ben.read_until("xy"));
    ben.take();

    ASSERT_TRUE(ann.send("hello there\r\n"));
    std::string own = "hello there" + delivered("SS:SS <\x1b[1mann\x1b[0m> hello there");
    EXPECT_EQ(harness::take_masked(ann, own.size()), own);
    std::string to_ben = delivered("SS:SS <ann> hello there", "xy");
    std::string to_cat = delivered("SS:SS <ann> hello there");
    std::string ben_wire = harness::take_masked(ben, to_ben.size());
    EXPECT_EQ(ben_wire, to_ben);
    EXPECT_EQ(harness::screen_text(ben_wire), "SS:SS <ann> hello there\n> xy");
    EXPECT_EQ(harness::take_masked(cat, to_cat.size()), to_cat);

    // A message narrower than the typed line erases the rest of it.
    ASSERT_TRUE(ben.send("0123456789abcdefghij"));
    ASSERT_TRUE(ben.read_until("ghij"));
    ben.take();
    ASSERT_TRUE(cat.send("ok\r\n"));
    std::string erased = delivered("SS:SS <cat> ok", "xy0123456789abcdefghij");
    EXPECT_EQ(harness::take_masked(ben, erased.size()), erased);
    EXPECT_EQ(erased.substr(0, 20), std::string(10, '\b') + std::string(10, ' '));
    std::string ok = delivered("SS:SS <cat> ok");
    EXPECT_EQ(harness::take_masked(ann, ok.size()), ok);

    // Several lines in one receive, and a line of spaces, in order.
    ASSERT_TRUE(cat.send("one\r\ntwo\n   \r\n"));
    std::string three = delivered("SS:SS <cat> one") + delivered("SS:SS <cat> two") + delivered("SS:SS <cat>    ");
    EXPECT_EQ(harness::take_masked(ann, three.size()), three);
    EXPECT_TRUE(cat.read_until("<\x1b[1mcat\x1b[0m>    \r\n> "));

    // Ben finishes his line: it is a chat line like any other.
    ASSERT_TRUE(ben.send("\r\n"));
    EXPECT_TRUE(ann.read_until("<ben> xy0123456789abcdefghij\r\n> "));
    EXPECT_TRUE(cat.read_until("<ben> xy0123456789abcdefghij\r\n> "));

    // Leaving with the quit command is announced the same way.
    cat.take();
    ASSERT_TRUE(cat.send("/quit\r\n"));
    EXPECT_EQ(harness::take_masked(cat, 24), "/quit\r\nSS:SS * goodbye\r\n");
    EXPECT_TRUE(cat.wait_closed());
    std::string off = delivered("SS:SS * user cat logged off from 127.0.0.1");
    ann.read_until("logged off");
    EXPECT_NE(mask_stamps(ann.take()).find(off), std::string::npos);
    EXPECT_TRUE(srv.wait_log(" has been closed (user \"cat\").\n"));

    guest.read_for(100);
    EXPECT_EQ(guest.take(), "") << "a client without a name receives no chat";
}

}  // namespace

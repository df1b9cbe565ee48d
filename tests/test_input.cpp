// Telnet filter and line editor: what a client's bytes leave in its input
// line, and exactly what the server echoes back for them.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "telnet.h"
#include "unit.h"

using namespace std::literals;

namespace {

const std::string stuff(reinterpret_cast<const char*>(telnet_stuff), sizeof telnet_stuff);

std::string line_of(unit::bench& b, int slot)
{
    return std::string(b.user(slot).line, b.user(slot).line_len);
}

// The writer's own copy of a chat line, which replaces its echoed input.
std::string own(std::string_view name, std::string_view text)
{
    return "\x1b[0m\rSS:SS <\x1b[1m" + std::string(name) + "\x1b[0m> " + std::string(text) + "\r\n> ";
}

TEST(TelnetFilter, CommandsVanishAndTheOptionSequenceGoesOutOnce)
{
    unit::bench b;
    ASSERT_EQ(stuff, "\xff\xfe\x1f\xff\xfe\x22\xff\xfb\x01\xff\xfb\x03"s);
    // IAC IAC: an escaped 255 never enters the line, but it is the first
    // IAC and brings the option sequence; later IACs bring nothing, and
    // IAC followed by an ordinary byte hands the byte on.
    int a = b.login("al");
    b.feed(a, "\xff\xff");
    EXPECT_EQ(b.read(a), stuff);
    EXPECT_TRUE(b.user(a).telnet_sent);
    b.feed(a, "x\xff\xfb\x03y\xff" "a\xff\xfd\x01z");
    EXPECT_EQ(b.read(a), "xyaz");
    EXPECT_EQ(line_of(b, a), "xyaz");

    // The sequence goes out ahead of the echo collected before it; a
    // command split across receives leaves nothing behind.
    int c = b.login("cy");
    b.feed(c, "ab\xff");
    EXPECT_EQ(b.read(c), stuff + "ab");
    b.feed(c, "\xfd\x01" "cd");
    EXPECT_EQ(b.read(c), "cd");
    b.feed(c, "\xff\xfb");
    b.feed(c, "\x01" "e");
    EXPECT_EQ(b.read(c), "e");
    // IAC IAC in place of the pending option byte uses it up; so does an
    // option code 0, on an empty line as on a full one.
    b.feed(c, "\xff\xfb\xff\xff" "f\xff\xfd\x00" "g"sv);
    EXPECT_EQ(b.read(c), "fg");
    EXPECT_EQ(line_of(b, c), "abcdefg");
    b.feed(c, "\r");
    b.read(c);
    b.feed(c, "\xff\xfb\x00" "h\0i"sv);  // a NUL with nothing pending is dropped
    EXPECT_EQ(b.read(c), "hi");
    EXPECT_EQ(line_of(b, c), "hi");
    EXPECT_EQ(b.user(c).skip_count, 0);

    // A client that never sends IAC is echoed all the same.
    int d = b.login("di");
    b.feed(d, "hey");
    EXPECT_EQ(b.read(d), "hey");
    EXPECT_FALSE(b.user(d).telnet_sent);
}

TEST(TelnetFilter, SubnegotiationIsDroppedUpToItsEnd)
{
    unit::bench b;
    int a = b.login("al");
    b.feed(a, "\xff\xfa\x18\x00xy\xff\xf0" "ok"sv);
    EXPECT_EQ(b.read(a), stuff + "ok");
    EXPECT_FALSE(b.user(a).in_subneg);
    // Only IAC SE ends it: a lone 240 (here inside a window size of 240
    // columns) and CR LF inside are part of it.
    b.feed(a, "\xff\xfa\x1f\x00\xf0\x00\x32" "hi\r\n");
    EXPECT_EQ(b.read(a), "");
    EXPECT_TRUE(b.user(a).in_subneg);
    b.feed(a, "q\xff\xff\xf0\xff\xf0" "cd\xf0");  // outside, 240 is just unprintable
    EXPECT_EQ(b.read(a), "cd");
    EXPECT_EQ(line_of(b, a), "okcd");
    EXPECT_EQ(b.user(a).lines_written, 0u);
    // An option byte still pending when a subnegotiation opens is not
    // used up by an escaped 255 inside it, but by the byte after it.
    b.feed(a, "\xff\xfb\xff\xfa\xff\xff\xff\xf0" "ef");
    EXPECT_EQ(b.read(a), "f");
}

TEST(LineEditor, StoresPrintableAndTabAndErases)
{
    unit::bench b;
    int a = b.login("al");
    b.feed(a, "\b\x7f\b");
    EXPECT_EQ(b.read(a), "");  // nothing to erase, nothing echoed
    b.feed(a, "a\tb\xc8\x1b" "c\x01~\x80 ");
    EXPECT_EQ(b.read(a), "a\tbc~ ");
    EXPECT_EQ(line_of(b, a), "a\tbc~ ");
    b.feed(a, "\b\x7f\b\b\b\b\bZ");  // seven erases for six characters
    EXPECT_EQ(b.read(a), "\b \b\b \b\b \b\b \b\b \b\b \bZ");
    EXPECT_EQ(line_of(b, a), "Z");
}

TEST(LineEditor, LongLineIsCutAt511AndBackspaceFreesRoom)
{
    unit::bench b;
    int a = b.login("al");
    std::string typed;
    for (int i = 0; i < 600; ++i)
        typed += static_cast<char>('a' + i % 26);
    std::string echo;
    for (size_t at = 0; at < typed.size(); at += 128) {  // a receive holds at most 128
        b.feed(a, std::string_view(typed).substr(at, 128));
        echo += b.read(a);
    }
    EXPECT_EQ(echo, typed.substr(0, 511));
    b.feed(a, "\bXY");
    EXPECT_EQ(b.read(a), "\b \bX");
    std::string kept = typed.substr(0, 510) + "X";
    EXPECT_EQ(line_of(b, a), kept);
    b.feed(a, "\r");
    EXPECT_EQ(unit::mask(b.read(a)), own("al", kept));
}

TEST(LineEditor, LineEndsAndEmptyLines)
{
    unit::bench b;
    int a = b.login("al");
    int o = b.login("ot");
    b.drain_all();
    // CR LF, LF CR, CR NUL and CR CR each end one line; the second byte
    // is an empty line that does nothing.
    b.feed(a, "a\r\nb\n\rc\r\0d\r\r"sv);
    EXPECT_EQ(unit::mask(b.read(a)),
              "a" + own("al", "a") + "b" + own("al", "b") + "c" + own("al", "c") + "d" + own("al", "d"));
    EXPECT_EQ(b.user(a).lines_written, 4u);
    const std::string chat = "\x1b[0m\rSS:SS <al> ";
    EXPECT_EQ(unit::mask(b.read(o)), chat + "a\r\n> " + chat + "b\r\n> " + chat + "c\r\n> " + chat + "d\r\n> ");

    // An empty line sends nothing, not even a prompt, and changes nothing.
    b.user(a).last_active = 1000;
    b.feed(a, "\r\n\r\n\n");
    EXPECT_EQ(b.read(a), "");
    EXPECT_EQ(b.read(o), "");
    EXPECT_EQ(b.user(a).last_active, 1000);
    b.feed(a, "   \r");  // a line of spaces is a chat line
    EXPECT_EQ(unit::mask(b.read(a)), "   " + own("al", "   "));
    int n = b.connect();  // at the name prompt as well
    b.feed(n, "\r\n");
    EXPECT_EQ(b.read(n), "");
    EXPECT_FALSE(b.closed(n));
}

TEST(LineEditor, LinesAcrossAndWithinReceives)
{
    unit::bench b;
    int a = b.login("al");
    b.feed(a, "hel");
    EXPECT_EQ(b.read(a), "hel");
    b.feed(a, "lo\r\n");
    EXPECT_EQ(unit::mask(b.read(a)), "lo" + own("al", "hello"));
    // The echo of "hi" leaves before the line's own output; "yo" is echoed
    // at the end of the receive and stays in the line.
    b.feed(a, "hi\ryo");
    EXPECT_EQ(unit::mask(b.read(a)), "hi" + own("al", "hi") + "yo");
    EXPECT_EQ(line_of(b, a), "yo");
    EXPECT_EQ(b.user(a).lines_written, 2u);
    b.feed(a, "\xff\r");  // IAC and an ordinary byte: the CR ends the line
    EXPECT_EQ(unit::mask(b.read(a)), stuff + own("al", "yo"));
}

TEST(LineEditor, BytesAfterAClosingLineAreIgnored)
{
    unit::bench b;
    int w = b.login("wi");
    int n = b.connect();
    b.feed(n, "/bad\r\nmore\r\nstill\xff");
    EXPECT_EQ(b.read(n), "/bad\r\n* name contains invalid characters or too long\r\n");
    EXPECT_TRUE(b.closed(n));
    EXPECT_FALSE(b.user(n).telnet_sent);  // the later IAC was never looked at
    int q = b.login("qu");
    b.read(w);
    b.feed(q, "/quit\r\nhello\r\n");
    EXPECT_EQ(unit::mask(b.read(q)), "/quit\r\nSS:SS * goodbye\r\n");
    EXPECT_TRUE(b.closed(q));
    EXPECT_EQ(unit::mask(b.read(w)), "\x1b[0m\rSS:SS * user qu logged off from 127.0.0.1\r\n> ");
}

}  // namespace

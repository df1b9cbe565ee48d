// The road of input: the telnet filter and the line editor as state
// machines, then what a client's bytes leave in its input line and exactly
// what the server echoes back for them.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "layout.h"
#include "line_editor.h"
#include "telnet.h"
#include "unit.h"
#include "utf8.h"

using namespace std::literals;

namespace {

using nchatd::Edit;
using nchatd::telnet::Verdict;
using unit::notice;

// The verdicts on `bytes` fed one at a time: 'd' data, '-' dropped, 'C' an
// IAC that starts a command.
std::string verdicts(nchatd::telnet::State& st, std::string_view bytes)
{
    std::string out;
    for (char ch : bytes) {
        Verdict v = nchatd::telnet::filter(st, static_cast<unsigned char>(ch));
        out += v == Verdict::data ? 'd' : v == Verdict::dropped ? '-' : 'C';
    }
    return out;
}

// The edits `bytes` make one at a time: 'a' appended, 'e' erased, '.' none,
// '$' line end.  The ASCII filter: UTF-8 has tests of its own.
std::string edits(nchatd::LineEditor& ed, std::string_view bytes)
{
    std::string out;
    for (char ch : bytes) {
        Edit e = nchatd::edit(ed, static_cast<unsigned char>(ch), nchatd::Charset::ascii);
        out += e == Edit::appended ? 'a' : e == Edit::erased ? 'e' : e == Edit::none ? '.' : '$';
    }
    return out;
}

TEST(TelnetFilter, CommandsOutsideASubnegotiation)
{
    nchatd::telnet::State st;
    // Line ends, NUL and 240 are data when no command is under way.
    EXPECT_EQ(verdicts(st, "a\r\n\0\xf0"sv), "ddddd");
    // IAC IAC: the escaped 255 is dropped, the byte after it is data.
    EXPECT_EQ(verdicts(st, "\xff\xff"
                           "a"),
              "C-d");
    // WILL, WONT, DO and DONT drop one option byte, whatever it is.
    EXPECT_EQ(verdicts(st, "\xff\xfb\x01"
                           "a\xff\xfc\x03"
                           "b\xff\xfd\x00"
                           "c\xff\xfe\r"
                           "d"sv),
              "C--dC--dC--dC--d");
    // IAC IAC in place of the option byte uses it up.
    EXPECT_EQ(verdicts(st, "\xff\xfb\xff\xff"
                           "ab"),
              "C-C-dd");
    // Any other byte after IAC is handed on as if alone: an ordinary
    // character, a line end, SE outside a subnegotiation.
    EXPECT_EQ(verdicts(st, "\xff"
                           "a\xff\r\xff\xf0"),
              "CdCdCd");
    // A command split anywhere leaves nothing behind.
    EXPECT_EQ(verdicts(st, "\xff"), "C");
    EXPECT_EQ(verdicts(st, "\xfd"), "-");
    EXPECT_EQ(verdicts(st, "\x22"), "-");
    EXPECT_EQ(verdicts(st, "x"), "d");
    EXPECT_FALSE(st.iac_seen || st.in_subneg || st.skip > 0);
}

TEST(TelnetFilter, OnlyIacSeEndsASubnegotiation)
{
    nchatd::telnet::State st;
    // A window size of 240 columns holds a lone 240; CR LF and an escaped
    // 255 followed by 240 are all part of it as well.
    EXPECT_EQ(verdicts(st, "\xff\xfa\x1f\x00\xf0\x00\x32\r\n\xff\xff\xf0"
                           "q"sv),
              "C-------"
              "-"
              "C--"
              "-");
    EXPECT_TRUE(st.in_subneg);
    EXPECT_EQ(verdicts(st, "\xff\xf0"
                           "x"),
              "C-d");
    EXPECT_FALSE(st.in_subneg);
    // An option byte still pending when a subnegotiation opens is not used
    // up by an escaped 255 inside it, but by the byte after it.
    EXPECT_EQ(verdicts(st, "\xff\xfb\xff\xfa\xff\xff\xff\xf0"
                           "ef"),
              "C-C-C-C-"
              "-d");
}

TEST(LineEditor, KeepsPrintableErasesAndEndsLines)
{
    nchatd::LineEditor ed;
    EXPECT_EQ(edits(ed, "\b\x7f"), "..");  // nothing to erase
    EXPECT_EQ(edits(ed, "a\tb~ \0\x01\x1b\x80\xc8\xf0\xff"sv), "aaaaa.......");
    EXPECT_EQ(ed.line(), "a\tb~ ");
    EXPECT_EQ(edits(ed, "\b\x7f"
                        "Z"),
              "eea");
    EXPECT_EQ(ed.line(), "a\tbZ");
    // A line end leaves the line for the caller to take.
    EXPECT_EQ(edits(ed, "\r\n"), "$$");
    EXPECT_EQ(ed.line(), "a\tbZ");

    // 511 bytes at most; erasing makes room again, and a full line still
    // ends.
    ed = {};
    EXPECT_EQ(edits(ed, std::string(512, 'x')), std::string(511, 'a') + ".");
    EXPECT_EQ(edits(ed, "\ty\b"
                        "z\r"),
              "..ea$");
    EXPECT_EQ(ed.line(), std::string(510, 'x') + "z");
}

std::string line_of(unit::bench& b, int slot)
{
    return std::string(b.user(slot).editor.line());
}

// The writer's own copy of a chat line, which replaces its echoed input.
std::string own(std::string_view name, std::string_view text)
{
    return "\x1b[0m\rSS:SS <\x1b[1m" + std::string(name) + "\x1b[0m> " + std::string(text) + "\r\n> ";
}

TEST(Input, TelnetOptionSequenceGoesOutOnceAheadOfTheEcho)
{
    const std::string options = "\xff\xfd\x1f\xff\xfe\x22\xff\xfb\x01\xff\xfb\x03";
    unit::bench b;
    // The first IAC, even an escaped 255, brings the option sequence, ahead
    // of the echo gathered before it; commands are never echoed, and later
    // IACs bring nothing.
    int a = b.login("al");
    b.feed(a, "ab\xff\xff"
              "c");
    EXPECT_EQ(b.read(a), options + "abc");
    EXPECT_TRUE(b.user(a).profile.telnet_sent);
    b.feed(a, "x\xff\xfb\x03y\xff"
              "a\xff\xfd\x01z");
    EXPECT_EQ(b.read(a), "xyaz");
    // The filter's state lasts from one receive to the next.
    b.feed(a, "\xff\xfb");
    b.feed(a, "\x01"
              "e\xff\xfa\x1f\r\n");
    EXPECT_EQ(b.read(a), "e");
    b.feed(a, "\xff\xf0\r");
    EXPECT_EQ(unit::mask(b.read(a)), own("al", "abcxyaze"));
    EXPECT_EQ(b.user(a).profile.lines_written, 1u);

    // A client that never sends IAC is echoed all the same.
    int d = b.login("di");
    b.feed(d, "hey");
    EXPECT_EQ(b.read(d), "hey");
    EXPECT_FALSE(b.user(d).profile.telnet_sent);
}

TEST(Input, EchoOfTypingAndErasing)
{
    unit::bench b;
    int a = b.login("al");
    b.feed(a, "\b\x7f\b");
    EXPECT_EQ(b.read(a), "");  // nothing to erase, nothing echoed
    b.feed(a, "a\tb\xc8\x1b"
              "c\x01~\x80 \0"sv);
    EXPECT_EQ(b.read(a), "a\tbc~ ");
    b.feed(a, "\b\x7f\b\b\b\b\bZ");  // seven erases for six characters
    EXPECT_EQ(b.read(a), "\b \b\b \b\b \b\b \b\b \b\b \bZ");
    EXPECT_EQ(line_of(b, a), "Z");

    // The echo stops where the line is full, and a receive of nothing but
    // erases is echoed whole (in a window wide enough for the whole line).
    b.feed(a, "\xff\xfa\x1f\x02\x58\x00\x18\xff\xf0"sv);
    b.read(a);
    b.feed(a, "\b");
    std::string typed;
    for (int i = 0; i < 600; ++i)
        typed += static_cast<char>('a' + i % 26);
    b.feed(a, typed);
    EXPECT_EQ(b.read(a), "\b \b" + typed.substr(0, 511));
    b.feed(a, "\bXY");
    EXPECT_EQ(b.read(a), "\b \bX");
    std::string erases(nchatd::recv_size, '\b');
    b.feed(a, erases);
    std::string echoed;
    for (size_t i = 0; i < erases.size(); ++i)
        echoed += "\b \b";
    EXPECT_EQ(b.read(a), echoed);
    std::string kept = (typed.substr(0, 510) + "X").substr(0, 511 - erases.size());
    EXPECT_EQ(line_of(b, a), kept);
    b.feed(a, "\r");
    EXPECT_EQ(unit::mask(b.read(a)), own("al", kept));
}

TEST(Input, LineEndsAndEmptyLines)
{
    unit::bench b;
    const auto [a, o] = b.users("al", "ot");
    // CR LF, LF CR, CR NUL and CR CR each end one line; the second byte
    // is an empty line that does nothing.
    b.feed(a, "a\r\nb\n\rc\r\0d\r\r"sv);
    EXPECT_EQ(unit::mask(b.read(a)),
              "a" + own("al", "a") + "b" + own("al", "b") + "c" + own("al", "c") + "d" + own("al", "d"));
    EXPECT_EQ(b.user(a).profile.lines_written, 4u);
    EXPECT_EQ(unit::mask(b.read(o)), notice("<al> a") + notice("<al> b") + notice("<al> c") + notice("<al> d"));

    // An empty line sends nothing, not even a prompt, and changes nothing.
    b.user(a).profile.last_active = 1000;
    b.feed(a, "\r\n\r\n\n");
    EXPECT_EQ(b.read(a), "");
    EXPECT_EQ(b.read(o), "");
    EXPECT_EQ(b.user(a).profile.last_active, 1000);
    b.feed(a, "   \r");  // a line of spaces is a chat line
    EXPECT_EQ(unit::mask(b.read(a)), "   " + own("al", "   "));
    int n = b.connect();  // at the name prompt as well
    b.feed(n, "\r\n");
    EXPECT_EQ(b.read(n), "");
    EXPECT_FALSE(b.closed(n));
}

TEST(Input, LinesAcrossAndWithinReceives)
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
    EXPECT_EQ(b.user(a).profile.lines_written, 2u);

    // The name and more lines in one receive: every line counts.
    int o = b.login("ot");
    b.read(a);
    int n = b.connect();
    b.feed(n, "alice\r\nhello\r\n/status away\r\n");
    EXPECT_EQ(unit::mask(b.read(n)), "alice\r\nSS:SS * logged in as alice\r\n> hello" + own("alice", "hello") +
                                         "/status away\r\nSS:SS * status set\r\nSS:SS * end.\r\n> ");
    EXPECT_EQ(unit::mask(b.read(o)), notice("* user alice logged in from 127.0.0.1") + notice("<alice> hello") +
                                         notice("* alice set status to \"away\""));
}

// What a receive makes of its bytes does not depend on how they were cut:
// the same bytes whole and one per receive leave the same echo, line and
// cursor.  The mix crosses every edge of a run taken whole: telnet
// commands, a window report and a subnegotiation of printable bytes inside
// text, a byte after IAC taken as data, a UTF-8 character cut short by
// ASCII, wide characters at a 7-column edge, erases back over the wraps,
// control bytes, and a line that overflows.
TEST(Input, TheSameBytesHoweverTheyArrive)
{
    // The first IAC brings the option sequence ahead of the echo gathered
    // before it, so it comes first.
    std::string mix = "\xff\xfb\x01"
                      "ab\tc\xff\xfd\x22"
                      "de\xff\xfa\x1f\x00\x07\x00\x05\xff\xf0\xff\xfa\x18xterm\xff\xf0\xffxy\xfbz"
                      "fgh\xe4\xbd"
                      "ij\xa0\xe4\xbd\xa0k"
                      "lmn\b\b\b\b\x7f\x01\x1bop\xe4\xbd\xa0\xe5\xa5\xbdq"s;
    for (int i = 0; i < 60; ++i)
        mix += "0123456789";
    mix += "\b\brs";
    struct Seen {
        std::string echo, line;
        size_t cols;
        nchatd::layout::Cursor at;
    };
    const auto run = [&](size_t piece) {
        unit::bench b;
        int a = b.login("al");
        b.read(a);
        std::string echo;
        for (size_t at = 0; at < mix.size(); at += piece) {
            b.feed(a, std::string_view(mix).substr(at, piece));
            echo += b.read(a);
        }
        return Seen{echo, line_of(b, a), b.user(a).editor.cols, b.user(a).screen.at};
    };
    const Seen whole = run(mix.size()), bytewise = run(1);
    EXPECT_EQ(whole.echo, bytewise.echo);
    EXPECT_EQ(whole.line, bytewise.line);
    EXPECT_EQ(whole.at, bytewise.at);
    // And what they leave is what the editor's rules say, one by one.
    std::string digits;
    for (int i = 0; i < 49; ++i)
        digits += "0123456789";
    const std::string line = "ab\tcdexyzfghijop\xe4\xbd\xa0\xe5\xa5\xbdq" + digits.substr(0, 486) + "rs";
    EXPECT_EQ(whole.line, line);
    EXPECT_EQ(whole.cols, nchatd::utf8::columns(line));
    EXPECT_EQ(whole.at, nchatd::layout::advance(nchatd::layout::place_run({}, 7, 2), 7, line));
}

TEST(Input, BytesAfterAClosingLineAreIgnored)
{
    unit::bench b;
    int w = b.login("wi");
    int n = b.connect();
    b.feed(n, "/bad\r\nmore\r\nstill\xff");
    EXPECT_EQ(b.read(n), "/bad\r\n* name contains invalid characters or too long\r\n");
    EXPECT_TRUE(b.closed(n));
    EXPECT_FALSE(b.user(n).profile.telnet_sent);  // the later IAC was never looked at
    int q = b.login("qu");
    b.read(w);
    b.feed(q, "/quit\r\nhello\r\n");
    EXPECT_EQ(unit::mask(b.read(q)), "/quit\r\nSS:SS * goodbye\r\n");
    EXPECT_TRUE(b.closed(q));
    EXPECT_EQ(unit::mask(b.read(w)), notice("* user qu logged off from 127.0.0.1"));
}

}  // namespace

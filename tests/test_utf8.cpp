// UTF-8 text: the editor keeps whole printable characters, erases and
// redraws by columns, and -a keeps the ASCII filter byte for byte.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "line_editor.h"
#include "unit.h"
#include "utf8.h"

using namespace std::literals;

namespace {

using nchatd::Charset;
using nchatd::Edit;
using nchatd::LineEditor;

// Feeds `bytes` one at a time; returns the echo they earn, with "<n>" for
// an erase of n columns.
std::string type(LineEditor& ed, std::string_view bytes)
{
    std::string echo;
    for (char ch : bytes) {
        switch (nchatd::edit(ed, static_cast<unsigned char>(ch), Charset::utf8)) {
        case Edit::appended:
            echo += ed.line().substr(ed.len - ed.appended);
            break;
        case Edit::erased:
            echo += "<" + std::to_string(ed.erased_cols) + ">";
            break;
        case Edit::line_end:
            echo += "$";
            break;
        case Edit::none:
            break;
        }
    }
    return echo;
}

bool consistent(const LineEditor& ed)
{
    return ed.cols == nchatd::utf8::columns(ed.line());
}

TEST(Utf8, EditorKeepsWholePrintableCharactersAndCountsColumns)
{
    LineEditor ed;
    // Mixed widths: the echo comes only once a character is whole.
    EXPECT_EQ(type(ed, "a你é☕😀"), "a你é☕😀");
    EXPECT_EQ(ed.line(), "a你é☕😀");
    EXPECT_EQ(ed.cols, 1u + 2 + 1 + 2 + 2);
    // Erase takes whole characters: a four-byte emoji, a wide one.
    EXPECT_EQ(type(ed, "\x7f\b\x7f"), "<2><2><1>");
    EXPECT_EQ(ed.line(), "a你");
    EXPECT_EQ(ed.cols, 3u);
    // A combining mark goes with its base, and takes no column of its own.
    EXPECT_EQ(type(ed, "e\u0301"), "e\u0301");
    EXPECT_EQ(ed.cols, 4u);
    EXPECT_EQ(type(ed, "\b"), "<1>");
    EXPECT_EQ(ed.line(), "a你");
    EXPECT_TRUE(consistent(ed));

    // A character split across receives waits for its last byte; a line end
    // first drops it.
    EXPECT_EQ(type(ed, "\xe4\xbd"), "");
    EXPECT_EQ(type(ed, "\xa0"), "你");
    EXPECT_EQ(type(ed, "\xe4\xbd\r"), "$");
    ed.clear();
    EXPECT_EQ(type(ed, "\xa0"
                       "b"),
              "b")
        << "the abandoned character leaves nothing behind";

    // Dropped: overlong forms, surrogates, C1 controls, the bidirectional
    // overrides and isolates, a lone continuation byte, bytes that start
    // nothing; the byte after each is looked at afresh.
    ed.clear();
    EXPECT_EQ(type(ed, "\xc0\xaf"
                       "1\xe0\x80\xaf"
                       "2\xed\xa0\x80"
                       "3\xc2\x85"
                       "4\u202e5\u2067"
                       "6\x80"
                       "7\xff\xf8"
                       "8"),
              "12345678");
    ed.clear();
    EXPECT_EQ(type(ed, "\u0301"), "") << "no mark without a base";
    EXPECT_TRUE(consistent(ed));

    // The line keeps its 511 bytes and is never cut inside a character.
    ed.clear();
    type(ed, std::string(509, 'x'));
    EXPECT_EQ(type(ed, "你é"), "é");
    EXPECT_EQ(ed.len, 511u);
    EXPECT_EQ(type(ed, "a"), "");
    EXPECT_TRUE(consistent(ed));
}

TEST(Utf8, RedrawOverHalfTypedWideTextCountsColumns)
{
    unit::bench b;
    const auto [a, o] = b.users("a", "o");
    // 17 columns in 23 bytes; with the prompt 19 columns to clear.
    b.feed(o, "你好你好你好 café");
    EXPECT_EQ(b.read(o), "你好你好你好 café");
    b.feed(a, "hi\r\n");
    // "SS:SS <a> hi" is 12 columns: 7 more to blank, then the redraw.
    EXPECT_EQ(unit::mask(b.read(o)), "\b\b\b\b\b\b\b       \x1b[0m\rSS:SS <a> hi\r\n> 你好你好你好 café");
    // A wide chat line is as wide as its columns: nothing left to blank.
    b.feed(o, "\x7f\x7f\x7f\x7f\x7f");
    b.read(o);
    b.feed(a, "你好你好\r\n");
    EXPECT_EQ(unit::mask(b.read(o)), "\x1b[0m\rSS:SS <a> 你好你好\r\n> 你好你好你好");
}

TEST(Utf8, StatusHoldsThirtyNineCharactersAndAsciiModeKeepsTodaysBytes)
{
    unit::bench b;
    int a = b.login("a");
    std::string letters;
    for (int i = 0; i < 39; ++i)
        letters += "ä";
    b.feed(a, "/status " + letters + "\r\n");
    EXPECT_NE(b.read(a).find("* status set"), std::string::npos);
    b.feed(a, "/status " + letters + "ö\r\n");
    EXPECT_NE(b.read(a).find("* new status message is too long"), std::string::npos);
    b.feed(a, "/status\r\n");
    EXPECT_NE(b.read(a).find("* your status is \"" + letters + "\""), std::string::npos);

    // -a: bytes from 128 up are dropped as they always were.
    unit::bench ascii;
    ascii.room.set_charset(Charset::ascii);
    int x = ascii.login("x");
    int y = ascii.login("y");
    ascii.drain_all();
    ascii.feed(x, "Grüße, café ☕ ok\r\n");
    EXPECT_EQ(ascii.read(x).substr(0, 13), "Gre, caf  ok\x1b");
    EXPECT_EQ(unit::mask(ascii.read(y)), unit::notice("<x> Gre, caf  ok"));
}

}  // namespace

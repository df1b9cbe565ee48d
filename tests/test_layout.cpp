// Where prompt and input land on a terminal of a given width, and how a
// delivery or an erase goes back over them: the terminal's own rules
// (deferred wrap, a wide character that moves whole) as pure arithmetic,
// then the same on the wire with a width the client reported.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "layout.h"
#include "unit.h"

using namespace std::literals;

namespace {

using nchatd::layout::advance;
using nchatd::layout::Cursor;
using nchatd::layout::place;
using nchatd::layout::place_run;
using nchatd::layout::take_back;
using nchatd::layout::Takeback;

std::string erase(Cursor from, Cursor& to, size_t width)
{
    char out[nchatd::layout::erase_max];
    return {out, nchatd::layout::erase(out, from, to, width)};
}

TEST(Layout, FollowsTheTerminalsWrapRules)
{
    // Deferred wrap: a full row keeps the cursor on it; the next character
    // goes to the next row, a CR from there stays on the row.
    EXPECT_EQ(place_run({}, 10, 10), (Cursor{0, 10}));
    EXPECT_EQ(place(Cursor{0, 10}, 10, 1), (Cursor{1, 1}));
    EXPECT_EQ(place_run({}, 10, 11), (Cursor{1, 1}));
    EXPECT_EQ(advance({}, 10, "> 12345678"), (Cursor{0, 10}));
    // A wide character that does not fit moves whole, leaving a blank; one
    // that fits exactly fills the row.
    EXPECT_EQ(advance({}, 10, "> 1234567你"), (Cursor{1, 2}));
    EXPECT_EQ(advance({}, 10, "> 123456你"), (Cursor{0, 10}));
    EXPECT_EQ(advance({}, 10, "> 123456你好"), (Cursor{1, 2}));
    EXPECT_EQ(advance({}, 10, "> e\u0301\u0301"), (Cursor{0, 3}));  // marks take no column
    // Exact multiples of the width end on a deferred wrap, not a new row.
    EXPECT_EQ(advance({}, 10, "> " + std::string(18, 'x')), (Cursor{1, 10}));
    EXPECT_EQ(advance({}, 80, "> " + std::string(158, 'x')), (Cursor{1, 80}));
    // Width 1: every character a row; a wide one takes a row too.
    EXPECT_EQ(advance({}, 1, "> ab"), (Cursor{3, 1}));
    EXPECT_EQ(advance({}, 1, "> 你"), (Cursor{2, 1}));
    // Unknown width is the usual 80.
    EXPECT_EQ(nchatd::layout::effective_width(0), 80u);
    EXPECT_EQ(nchatd::layout::effective_width(1), 1u);

    // A delivery over one row blanks what the message leaves open, as
    // always; over a wrapped input it goes up and erases the screen below.
    EXPECT_EQ(take_back({0, 79}, 80, 20), (Takeback{59, 0, false}));
    EXPECT_EQ(take_back({0, 30}, 80, 100), (Takeback{}));  // a message longer than the row covers it
    EXPECT_EQ(take_back({0, 80}, 80, 100), (Takeback{}));
    EXPECT_EQ(take_back({0, 80}, 80, 20), (Takeback{0, 0, true}));  // BS from a deferred wrap is unreliable
    EXPECT_EQ(take_back({2, 5}, 80, 500), (Takeback{0, 2, true}));
    EXPECT_EQ(take_back({1, 80}, 80, 5), (Takeback{0, 1, true}));  // the row the cursor waits on
    EXPECT_EQ(take_back({}, 80, 5), (Takeback{}));
}

TEST(Layout, EraseCrossesRowsByTheBooks)
{
    // Within a row: BS, blank, BS over the character's columns.
    Cursor to{0, 5};
    EXPECT_EQ(erase({0, 7}, to, 10), "\b\b  \b\b");
    // From a deferred wrap: to the column, and erase below.
    to = {0, 9};
    EXPECT_EQ(erase({0, 10}, to, 10), "\x1b[10G\x1b[J");
    // At column 0 of a continuation row: up to the previous character.
    to = {0, 9};
    EXPECT_EQ(erase({1, 0}, to, 10), "\x1b[1A\x1b[10G\x1b[J");
    to = {0, 8};
    EXPECT_EQ(erase({1, 0}, to, 10), "\x1b[1A\x1b[9G\x1b[J");  // a wide one, whole
    // A wide character that had moved whole: back to the blank it left.
    to = advance({}, 10, "> 1234567");
    EXPECT_EQ(erase({1, 2}, to, 10), "\x1b[1A\x1b[10G\x1b[J");
    EXPECT_EQ(to, (Cursor{0, 9}));
    // Back to a full row: no movement reaches a deferred wrap, so the
    // cursor waits at the start of the next row, where the next character
    // would go.
    to = {0, 10};
    EXPECT_EQ(erase({1, 1}, to, 10), "\b \b");
    EXPECT_EQ(to, (Cursor{1, 0}));
    to = {0, 1};
    EXPECT_EQ(erase({1, 1}, to, 1), "\x1b[1G\x1b[J");
    EXPECT_EQ(to, (Cursor{1, 0}));
}

// IAC SB NAWS with the width and height, high byte first.
std::string naws(unsigned width, unsigned height)
{
    std::string sb = "\xff\xfa\x1f";
    for (unsigned v : {width >> 8, width & 255, height >> 8, height & 255}) {
        sb += static_cast<char>(v);
        if (v == 255)
            sb += '\xff';  // doubled inside a subnegotiation
    }
    return sb + "\xff\xf0";
}

TEST(Layout, WindowSizeReportsDriveTheRedraw)
{
    unit::bench b;
    const auto [a, u] = b.users("a", "u");
    EXPECT_EQ(b.user(u).width(), 80u);
    b.feed(u, "\xff\xfb\x1f" + naws(255, 511));
    EXPECT_EQ(b.user(u).telnet.width, 255u);
    EXPECT_EQ(b.user(u).telnet.height, 511u);
    b.feed(u, "\xff\xfa\x1f\x00\x0a\x00\x01\x02\xff\xf0"s);  // five bytes: no report
    b.feed(u, "\xff\xfa\x18\x00\x0a\x00\x01\xff\xf0"s);      // not NAWS
    EXPECT_EQ(b.user(u).width(), 255u);
    b.feed(u, naws(12, 5));
    EXPECT_EQ(b.user(u).width(), 12u);
    b.read(u);

    // "> " and 9 characters fit in 12 columns: the bytes of old.
    b.feed(u, "abcdefghi");
    EXPECT_EQ(b.read(u), "abcdefghi");
    b.room.broadcast(&b.user(a), "x\r\n", false);
    EXPECT_EQ(b.read(u), std::string(10, '\b') + std::string(10, ' ') + "\x1b[0m\rx\r\n> abcdefghi");
    // The 11th character wraps: up one row and erase below.
    b.feed(u, "jk");
    EXPECT_EQ(b.read(u), "jk");
    b.room.broadcast(&b.user(a), "x\r\n", false);
    EXPECT_EQ(b.read(u), "\x1b[0m\r\x1b[1A\x1b[Jx\r\n> abcdefghijk");
    // Erase back across the wrap and along the first row.
    b.feed(u, "\x7f\b\x7f");
    EXPECT_EQ(b.read(u), "\b \b\x1b[1A\x1b[12G\x1b[J\b \b");
    b.feed(u, "你好");  // the second moves whole to the next row
    EXPECT_EQ(b.read(u), "你好");
    b.feed(u, "\b");
    EXPECT_EQ(b.read(u), "\b\b  \b\b");  // to the start of the row: the one above is full
    b.feed(u, "z");
    b.read(u);
    // A resize rewraps: at 40 columns everything is on one row again.
    b.feed(u, naws(40, 5));
    b.room.broadcast(&b.user(a), "x\r\n", false);
    EXPECT_EQ(b.read(u), std::string(12, '\b') + std::string(12, ' ') + "\x1b[0m\rx\r\n> abcdefgh你z");

    // The writer's own line takes the place of its wrapped input.
    b.feed(u, naws(12, 5));
    b.read(u);
    b.feed(u, "\r");
    EXPECT_EQ(unit::mask(b.read(u)), "\x1b[0m\r\x1b[1A\x1b[JSS:SS <\x1b[1mu\x1b[0m> abcdefgh你z\r\n> ");
}

}  // namespace

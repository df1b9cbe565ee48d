// Where text lands on a terminal of a given width, by the terminal's own
// rules, so that the server can go back over a prompt and input that wrap.
// Pure arithmetic; nothing here writes a byte to a client.
#pragma once

#include <cstddef>
#include <string_view>

namespace nchatd::layout {

// A client that never reported its width is taken to have the usual one.
inline constexpr size_t unknown_width = 80;

inline size_t effective_width(size_t reported)
{
    return reported == 0 ? unknown_width : reported;
}

// The cursor, counted from the start of the row the prompt began on.
// col == width is the deferred wrap: the last column has been written and
// the cursor waits on that row until the next character, which goes to the
// start of the next one.  A CR from there stays on the row.
struct Cursor {
    size_t row = 0;
    size_t col = 0;
    bool operator==(const Cursor&) const = default;
};

// The cursor after a character `cols` wide is written at `at`.  One that
// does not fit in what is left of the row moves whole to the next row,
// leaving the rest blank; one wider than the whole row takes a row alone.
Cursor place(Cursor at, size_t width, size_t cols);
// After `count` one-column characters (a prompt).
Cursor place_run(Cursor at, size_t width, size_t count);
// After a UTF-8 text, with columns counted as utf8::columns counts them.
Cursor advance(Cursor at, size_t width, std::string_view text);

// How a delivery takes back the prompt and input the cursor stands behind
// before it writes a message in their place.
struct Takeback {
    size_t backs = 0;    // on one row: back over this many columns and blank them
    size_t up = 0;       // otherwise: rows to go up after the CR
    bool clear = false;  // and erase to the end of the screen
    bool operator==(const Takeback&) const = default;
};
// `drawn` is where the cursor stands; a message `message_cols` wide that
// covers the row needs no blanking.
Takeback take_back(Cursor drawn, size_t width, size_t message_cols);

// Bytes that move the cursor back from `from` to `to`, an earlier point of
// the same input, and blank everything after it; writes at most
// `erase_max` bytes to `out` and returns their count.  Within a row this
// is BS, spaces, BS; across a row's edge it is ESC [ n A, ESC [ n G and
// ESC [ J.  Returns where the cursor then stands: `to`, or the start of the
// next row when `to` is a deferred wrap that no cursor movement can
// reach.
inline constexpr size_t erase_max = 32;
size_t erase(char* out, Cursor from, Cursor& to, size_t width);

}  // namespace nchatd::layout

// The input line a user is typing: the server edits it and echoes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "bounds.h"

namespace nchatd {

// What a line may hold: UTF-8 text, or printable ASCII alone for
// terminals that are not UTF-8.
enum class Charset : uint8_t { utf8, ascii };

struct LineEditor {
    // Allocated by the line's first character and given back when the
    // line ends, so that a connection that types nothing holds none.
    std::unique_ptr<char[]> text;
    size_t len = 0;   // bytes
    size_t cols = 0;  // columns the line takes on the terminal
    // A character whose bytes have not all arrived yet.
    std::array<char, 4> partial{};
    uint8_t have = 0;
    uint8_t need = 0;
    // The last edit: bytes appended (to echo) or columns erased.
    uint8_t appended = 0;
    uint8_t erased_cols = 0;

    std::string_view line() const { return {text.get(), len}; }
    // Empties the line, and forgets a character half received.
    void clear()
    {
        len = cols = 0;
        have = need = 0;
        text.reset();
    }
};

enum class Edit {
    none,      // dropped, or part of a character still arriving
    appended,  // a whole character joined the line: echo `appended` bytes
    erased,    // the last character went: move back `erased_cols` columns
    line_end,  // CR or LF: the line is complete (it may be empty)
};

// Printable characters and TAB are kept, BS and DEL erase the last
// character (with the combining marks that go with it), CR and LF end the
// line; every other byte is dropped.  A character that does not fit the
// line's 511 bytes whole is dropped.
Edit edit(LineEditor& ed, unsigned char c, Charset charset);

}  // namespace nchatd

// The input line a user is typing: the server edits it and echoes it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "bounds.h"

namespace nchatd {

struct LineEditor {
    std::array<char, line_max> text{};
    size_t len = 0;

    std::string_view line() const { return {text.data(), len}; }
};

enum class Edit {
    none,      // dropped: a control byte, or no room left
    appended,  // the byte joined the line; echo it
    erased,    // the last character went; echo "\b \b"
    line_end,  // CR or LF: the line is complete (it may be empty)
};

// Printable ASCII and TAB are kept, BS and DEL erase, CR and LF end the
// line; every other byte is dropped.
Edit edit(LineEditor& ed, unsigned char c);

}  // namespace nchatd

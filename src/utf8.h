// UTF-8 text as the terminal shows it: which characters a user may type,
// and how many columns a text takes.  Decoding, classes and widths come
// from utf8proc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nchatd::utf8 {

// Bytes of the sequence a lead byte starts, or 0 for a byte that cannot
// start one (a continuation byte, 0xC0, 0xC1, 0xF5 and up).
size_t sequence_length(unsigned char lead);
inline bool continuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

// The character a complete sequence encodes, or -1 when it is invalid,
// overlong or a surrogate.
int32_t decode(std::string_view sequence);

// Whether a decoded character may stand in a line: not a control (C0 or
// C1, which terminals take as commands), not unassigned, and not one of the
// formatting characters that reorder or hide text (the bidirectional
// embeddings, overrides and isolates, and the line and paragraph
// separators).
bool printable(int32_t cp);

// Columns the character takes on a terminal: 2 for wide characters, 0 for
// combining marks and other zero-width characters, 1 otherwise.
int width(int32_t cp);

// Columns a text takes; a byte below 128 counts one column, as terminals
// that ignore escape sequences would show it.
size_t columns(std::string_view text);
// Characters in a text (its bytes that are not continuation bytes).
size_t characters(std::string_view text);

}  // namespace nchatd::utf8

#include "line_editor.h"

#include "utf8.h"

namespace nchatd {

namespace {

Edit append(LineEditor& ed, std::string_view bytes, int cols)
{
    if (ed.len + bytes.size() > line_max)
        return Edit::none;
    // A combining mark needs a character to go with.
    if (cols == 0 && ed.len == 0)
        return Edit::none;
    if (!ed.text)
        ed.text = std::make_unique_for_overwrite<char[]>(line_max);
    bytes.copy(ed.text.get() + ed.len, bytes.size());
    ed.len += bytes.size();
    ed.cols += static_cast<size_t>(cols);
    ed.appended = static_cast<uint8_t>(bytes.size());
    return Edit::appended;
}

// Removes the last character and the zero-width ones after it.
Edit erase(LineEditor& ed)
{
    if (ed.len == 0)
        return Edit::none;
    size_t cols = 0;
    while (ed.len > 0) {
        size_t start = ed.len - 1;
        while (start > 0 && utf8::continuation(static_cast<unsigned char>(ed.text[start])))
            --start;
        std::string_view last = ed.line().substr(start);
        int32_t cp = last.size() == 1 ? static_cast<unsigned char>(last[0]) : utf8::decode(last);
        cols = cp < 0 ? 0 : static_cast<size_t>(utf8::width(cp));
        if (last.size() == 1)
            cols = 1;  // TAB and ASCII: one column, as the echo moved
        ed.len = start;
        if (cols > 0)
            break;
    }
    ed.cols -= cols;
    ed.erased_cols = static_cast<uint8_t>(cols);
    return Edit::erased;
}

// One byte of a character beyond ASCII.
Edit take_utf8(LineEditor& ed, unsigned char c)
{
    if (ed.have > 0 && utf8::continuation(c)) {
        ed.partial[ed.have++] = static_cast<char>(c);
        if (ed.have < ed.need)
            return Edit::none;
        std::string_view seq{ed.partial.data(), ed.have};
        ed.have = ed.need = 0;
        int32_t cp = utf8::decode(seq);
        if (cp < 0 || !utf8::printable(cp))
            return Edit::none;
        return append(ed, seq, utf8::width(cp));
    }
    // A new lead byte abandons a character that never completed.
    ed.have = ed.need = 0;
    size_t n = utf8::sequence_length(c);
    if (n < 2)
        return Edit::none;
    ed.partial[0] = static_cast<char>(c);
    ed.have = 1;
    ed.need = static_cast<uint8_t>(n);
    return Edit::none;
}

}  // namespace

Edit edit(LineEditor& ed, unsigned char c, Charset charset)
{
    if (c >= 0x80 && charset == Charset::utf8)
        return take_utf8(ed, c);
    ed.have = ed.need = 0;
    if (c == '\b' || c == 127)
        return erase(ed);
    if (c == '\n' || c == '\r')
        return Edit::line_end;
    if (c == '\t' || (c >= 32 && c <= 126))
        return append(ed, {reinterpret_cast<const char*>(&c), 1}, 1);
    return Edit::none;
}

}  // namespace nchatd

#include "layout.h"

#include <algorithm>
#include <cstdio>

#include "utf8.h"

namespace nchatd::layout {

Cursor place(Cursor at, size_t width, size_t cols)
{
    if (cols == 0)
        return at;  // a combining mark joins the cell before it
    if (at.col + cols > width && at.col > 0) {
        at.row++;
        at.col = 0;
    }
    at.col = std::min(at.col + cols, width);
    return at;
}

Cursor place_run(Cursor at, size_t width, size_t count)
{
    if (count == 0)
        return at;
    if (at.col == width) {
        at.row++;
        at.col = 0;
    }
    const size_t end = at.col + count;
    const size_t rows = (end - 1) / width;  // a run never ends on a row it has not written
    return {at.row + rows, end - rows * width};
}

Cursor advance(Cursor at, size_t width, std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            size_t run = 1;
            while (i + run < text.size() && static_cast<unsigned char>(text[i + run]) < 0x80)
                ++run;
            at = place_run(at, width, run);
            i += run;
            continue;
        }
        size_t n = utf8::sequence_length(lead);
        if (n <= 1 || i + n > text.size()) {
            ++i;
            continue;
        }
        int32_t cp = utf8::decode(text.substr(i, n));
        at = place(at, width, cp < 0 ? 0 : static_cast<size_t>(utf8::width(cp)));
        i += n;
    }
    return at;
}

Takeback take_back(Cursor drawn, size_t width, size_t message_cols)
{
    if (drawn.row > 0)
        return {0, drawn.row, true};
    if (message_cols >= drawn.col)
        return {};
    // BS from a deferred wrap lands in different columns on different
    // terminals; erasing from the row's start does not.
    if (drawn.col == width)
        return {0, 0, true};
    return {drawn.col - message_cols, 0, false};
}

size_t erase(char* out, Cursor from, Cursor& to, size_t width)
{
    if (to.col == width && from.row > to.row)
        to = {to.row + 1, 0};
    if (from.row == to.row && from.col < width && to.col <= from.col && from.col - to.col <= erase_max / 3) {
        const size_t n = from.col - to.col;
        for (size_t k = 0; k < n; ++k) {
            out[k] = '\b';
            out[n + k] = ' ';
            out[2 * n + k] = '\b';
        }
        return 3 * n;
    }
    int len = from.row > to.row ? snprintf(out, erase_max, "\x1b[%zuA\x1b[%zuG\x1b[J", from.row - to.row, to.col + 1)
                                : snprintf(out, erase_max, "\x1b[%zuG\x1b[J", to.col + 1);
    return static_cast<size_t>(std::clamp(len, 0, static_cast<int>(erase_max) - 1));
}

}  // namespace nchatd::layout

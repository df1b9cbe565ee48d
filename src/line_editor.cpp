#include "line_editor.h"

namespace nchatd {

Edit edit(LineEditor& ed, unsigned char c)
{
    if (c == '\b' || c == 127) {
        if (ed.len == 0)
            return Edit::none;
        ed.len--;
        return Edit::erased;
    }
    if (c == '\n' || c == '\r')
        return Edit::line_end;
    if (ed.len >= line_max)
        return Edit::none;
    if (c == '\t' || (c >= 32 && c <= 126)) {
        ed.text[ed.len++] = static_cast<char>(c);
        return Edit::appended;
    }
    return Edit::none;
}

}  // namespace nchatd

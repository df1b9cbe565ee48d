#include "utf8.h"

#include <utf8proc.h>

namespace nchatd::utf8 {

size_t sequence_length(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

int32_t decode(std::string_view sequence)
{
    utf8proc_int32_t cp = -1;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(sequence.data()),
                              static_cast<utf8proc_ssize_t>(sequence.size()), &cp);
    return n == static_cast<utf8proc_ssize_t>(sequence.size()) ? cp : -1;
}

bool printable(int32_t cp)
{
    if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
        return false;
    switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return false;
    default:
        return true;
    }
}

int width(int32_t cp)
{
    return utf8proc_charwidth(cp);
}

size_t columns(std::string_view text)
{
    // Every byte below 0x80 takes one column, and most text is nothing else.
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80)
        ++i;
    size_t cols = i;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t n = lead < 0x80 ? 1 : sequence_length(lead);
        if (n <= 1 || i + n > text.size()) {
            cols += lead < 0x80 ? 1 : 0;
            ++i;
            continue;
        }
        int32_t cp = decode(text.substr(i, n));
        cols += cp < 0 ? 0 : static_cast<size_t>(width(cp));
        i += n;
    }
    return cols;
}

size_t characters(std::string_view text)
{
    size_t n = 0;
    for (char ch : text)
        n += !continuation(static_cast<unsigned char>(ch));
    return n;
}

}  // namespace nchatd::utf8

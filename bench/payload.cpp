// payload: "~Q<sender>.<seq>.<sent_ns>." then filler up to the fixed length,
// then "~E".  The filler is a function of the three numbers and of the
// position, so a copy that lost, gained or changed bytes anywhere fails the
// check even when its length happens to come out right.
#include "payload.h"

#include <charconv>
#include <cstdio>
#include <cstring>

static char payload_fill(const payload& p, size_t pos)
{
    uint64_t h =
        (uint64_t(p.sender) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(p.seq) * 0xC2B2AE3D27D4EB4Full) ^ uint64_t(p.sent_ns);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return char('a' + ((h >> (pos % 48)) + pos) % 26);
}

void payload_make(char* out, const payload& p)
{
    char head[bench_payload_len + 1];
    int n = snprintf(head, sizeof head, "~Q%d.%u.%lld.", p.sender, p.seq, static_cast<long long>(p.sent_ns));
    std::memcpy(out, head, size_t(n));
    const size_t fill_end = bench_payload_len - payload_close.size();
    for (size_t i = size_t(n); i < fill_end; ++i)
        out[i] = payload_fill(p, i);
    std::memcpy(out + fill_end, payload_close.data(), payload_close.size());
}

// Reads a decimal number up to the next '.'; advances pos past the dot.
template <typename T> static bool payload_field(std::string_view text, size_t& pos, T& value)
{
    const char* first = text.data() + pos;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end == first || end == last || *end != '.')
        return false;
    pos = size_t(end - text.data()) + 1;
    return true;
}

bool payload_parse(std::string_view text, payload& p)
{
    if (text.size() != bench_payload_len || !text.starts_with(payload_open) || !text.ends_with(payload_close))
        return false;
    size_t pos = payload_open.size();
    long long sent = 0;
    if (!payload_field(text, pos, p.sender) || !payload_field(text, pos, p.seq) || !payload_field(text, pos, sent) ||
        p.sender < 0)
        return false;
    p.sent_ns = sent;
    const size_t fill_end = bench_payload_len - payload_close.size();
    if (pos > fill_end)
        return false;
    for (size_t i = pos; i < fill_end; ++i)
        if (text[i] != payload_fill(p, i))
            return false;
    return true;
}

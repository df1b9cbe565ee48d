// payload: the text of a benchmark chat line.  It carries who sent it, its
// sequence number and the send time, and enough redundancy that a line
// which lost or gained bytes on the way is recognised as cut.
#pragma once

#include <cstdint>
#include <string_view>

#include "bench.h"

// Marks where a payload begins; none of the servers produces it on
// its own, and the user names, IRC prefixes and ncat tags never contain it.
inline constexpr std::string_view payload_open = "~Q";
inline constexpr std::string_view payload_close = "~E";

struct payload {
    int sender = -1;     // client index of the writer
    uint32_t seq = 0;    // line number of that writer, from 0
    int64_t sent_ns = 0; // bench_now_ns() when it was handed to send()
};

// Writes exactly bench_payload_len bytes to out.
void payload_make(char* out, const payload& p);

// Parses the bench_payload_len bytes at text (which begin with payload_open).
// Returns false when anything differs from what payload_make would write.
[[nodiscard]] bool payload_parse(std::string_view text, payload& p);

// What the server counts for the operator's `stats`: plain counters that
// only ever grow, kept by the room and bumped where each event happens.
#pragma once

#include <cstdint>

namespace nchatd {

struct Stats {
    uint64_t peak_connections = 0;
    uint64_t lines_received = 0;    // non-empty input lines, logins and commands included
    uint64_t copies_delivered = 0;  // messages written above someone's input line
    uint64_t bytes_sent = 0;        // taken by the kernel
    // Connections turned away before the welcome, by reason.
    uint64_t refused_table_full = 0;
    uint64_t refused_per_address = 0;
    uint64_t refused_banned = 0;
    uint64_t refused_locked = 0;
    uint64_t refused_connect_rate = 0;  // a source connecting faster than its throttle
    // Connections dropped, and floods held back, by reason.
    uint64_t dropped_login_timeout = 0;
    uint64_t dropped_output_full = 0;
    uint64_t dropped_output_stalled = 0;
    uint64_t evicted_waiting = 0;  // gave way at the name prompt to a newcomer at a full table
    uint64_t flood_holds = 0;
    uint64_t input_holds = 0;    // input held while the user's own replies fill its queue
    uint64_t lines_skipped = 0;  // chat lines not delivered to a reader over its soft mark
};

}  // namespace nchatd

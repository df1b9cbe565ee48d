// nchatd-bench: the limits and small helpers that every unit of the load
// generator shares.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Limits.  Every bound on time or count, with the reason for its value.
// ---------------------------------------------------------------------------

// A chat line of ordinary length, and short enough that nchatd takes it in
// one 128-byte receive.
inline constexpr size_t bench_payload_len = 64;
// Clients that may be between connect() and logged-in at once when a
// population logs in (the storm included).  A few at a time is how people
// arrive; with more in flight, each login's latency would mostly be its
// wait behind the others.  Everybody at once is the burst's question.
inline constexpr int bench_default_window = 4;
// Copies a fan-out run delivers at least, unless --fanout-lines says
// otherwise.  With 200 lines, the 64-client run was 12,600 copies, some
// 60 ms of server CPU in four turns: one context switch or a cold cache
// moved its ratio by several per cent.
inline constexpr int bench_fanout_copies = 250'000;
// How long one client may take from connect() to logged in before it
// counts as refused.
inline constexpr int64_t bench_login_timeout_ns = 15'000'000'000;
// How long one fan-out line may take to reach every receiver before the
// sender gives up and sends the next one (the missing copies count as lost).
inline constexpr int64_t bench_default_line_timeout_ns = 2'000'000'000;
// Upper bound of any one scenario, login of its clients excluded.
inline constexpr int64_t bench_scenario_deadline_ns = 90'000'000'000;
// Upper bound of logging in one population (the storm included).
inline constexpr int64_t bench_login_deadline_ns = 120'000'000'000;
// The traffic is over when no byte arrived for this long.
inline constexpr int64_t bench_quiet_ns = 300'000'000;
// Waiting for quiet gives up after this long (a server that never stops
// talking is reported, not waited for).
inline constexpr int64_t bench_settle_max_ns = 30'000'000'000;
// Chatter: when the last line is out, the remaining copies get this long
// without progress before they count as lost.
inline constexpr int64_t bench_drain_idle_ns = 2'000'000'000;
// A server must accept on its port within this time after exec.
inline constexpr int64_t bench_start_timeout_ns = 10'000'000'000;
// A server gets this long to exit after SIGTERM before SIGKILL.
inline constexpr int64_t bench_stop_timeout_ns = 3'000'000'000;
// An unterminated input line longer than this is garbage, not a message
// still arriving (ncat's list of connected users is the longest: ~40 bytes
// per client).
inline constexpr size_t bench_carry_max = 256 * 1024;
// Events taken from epoll per wait: enough for every client at once.
inline constexpr int bench_epoll_batch = 4096;
// Burst: clients that call connect() at once, and how long each may wait
// for the server's first bytes before it counts as stuck.  Where the
// backlog is smaller than the burst, a thousand connects overflow the
// accept queue for a moment; the kernel drops the extra SYNs and the
// clients retry after 1 s and 3 s, so 10 s leaves room for two retries.
inline constexpr int bench_default_burst_clients = 1000;
inline constexpr int64_t bench_burst_bound_ns = 10'000'000'000;
// Logged-in chatters talk through the burst, a line each per interval (the
// rate nchatd's default line budget allows forever), so that the burst's
// cost to everybody else shows beside its own latency; they begin a quiet
// phase earlier.
inline constexpr int bench_burst_chatters = 8;
inline constexpr int64_t bench_burst_chat_interval_ns = 200'000'000;
inline constexpr int64_t bench_burst_quiet_ns = 1'000'000'000;
// Flood: one client sends as fast as TCP takes it for this long (after a
// quiet phase of half as long without it), beside chatters at a human rate.
inline constexpr int bench_default_flood_s = 10;
inline constexpr int bench_flood_chatters = 50;
inline constexpr int64_t bench_flood_chat_interval_ns = 2'000'000'000;
// The slow readers of the flood take at most rate * interval bytes per
// interval through a small receive buffer, as a slow link would.
inline constexpr int bench_slow_reader_rates[] = {10'000, 100'000}; // bytes per second
inline constexpr int64_t bench_slow_read_interval_ns = 100'000'000;
inline constexpr int bench_slow_reader_rcvbuf = 4096; // the kernel doubles it
// Memory return: clients that stop reading while one sender talks, and how
// long after they have gone the server's memory is read again.
inline constexpr int bench_default_reclaim_clients = 200;
// 4000 copies of 84 bytes are 1.6 times nchatd's 128 KiB queue and the
// 72 KiB of kernel buffers in front of it.
inline constexpr int bench_reclaim_lines = 4000;
inline constexpr int64_t bench_reclaim_after_ns = 2'000'000'000;

// Largest population; nchatd's slot table ends at 2048.
inline constexpr int bench_max_clients = 2048;
// Default bound of the whole run; with the build it keeps `make bench`
// under ten minutes even when every wait runs into its limit.
inline constexpr int bench_default_budget_s = 480;
// Descriptors the generator asks for: its clients plus the server's, with
// room to spare.
inline constexpr long bench_nofile_wanted = 16384;

// The servers under test.
// floor is the bench's own bare relay (nchatd-floor), the yardstick for what
// the kernel alone costs.  social is nchatd again, keeping the most recent
// lines (-H 200) and with every client ignoring bench_social_ignores others
// who never write: what those two cost beside plain nchatd.
enum class server_kind { nchatd, ngircd, ncat, floor, social };
inline constexpr int bench_social_recent = 200;
inline constexpr int bench_social_ignores = 32;

inline bool bench_is_nchatd(server_kind k)
{
    return k == server_kind::nchatd || k == server_kind::social;
}

// How a server is configured.  relay: its defences against one client or
// one address are off, because every bench client comes from 127.0.0.1 and
// most write faster than people (nchatd -u 0 -r 0; ngircd without penalty
// time, senders with relaxed flood protection).  guarded: its defaults,
// except the limit per address, which would refuse the bench's crowd from
// one address (nchatd -u 0; ngircd with its normal penalties).
enum class server_mode { relay, guarded };

// ---------------------------------------------------------------------------
// Helpers.
// ---------------------------------------------------------------------------

// Monotonic nanoseconds: send stamps and receive times use the same clock,
// so a latency is a plain difference.
inline int64_t bench_now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// CPU time of the generator itself, user and system: tells whether the
// generator or the server set the pace of a run.
inline int64_t bench_self_cpu_ns()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto ns = [](const timeval& tv) { return int64_t(tv.tv_sec) * 1'000'000'000 + tv.tv_usec * 1000; };
    return ns(ru.ru_utime) + ns(ru.ru_stime);
}

// End of the time budget of the whole run (set once by main).  Every
// deadline is cut to it, so the run ends on time whatever hangs.
inline int64_t bench_stop_ns = INT64_MAX;

inline int64_t bench_deadline(int64_t span_ns)
{
    int64_t now = bench_now_ns();
    return span_ns > bench_stop_ns - now ? bench_stop_ns : now + span_ns;
}

inline double bench_ns_to_ms(int64_t ns)
{
    return double(ns) / 1e6;
}
inline double bench_ns_to_s(int64_t ns)
{
    return double(ns) / 1e9;
}

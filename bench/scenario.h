// scenario: the measured runs.  Each one drives a logged-in population of
// clients (a load) against one running server (a target) and fills one
// row of the result table.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "load.h"
#include "target.h"

enum class row_kind { fanout, chatter, storm, memory, burst, flood, reclaim };

struct row {
    std::string server;
    row_kind kind = row_kind::fanout;
    int wanted = 0;         // clients asked for
    int clients = 0;        // clients logged in when it started (storm: at the end)
    int lines = 0;          // lines sent (storm: connection attempts)
    uint64_t expected = 0;  // copies that should arrive (storm: logins)
    uint64_t delivered = 0; // intact copies (storm: clients logged in)
    uint64_t lost = 0;      // storm: refused + timed out
    uint64_t cut = 0;
    int64_t elapsed_ns = 0;
    std::vector<int64_t> latency_ns;      // send() to arrival (storm: connect() to logged in)
    std::vector<int64_t> read_latency_ns; // send() to the generator's recv()
    cpu_sample cpu;                       // server CPU used during the run
    int64_t gen_cpu_ns = -1;              // generator CPU used during the run
    long rss_kib = -1;                    // server VmRSS at the end
    std::string note;
    // Fan-out and chatter: server CPU per copy (schedstat, us) of each turn.
    std::vector<double> turn_us;

    // Burst (latency_ns: connect() to the first byte from the server).
    int greeted = 0;        // got the server's first bytes and stayed connected
    int stuck = 0;          // connected, but no byte from the server within the bound
    int unconnected = 0;    // connect() not completed within the bound
    int refused = 0;        // connect() failed, or the server closed the connection
    int64_t overflows = -1; // the kernel's ListenOverflows count during the run
    int64_t connect_span_ns = 0; // from the first connect() call to the last
    // quiet_latency_ns: the chatters' lines before the burst;
    std::vector<int64_t> chat_latency_ns; // ... and during it

    // Flood (elapsed_ns, cpu and latency_ns: the flood phase; lines, copies,
    // lost and cut: the chatters' lines over both phases).
    int64_t quiet_ns = 0;                  // the phase before the flood
    cpu_sample quiet_cpu;                  // server CPU in it
    std::vector<int64_t> quiet_latency_ns; // chatter latency in it
    uint64_t flood_sent = 0;               // flooder lines the kernel took
    uint64_t flood_seen = 0;               // flooder copies at the witness during the flood
    bool flooder_dropped = false;
    std::vector<int> reader_rates;   // slow readers, bytes per second
    std::vector<bool> reader_gone;   // ... closed by the server

    // Memory return (rss_kib: after the quiet clients have gone).
    long rss_before_kib = -1;
    long rss_peak_kib = -1;
    int quiet_dropped = -1; // quiet clients the server closed itself
};

struct fanout_opts {
    int lines = 200;
    int rounds = 8; // the lines go out in this many turns, see fanout_run
    int64_t line_timeout_ns = bench_default_line_timeout_ns;
};

struct chatter_opts {
    int senders = 32;
    int lines = 200;
    int rounds = 8; // as for the fan-out
};

// One sender; each line goes out when the previous one reached every
// other client (or its time ran out).  The run can be done in pieces, so
// that the servers take turns and a change in the machine's other load
// touches all of them alike; the row adds the pieces up.
struct fanout_run {
    row r;
    tally tl;
    int sender = -1;
    int receivers = 0;
    int dropped_before = 0;
    int next_seq = 0;
    int late_lines = 0;
    bool over = false; // no more lines: sender or server gone, or time is up
};

void scenario_begin(fanout_run& f, load& l, target& t, const fanout_opts& o);
// Sends the next `count` lines.
void scenario_lines(fanout_run& f, load& l, target& t, const fanout_opts& o, int count);
row scenario_end(fanout_run& f, load& l, target& t);

// Several senders at once.  A sender sends its next line when its previous
// one reached the witness, the last client, which sends nothing itself.
// In pieces like the fan-out.
struct chatter_run {
    row r;
    tally tl;
    std::vector<int> senders;     // client indices; slot s is senders[s]
    std::vector<int> sent;        // lines sent per slot
    std::vector<int64_t> sent_ns; // when the last one went
    int witness = -1;
    int total_sent = 0;
    int late_lines = 0; // sent on although the witness had not seen the previous one
    int dropped_before = 0;
    bool sender_lost = false;
    bool timed_out = false;
};

void scenario_begin(chatter_run& c, load& l, target& t, const chatter_opts& o);
// Each sender sends up to `count` more lines, and their copies arrive.
void scenario_lines(chatter_run& c, load& l, target& t, const chatter_opts& o, int count);
row scenario_end(chatter_run& c, load& l, target& t);

// Logs `count` clients in from nothing, `window` at a time; the first
// `relaxed` of them ask ngircd for relaxed flood protection.
row scenario_storm(load& l, target& t, int count, int window, int relaxed);

// The server's memory with the population logged in and idle.
row scenario_memory(load& l, target& t);

// bench_burst_chatters clients log in and chat; then `count` clients call
// connect() at once and wait for the server's first bytes (ngircd's first
// reply to the registration each sends at once), and none of them logs in.
// The load must be fresh and hold count + bench_burst_chatters.
row scenario_burst(load& l, target& t, int count, int window);

// Clients of the flood run: the flooder, the chatters, a witness that reads
// everything and sends nothing, and the slow readers.
inline constexpr int flood_population = 2 + bench_flood_chatters + int(std::size(bench_slow_reader_rates));

// Logs flood_population clients in (the load must be fresh), then runs a
// quiet phase of seconds/2 (at least 1) with the chatters alone and a
// flood phase of `seconds` with the flooder as well.
row scenario_flood(load& l, target& t, int seconds, int window);

// Logs in a sender, a witness and `quiet` clients that stop reading (the
// load must be fresh and hold quiet + 2), sends bench_reclaim_lines lines,
// lets the quiet clients go and reads the server's memory
// bench_reclaim_after_ns later.
row scenario_reclaim(load& l, target& t, int quiet, int window, int relaxed);

// Fills the note with what went wrong on the server side, if anything.
void scenario_check_server(row& r, load& l, target& t, int dropped_before);

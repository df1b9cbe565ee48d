// scenario: the measured runs.  Each one drives a logged-in population of
// clients (a load) against one running server (a target) and fills one
// row of the result table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "load.h"
#include "target.h"

enum class row_kind { fanout, chatter, storm, memory };

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
};

struct fanout_opts {
    int lines = 200;
    int rounds = 4; // the lines go out in this many turns, see fanout_run
    int64_t line_timeout_ns = bench_default_line_timeout_ns;
};

struct chatter_opts {
    int senders = 32;
    int lines = 50;
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

void scenario_fanout_begin(fanout_run& f, load& l, target& t, const fanout_opts& o);
// Sends the next `count` lines.
void scenario_fanout_lines(fanout_run& f, load& l, target& t, const fanout_opts& o, int count);
row scenario_fanout_end(fanout_run& f, load& l, target& t);

// Several senders at once.  A sender sends its next line when its previous
// one reached the witness, the last client, which sends nothing itself.
row scenario_chatter(load& l, target& t, const chatter_opts& o);

// Logs `count` clients in from nothing, `window` at a time; the first
// `relaxed` of them ask ngircd for relaxed flood protection.
row scenario_storm(load& l, target& t, int count, int window, int relaxed);

// The server's memory with the population logged in and idle.
row scenario_memory(load& l, target& t);

// Fills the note with what went wrong on the server side, if anything.
void scenario_check_server(row& r, load& l, target& t, int dropped_before);

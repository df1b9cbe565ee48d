// load: the simulated users.  Non-blocking client sockets on one epoll set,
// the login dialogue of each server, line splitting, and the bookkeeping of
// every benchmark line that arrives.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bench.h"
#include "payload.h"

enum class client_phase : uint8_t { idle, connecting, login, ready, gone };

struct client {
    int fd = -1;
    int index = 0;
    client_phase phase = client_phase::idle;
    uint8_t step = 0;        // position in the login dialogue
    bool relaxed = false;    // ngircd: oper up and ask for +F (senders)
    bool relaxed_ok = false; // ngircd confirmed +F
    bool watch_out = false;  // EPOLLOUT is in the interest set
    bool sink = false;       // input is counted and dropped, not parsed
    bool paused = false;     // not in the epoll set for input: read by load_read_some only
    int rcvbuf = 0;          // SO_RCVBUF set before connect(), 0 for the default
    std::string carry;       // input after the last '\n'
    std::string out;         // output the kernel has not taken yet
    int64_t connect_ns = 0;
    int64_t connected_ns = 0; // connect() completed
    int64_t greeted_ns = 0;   // first byte from the server arrived (kernel time when known)
    int64_t ready_ns = 0;
    std::vector<uint32_t> next_seq; // per sender slot: next line expected
};

// Delivery accounting of the scenario that runs now.  Only lines of the
// scenario's senders count; anything else is a stray.
struct tally {
    std::vector<int> slot_of; // client index -> sender slot, or -1
    int slots = 0;
    int lines = 0;                  // lines each sender may send
    std::vector<uint32_t> arrivals; // [slot * lines + seq]: intact copies
    uint64_t intact = 0;
    uint64_t cut = 0;                     // arrived with bytes missing or extra
    uint64_t dups = 0;                    // repeated or out of order
    uint64_t strays = 0;                  // not from a sender of this scenario
    uint64_t unstamped = 0;               // intact, but without a kernel time stamp
    std::vector<int64_t> latency_ns;      // send() to arrival in the socket
    std::vector<int64_t> read_latency_ns; // send() to recv() by the generator
    // Lines sent from split_ns on have their latency in latency_after_ns.
    int64_t split_ns = INT64_MAX;
    std::vector<int64_t> latency_after_ns;
    // Intact copies of an untracked sender's lines arriving at one client
    // (the flooder's at the witness); other copies of that sender are ignored.
    int watch_sender = -1;
    int watch_client = -1;
    uint64_t watched = 0;
};

// When a chunk of input got to a client: the kernel's receive time stamp
// of its last byte (or -1) and the time the generator read it, both on the
// monotonic clock.
struct arrival {
    int64_t kernel_ns = -1;
    int64_t read_ns = 0;
};

// Connection events since the load was made.
struct load_counts {
    int ready = 0;
    int refused = 0;   // connect failed, or closed or refused before login
    int timed_out = 0; // not logged in within bench_login_timeout_ns
    int dropped = 0;   // closed by the server after login
    std::string last_refusal;
};

struct load {
    server_kind kind = server_kind::nchatd;
    uint16_t port = 0;
    int ep = -1;
    std::vector<client> clients;
    std::vector<int> pending; // clients between connect and login
    tally* current = nullptr;
    load_counts counts;
    int64_t last_rx_ns = 0;
    uint64_t rx_bytes = 0;
    int64_t realtime_offset_ns = 0; // CLOCK_REALTIME - CLOCK_MONOTONIC
    std::vector<char> rxbuf;
    std::vector<epoll_event> events;
};

struct login_result {
    int wanted = 0;
    int ready = 0;
    int refused = 0;
    int timed_out = 0;
    int64_t elapsed_ns = 0;
    std::vector<int64_t> latency_ns; // connect() to logged in
    std::string last_refusal;
};

[[nodiscard]] int load_open(load& l, server_kind kind, uint16_t port, int clients);
void load_close(load& l);

// Logs clients [0, count) in, at most `window` of them between connect()
// and logged in at any time.  The first `relaxed` clients also ask ngircd
// for relaxed flood protection.
login_result load_login(load& l, int count, int window, int relaxed);

// Calls connect() for clients [first, first + count) one after the other,
// without waiting for any of them; load_turn then serves them.
void load_connect_all(load& l, int first, int count);

// Stops reading client `index` from the epoll loop; load_read_some reads it.
void load_pause(load& l, int index);
// Reads and drops at most max_bytes that client `index` has waiting.
// Returns the bytes read, or -1 when the server has closed the connection.
long load_read_some(load& l, int index, long max_bytes);
// Closes client `index` with a reset, so that the server notices at once
// even when it does not read; not counted as a drop.
void load_hang_up(load& l, int index);

// One epoll wait of at most timeout_ms, then every ready socket is served.
int load_turn(load& l, int timeout_ms);

// Serves sockets until nothing arrived for bench_quiet_ns (or the bound).
// Returns false when the traffic did not stop.
bool load_settle(load& l, int64_t max_ns);

// Sends one benchmark line from client `index`, framed for the server.
[[nodiscard]] bool load_say(load& l, int index, uint32_t seq);
// Queues `count` lines with sequence numbers from `seq` in one piece.
[[nodiscard]] bool load_say_many(load& l, int index, uint32_t seq, int count);
// nchatd: client `index` ignores the clients `others`.
[[nodiscard]] bool load_ignore(load& l, int index, const std::vector<int>& others);
// Bytes of one benchmark line as load_say frames it for the server.
size_t load_line_size(const load& l);
// Output client `index` has queued that the kernel has not taken yet.
size_t load_unsent(const load& l, int index);

// Sets up l.current for senders `senders` (client indices) sending `lines`
// lines each, and clears every client's sequence bookkeeping.
void load_track(load& l, tally& t, const std::vector<int>& senders, int lines);

int load_ready_count(const load& l);

// nchatd: the records every unit shares, the program-wide limits and the
// server's own operations (start-up, event loop, receive path, delivery).
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------------------
// Limits.  Every number the server enforces, with the reason for its value.
// ---------------------------------------------------------------------------

// Slot table: one slot per simultaneous connection.
inline constexpr long nchatd_min_users = 1;
inline constexpr long nchatd_max_users = 2048;  // poll() over more gets slow
inline constexpr long nchatd_default_users = 64;
inline constexpr long nchatd_default_port = 2987;
inline constexpr long nchatd_max_port = 65535;
// Connections the kernel completes while the loop is busy.  The loop takes
// one per turn; the queue carries a burst of connects meanwhile.  The
// kernel caps it at net.core.somaxconn.
inline constexpr int nchatd_listen_backlog = 511;
// Bounds the delay of the day-change notice; an idle server wakes once a second.
inline constexpr int nchatd_poll_timeout_ms = 1000;
// One receive per readable slot per turn, so one client cannot hog a turn.
inline constexpr size_t nchatd_recv_size = 128;
// An input line keeps room for its terminating NUL in a 512-byte array.
inline constexpr size_t nchatd_line_max = 511;
inline constexpr size_t nchatd_name_max = 20;
inline constexpr size_t nchatd_status_max = 39;
// Message buffer: 12 bytes of headroom for a time stamp, then 586 bytes of
// text, enough for the writer's copy of the longest chat line (544 bytes
// and a NUL) and for the echo of a whole receive (3 bytes per byte).
inline constexpr size_t nchatd_msgbuf_size = 598;
inline constexpr size_t nchatd_headroom = 12;
inline constexpr size_t nchatd_msgtext_size = nchatd_msgbuf_size - nchatd_headroom;
// Output queued for one connection and not yet taken by the kernel.  Must
// hold the largest burst the server itself sends to one client: "/list"
// with 2048 names is 2048 lines of at most 32 bytes, just over 64 KiB.
inline constexpr size_t nchatd_outq_max = 128 * 1024;
// Kernel send buffer of a client socket (Linux doubles it).  Fixed rather
// than autotuned, so that a client that stops reading is noticed after
// some hundred kilobytes, not after megabytes of kernel memory.
inline constexpr int nchatd_sndbuf_size = 32 * 1024;
// First allocation of an output queue; it doubles as needed up to the bound.
// Small, because 2048 idle clients each keep theirs.
inline constexpr size_t nchatd_outq_initial = 512;
// Descriptors besides the clients: stdio, the listening socket, the spare
// descriptor kept for EMFILE, and a few for whatever the C library opens.
inline constexpr long nchatd_fd_reserve = 16;

// A connection still at the name prompt after this many seconds is closed,
// so that silent connections cannot hold every slot.  0 turns it off.
inline constexpr long nchatd_default_login_grace = 60;
inline constexpr long nchatd_max_login_grace = 86400;
// Connections from one address that may wait at the name prompt at once;
// logged-in users do not count, so a crowd behind one NAT address can chat.
inline constexpr long nchatd_default_unnamed_per_addr = 10;
// Flood budget in the manner of an IRC message timer: every line, or every
// 512 bytes of input if that is more, costs 1/rate seconds; reading stops
// while a connection owes more than `burst` lines, and TCP holds the rest.
// A paste of 20 lines goes through at once, a few lines a second forever.
inline constexpr long nchatd_default_line_rate = 5;
inline constexpr long nchatd_max_line_rate = 1000;
inline constexpr long nchatd_flood_burst_lines = 25;
inline constexpr size_t nchatd_flood_line_bytes = nchatd_line_max + 1;
// Log lines waiting for a standard output that does not take them; beyond
// it they are counted and reported once the log moves again.
inline constexpr size_t nchatd_log_buffer = 16 * 1024;

static_assert(3 * nchatd_recv_size <= nchatd_msgtext_size, "echo of one receive must fit");

// ---------------------------------------------------------------------------
// Program-wide constants.
// ---------------------------------------------------------------------------

inline constexpr const char* nchatd_version = "0.3.5";
inline constexpr const char* nchatd_client_prompt = "> ";
inline constexpr size_t nchatd_client_prompt_len = 2;
inline constexpr const char* nchatd_some_backs = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b"
                                                 "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
inline constexpr size_t nchatd_num_backs = 63;
inline constexpr const char* nchatd_some_spaces = "                                                               ";
inline constexpr size_t nchatd_num_spaces = 63;
inline constexpr size_t nchatd_cmdname_width = 16;
inline constexpr const char* server_msg_prefix = "* ";

// How a piece of output relates to the next one.  Output to a connection
// that holds a slot is queued; `last` marks the end of a burst (a message,
// a reply, a redraw), the only places where a dropped slow reader may be
// cut off.  On a socket that holds no slot, `more` becomes MSG_MORE.
enum class nchatd_mode { more, last };

// ---------------------------------------------------------------------------
// Records.
// ---------------------------------------------------------------------------

// One slot of the user table.  The table is calloc'ed, so every field's
// zero value is its "never used" state.
struct nchatd_user {
    bool in_use;
    bool waiting;
    bool telnet_sent;
    bool iac_seen;
    bool in_subneg;
    uint8_t skip_count;
    uint8_t bell_mode;
    int sock;
    char name[nchatd_name_max + 1];
    uint64_t line_len;
    char line[nchatd_line_max + 1];
    sockaddr_in peer;
    time_t login_time;
    time_t last_active;
    uint64_t lines_written;
    char* addr_str;  // owned by the slot, freed when the slot is taken again
    uint32_t port;
    char status[nchatd_status_max + 1];
    int64_t admitted_s;     // monotonic seconds, for the login grace
    int64_t flood_until_us; // monotonic time the line budget is spent to
    bool throttled;         // reading stopped until the budget refills
    bool flood_logged;      // the hold-back was logged; again after a rest

    // Output queue: bytes [out_head, out_tail) wait for the kernel.  The
    // buffer survives a close and serves the slot's next occupant.
    char* out_buf;
    uint32_t out_cap;
    uint32_t out_head;
    uint32_t out_tail;
    uint32_t out_burst_end;  // end of the last complete burst
    // The last redraw of prompt and input line, while it is still queued:
    // a client that falls behind gets it replaced by the next delivery
    // instead of collecting one stale redraw per message.
    uint32_t redraw_at;
    uint32_t redraw_end;
    bool out_listed;  // slot index is in the server's pending list
    bool doomed;      // queue overflowed: retire after this event
    bool direct;      // not a slot: a socket refused at admission
};

// The defences, with the defaults an operator can change by option.
struct nchatd_limits {
    long login_grace = nchatd_default_login_grace;
    long unnamed_per_addr = nchatd_default_unnamed_per_addr;
    long line_rate = nchatd_default_line_rate;
};

// Standard output in the foreground: written without ever blocking, lines
// that find no room counted as lost.
struct nchatd_log {
    int fd;
    bool is_socket;
    size_t used;  // bytes in `buf` not yet written
    unsigned long lost;
    char buf[nchatd_log_buffer];
};

struct nchatd_server {
    time_t start_time;
    char* msg_buf;
    char* msg_text;  // msg_buf + nchatd_headroom
    nchatd_user* users;
    int64_t max_users;
    pollfd* user_polls;  // poll table from its second entry: slot i is [i]
    struct tm last_tm;
    int listen_sock;
    int daemonized;

    pollfd* polls;  // the whole poll table: listening socket, slots, log
    int* pending;   // slots with queued output, n_pending of them
    int n_pending;
    int n_doomed;  // slots marked for retirement
    int spare_fd;  // given up for a moment when accept() hits EMFILE

    nchatd_limits limits;
    int64_t last_sweep_s;  // monotonic second of the last once-a-second sweep
    int* throttled;        // slots whose reading waits for their line budget
    int n_throttled;
    nchatd_log* log;
};

// ---------------------------------------------------------------------------
// Operations of the nchatd unit.
// ---------------------------------------------------------------------------

// Entry point of the program; returns only to exit.
int nchatd_main(int argc, char** argv);

// Allocates the tables and the message buffer of a server with `max_users`
// slots and no listening socket yet.  Returns -1 with errno on failure.
[[nodiscard]] int nchatd_server_init(nchatd_server& s, int64_t max_users, bool daemonized);
// Closes every connection and frees what nchatd_server_init and the slots
// allocated.  The daemon never needs it; tests and the fuzzer do.
void nchatd_server_free(nchatd_server& s);

// One turn of the event loop: poll, day change, admission, input, output.
// Returns -1 only when poll fails for a reason other than EINTR.
[[nodiscard]] int nchatd_loop_turn(nchatd_server& s, int timeout_ms);

// Writes one formatted log line to standard output in the foreground,
// never waiting for it; see nchatd_log.
void nchatd_log_line(nchatd_server& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Makes standard output a log that cannot block the loop.
void nchatd_log_open(nchatd_server& s, int fd);
// Writes what the log holds, if standard output takes it now.
void nchatd_log_flush(nchatd_server& s);

// Admits an accepted socket into the lowest free slot or refuses it.
void nchatd_admit(nchatd_server& s, int sock, const sockaddr_in& addr);

// Looks a slot up by exact name; connections not logged in have "".
nchatd_user* nchatd_find_user(nchatd_server& s, const char* name);
// Sends what is queued, then closes the socket and frees the slot.
void nchatd_close_user(nchatd_server& s, nchatd_user& u);
// The one way a connection ends on its own: logoff notice for a logged-in
// user, log line, slot released.  `why` is null for a peer that closed.
void nchatd_end_user(nchatd_server& s, nchatd_user& u, const char* why);
void nchatd_show_disconnect(nchatd_server& s, nchatd_user& u);
// Retires the slots whose output queue overflowed during the last event.
void nchatd_reap_doomed(nchatd_server& s);
// Hands every pending output queue to the kernel, as much as it takes.
void nchatd_flush_all(nchatd_server& s);

// Returns the number of lines the input completed.
size_t nchatd_process_input(nchatd_server& s, nchatd_user& u, const unsigned char* bytes, size_t count);
[[nodiscard]] bool nchatd_process_line(nchatd_server& s, nchatd_user& u);
bool nchatd_is_valid_username(const char* text);

void nchatd_send_time_to_user(nchatd_server& s, nchatd_user& u);
void nchatd_broadcast(nchatd_server& s, nchatd_user* from, char* text, size_t len, bool with_time);
void nchatd_send_privmsg(nchatd_server& s, nchatd_user& to, nchatd_user& from, const char* msg);

// Formats at msg_text; returns the length, cut to what the buffer holds.
size_t nchatd_format(nchatd_server& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes the local "HH:MM " into the bytes just before `text`; returns its
// length, 0 when the local time is unknown.
size_t nchatd_put_stamp(char* text);

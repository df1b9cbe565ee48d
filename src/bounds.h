// Every number the server enforces, with the reason for its value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nchatd {

// Slot table: one slot per simultaneous connection.
inline constexpr long min_users = 1;
inline constexpr long max_users = 2048;  // poll() over more gets slow
inline constexpr long default_users = 64;
inline constexpr long default_port = 2987;
inline constexpr long max_port = 65535;
// Connections the kernel completes while the loop is busy: as many as the
// kernel allows (net.core.somaxconn), so that a burst of connects waits in
// the queue rather than having its SYNs dropped and retried a second
// later.  This many when that cannot be read.
inline constexpr int listen_backlog_fallback = 4096;
// Connections accepted per listener and loop turn: a burst gets in within
// a few turns, and the readers still get their turn between every few dozen.
inline constexpr int accepts_per_turn = 32;
// Bounds the delay of the day-change notice and of the once-a-second
// sweep; an idle server wakes once a second.
inline constexpr int poll_timeout_ms = 1000;
// One receive per readable slot per turn, so one client cannot hog a turn.
inline constexpr size_t recv_size = 128;
// An input line holds at most this many bytes.
inline constexpr size_t line_max = 511;
inline constexpr size_t name_max = 20;
inline constexpr size_t status_max = 39;
// An away text is as long as a status.
inline constexpr size_t away_max = status_max;
// Users one connection may ignore; each entry is two bytes in every slot.
inline constexpr size_t ignore_max = 32;
// Recent lines kept for those who log in later (-H); 0 keeps none.  Each
// takes a fixed entry of the longest line said, "<name> line\r\n", so the
// ring costs at most 200 * 548 bytes, allocated once at start-up.
inline constexpr long default_recent = 0;
inline constexpr long max_recent = 200;
inline constexpr size_t said_max = 1 + name_max + 2 + line_max + 2;
// Room for any one composed message: the writer's copy of the longest chat
// line is 544 bytes.
inline constexpr size_t message_max = 600;
// Output queued for one connection and not yet taken by the kernel.  Must
// hold the largest burst the server itself sends to one client: "/list"
// with 2048 names is 2048 lines of at most 39 bytes, under 80 KiB; 200
// recent lines at a login are at most 200 * 542 bytes, under 106 KiB.
inline constexpr size_t outq_max = 128 * 1024;
// First allocation of an output queue; it doubles as needed up to the
// bound, and a drained queue gives its buffer back within a second, so
// that idle clients hold none.
inline constexpr size_t outq_initial = 512;
// Kernel send buffer of a client socket (Linux doubles it).  Fixed rather
// than autotuned, so that a client that stops reading is noticed after
// some hundred kilobytes, not after megabytes of kernel memory.
inline constexpr int sndbuf_size = 32 * 1024;
// Descriptors besides the clients: stdio, the listening sockets, the spare
// descriptor kept for EMFILE, the signal descriptor, and a few for whatever
// the C library opens.
inline constexpr long fd_reserve = 16;

// On SIGTERM or SIGINT every client gets a last notice; output still
// queued after this long stays unsent, so a client that does not read
// cannot hold up a stop (systemd waits 90 s before it kills).
inline constexpr int shutdown_flush_ms = 2000;

// Keep-alive: a peer that vanished silently is noticed after about
// 60 + 5 * 10 = 110 seconds.
inline constexpr int keepidle_s = 60;
inline constexpr int keepintvl_s = 10;
inline constexpr int keepcnt = 5;

// A connection still at the name prompt after this many seconds is closed,
// so that silent connections cannot hold every slot.  0 turns it off.
inline constexpr long default_login_grace = 60;
inline constexpr long max_login_grace = 86400;
// Connections from one address that may wait at the name prompt at once;
// logged-in users do not count, so a crowd behind one NAT address can chat.
inline constexpr long default_unnamed_per_addr = 10;
// Flood budget in the manner of an IRC message timer: every line, or every
// 512 bytes of input if that is more, costs 1/rate seconds; reading stops
// while a connection owes more than the burst, and TCP holds the rest.  A
// paste of 20 lines goes through at once, a few lines a second forever.
inline constexpr long default_line_rate = 5;
inline constexpr long max_line_rate = 1000;
inline constexpr long flood_burst_lines = 25;
inline constexpr size_t flood_line_bytes = line_max + 1;
// Sources: an IPv4 address, or an IPv6 /64, which one host or one LAN
// usually holds whole; every limit "per address" counts per source.  What
// a source has used outlives its connections in a table of this many
// entries per slot, so that reconnecting buys nothing; an entry with no
// connection is reused first once its budgets have refilled.
inline constexpr size_t sources_per_slot = 4;
inline constexpr size_t sources_extra = 64;
// Connects a source may make at once, then one a second, in the manner of
// an IRC server's connect throttle; past it the source is turned away
// before the welcome.  Logged-in users are never touched by it.
inline constexpr long default_connect_burst = 10;
inline constexpr long max_connect_burst = 1000;
inline constexpr int64_t connect_interval_us = 1000000;
// A source refused for connecting too fast is answered only after this
// long (the same text, later): a script that waits for its refusal then
// makes a connect or so a second instead of thousands, each costing the
// kernel as much as a login's first packets.  In ms; 0 answers at once.
inline constexpr long default_refusal_hold_ms = 1000;
inline constexpr long max_refusal_hold_ms = 60000;
// Refusals held at once, each a descriptor on top of the table's; when
// they are all taken a refusal is answered at once.  Few, so that held
// sockets never crowd out a client: the open-files limit is raised for
// them, and fewer are held when it cannot be.
inline constexpr long refusals_held_max = 64;
// Connections a source may hold, logged in or not: a quarter of the table
// unless set, so one address cannot fill it.  A crowd behind one NAT
// address raises it (-m).
inline constexpr long per_source_share = 4;
// Lines a second shared by all connections of a source, on top of each
// connection's own budget, so that many connections, or one reconnecting
// in a loop, get no more than one source's share.  20 a second is a class
// of 30 behind one NAT address talking briskly; the burst lets a paste in.
inline constexpr long default_source_line_rate = 20;
inline constexpr long source_burst_lines = 50;
// When every slot is taken, the connection that has waited longest at the
// name prompt, at least this long, gives way to a newcomer; a person who
// is typing a name is never pushed out.  0 turns it off.
inline constexpr long default_evict_after = 5;
// Past this much output queued for a reader, chat lines, actions and
// notices to it are skipped and counted until the queue has drained; the
// reader is then told how many.  Others' traffic thus never drops a reader
// that reads.  In KiB; 0 turns skipping off.
inline constexpr long default_soft_mark_kib = 32;
inline constexpr long max_soft_mark_kib = 48;
// The longest burst one command can bring: "/list" with every slot taken
// by a name of name_max, each line behind a time stamp, "* end.", the
// prompt, and the echo of one receive.
inline constexpr size_t reply_max = max_users * (6 + 2 + 2 + name_max + 2) + 1024;
// While more than this is queued for a user, its input is not read (TCP
// holds it, as for the line budget), so that the reply to its next
// command always fits under the bound: a paste of "/list" costs time, not
// the connection.  About half the bound.
inline constexpr size_t outq_hold_input = outq_max - reply_max;
static_assert(outq_hold_input > outq_max / 2 - 2048 && outq_hold_input > size_t{max_soft_mark_kib} * 1024);
// A reader whose queue the kernel takes nothing of for this long is
// dropped: its output is stuck, not slow.  0 waits for ever.
inline constexpr long default_stall_timeout = 60;
inline constexpr long max_stall_timeout = 86400;
// Output queued in one loop turn for all readers together before the loop
// hands it to the kernel mid-turn: a cascade of notices (2000 users
// leaving at once) then never piles up more than this in user space.
inline constexpr size_t flush_batch_bytes = 4 * 1024 * 1024;
// Log lines waiting for a standard output that does not take them; beyond
// it they are counted and reported once the log moves again.
inline constexpr size_t log_buffer = 16 * 1024;

// The control socket, for the operator alone.  Its clients never take a
// slot; these bounds keep a stuck or hostile one from costing the chat
// anything.  At most this many at once (nchatctl holds one for a moment;
// a few allow a script and a person side by side); more are refused.
inline constexpr size_t control_clients_max = 4;
// A request is one command with its arguments: a ban reason or a notice is
// a line, so a few kilobytes hold any real one.  Longer is refused.
inline constexpr size_t control_request_max = 4096;
// One receive per control client per turn, as for the chat's clients.
inline constexpr size_t control_recv_size = 1024;
// The largest reply: `users` of a full table is 2048 lines of at most
// about 120 bytes.  A larger reply is refused rather than queued.
inline constexpr size_t control_reply_max = 512 * 1024;
// A control client has this long from connecting to taking its whole
// reply; one that sends nothing, or reads nothing, is dropped after it.
inline constexpr long control_timeout_s = 5;
// Connections the kernel completes on the control socket while the loop
// is busy; more than the clients served at once, fewer than the chat's.
inline constexpr int control_backlog = 16;
// nchatctl waits this long for its reply: longer than the server keeps a
// client, so that a timeout is the server's to report.
inline constexpr int ctl_wait_ms = 10000;

// Moderation.  Bans are checked at every connect, so their list is short
// by design; a range covers what would otherwise take many entries.
inline constexpr size_t bans_max = 256;
// A reason or notice from an operator, so that every text built around it
// ("* user NAME was removed by an operator (REASON)") fits one message.
inline constexpr size_t reason_max = 200;
// The longest ban or mute; longer reads as a typo, and 0 means until the
// server stops.
inline constexpr int64_t duration_max_s = 366 * 86400;
// A ban or mute given without a duration.
inline constexpr int64_t default_duration_s = 3600;

// The defences, with the defaults an operator can change by option.
struct Limits {
    long login_grace = default_login_grace;
    long unnamed_per_addr = default_unnamed_per_addr;
    long line_rate = default_line_rate;
    long connect_burst = default_connect_burst;
    long per_source = -1;  // -1: a quarter of the slots
    long source_line_rate = default_source_line_rate;
    long evict_after = default_evict_after;
    long soft_mark_kib = default_soft_mark_kib;
    long stall_timeout = default_stall_timeout;
    long refusal_hold_ms = default_refusal_hold_ms;
};

}  // namespace nchatd

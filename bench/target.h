// target: the server under test as a child process.  Starting it on a free
// loopback port, waiting until it accepts, reading its CPU time and memory
// from /proc, and stopping it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench.h"

struct target {
    server_kind kind = server_kind::nchatd;
    server_mode mode = server_mode::relay;
    std::string exe;      // binary to run
    std::string dir;      // private directory: configuration and log
    std::string log_path; // the server's stdout and stderr
    pid_t pid = -1;
    uint16_t port = 0;
    int wait_status = 0; // valid once the process has ended
    bool ended = false;
    std::string error; // why target_start failed
};

// CPU time of the server process.  ticks is utime + stime from
// /proc/PID/stat (1/CLK_TCK s each); run_ns is the scheduler's own count from
// /proc/PID/schedstat, the same quantity in nanoseconds.
struct cpu_sample {
    int64_t ticks = -1;
    int64_t run_ns = -1;
};

const char* target_name(server_kind kind);

// Starts the server with room for `capacity` clients; returns 0 when it
// accepts connections, -1 (and t.error) otherwise.
[[nodiscard]] int target_start(target& t, int capacity);

// Reaps the process if it has ended; false then.
bool target_alive(target& t);

// SIGTERM, then SIGKILL if it does not go; reaps it.
void target_stop(target& t);

cpu_sample target_cpu(const target& t);
int64_t target_ticks_per_s();
// VmRSS in KiB, or -1.
long target_rss_kib(const target& t);
// Connections the server holds open on its port (ESTABLISHED or
// CLOSE_WAIT on the server's side in /proc/net/tcp), or -1.
int target_open_conns(const target& t);
// The kernel's count of connections refused for a full accept queue
// (TcpExt ListenOverflows, the whole network namespace), or -1.
int64_t target_listen_overflows();
// The last lines of the server's own output, for error reports.
std::string target_log_tail(const target& t, int lines);
// "exited with status 1", "killed by signal 6"...
std::string target_end_text(const target& t);

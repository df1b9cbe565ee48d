// Integration-test helpers: start the real nchatd binary on a free loopback
// port, talk to it over TCP, and read until an expected text arrives.  Every
// wait is bounded; nothing here can hang a test.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

// Paths of the nchatd and nchatctl binaries under test.
std::string binary();
std::string ctl_binary();

// A loopback TCP port that nothing listens on right now, below the range
// the kernel hands to outgoing connections.
int free_port();

// A TCP connection to 127.0.0.1:`port`, or -1.  A `rcvbuf` above 0
// shrinks the receive buffer first, to make a slow reader; `from` binds
// another loopback address (such as "127.0.0.2") as the source.
int connect_loopback(int port, int rcvbuf = 0, const char* from = nullptr);
// A TCP connection to the numeric IPv4 or IPv6 `address`, or -1.
int connect_to(const char* address, int port);
// The numeric IPv4 or IPv6 `address` with `port`; its family is 0 when the
// text is neither.  `len` gets the size that goes with the family.
sockaddr_storage numeric_address(const char* address, int port = 0, socklen_t* len = nullptr);

// A socket listening on a free 127.0.0.1 port, which goes to `port`; -1
// when none could be made.  `type_flags` are added to SOCK_STREAM.
int listen_loopback(int& port, int type_flags = 0);
// A loopback TCP connection within this process, for a server driven in
// it: `client` gets the client's end; returns the accepted end, whose peer
// address goes to `peer`, or -1.
int loopback_connection(int& client, sockaddr_storage& peer);
// What socket `fd` receives until `size` bytes have come, the other end
// has closed, or nothing more came for `timeout_ms`.
std::string receive(int fd, size_t size = SIZE_MAX, int timeout_ms = 2000);
// The integer value of a socket option, or -1.
int int_option(int fd, int level, int name);
// The kernel's TCP sockets on the local `port`, from /proc/net/tcp and
// tcp6: each one's state (0x0A is listening) and inode.
struct tcp_socket {
    unsigned state = 0;
    unsigned long inode = 0;
};
std::vector<tcp_socket> tcp_sockets(int port);

// Runs nchatd with `args` to completion (bounded by `timeout_ms`) and
// collects its standard output, standard error and exit status.
struct run_result {
    int status = -1;  // exit status, or -1 when it did not exit by itself
    std::string out;
    std::string err;
};
run_result run(const std::vector<std::string>& args, int timeout_ms = 5000);
// The same for any program: `words` is its whole command line.
run_result run_program(const std::vector<std::string>& words, int timeout_ms = 5000);
// Starts `words` with standard input from /dev/null, standard output into
// `out` and standard error into `err` (unless it is -1), and no other
// descriptor of this process; returns its process id.
pid_t spawn(std::vector<std::string> words, int out, int err = -1);

// A whole file, such as one under /proc; empty when it cannot be read.
std::string read_file(const std::string& path);
// The resident memory of process `pid` in KiB (-1 when unknown), and the
// user plus system CPU time it has used, in clock ticks.
long rss_kib(pid_t pid);
long cpu_ticks(pid_t pid);
// Raises this process's soft limit of open files to `wanted`, or as far as
// the hard limit allows; returns the soft limit then, or -1.
long raise_open_files(long wanted);
// Milliseconds since `t`.
long ms_since(std::chrono::steady_clock::time_point t);

// How often `what` stands in `text`, counted without overlaps.
size_t occurrences(std::string_view text, std::string_view what);
// `count` lines "WORD N\r\n", numbered from `first`: a paste or a flood.
std::string numbered_lines(std::string_view word, int count, int first = 0);

// `extra` with the limits per source lifted (connects, connections, the
// shared line budget): for tests that open many connections from 127.0.0.1
// and are about something else.
inline std::vector<std::string> one_host(std::vector<std::string> extra = {})
{
    extra.insert(extra.end(), {"-k", "0", "-m", "0", "-R", "0"});
    return extra;
}

// A server running in the foreground, its standard output and error in
// files so that a test that stops reading them can never block the server.
// What it wrote to standard error is shown when it is stopped.
class server {
  public:
    server() = default;
    server(const server&) = delete;
    server& operator=(const server&) = delete;
    ~server() { stop(); }

    // Starts `prefix... nchatd -i -p PORT extra...` and waits for the
    // "Init ok" line.  `prefix` runs the server under another program,
    // such as faketime.
    bool start(const std::vector<std::string>& extra = {}, const std::vector<std::string>& prefix = {});
    // Waits until the standard output holds `text` (from the start).
    bool wait_log(std::string_view text, int timeout_ms = 3000);
    // The standard output so far, and the standard error.
    std::string log();
    std::string err();
    bool alive();
    void stop();
    // Sends `sig` and waits up to `timeout_ms` for the server to exit;
    // returns its status as run() does, or -1 when it had to be killed.
    // The log stays readable.
    int finish(int sig, int timeout_ms);

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // Set before start: the standard output is a pipe, as under a service
    // manager, and log() reads what has come through it.
    bool log_through_pipe = false;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_path_;
    std::string err_path_;
    int pipe_ = -1;
    std::string piped_;
};

// One TCP client of the server.
class client {
  public:
    client() = default;
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    client(client&& other) noexcept;
    ~client() { close(); }

    // A `rcvbuf` above 0 shrinks the receive buffer, to make a slow reader.
    bool connect(int port, int rcvbuf = 0, const char* from = nullptr);
    bool connect_to(const char* address, int port);
    bool send(std::string_view bytes);
    // Reads until everything received (not yet taken) contains `text`.
    bool read_until(std::string_view text, int timeout_ms = 3000);
    // Reads whatever arrives within `ms` milliseconds.
    void read_for(int ms);
    // True when the server closes the connection within `timeout_ms`.
    bool wait_closed(int timeout_ms = 3000);
    // Returns and forgets everything received so far.
    std::string take();
    const std::string& received() const { return in_; }
    // Connects (from the address `from`, with `rcvbuf`, as connect does),
    // reads the name prompt, logs in as `name` and reads the first prompt,
    // after the recent lines if there are any; the received bytes are taken.
    bool login(int port, std::string_view name, const char* from = nullptr, int rcvbuf = 0);
    // Closes with a reset instead of an orderly end.
    void reset();
    void close();
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    bool eof_ = false;
    std::string in_;
    bool fill(int timeout_ms);
};

// The greeting and name prompt every new connection gets.
inline const std::string welcome = "Welcome to Nimbra chat v0.3.5!\r\nEnter your name (max 20 chars): ";

// "Connection from 127.0.0.1:PORT" (or "[::1]:PORT"), the start of the
// server's log lines about the client socket `fd`, or client `c`.
std::string log_prefix(int fd);
inline std::string log_prefix(const client& c)
{
    return log_prefix(c.fd());
}
// Reads until `size` bytes have arrived (or time is up); returns and takes
// them with the time stamps masked.  Extra bytes that came along stay in
// the result.
std::string take_masked(client& c, size_t size, int timeout_ms = 3000);

// What a person reads: the wire bytes without redraw controls, backspace
// erase runs, colour codes and bells.  Time stamps are kept.
std::string screen_text(std::string_view wire);
// Replaces every "HH:MM " time stamp with "SS:SS ".
std::string mask_stamps(std::string_view text);

}  // namespace harness

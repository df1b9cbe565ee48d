#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace harness {

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reaps `pid` if it has ended; returns its exit status or -1.
int reap(pid_t pid, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || ms_left(deadline) == 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

pid_t spawn(std::vector<std::string> words, int out, int err)
{
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        if (err >= 0)
            dup2(err, 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        // The server's descriptors must not depend on the test's sockets.
        close_range(3, ~0U, 0);
        std::vector<char*> argv;
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

long rss_kib(pid_t pid)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

// Fields 14 and 15 of /proc/PID/stat, after the name in parentheses.
long cpu_ticks(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    long user = 0, sys = 0;
    if (size_t end = stat.rfind(')'); end != std::string::npos)
        sscanf(stat.c_str() + end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &sys);
    return user + sys;
}

long raise_open_files(long wanted)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(wanted)));
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 ? static_cast<long>(lim.rlim_cur) : -1;
}

long ms_since(clock_type::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count());
}

size_t occurrences(std::string_view text, std::string_view what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

std::string numbered_lines(std::string_view word, int count, int first)
{
    std::string lines;
    for (int i = first; i < first + count; ++i)
        lines += std::string(word) + " " + std::to_string(i) + "\r\n";
    return lines;
}

std::string binary()
{
    if (const char* env = getenv("NCHATD_BINARY"))
        return env;
    return NCHATD_BINARY;
}

namespace {

// Whether `port` on 127.0.0.1 can be bound now.
bool bindable(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

}  // namespace

// A port below the kernel's ephemeral range: a port from inside it can be
// handed to some client's connect (thousands of them, in a busy suite or
// bench) between this call and the server's bind.
int free_port()
{
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    const int first = std::max(1024, low - 16384);
    static std::mt19937 pick(std::random_device{}());
    for (int tries = 0; tries < 64 && low > first; ++tries) {
        const int port = std::uniform_int_distribution<int>(first, low - 1)(pick);
        if (bindable(port))
            return port;
    }
    return 0;
}

int connect_loopback(int port, int rcvbuf, const char* from)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

sockaddr_storage numeric_address(const char* address, int port, socklen_t* len)
{
    sockaddr_storage addr{};
    auto& in = reinterpret_cast<sockaddr_in&>(addr);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
    socklen_t size = 0;
    if (inet_pton(AF_INET, address, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof in;
    } else if (inet_pton(AF_INET6, address, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof in6;
    }
    if (len)
        *len = size;
    return addr;
}

int connect_to(const char* address, int port)
{
    socklen_t len = 0;
    sockaddr_storage addr = numeric_address(address, port, &len);
    if (addr.ss_family == AF_UNSPEC)
        return -1;
    int fd = socket(addr.ss_family, SOCK_STREAM, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listen_loopback(int& port, int type_flags)
{
    int fd = socket(AF_INET, SOCK_STREAM | type_flags, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

int loopback_connection(int& client, sockaddr_storage& peer)
{
    int port = 0;
    int listener = listen_loopback(port);
    client = listener < 0 ? -1 : connect_loopback(port);
    socklen_t len = sizeof peer;
    int accepted = client < 0 ? -1 : accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
    if (listener >= 0)
        ::close(listener);
    return accepted;
}

std::string receive(int fd, size_t size, int timeout_ms)
{
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string got;
    char buf[4096];
    for (ssize_t n = 1; n > 0 && got.size() < size;) {
        n = recv(fd, buf, std::min(sizeof buf, size - got.size()), 0);
        got.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return got;
}

int int_option(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    getsockopt(fd, level, name, &value, &size);
    return value;
}

std::vector<tcp_socket> tcp_sockets(int port)
{
    std::vector<tcp_socket> found;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(read_file(table));
        for (std::string line; std::getline(lines, line);) {
            unsigned local_port = 0;
            tcp_socket t;
            if (sscanf(line.c_str(), "%*d: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x %*s %*s %*s %*s %*s %lu", &local_port,
                       &t.state, &t.inode) == 3 &&
                local_port == static_cast<unsigned>(port))
                found.push_back(t);
        }
    }
    return found;
}

std::string ctl_binary()
{
    return NCHATCTL_BINARY;
}

run_result run(const std::vector<std::string>& args, int timeout_ms)
{
    std::vector<std::string> words{binary()};
    words.insert(words.end(), args.begin(), args.end());
    return run_program(words, timeout_ms);
}

run_result run_program(const std::vector<std::string>& words, int timeout_ms)
{
    char out_tmpl[] = "/tmp/nchatd-out-XXXXXX";
    char err_tmpl[] = "/tmp/nchatd-err-XXXXXX";
    int out = mkstemp(out_tmpl);
    int err = mkstemp(err_tmpl);
    run_result r;
    pid_t pid = spawn(words, out, err);
    r.status = reap(pid, timeout_ms);
    if (r.status < 0) {
        kill(pid, SIGKILL);
        reap(pid, 1000);
    }
    ::close(out);
    ::close(err);
    r.out = read_file(out_tmpl);
    r.err = read_file(err_tmpl);
    unlink(out_tmpl);
    unlink(err_tmpl);
    return r;
}

bool server::start(const std::vector<std::string>& extra, const std::vector<std::string>& prefix)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = free_port();
        char out_tmpl[] = "/tmp/nchatd-log-XXXXXX";
        char err_tmpl[] = "/tmp/nchatd-err-XXXXXX";
        int out = -1, fds[2];
        if (!log_through_pipe) {
            out = mkstemp(out_tmpl);
            log_path_ = out_tmpl;
        } else if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            fcntl(fds[1], F_SETFL, 0);  // the server's end blocks, as a pipe to a journal does
            out = fds[1];
            pipe_ = fds[0];
        }
        int err = mkstemp(err_tmpl);
        err_path_ = err_tmpl;
        std::vector<std::string> words = prefix;
        words.push_back(binary());
        words.insert(words.end(), {"-i", "-p", std::to_string(port_)});
        words.insert(words.end(), extra.begin(), extra.end());
        pid_ = spawn(words, out, err);
        ::close(out);
        ::close(err);
        if (wait_log("Init ok, waiting for connections.\n", 5000))
            return true;
        stop();  // most likely the port was taken in between: try another
    }
    return false;
}

bool server::wait_log(std::string_view text, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (log().find(text) != std::string::npos)
            return true;
        if (ms_left(deadline) == 0 || !alive())
            return log().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string server::log()
{
    char buf[4096];
    for (ssize_t n; pipe_ >= 0 && (n = read(pipe_, buf, sizeof buf)) > 0;)
        piped_.append(buf, static_cast<size_t>(n));
    return pipe_ >= 0 ? piped_ : log_path_.empty() ? std::string() : read_file(log_path_);
}

std::string server::err()
{
    return err_path_.empty() ? std::string() : read_file(err_path_);
}

bool server::alive()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

void server::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (reap(pid_, 3000) < 0) {
            kill(pid_, SIGKILL);
            reap(pid_, 3000);
        }
        pid_ = -1;
    }
    if (!log_path_.empty()) {
        unlink(log_path_.c_str());
        log_path_.clear();
    }
    if (pipe_ >= 0)
        ::close(pipe_);
    pipe_ = -1;
    piped_.clear();
    if (std::string text = err(); !text.empty())
        fprintf(stderr, "nchatd's standard error:\n%s", text.c_str());
    if (!err_path_.empty()) {
        unlink(err_path_.c_str());
        err_path_.clear();
    }
}

int server::finish(int sig, int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, sig);
    int status = reap(pid_, timeout_ms);
    if (status < 0) {
        kill(pid_, SIGKILL);
        reap(pid_, 3000);
    }
    pid_ = -1;
    return status;
}

client::client(client&& other) noexcept : fd_(other.fd_), eof_(other.eof_), in_(std::move(other.in_))
{
    other.fd_ = -1;
}

bool client::connect(int port, int rcvbuf, const char* from)
{
    close();
    fd_ = connect_loopback(port, rcvbuf, from);
    return fd_ >= 0;
}

bool client::connect_to(const char* address, int port)
{
    close();
    fd_ = harness::connect_to(address, port);
    return fd_ >= 0;
}

bool client::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Waits up to `timeout_ms` for data and appends it; false on timeout or end.
bool client::fill(int timeout_ms)
{
    if (fd_ < 0 || eof_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    in_.append(buf, static_cast<size_t>(n));
    return true;
}

bool client::read_until(std::string_view text, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (in_.find(text) == std::string::npos) {
        int left = ms_left(deadline);
        if (left == 0 || (!fill(left) && (eof_ || ms_left(deadline) == 0)))
            return in_.find(text) != std::string::npos;
    }
    return true;
}

void client::read_for(int ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
    // Whatever is there already is always taken, however short the wait.
    while (fill(ms_left(deadline)) || (ms_left(deadline) > 0 && !eof_)) {
    }
}

bool client::wait_closed(int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_ && ms_left(deadline) > 0)
        fill(ms_left(deadline));
    return eof_;
}

std::string client::take()
{
    std::string all;
    all.swap(in_);
    return all;
}

bool client::login(int port, std::string_view name, const char* from, int rcvbuf)
{
    if (!connect(port, rcvbuf, from) || !read_until("chars): ") || !send(std::string(name) + "\r\n") ||
        !read_until("* logged in as " + std::string(name) + "\r\n") || !read_until("\r\n> "))
        return false;
    take();
    return true;
}

void client::reset()
{
    if (fd_ < 0)
        return;
    linger lg{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
}

void client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    eof_ = false;
}

std::string log_prefix(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    char host[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        return "Connection from [" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
    return "Connection from " + std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
}

std::string take_masked(client& c, size_t size, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (c.received().size() < size && ms_left(deadline) > 0)
        c.read_until("\x01\x02", 20);  // a text that never comes: just read
    return mask_stamps(c.take());
}

// The last byte of the escape sequence at `at`: a control sequence runs to
// its final byte (ESC [, parameters and intermediates, then @ to ~), any
// other escape takes one byte after the ESC.
static size_t escape_end(std::string_view wire, size_t at)
{
    if (at + 1 >= wire.size() || wire[at + 1] != '[')
        return std::min(at + 1, wire.size());
    size_t i = at + 2;
    while (i < wire.size() && (wire[i] < 0x40 || wire[i] > 0x7e))
        ++i;
    return i;
}

std::string screen_text(std::string_view wire)
{
    std::string out;
    for (size_t i = 0; i < wire.size(); ++i) {
        char c = wire[i];
        if (c == '\x1b') {
            i = escape_end(wire, i);
            continue;
        }
        if (c == '\b') {
            if (!out.empty() && out.back() != '\n')
                out.pop_back();
            continue;
        }
        if (c == '\a')
            continue;
        if (c == '\r') {
            // A carriage return not followed by a line end starts the
            // screen line over; drop what stood on it.
            if (i + 1 < wire.size() && wire[i + 1] == '\n')
                continue;
            size_t nl = out.rfind('\n');
            out.erase(nl == std::string::npos ? 0 : nl + 1);
            continue;
        }
        out.push_back(c);
    }
    // Trailing spaces are what an erase leaves; a person does not see them.
    std::string tidy;
    std::istringstream lines(out);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!first)
            tidy.push_back('\n');
        tidy += line;
        first = false;
    }
    if (!out.empty() && out.back() == '\n')
        tidy.push_back('\n');
    return tidy;
}

std::string mask_stamps(std::string_view text)
{
    // "HH:MM " with an hour 00 to 29 and a minute 00 to 59.
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::string out(text);
    for (size_t i = 0; i + 6 <= out.size(); ++i) {
        if (out[i] >= '0' && out[i] <= '2' && digit(out[i + 1]) && out[i + 2] == ':' && out[i + 3] >= '0' &&
            out[i + 3] <= '5' && digit(out[i + 4]) && out[i + 5] == ' ') {
            out.replace(i, 5, "SS:SS");
            i += 5;
        }
    }
    return out;
}

}  // namespace harness

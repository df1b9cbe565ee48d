// target: one server under test at a time, a child of the generator.  Its
// output goes to a log file in a private directory (a pipe could fill up
// and stall it); it is ready when the kernel shows its listening socket.
#include "target.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string_view>
#include <vector>

const char* target_name(server_kind kind)
{
    switch (kind) {
    case server_kind::nchatd:
        return "nchatd";
    case server_kind::ngircd:
        return "ngircd";
    case server_kind::ncat:
        return "ncat";
    case server_kind::floor:
        return "floor";
    case server_kind::social:
        return "social";
    }
    return "?";
}

// A port that nobody listens on right now: let the kernel pick one.
static int target_free_port()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    close(s);
    return port;
}

// ngircd on loopback only, with no look-ups and limits above the largest
// population (all clients share one address).  As a plain chat relay it
// also gets no penalty time and an operator block, so that senders can ask
// for relaxed flood protection (+F); guarded, it keeps its flood
// protection.  ngircd never keeps root: started as root it switches to
// "nobody" whatever ServerUID says.
static int target_write_ngircd_conf(const target& t, const std::string& path)
{
    std::ofstream f(path);
    f << "[Global]\n"
         "  Name = bench.invalid\n"
         "  Info = nchatd-bench comparison\n"
         "  AdminInfo1 = nchatd-bench\n"
         "  AdminInfo2 = loopback only\n"
         "  AdminEMail = bench@bench.invalid\n"
         "  Listen = 127.0.0.1\n"
         "  Ports = "
      << t.port
      << "\n"
         "  MotdPhrase = \"bench\"\n"
         "  ServerUID = "
      << getuid()
      << "\n"
         "  ServerGID = "
      << getgid()
      << "\n"
         "[Limits]\n"
         "  MaxConnections = 4096\n"
         "  MaxConnectionsIP = 4096\n"
      << (t.mode == server_mode::relay ? "  MaxPenaltyTime = 0\n" : "")
      << "  PingTimeout = 600\n"
         "  PongTimeout = 120\n"
         "[Options]\n"
         "  DNS = no\n"
         "  Ident = no\n"
         "  PAM = no\n"
         "  ConnectIPv6 = no\n"
         "[Operator]\n"
         "  Name = bench\n"
         "  Password = bench\n";
    f.close();
    return f ? 0 : -1;
}

static std::vector<std::string> target_argv(const target& t, int capacity, const std::string& conf)
{
    std::string port = std::to_string(t.port);
    std::string cap = std::to_string(capacity);
    switch (t.kind) {
    case server_kind::social:
        return {t.exe, "-i", "-b", "127.0.0.1", "-n", cap, "-p", port, "-u", "0", "-r", "0", "-k", "0", "-m", "0",
                "-R", "0", "-o", "0", "-H", std::to_string(bench_social_recent)};
    case server_kind::nchatd:
        // All bench clients come from 127.0.0.1: the limits per address
        // (unnamed connections, connects, connections, the shared line
        // budget) would refuse or hold all but a few, whatever the mode.
        // As a relay, the line budget is off too, as ngircd's penalties are,
        // and so is skipping lines to readers that fall behind: a relay
        // delivers every copy (or drops the reader at its bound).
        // Loopback only, as the other servers are configured.
        if (t.mode == server_mode::relay)
            return {t.exe, "-i", "-b", "127.0.0.1", "-n", cap, "-p", port, "-u", "0", "-r", "0", "-k", "0", "-m", "0",
                    "-R", "0", "-o", "0"};
        return {t.exe, "-i", "-b", "127.0.0.1", "-n", cap, "-p", port, "-u", "0", "-k", "0", "-m", "0", "-R", "0"};
    case server_kind::ngircd:
        return {t.exe, "-n", "-f", conf};
    case server_kind::ncat:
        return {t.exe, "-l", "--chat", "-k", "--max-conns", cap, "127.0.0.1", port};
    case server_kind::floor:
        return {t.exe, port, cap};
    }
    return {};
}

static pid_t target_spawn(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: dies with the generator, whatever ends it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(argv[0], argv.data());
    fprintf(stderr, "exec %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}


// The sockets in /proc/net/tcp and tcp6 whose local port is `port`, by
// state (the kernel's hexadecimal code: 01 ESTABLISHED, 08 CLOSE_WAIT, 0A
// LISTEN).
static int target_count_sockets(uint16_t port, std::initializer_list<std::string_view> states)
{
    char want[8];
    snprintf(want, sizeof want, ":%04X", unsigned(port));
    int n = 0;
    bool any = false;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream f(table);
        if (!f)
            continue;
        any = true;
        std::string line;
        std::getline(f, line); // column titles
        while (std::getline(f, line)) {
            std::istringstream in(line);
            std::string slot, local, remote, state;
            if (!(in >> slot >> local >> remote >> state) || !local.ends_with(want))
                continue;
            for (std::string_view s : states)
                n += state == s;
        }
    }
    return any ? n : -1;
}

int target_open_conns(const target& t)
{
    return target_count_sockets(t.port, {"01", "08"});
}

int64_t target_listen_overflows()
{
    // Two lines per group: the field names, then their values.
    std::ifstream f("/proc/net/netstat");
    std::string names, values;
    while (std::getline(f, names) && std::getline(f, values)) {
        if (!names.starts_with("TcpExt:"))
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "ListenOverflows")
                return atoll(value.c_str());
    }
    return -1;
}

int target_start(target& t, int capacity)
{
    t.error.clear();
    t.ended = false;
    int port = target_free_port();
    if (port < 0) {
        t.error = std::string("no free port: ") + strerror(errno);
        return -1;
    }
    t.port = uint16_t(port);
    t.log_path = t.dir + "/" + target_name(t.kind) + "-" + std::to_string(capacity) + ".log";
    std::string conf = t.dir + "/ngircd.conf";
    if (t.kind == server_kind::ngircd && target_write_ngircd_conf(t, conf) < 0) {
        t.error = "cannot write " + conf;
        return -1;
    }
    t.pid = target_spawn(target_argv(t, capacity, conf), t.log_path);
    if (t.pid < 0) {
        t.error = std::string("fork: ") + strerror(errno);
        return -1;
    }
    int64_t deadline = bench_now_ns() + bench_start_timeout_ns;
    // Listening, as the kernel sees it: a test connection would be a
    // client of its own, and ncat --chat quits when one goes away before it
    // looked at it.
    while (bench_now_ns() < deadline) {
        if (!target_alive(t)) {
            t.error = target_end_text(t) + " at start; its output:\n" + target_log_tail(t, 10);
            return -1;
        }
        if (target_count_sockets(t.port, {"0A"}) > 0)
            return 0;
        usleep(20'000);
    }
    t.error = "does not accept connections on its port; its output:\n" + target_log_tail(t, 10);
    target_stop(t);
    return -1;
}

bool target_alive(target& t)
{
    if (t.pid < 0 || t.ended)
        return false;
    int status = 0;
    pid_t r = waitpid(t.pid, &status, WNOHANG);
    if (r == t.pid) {
        t.ended = true;
        t.wait_status = status;
        return false;
    }
    return true;
}

void target_stop(target& t)
{
    if (!target_alive(t))
        return;
    kill(t.pid, SIGTERM);
    int64_t deadline = bench_now_ns() + bench_stop_timeout_ns;
    while (target_alive(t) && bench_now_ns() < deadline)
        usleep(10'000);
    if (target_alive(t)) {
        kill(t.pid, SIGKILL);
        int status = 0;
        if (waitpid(t.pid, &status, 0) == t.pid) {
            t.ended = true;
            t.wait_status = status;
        }
    }
}

static std::string target_proc_read(pid_t pid, const char* file)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

cpu_sample target_cpu(const target& t)
{
    cpu_sample s;
    if (t.pid < 0 || t.ended)
        return s;
    // The command name in parentheses may hold spaces; fields count from
    // the last ')'.  utime and stime are fields 14 and 15.
    std::string stat = target_proc_read(t.pid, "stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren != std::string::npos) {
        std::istringstream in(stat.substr(close_paren + 2));
        std::string field;
        long long utime = -1, stime = -1;
        for (int i = 3; i <= 15 && (in >> field); ++i) {
            if (i == 14)
                utime = atoll(field.c_str());
            if (i == 15)
                stime = atoll(field.c_str());
        }
        if (utime >= 0 && stime >= 0)
            s.ticks = utime + stime;
    }
    std::string sched = target_proc_read(t.pid, "schedstat");
    if (!sched.empty())
        s.run_ns = atoll(sched.c_str());
    return s;
}

int64_t target_ticks_per_s()
{
    return sysconf(_SC_CLK_TCK);
}

long target_rss_kib(const target& t)
{
    if (t.pid < 0 || t.ended)
        return -1;
    std::istringstream in(target_proc_read(t.pid, "status"));
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("VmRSS:"))
            return atol(line.c_str() + 6);
    return -1;
}

std::string target_log_tail(const target& t, int lines)
{
    std::ifstream f(t.log_path);
    std::vector<std::string> all;
    std::string line;
    while (std::getline(f, line))
        all.push_back(line);
    std::string out;
    for (size_t i = all.size() > size_t(lines) ? all.size() - size_t(lines) : 0; i < all.size(); ++i)
        out += "    " + all[i] + "\n";
    return out;
}

std::string target_end_text(const target& t)
{
    if (!t.ended)
        return "running";
    if (WIFEXITED(t.wait_status))
        return "exited with status " + std::to_string(WEXITSTATUS(t.wait_status));
    if (WIFSIGNALED(t.wait_status))
        return std::string("killed by signal ") + strsignal(WTERMSIG(t.wait_status));
    return "ended";
}

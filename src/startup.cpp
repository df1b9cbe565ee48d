#include "startup.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bounds.h"

namespace nchatd {

namespace {

Opened failed(Opened& o, const char* what, int err)
{
    o.error = std::string(what) + ": " + strerror(err);
    o.fd.reset();
    return std::move(o);
}

int listen_backlog()
{
    int n = 0;
    if (FILE* f = fopen("/proc/sys/net/core/somaxconn", "re")) {
        if (fscanf(f, "%d", &n) != 1)
            n = 0;
        fclose(f);
    }
    return n > 0 ? n : listen_backlog_fallback;
}

// One listening socket at `at`.  `any_family` marks the IPv6 wildcard that
// takes IPv4 as well; `no_ipv6` tells that it failed for want of IPv6.
Opened listen_at(sockaddr_storage at, long port, bool any_family, bool& no_ipv6)
{
    Opened l;
    const bool v6 = at.ss_family == AF_INET6;
    socklen_t len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (v6)
        reinterpret_cast<sockaddr_in6&>(at).sin6_port = htons(static_cast<uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in&>(at).sin_port = htons(static_cast<uint16_t>(port));
    l.fd.reset(socket(at.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!l.fd) {
        no_ipv6 = any_family && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT);
        return failed(l, "failed to create server socket", errno);
    }
    if (set_cloexec(l.fd.get()) < 0 || set_nonblock(l.fd.get()) < 0)
        return failed(l, "failed to set up server socket", errno);
    // The connections of a server that has just ended wait in TIME_WAIT
    // for a minute; without this a restart could not bind until they are
    // gone.  A port that a live server listens on is refused all the same.
    const int on = 1;
    if (setsockopt(l.fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return failed(l, "failed to set up server socket", errno);
    // The wildcard takes IPv4 clients as v4-mapped addresses; an address
    // given with -b is that address alone, so "::" means IPv6 only.
    const int v6only = any_family ? 0 : 1;
    if (v6 && setsockopt(l.fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
        no_ipv6 = any_family;
        return failed(l, "failed to set up server socket", errno);
    }
    if (bind(l.fd.get(), reinterpret_cast<sockaddr*>(&at), len) < 0)
        return failed(l, "failed to bind server socket", errno);
    if (listen(l.fd.get(), listen_backlog()) < 0)
        return failed(l, "failed to listen on server socket", errno);
    return l;
}

}  // namespace

Opened open_listener(const sockaddr_storage& address, long port)
{
    bool no_ipv6 = false;
    if (address.ss_family != AF_UNSPEC)
        return listen_at(address, port, false, no_ipv6);
    sockaddr_storage any{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(any);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_any;
    Opened l = listen_at(any, port, true, no_ipv6);
    if (l.fd || !no_ipv6)
        return l;
    any = {};
    auto& in = reinterpret_cast<sockaddr_in&>(any);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_ANY);
    return listen_at(any, port, false, no_ipv6);
}

namespace {

// `local`: the control socket, a UNIX one; otherwise a TCP one.
Opened adopt_one(int fd, bool local)
{
    Opened l;
    int listening = 0, type = 0, family = 0;
    socklen_t len = sizeof listening;
    bool ok = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening;
    len = sizeof type;
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
    len = sizeof family;
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) == 0 &&
         (local ? family == AF_UNIX : family == AF_INET || family == AF_INET6);
    if (!ok) {
        l.error = local ? "the socket from systemd named \"control\" is not a listening UNIX stream socket"
                        : "the socket from systemd is not a listening TCP socket";
        return l;
    }
    l.fd.reset(fd);
    // systemd hands it over blocking; accept() must never wait.
    if (set_cloexec(fd) < 0 || set_nonblock(fd) < 0)
        return failed(l, "failed to set up server socket", errno);
    return l;
}

}  // namespace

Adopted adopt_listeners(int count, int first_fd, char* const* names)
{
    Adopted a;
    if (count < 0) {
        failed(a.chat, "failed to take the socket from systemd", -count);
        return a;
    }
    for (int i = 0; i < count; ++i) {
        const std::string_view name = names && names[i] ? names[i] : "";
        Opened& into = name == "tls" ? a.tls : name == "control" ? a.control : a.chat;
        if (into.fd || !into.error.empty()) {
            a.chat = {};
            a.chat.error = "systemd passed " + std::to_string(count) +
                           " sockets; nchatd listens on one plain socket and at most one named \"tls\" and one "
                           "named \"control\"";
            return a;
        }
        into = adopt_one(first_fd + i, &into == &a.control);
    }
    if (!a.chat.fd && a.chat.error.empty())
        a.chat.error = "systemd passed no plain socket, only named ones";
    return a;
}

Opened open_control_socket(const std::string& path)
{
    Opened c;
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (path.size() >= sizeof at.sun_path) {
        c.error = "control socket path is too long: " + path;
        return c;
    }
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    const auto* addr = reinterpret_cast<const sockaddr*>(&at);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            c.error = path + " exists and is not a socket";
            return c;
        }
        // A live server answers; the socket of one that crashed refuses.
        unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && connect(probe.get(), addr, sizeof at) == 0) {
            c.error = "another server listens on the control socket " + path;
            return c;
        }
        if (!probe || errno != ECONNREFUSED) {
            c.error = "failed to check the control socket " + path + ": " + strerror(errno);
            return c;
        }
        if (unlink(path.c_str()) != 0)
            return failed(c, ("failed to remove the stale control socket " + path).c_str(), errno);
    }
    c.fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!c.fd)
        return failed(c, "failed to create control socket", errno);
    // Created 0600 from the first moment: a mode set after bind() would
    // leave a moment in which anyone could connect.
    const mode_t old_mask = umask(0177);
    const int bound = bind(c.fd.get(), addr, sizeof at);
    const int err = errno;
    umask(old_mask);
    if (bound != 0)
        return failed(c, ("failed to bind control socket " + path).c_str(), err);
    if (listen(c.fd.get(), control_backlog) != 0)
        return failed(c, "failed to listen on control socket", errno);
    return c;
}

Opened open_stop_signals(bool reload)
{
    Opened s;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (reload)
        sigaddset(&stop, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0)
        return failed(s, "failed to block signals", errno);
    s.fd.reset(signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!s.fd) {
        const int err = errno;
        // Blocked and never read, they could no longer stop the server.
        sigprocmask(SIG_UNBLOCK, &stop, nullptr);
        return failed(s, "failed to watch for signals", err);
    }
    return s;
}

namespace {

// The descriptors the server holds before its first client: those open
// now, and the listening socket, the spare one and the signal descriptor.
long own_descriptors()
{
    long open_now = 0;
    for (int fd = 0; fd < fd_reserve; ++fd)
        open_now += fcntl(fd, F_GETFD) != -1;
    return open_now + 3;
}

}  // namespace

// A soft limit of 1024 open files would stop admissions near 1020 clients:
// raise it as far as the table needs.  poll() refuses more entries than the
// limit, so when the hard limit is lower the table shrinks to fit it.
long raise_file_limit(long users, std::string& warning)
{
    rlimit lim{};
    auto needed = static_cast<rlim_t>(users + fd_reserve);
    // Held refusals are asked for too, but a limit that leaves none for
    // them costs no client: they are then answered at once.
    const auto wanted = needed + static_cast<rlim_t>(refusals_held_max);
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= wanted)
        return users;
    rlim_t target = (lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= wanted) ? wanted : lim.rlim_max;
    rlim_t old = lim.rlim_cur;
    lim.rlim_cur = target;
    if (target > old && setrlimit(RLIMIT_NOFILE, &lim) != 0)
        target = old;
    if (target >= needed)
        return users;
    long served = std::max(static_cast<long>(target) - fd_reserve, min_users);
    char text[160];
    if (static_cast<long>(target) <= own_descriptors())
        snprintf(text, sizeof text, "open files limit %llu is too low for %ld clients; none can be served",
                 static_cast<unsigned long long>(target), users);
    else
        snprintf(text, sizeof text, "open files limit %llu is too low for %ld clients; at most %ld can be served",
                 static_cast<unsigned long long>(target), users, served);
    warning = text;
    return served;
}

}  // namespace nchatd

#include "startup.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bounds.h"

namespace nchatd {

Listener open_listener(long port)
{
    Listener l;
    l.fd.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    auto fail = [&l](const char* what) {
        l.error = std::string(what) + ": " + strerror(errno);
        l.fd.reset();
        return std::move(l);
    };
    if (!l.fd)
        return fail("failed to create server socket");
    if (set_cloexec(l.fd.get()) < 0 || set_nonblock(l.fd.get()) < 0)
        return fail("failed to set up server socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(l.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        return fail("failed to bind server socket");
    if (listen(l.fd.get(), listen_backlog) < 0)
        return fail("failed to listen on server socket");
    return l;
}

// A soft limit of 1024 open files would stop admissions near 1020 clients:
// raise it as far as the table needs.  poll() refuses more entries than the
// limit, so when the hard limit is lower the table shrinks to fit it.
long raise_file_limit(long users, std::string& warning)
{
    rlimit lim{};
    auto needed = static_cast<rlim_t>(users + fd_reserve);
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= needed)
        return users;
    rlim_t target = (lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= needed) ? needed : lim.rlim_max;
    rlim_t old = lim.rlim_cur;
    lim.rlim_cur = target;
    if (target > old && setrlimit(RLIMIT_NOFILE, &lim) != 0)
        target = old;
    if (target >= needed)
        return users;
    long served = std::max(static_cast<long>(target) - fd_reserve, min_users);
    char text[160];
    snprintf(text, sizeof text, "open files limit %llu is too low for %ld clients; at most %ld can be served",
             static_cast<unsigned long long>(target), users, served);
    warning = text;
    return served;
}

}  // namespace nchatd

#include "ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "bounds.h"
#include "clock.h"
#include "fdctl.h"
#include "texts.h"
#include "wire.h"

namespace nchatd {

namespace {

std::string usage(std::string_view prog)
{
    return "Usage: " + std::string(prog) +
           " [-c PATH] COMMAND [ARGUMENT]...\n"
           "Sends one command to nchatd over its control socket and prints the reply.\n"
           "\n"
           "  -c PATH   the control socket (default: " +
           default_control_path +
           ")\n"
           "  -V        print the version and exit (also --version)\n"
           "  -h        print this help and exit (also --help)\n"
           "\n"
           "Commands: users, stats, kick, ban, unban, bans, mute, unmute, say, op, deop, lock, unlock.\n";
}

CtlResult usage_error(std::string_view prog, const std::string& what)
{
    return {2, {}, std::string(prog) + ": " + what + "\n" + "Try '" + std::string(prog) + " --help'.\n"};
}

// Waits for `events` on `fd` until `deadline_us`; false when time is up.
bool wait_for(int fd, short events, int64_t deadline_us)
{
    for (;;) {
        const int64_t left_us = deadline_us - monotonic_us();
        if (left_us <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>((left_us + 999) / 1000));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// One request, one reply.  The server may refuse and close before it has
// read the request: a failed send is not the end, its reply is still read.
CtlResult call(std::string_view prog, const std::string& path, std::span<const std::string_view> args)
{
    const std::string p(prog);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (path.size() >= sizeof at.sun_path)
        return {2, {}, p + ": control socket path is too long: " + path + "\n"};
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock || connect(sock.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        return {2, {}, p + ": cannot reach nchatd at " + path + ": " + strerror(errno) + "\n"};
    const int64_t deadline = monotonic_us() + int64_t{ctl_wait_ms} * 1000;
    const std::string request = wire::request(args);
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && (errno != EAGAIN || !wait_for(sock.get(), POLLOUT, deadline)))
            break;
    }
    std::string in;
    char buf[4096];
    while (in.size() <= control_reply_max && wait_for(sock.get(), POLLIN, deadline)) {
        ssize_t n = recv(sock.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            in.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    Reply r;
    if (!wire::parse_reply(in, r))
        return {2, {}, p + ": no reply from nchatd at " + path + "\n"};
    if (!r.ok)
        return {1, {}, p + ": " + r.text + "\n"};
    return {0, std::move(r.text), {}};
}

}  // namespace

CtlResult nchatctl(std::span<char* const> argv)
{
    const std::string_view prog = !argv.empty() && argv[0] ? argv[0] : "nchatctl";
    std::string path = default_control_path;
    size_t i = 1;
    // Options come before the command; every word after it is its own.
    for (; i < argv.size(); ++i) {
        const std::string_view word = argv[i];
        if (word == "-h" || word == "--help")
            return {0, usage(prog), {}};
        if (word == "-V" || word == "--version")
            return {0, "nchatctl " + std::string(texts::version) + "\n", {}};
        if (word == "--") {
            ++i;
            break;
        }
        if (word == "-c") {
            if (++i == argv.size() || *argv[i] == '\0')
                return usage_error(prog, "missing operand for -c");
            path = argv[i];
            continue;
        }
        if (word.size() > 1 && word[0] == '-')
            return usage_error(prog, "unknown option: " + std::string(word));
        break;
    }
    if (i == argv.size() || *argv[i] == '\0')
        return usage_error(prog, "missing command");
    std::vector<std::string_view> args(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    return call(prog, path, args);
}

}  // namespace nchatd

// nchatd: a multi-user chat server for plain-text terminals.  The command
// line becomes a server; this is the only place that exits.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "options.h"
#include "server.h"
#include "startup.h"

int main(int argc, char** argv)
{
    using namespace nchatd;
    Parsed parsed = parse_options({argv, static_cast<size_t>(argc)});
    fputs(parsed.out.c_str(), stdout);
    fputs(parsed.err.c_str(), stderr);
    if (!parsed.run)
        return parsed.status;
    const Options& o = parsed.options;
    const char* prog = argc > 0 && argv[0] ? argv[0] : "nchatd";

    // Sends pass MSG_NOSIGNAL; this covers the log: a reader of standard
    // output that goes away (`nchatd -i | tee log`) must not end the server.
    signal(SIGPIPE, SIG_IGN);
    std::string warning;
    long users = raise_file_limit(o.users, warning);
    if (!warning.empty())
        fprintf(stderr, "%s: %s\n", prog, warning.c_str());

    std::optional<Log> log;
    std::optional<Server> server;
    try {
        log.emplace(o.detach ? Log() : Log(STDOUT_FILENO));
        server.emplace(users, o.limits, *log);
        server->room().recent().allocate(static_cast<size_t>(o.recent));
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "%s: failed to allocate memory for users\n", prog);
        return 1;
    }
    // Started by systemd for its socket unit, the server listens where the
    // unit says; -p and -b are not used then.
    const int passed = sd_listen_fds(1);
    Opened listener = passed == 0 ? open_listener(o.address, o.port) : adopt_listener(passed, SD_LISTEN_FDS_START);
    if (!listener.fd) {
        fprintf(stderr, "%s: %s\n", prog, listener.error.c_str());
        return 1;
    }
    server->listen_on(std::move(listener.fd));
    server->greet_with_telnet(o.telnet);
    Opened signals = open_stop_signals();
    if (!signals.fd) {
        fprintf(stderr, "%s: %s\n", prog, signals.error.c_str());
        return 1;
    }
    server->watch_signals(std::move(signals.fd));
    server->room().set_charset(o.charset);
    if (o.detach && daemon(0, 0) != 0) {
        fprintf(stderr, "%s: daemon() failed\n", prog);
        return 1;
    }
    server->begin();
    log->line("Init ok, waiting for connections.\n");
    // Without NOTIFY_SOCKET in the environment this does nothing.
    sd_notify(0, "READY=1");
    while (server->stop_signal() == 0) {
        if (server->turn(poll_timeout_ms) != 0)
            return 1;
    }
    sd_notify(0, "STOPPING=1");
    server->shut_down(shutdown_flush_ms);
    return 0;
}

// nchatd: a multi-user chat server for plain-text terminals.  The command
// line becomes a server; this is the only place that exits.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "options.h"
#include "server.h"
#include "startup.h"
#include "tls.h"

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
    // Both files are read now, before detaching, so that a bad one stops
    // the start with its reason on the terminal.
    TlsLoad tls;
    if (o.tls_port != 0) {
        tls = load_tls(o.cert_file, o.key_file);
        if (!tls.ctx) {
            fprintf(stderr, "%s: %s\n", prog, tls.error.c_str());
            return 1;
        }
    }
    // Started by systemd for its socket units, the server listens where the
    // units say; -p and -b are not used then, nor -c when one of them is
    // named "control".  A TLS port that systemd
    // does not pass is opened here.
    char** names = nullptr;
    const int passed = sd_listen_fds_with_names(1, &names);
    Adopted adopted;
    if (passed == 0)
        adopted.chat = open_listener(o.address, o.port);
    else
        adopted = adopt_listeners(passed, SD_LISTEN_FDS_START, names);
    for (int i = 0; names && i < passed; ++i)
        free(names[i]);
    free(names);
    if (adopted.chat.fd && !adopted.tls.fd && adopted.tls.error.empty() && o.tls_port != 0)
        adopted.tls = open_listener(o.address, o.tls_port);
    // A control socket from systemd takes the place of -c.
    std::string control_path;
    if (adopted.chat.fd && !adopted.control.fd && adopted.control.error.empty() && !o.control_path.empty()) {
        adopted.control = open_control_socket(o.control_path);
        control_path = o.control_path;
    }
    for (const Opened* l : {&adopted.chat, &adopted.tls, &adopted.control}) {
        if (!l->error.empty() || (l == &adopted.chat && !l->fd)) {
            fprintf(stderr, "%s: %s%s\n", prog, l == &adopted.tls ? "TLS port: " : "", l->error.c_str());
            return 1;
        }
    }
    if (adopted.tls.fd && !tls.ctx) {
        fprintf(stderr, "%s: systemd passed a socket named \"tls\"; give -s, -C and -K\n", prog);
        return 1;
    }
    server->listen_on(std::move(adopted.chat.fd));
    if (adopted.tls.fd) {
        server->listen_on(std::move(adopted.tls.fd), Listen::tls);
        server->use_tls(std::move(tls.ctx), o.cert_file, o.key_file);
    }
    if (adopted.control.fd)
        server->listen_on(std::move(adopted.control.fd), Listen::control, control_path);
    server->greet_with_telnet(o.telnet);
    // SIGHUP reloads the TLS pair.  Under systemd it is only ever the
    // unit's reload, which must not end a server without a TLS port;
    // elsewhere such a server keeps the default, ending on a hangup.
    const bool under_systemd = passed > 0 || getenv("NOTIFY_SOCKET") != nullptr;
    Opened signals = open_stop_signals(o.tls_port != 0 || under_systemd);
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
        if (server->turn(poll_timeout_ms) != 0) {
            fprintf(stderr, "%s: poll failed: %s\n", prog, strerror(errno));
            return 1;
        }
    }
    sd_notify(0, "STOPPING=1");
    server->shut_down(shutdown_flush_ms);
    return 0;
}

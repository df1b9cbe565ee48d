// Start-up: the listening socket, the stop signals and the open-files
// limit.  Each returns what went wrong instead of exiting; main reports it.
#pragma once

#include <sys/socket.h>

#include <string>

#include "fdctl.h"

namespace nchatd {

// A descriptor, or what kept it from being made.
struct Opened {
    unique_fd fd;
    std::string error;  // "failed to bind server socket: Address already in use"
};

// Listens on `port` of `address`, or, when its family is AF_UNSPEC, of
// every address of both families: one IPv6 socket that takes IPv4 as
// well, or the IPv4 wildcard where the host has no IPv6.
Opened open_listener(const sockaddr_storage& address, long port);

// The listening sockets systemd handed over when it started the server for
// its socket units: `count` as sd_listen_fds_with_names() returned it
// (above 0, or a negative errno), the first at `first_fd`, with their
// FileDescriptorName= in `names` (may be null).  The one named "tls" is
// the TLS port, the one named "control" the control socket; the other,
// whatever its name, the plain port.
struct Adopted {
    Opened chat;
    Opened tls;      // no descriptor and no error when systemd passed none
    Opened control;  // likewise
};
Adopted adopt_listeners(int count, int first_fd, char* const* names);

// Listens on the UNIX stream socket at `path` (absolute), mode 0600.  A
// socket nothing listens on, left by a server that crashed, is replaced;
// anything else at `path` is an error.
Opened open_control_socket(const std::string& path);

// Blocks SIGTERM and SIGINT (and SIGHUP when `reload`) and returns a
// descriptor that reports them, so that the loop takes a stop or a reload
// like any other event.
Opened open_stop_signals(bool reload = false);

// Raises the soft limit on open files as far as `users` clients need;
// returns how many can be served, and a warning when that is fewer.
long raise_file_limit(long users, std::string& warning);

}  // namespace nchatd

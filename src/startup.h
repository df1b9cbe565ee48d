// Start-up: the listening socket and the open-files limit.  Each returns
// what went wrong instead of exiting; main reports it.
#pragma once

#include <string>

#include "fdctl.h"

namespace nchatd {

// A listening socket, or what kept it from being made.
struct Listener {
    unique_fd fd;
    std::string error;  // "failed to bind server socket: Address already in use"
};
Listener open_listener(long port);

// Raises the soft limit on open files as far as `users` clients need;
// returns how many can be served, and a warning when that is fewer.
long raise_file_limit(long users, std::string& warning);

}  // namespace nchatd

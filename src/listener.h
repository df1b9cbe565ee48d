// The listening sockets and what each one's connections are for.
#pragma once

#include <cstdint>
#include <string>

#include "fdctl.h"

namespace nchatd {

enum class Listen : uint8_t {
    chat,     // a TCP port: each connection gets a slot of the room
    tls,      // the same, with a TLS handshake first
    control,  // the operator's UNIX socket: one request, one reply
};

struct Listener {
    unique_fd fd;
    Listen kind = Listen::chat;
    uint16_t port = 0;  // the local port, for the log
    std::string path;   // a UNIX socket the server made itself, removed at the stop
};

}  // namespace nchatd

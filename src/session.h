// The road of input: bytes in, telnet filter, line editor, echo, then the
// completed line as a login, a command or a chat line.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "room.h"

namespace nchatd {

// What one receive did: the non-empty lines it completed and the bytes it
// took.  It stops early when the connection is asked to close, and after a
// line whose reply left the queue over the room's hold mark: the rest waits.
struct Received {
    size_t lines = 0;
    size_t used = 0;
};
Received receive(Room& room, Connection& c, std::span<const unsigned char> bytes);

// Gives a free slot to a new connection: a fresh record, the greeting and
// the log line.  With `telnet` the greeting carries the telnet option
// sequence between the welcome line and the name prompt.
void admit(Room& room, Connection& c, unique_fd fd, const Peer& peer, bool telnet = false);
void greet(Room& room, Connection& c, bool telnet = false);

}  // namespace nchatd

// What the operator can read about the room over the control socket:
// the connections (`users`) and the counters (`stats`).  Pure text from
// the room's state; nothing changes.
#pragma once

#include <span>
#include <string_view>

#include "room.h"
#include "wire.h"

namespace nchatd {

// One line per connection, fields separated by tabs (names may hold
// spaces): name or "-" at the name prompt, address, port, seconds
// connected, seconds idle, lines written, queued output bytes, and flags
// separated by commas, or "-".
Reply users_report(Room& room);
// One "NAME VALUE" line per figure.
Reply stats_report(Room& room);

}  // namespace nchatd

// Moderation carried out on the room: kick, ban, mute, op, the lock and
// the operator's notice, asked for over the control socket or by an
// operator in the chat.  The server owns the sockets; the room's own
// request_close and retire end the connections.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "room.h"
#include "wire.h"

namespace nchatd {

// `args[0]` is the command word, the rest its arguments as given; `actor`
// is who asks ("uid 1000"), as logged and shown in `bans`.
Reply control_request(Room& room, std::span<const std::string_view> args, std::string_view actor);

// The same from an operator in the chat, who typed "/VERB ARG": the reply
// goes to the operator as server lines.
void operator_command(Room& room, Connection& op, std::string_view verb, std::string_view arg);

bool muted_now(const Connection& c, int64_t now_s);
// Whether `c` may not speak to others now; if so, the user is told so as
// the answer to the line just typed.
bool hushed(Room& room, Connection& c);
// The same for a line answered like a chat line (no line break yet, no
// prompt after it): the line stays on the writer's screen, answered like a
// command.
bool hold_back(Room& room, Connection& c);

}  // namespace nchatd

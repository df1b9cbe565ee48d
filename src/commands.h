// The chat commands: the sixteen of old, those added since, then the
// operators' own.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "room.h"

namespace nchatd {

using Handler = void (*)(Room& room, Connection& c, std::string_view arg);

struct Command {
    std::string_view name;
    Handler handler;
    std::string_view args;
    std::string_view help;
    // Answered like a chat line: no line break before, no prompt after.
    bool said = false;
    bool for_operators = false;  // unknown and unlisted for everybody else
};

// In listing order.
extern const std::span<const Command> commands;

// Runs a line that begins with "/": the word after it names the command,
// spaces after the word separate it from the argument.
void run_command(Room& room, Connection& c, std::string_view line);

// Bell settings by Profile::bell.
inline constexpr std::array<std::string_view, 4> bell_names = {"none", "msg-only", "wait-only", "msg-and-wait"};

}  // namespace nchatd

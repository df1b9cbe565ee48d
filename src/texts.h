// The fixed texts the server sends, byte for byte.
#pragma once

#include <string_view>

namespace nchatd::texts {

using namespace std::literals;

inline constexpr std::string_view version = "0.3.5"sv;
inline constexpr std::string_view prompt = "> "sv;
inline constexpr std::string_view newline = "\r\n"sv;
inline constexpr std::string_view server_prefix = "* "sv;

inline constexpr std::string_view too_many_users =
    "Too many client are connected. Try again later.\r\nDisconnecting.\r\n"sv;
inline constexpr std::string_view too_many_from_addr =
    "Too many connections from your address. Try again later.\r\nDisconnecting.\r\n"sv;
inline constexpr std::string_view no_resource =
    "Not enough resource available. Try again later.\r\nDisconnecting.\r\n"sv;
inline constexpr std::string_view error_head = "ERROR: "sv;
inline constexpr std::string_view error_tail = ". Try again later.\r\nDisconnecting.\r\n"sv;

inline constexpr std::string_view name_too_long = "* name is too long, disconnecting\r\n"sv;
inline constexpr std::string_view name_invalid = "* name contains invalid characters or too long\r\n"sv;
inline constexpr std::string_view name_taken = "* name already taken!\r\n"sv;
inline constexpr std::string_view login_timeout = "* no name entered in time, disconnecting\r\n"sv;
inline constexpr std::string_view shutting_down = "* server is shutting down, disconnecting\r\n"sv;
inline constexpr std::string_view private_sent = "* private message sent\r\n"sv;

// Delivery around a message: a colour reset and carriage return before it,
// a banner when it ends wait mode.
inline constexpr std::string_view safe_cr = "\x1b[0m\r"sv;
inline constexpr std::string_view wakeup = "\r* \x1b[7mMessage arrived\x1b[0m\r\n"sv;
inline constexpr std::string_view bell = "\a"sv;
// From the cursor to the end of the screen: what a wrapped input leaves.
inline constexpr std::string_view erase_below = "\x1b[J"sv;

}  // namespace nchatd::texts

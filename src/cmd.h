// The command table and the time texts the commands share.
#pragma once

#include <cstddef>
#include <ctime>

struct nchatd_server;
struct nchatd_user;

// A handler returns true when it has closed the caller's connection; the
// dispatcher then leaves the slot alone.  Otherwise the caller is owed a
// prompt.  `arg` is writable text inside the caller's input line.
using nchatd_handler = bool (*)(nchatd_server& s, nchatd_user& u, char* arg);

struct nchatd_command {
    const char* name;
    nchatd_handler handler;
    const char* args;
    const char* help;
};

// Sixteen commands in listing order, then a row of nulls.
extern const nchatd_command nchatd_commands[17];

// Bell settings by bell_mode: bit 0 rings on every delivered line, bit 1
// when a delivered line ends wait mode.
inline constexpr const char* bell_string[4] = {"none", "msg-only", "wait-only", "msg-and-wait"};

// Calendar time in the asctime layout without its line end, in UTC or in
// local time; `buf` holds at least nchatd_time_text_size bytes.
inline constexpr size_t nchatd_time_text_size = 64;
const char* nchatd_utc_text(time_t t, char* buf);
const char* nchatd_local_text(time_t t, char* buf);

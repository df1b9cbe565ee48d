// The reduced telnet the server speaks: the command bytes it filters out of
// the input and the one option sequence it sends.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace nchatd::telnet {

inline constexpr unsigned char iac = 255;
inline constexpr unsigned char dont = 254;
inline constexpr unsigned char do_ = 253;
inline constexpr unsigned char wont = 252;
inline constexpr unsigned char will = 251;
inline constexpr unsigned char sb = 250;
inline constexpr unsigned char se = 240;

inline constexpr unsigned char opt_echo = 1;
inline constexpr unsigned char opt_sga = 3;
inline constexpr unsigned char opt_naws = 31;
inline constexpr unsigned char opt_linemode = 34;

// The server echoes and suppresses go-ahead; the client is to report its
// window size (so that input which wraps can be redrawn) and not to edit
// lines itself.
inline constexpr char option_bytes[] = {
    '\xff', '\xfd', '\x1f',  // IAC DO NAWS
    '\xff', '\xfe', '\x22',  // IAC DONT LINEMODE
    '\xff', '\xfb', '\x01',  // IAC WILL ECHO
    '\xff', '\xfb', '\x03',  // IAC WILL SGA
};
inline constexpr std::string_view option_sequence{option_bytes, sizeof option_bytes};

struct State {
    bool iac_seen = false;
    bool in_subneg = false;
    uint8_t skip = 0;  // option bytes still to drop after WILL/WONT/DO/DONT
    // The subnegotiation being read: its option and first data bytes.
    uint8_t sb_len = 0;
    std::array<uint8_t, 5> sb{};
    // The window size the client last reported; 0 while unknown.
    uint16_t width = 0;
    uint16_t height = 0;
};

enum class Verdict {
    data,     // a byte for the line editor
    dropped,  // part of a telnet command
    command,  // an IAC that starts a command
    window,   // the end of a window size report: see width and height
};

// Classifies one input byte and advances the state.
Verdict filter(State& st, unsigned char c);

}  // namespace nchatd::telnet

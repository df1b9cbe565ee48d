// The reduced telnet the server speaks: the command bytes it filters and
// the one option sequence it sends.
#pragma once

#include <cstddef>

struct nchatd_server;
struct nchatd_user;

inline constexpr unsigned char telnet_iac = 255;
inline constexpr unsigned char telnet_dont = 254;
inline constexpr unsigned char telnet_do = 253;
inline constexpr unsigned char telnet_wont = 252;
inline constexpr unsigned char telnet_will = 251;
inline constexpr unsigned char telnet_sb = 250;
inline constexpr unsigned char telnet_se = 240;

inline constexpr unsigned char telnet_opt_echo = 1;
inline constexpr unsigned char telnet_opt_sga = 3;
inline constexpr unsigned char telnet_opt_naws = 31;
inline constexpr unsigned char telnet_opt_linemode = 34;

// The server echoes and suppresses go-ahead; the client is not to report
// its window size nor to edit lines itself.
inline constexpr unsigned char telnet_stuff[12] = {
    telnet_iac, telnet_dont, telnet_opt_naws,      //
    telnet_iac, telnet_dont, telnet_opt_linemode,  //
    telnet_iac, telnet_will, telnet_opt_echo,      //
    telnet_iac, telnet_will, telnet_opt_sga,
};

// Sends the option sequence as one last piece and notes that it was sent.
void nchatd_send_telnet_stuff(nchatd_server& s, nchatd_user& u);

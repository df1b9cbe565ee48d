// Descriptor preparation: close-on-exec, non-blocking mode, TCP keep-alive.
// Each returns 0, or a negative value with errno as the failing call left it.
#pragma once

// Keep-alive: a peer that vanished silently is noticed after about
// 60 + 5 * 10 = 110 seconds.
inline constexpr int opt_keepalive = 1;
inline constexpr int opt_keepidle = 60;
inline constexpr int opt_keepintvl = 10;
inline constexpr int opt_keepcnt = 5;

[[nodiscard]] int nchatd_set_cloexec(int fd);
[[nodiscard]] int nchatd_set_nonblock(int fd);
[[nodiscard]] int nchatd_set_keepalive(int sock);
// Fixes the kernel send buffer at `bytes`.
[[nodiscard]] int nchatd_set_sndbuf(int sock, int bytes);
// Sends small segments at once: output is already gathered into one send
// per client and loop turn, and waiting for acknowledgements would only
// delay echo and chat lines.
[[nodiscard]] int nchatd_set_nodelay(int sock);

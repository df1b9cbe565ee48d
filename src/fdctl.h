// Descriptors: an owner that closes, and the preparation of sockets.
// Each set_ function returns 0, or a negative value with errno as the
// failing call left it.
#pragma once

#include <unistd.h>

#include <utility>

namespace nchatd {

class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.fd_, -1));
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

[[nodiscard]] int set_cloexec(int fd);
[[nodiscard]] int set_nonblock(int fd);
[[nodiscard]] int set_keepalive(int sock);
// Fixes the kernel send buffer at `bytes`.
[[nodiscard]] int set_sndbuf(int sock, int bytes);
// Sends small segments at once: output is already gathered into one send
// per client and loop turn, and waiting for acknowledgements would only
// delay echo and chat lines.
[[nodiscard]] int set_nodelay(int sock);
// Closes a socket after reading away a little unread input: unread input
// turns close() into a reset, which can destroy the last words still on
// their way to the client.
void close_draining(int sock);

}  // namespace nchatd

#include "stream.h"

#include <sys/socket.h>

#include <cerrno>

namespace nchatd {

IoResult PlainStream::read(std::span<unsigned char> into)
{
    for (;;) {
        ssize_t n = recv(fd_, into.data(), into.size(), 0);
        if (n > 0)
            return {.bytes = static_cast<size_t>(n)};
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return {};
        return {.ended = true};
    }
}

IoResult PlainStream::write(std::string_view bytes)
{
    for (;;) {
        ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return {.bytes = static_cast<size_t>(n)};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {};
        return {.ended = true};
    }
}

}  // namespace nchatd

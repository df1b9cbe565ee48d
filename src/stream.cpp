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

size_t drain(Stream& s, OutputQueue& out)
{
    size_t took = 0;
    while (!out.empty()) {
        IoResult r = s.write(out.pending());
        // A broken connection is retired by its input side.
        if (r.ended)
            out.clear();
        if (r.bytes == 0)
            break;
        out.consumed(r.bytes);
        took += r.bytes;
    }
    out.commit(s.committed());
    return took;
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

// The byte stream under one connection: a plain socket, or TLS over one.
// The server reads and writes through it and never knows which it has, so
// the room, the output queue and one send per client per turn stay as
// they are.
#pragma once

#include <poll.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "output_queue.h"

namespace nchatd {

// What one read or write did: bytes moved; none, when the stream waits for
// poll; or the end of the stream.
struct IoResult {
    size_t bytes = 0;
    bool ended = false;
    // Why a broken stream is dropped, for the log; null for a peer that
    // simply went away.  Valid as long as the stream.
    const char* why = nullptr;
    // The TLS handshake finished during this read.
    bool opened = false;
};

class Stream {
  public:
    virtual ~Stream() = default;
    // At most `into.size()` bytes of the peer's input.
    [[nodiscard]] virtual IoResult read(std::span<unsigned char> into) = 0;
    // Hands bytes to the kernel, as many as it takes now.
    [[nodiscard]] virtual IoResult write(std::string_view bytes) = 0;
    // Input that the stream holds already, which poll cannot report.
    virtual bool pending() const = 0;
    // The poll events that let a read (when `reading`) and a write (when
    // `writing`) go on.
    virtual short events(bool reading, bool writing) const = 0;
    // Whether what poll reported lets a read go on.
    virtual bool readable(short revents) const = 0;
    // Bytes at the front of the last write that the stream took in but has
    // not sent: the next write must begin with them, unchanged.
    virtual size_t committed() const = 0;
    // Whether output can go out: false while a TLS handshake runs.
    virtual bool established() const = 0;
    // The protocol and cipher, for the log; empty for a plain socket.
    virtual std::string describe() const = 0;
    // The protocol's last words, if any; the owner closes the socket.
    virtual void close() = 0;
};

// A plain TCP socket, not owned.
class PlainStream final : public Stream {
  public:
    explicit PlainStream(int fd) : fd_(fd) {}
    IoResult read(std::span<unsigned char> into) override;
    IoResult write(std::string_view bytes) override;
    bool pending() const override { return false; }
    size_t committed() const override { return 0; }
    short events(bool reading, bool writing) const override
    {
        return static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0));
    }
    bool readable(short revents) const override { return revents & POLLIN; }
    bool established() const override { return true; }
    std::string describe() const override { return {}; }
    void close() override {}

  private:
    int fd_;
};

// The stream of one connection, owned: a plain one in place, any other on
// the heap.  A heap object per plain connection would sit between the
// output buffers that drained queues give back, and keep their pages.
class StreamHolder {
  public:
    StreamHolder() = default;
    StreamHolder(const StreamHolder&) = delete;
    StreamHolder& operator=(const StreamHolder&) = delete;

    void plain(int fd)
    {
        reset();
        plain_ = PlainStream(fd);
        stream_ = &plain_;
    }
    StreamHolder& operator=(std::unique_ptr<Stream> s)
    {
        reset();
        heap_ = std::move(s);
        stream_ = heap_.get();
        return *this;
    }
    void reset()
    {
        stream_ = nullptr;
        heap_.reset();
    }
    Stream* operator->() const { return stream_; }
    Stream& operator*() const { return *stream_; }
    explicit operator bool() const { return stream_ != nullptr; }

  private:
    Stream* stream_ = nullptr;
    PlainStream plain_{-1};
    std::unique_ptr<Stream> heap_;
};

// Hands the queue to the stream until it takes no more, and returns the
// bytes it took; a broken stream empties the queue.  What the stream holds
// unsent stays fixed in the queue.
size_t drain(Stream& s, OutputQueue& out);

}  // namespace nchatd

// Output queued for one connection until the kernel takes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "bounds.h"

namespace nchatd {

// How a piece of output relates to the next one: `last` ends a burst (a
// message, a reply, a redraw), the only places where a dropped slow reader
// may be cut off.
enum class Mode { more, last };

// Bytes [head, tail) wait for the kernel.  The buffer is allocated by the
// first append, grows from its initial size to its bound, and is given
// back once drained, so that an idle connection holds none.
class OutputQueue {
  public:
    // Appends unless the queue would pass its bound; then it takes nothing.
    // Inline: a line to the room is appended once for every reader.
    [[nodiscard]] bool append(std::string_view bytes, Mode mode)
    {
        if (tail_ + bytes.size() > cap_ && !reserve(bytes.size()))
            return false;
        if (!bytes.empty())
            std::memcpy(buf_.get() + tail_, bytes.data(), bytes.size());
        tail_ += static_cast<uint32_t>(bytes.size());
        if (mode == Mode::last)
            burst_end_ = tail_;
        return true;
    }
    // What waits for the kernel.
    std::string_view pending() const { return {buf_.get() + head_, tail_ - head_}; }
    size_t size() const { return tail_ - head_; }
    bool empty() const { return head_ == tail_; }
    size_t capacity() const { return cap_; }
    // The kernel took `n` bytes from the front.  Inline, as append: once
    // for every send.
    void consumed(size_t n)
    {
        head_ += static_cast<uint32_t>(n);
        committed_ = committed_ > n ? committed_ - static_cast<uint32_t>(n) : 0;
        if (head_ >= tail_)
            clear();
    }
    // The first `n` bytes went to a stream that holds them without having
    // sent them (a TLS record waiting for the kernel), and that must be
    // handed them again unchanged: the rules below leave them as they are.
    void commit(size_t n) { committed_ = static_cast<uint32_t>(std::min(n, size())); }
    // Empties the queue, keeping its buffer.
    void clear()
    {
        head_ = tail_ = burst_end_ = 0;
        redraw_at_ = redraw_end_ = 0;
        committed_ = 0;
    }
    // Drops whatever follows the last complete burst.
    void cut_to_burst();
    // Notes that the last `len` bytes are a redraw of prompt and input line.
    void mark_redraw(size_t len)
    {
        if (size() < len)
            return;
        redraw_end_ = tail_;
        redraw_at_ = tail_ - static_cast<uint32_t>(len);
    }
    // When the queue is more than half full and ends with a redraw the
    // client has not received yet, removes that redraw and returns true:
    // the client's screen then ends with the previous message's line end.
    bool drop_stale_redraw() { return size() > outq_max / 2 && drop_redraw(); }
    // Removes the redraw at the end of the queue, whatever its fill; true
    // when there was one the client has not received any of.
    bool drop_redraw();
    // Gives an empty queue's buffer back; returns the bytes given back.
    size_t shrink();

  private:
    struct free_deleter {
        void operator()(char* p) const { std::free(p); }
    };
    bool reserve(size_t len);
    static constexpr size_t queue_align = 64;
    static_assert(outq_initial % queue_align == 0 && outq_max % queue_align == 0);

    std::unique_ptr<char, free_deleter> buf_;
    uint32_t cap_ = 0;
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
    uint32_t burst_end_ = 0;  // end of the last complete burst
    // The last redraw while it is still queued: a client that falls behind
    // gets it replaced by the next delivery instead of collecting one stale
    // redraw per message.
    uint32_t redraw_at_ = 0;
    uint32_t redraw_end_ = 0;
    uint32_t committed_ = 0;  // bytes from head_ on; see commit()
};

}  // namespace nchatd

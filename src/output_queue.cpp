#include "output_queue.h"

#include <algorithm>
#include <cstring>

#include "bounds.h"

namespace nchatd {

// Makes room for `len` more bytes at the tail: first by moving what is left
// to the front, then by doubling the buffer up to its bound.
bool OutputQueue::reserve(size_t len)
{
    if (tail_ + len <= cap_)
        return true;
    size_t used = size();
    if (used + len > outq_max)
        return false;
    if (head_ > 0) {
        std::memmove(buf_.get(), buf_.get() + head_, used);
        burst_end_ = burst_end_ > head_ ? burst_end_ - head_ : 0;
        if (redraw_at_ < head_) {
            redraw_at_ = redraw_end_ = 0;  // partly with the kernel already
        } else {
            redraw_at_ -= head_;
            redraw_end_ -= head_;
        }
        head_ = 0;
        tail_ = static_cast<uint32_t>(used);
        if (used + len <= cap_)
            return true;
    }
    size_t cap = cap_ ? cap_ : outq_initial;
    while (cap < used + len)
        cap *= 2;
    cap = std::min(cap, outq_max);
    // On a cache line of its own: a copy to a reader then fills one line
    // rather than straddling two, for the memcpy here and for the kernel's.
    auto* grown = static_cast<char*>(std::aligned_alloc(queue_align, cap));
    if (!grown)
        return false;
    if (tail_ > 0)
        std::memcpy(grown, buf_.get(), tail_);
    buf_.reset(grown);
    cap_ = static_cast<uint32_t>(cap);
    return true;
}

void OutputQueue::cut_to_burst()
{
    // Committed bytes go out whole even when they end inside a burst: the
    // alternative is a broken record.
    tail_ = std::max(burst_end_, head_ + committed_);
}

bool OutputQueue::drop_redraw()
{
    if (redraw_end_ <= redraw_at_ || redraw_end_ != tail_ || redraw_at_ < head_ + committed_)
        return false;
    tail_ = burst_end_ = redraw_at_;
    redraw_at_ = redraw_end_ = 0;
    return true;
}

size_t OutputQueue::shrink()
{
    if (cap_ == 0 || !empty())
        return 0;
    buf_.reset();
    const size_t freed = cap_;
    cap_ = 0;
    clear();
    return freed;
}

}  // namespace nchatd

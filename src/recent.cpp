#include "recent.h"

#include <algorithm>

namespace nchatd {

void Recent::allocate(size_t lines)
{
    ring_.assign(std::min(lines, static_cast<size_t>(max_recent)), Entry{});
    next_ = count_ = 0;
}

void Recent::keep(std::string_view stamp, std::string_view text)
{
    if (ring_.empty())
        return;
    Entry& e = ring_[next_];
    e.stamp_len = static_cast<uint8_t>(stamp.copy(e.stamp.data(), e.stamp.size()));
    e.len = static_cast<uint16_t>(text.copy(e.text.data(), e.text.size()));
    next_ = (next_ + 1) % ring_.size();
    count_ = std::min(count_ + 1, ring_.size());
}

Recent::Line Recent::operator[](size_t i) const
{
    const Entry& e = ring_[(next_ + ring_.size() - count_ + i) % ring_.size()];
    return {{e.stamp.data(), e.stamp_len}, {e.text.data(), e.len}};
}

}  // namespace nchatd

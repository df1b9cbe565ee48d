#include "sources.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace nchatd {

SourceKey source_key(const sockaddr_storage& addr)
{
    SourceKey k;
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        k.bytes[10] = k.bytes[11] = 0xff;
        std::memcpy(&k.bytes[12], &in.sin_addr, 4);
    } else if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        const bool v4 = IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr);
        // One host or one LAN is given a whole /64: counting whole
        // addresses would let it count as 2^64 sources.
        std::memcpy(k.bytes.data(), in6.sin6_addr.s6_addr, v4 ? 16 : 8);
    }
    return k;
}

size_t SourceKeyHash::operator()(const SourceKey& k) const
{
    uint64_t a = 0;
    uint64_t b = 0;
    std::memcpy(&a, k.bytes.data(), 8);
    std::memcpy(&b, k.bytes.data() + 8, 8);
    return static_cast<size_t>((a * 0x9e3779b97f4a7c15ULL) ^ (b + 0x632be59bd9b4e019ULL + (a >> 7)));
}

bool Budget::take(int64_t cost_us, int64_t burst_us, int64_t now_us)
{
    const int64_t from = std::max(until_us, now_us);
    if (from + cost_us - now_us > burst_us)
        return false;
    until_us = from + cost_us;
    return true;
}

bool Budget::charge(int64_t cost_us, int64_t burst_us, int64_t now_us)
{
    until_us = std::max(until_us, now_us) + cost_us;
    return until_us - now_us > burst_us;
}

// The entries are made as sources arrive, within room reserved at once
// (so that references stay valid): a server that hears from few sources
// does not keep pages for thousands.
Sources::Sources(size_t capacity) : capacity_(capacity)
{
    table_.reserve(capacity);
    index_.reserve(capacity);
}

uint32_t Sources::find_or_add(const SourceKey& key)
{
    if (auto it = index_.find(key); it != index_.end())
        return it->second;
    if (table_.size() < capacity_) {
        table_.emplace_back().key = key;
        index_.emplace(key, static_cast<uint32_t>(table_.size() - 1));
        return static_cast<uint32_t>(table_.size() - 1);
    }
    // A full table: the entry whose budgets were spent furthest in the
    // past is the one whose loss buys a source least.
    uint32_t victim = 0;
    int64_t oldest = INT64_MAX;
    for (uint32_t i = 0; i < table_.size(); ++i) {
        const Source& s = table_[i];
        if (s.connections > 0)
            continue;
        const int64_t spent = std::max(s.connects.until_us, s.lines.until_us);
        if (spent < oldest) {
            oldest = spent;
            victim = i;
        }
    }
    Source& s = table_[victim];
    index_.erase(s.key);
    s = Source{};
    s.key = key;
    index_.emplace(key, victim);
    return victim;
}

}  // namespace nchatd

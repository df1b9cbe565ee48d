// Sources: where connections come from, counted as an attacker cannot
// multiply them cheaply (an IPv4 address, an IPv6 /64), and what each has
// used, kept for a while after its last connection has gone.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace nchatd {

// IPv4 addresses (also as IPv4-mapped IPv6) in the IPv4-mapped form, IPv6
// addresses cut to their /64; the two never meet.
struct SourceKey {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const SourceKey&) const = default;
};
SourceKey source_key(const sockaddr_storage& addr);

struct SourceKeyHash {
    size_t operator()(const SourceKey& k) const;
};

// A budget in the manner of an IRC message timer: each use pushes `until`
// on by its cost, and the budget is spent while `until` runs more than the
// burst ahead of the clock.
struct Budget {
    int64_t until_us = 0;
    // Charges `cost_us`; false (and nothing charged) when that would run
    // more than `burst_us` ahead of `now_us`.
    bool take(int64_t cost_us, int64_t burst_us, int64_t now_us);
    // Charges `cost_us` whatever it leaves; true when the budget is then
    // more than `burst_us` ahead.
    bool charge(int64_t cost_us, int64_t burst_us, int64_t now_us);
};

struct Source {
    SourceKey key;
    uint32_t connections = 0;  // open connections, logged in or not
    Budget connects;
    Budget lines;
    bool connects_logged = false;  // the refusal was logged; again once refilled
};

class Sources {
  public:
    explicit Sources(size_t capacity);

    // The entry of `key`: the existing one, a new one while the table has
    // room, or else one in place of the entry without connections whose
    // budgets refill first.  The table holds more entries than there are
    // slots, so one without connections is always there.
    uint32_t find_or_add(const SourceKey& key);
    Source& at(uint32_t index) { return table_[index]; }
    const Source& at(uint32_t index) const { return table_[index]; }
    size_t size() const { return index_.size(); }
    size_t capacity() const { return capacity_; }

  private:
    size_t capacity_;
    std::vector<Source> table_;
    std::unordered_map<SourceKey, uint32_t, SourceKeyHash> index_;
};

}  // namespace nchatd

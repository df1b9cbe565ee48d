// What the operators decided about newcomers: address ranges that are
// banned, for how long and why, and the lock.  Pure bookkeeping, in memory
// only; it never touches the room or a socket.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "connection.h"

namespace nchatd {

// An IPv4 range /0-32 or an IPv6 range /0-128.  An IPv6 range never covers
// an IPv4 client, even where the socket shows that client IPv4-mapped.
struct Range {
    bool v6 = false;
    std::array<uint8_t, 16> net{};  // host bits are zero
    unsigned prefix = 0;

    // "ADDRESS" (a /32 or /128) or "ADDRESS/PREFIX"; nothing else.
    static std::optional<Range> parse(std::string_view text);
    // What a ban by name covers: the peer's address as a /32, or its /64,
    // since one IPv6 host commonly holds a whole /64.
    static std::optional<Range> of(const Peer& peer);
    bool covers(const Peer& peer) const;
    std::string text() const;
    bool operator==(const Range&) const = default;
};

// "30s", "10m", "2h", "1d", or "0" for as long as the server runs; the
// seconds, or nothing for anything else.
std::optional<int64_t> parse_duration(std::string_view word);
// How much of a duration is left, shortly: "45s", "9m30s", "2h0m", "1d3h".
std::string duration_text(int64_t seconds);
// "N more minutes", rounded up, as users are told it.
std::string minutes_left(int64_t seconds);

struct Ban {
    Range range;
    int64_t until_s = 0;  // monotonic; 0: until the server stops
    std::string reason;
    std::string by;  // "uid 1000", or the operator's name
};

// Why a newcomer is turned away before the welcome.
enum class Refusal { none, banned, locked };

class Bans {
  public:
    // The moderation clock in monotonic seconds; tests turn it by hand.
    int64_t (*clock)() = monotonic_s;
    int64_t now() const { return clock(); }

    // Adds the ban, or renews the one on the same range; false when the
    // list is full.
    [[nodiscard]] bool add(Ban ban);
    // Lifts the ban on exactly `range`, or with `covering` every ban that
    // covers the range's address; the number lifted.
    size_t lift(const Range& range, bool covering);
    // The bans in force, expired ones forgotten.
    const std::vector<Ban>& list();
    // The ban in force that covers `peer`, or null.
    const Ban* find(const Peer& peer);

    void lock(std::string_view reason)
    {
        locked_ = true;
        lock_reason_ = reason;
    }
    void unlock() { locked_ = false, lock_reason_.clear(); }
    bool locked() const { return locked_; }

    // Whether a newcomer from `peer` is turned away, with the one line it
    // is told (a ban wins over the lock: it says more).
    Refusal refusal(const Peer& peer, std::string& line);

  private:
    void expire();

    std::vector<Ban> bans_;
    bool locked_ = false;
    std::string lock_reason_;
};

}  // namespace nchatd

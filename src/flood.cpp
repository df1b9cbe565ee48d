// The line budget: a flooder is read no faster than its budget refills.
#include <algorithm>

#include "clock.h"
#include "server.h"

namespace nchatd {

// Charges a receive to the connection's line budget and stops reading from
// it while it owes more than the burst.
void Server::charge(Connection& c, size_t lines, size_t bytes)
{
    const int64_t rate = limits_.line_rate;
    if (rate == 0 || !c.open())
        return;
    FloodBudget& f = c.flood;
    const int64_t now = monotonic_us();
    if (f.until_us <= now) {
        f.until_us = now;
        f.logged = false;
    }
    auto cost = static_cast<int64_t>(std::max(lines * flood_line_bytes, bytes));
    f.until_us += cost * 1000000 / (rate * static_cast<int64_t>(flood_line_bytes));
    if (f.until_us - now <= flood_burst_lines * 1000000 / rate || f.throttled)
        return;
    f.throttled = true;
    throttled_.push_back(room_.slot_of(c));
    set_events(c);
    room_.stats().flood_holds++;
    if (!f.logged)
        room_.log_event(c.peer, " held back: input flood.\n");
    f.logged = true;
}

void Server::unthrottle(Connection& c)
{
    if (!c.flood.throttled)
        return;
    c.flood.throttled = false;
    std::erase(throttled_, room_.slot_of(c));
    set_events(c);
    hold_pending(c);
}

// Reading resumes once a connection owes no more than the burst; returns
// the milliseconds until the next one is due, or -1 when none waits.
int Server::resume_throttled()
{
    if (throttled_.empty())
        return -1;
    const int64_t now = monotonic_us();
    const int64_t burst = flood_burst_lines * 1000000 / std::max(limits_.line_rate, 1L);
    int64_t next = -1;
    for (size_t k = 0; k < throttled_.size();) {
        Connection& c = room_.at(throttled_[k]);
        int64_t due = c.flood.until_us - burst;
        if (due <= now) {
            unthrottle(c);  // moves the others up
            continue;
        }
        next = next < 0 ? due - now : std::min(next, due - now);
        ++k;
    }
    return next < 0 ? -1 : static_cast<int>((next + 999) / 1000);
}

}  // namespace nchatd

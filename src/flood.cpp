// The line budgets: a flooder is read no faster than its own budget and
// its source's shared one refill.
#include <algorithm>

#include "clock.h"
#include "server.h"

namespace nchatd {

namespace {

// A receive costs a line for each line, or for each flood_line_bytes of
// input if that is more; in microseconds of a budget refilled `rate` lines
// a second.
int64_t cost_us(size_t lines, size_t bytes, int64_t rate)
{
    const auto units = static_cast<int64_t>(std::max(lines * flood_line_bytes, bytes));
    return units * 1000000 / (rate * static_cast<int64_t>(flood_line_bytes));
}

int64_t burst_us(int64_t lines, int64_t rate)
{
    return lines * 1000000 / std::max<int64_t>(rate, 1);
}

}  // namespace

// Charges a receive to the connection's line budget and to its source's,
// and stops reading from it while it owes more than the burst of either.
void Server::charge(Connection& c, size_t lines, size_t bytes)
{
    if (!c.open())
        return;
    const int64_t now = monotonic_us();
    bool over = false;
    FloodBudget& f = c.flood;
    Budget& shared = sources_.at(c.source).lines;
    // After a rest of both, a new hold-back is logged again.
    if (f.until_us <= now && shared.until_us <= now)
        f.logged = false;
    if (const int64_t rate = limits_.line_rate; rate > 0) {
        f.until_us = std::max(f.until_us, now) + cost_us(lines, bytes, rate);
        over = f.until_us - now > burst_us(flood_burst_lines, rate);
    }
    if (const int64_t rate = limits_.source_line_rate; rate > 0)
        over |= shared.charge(cost_us(lines, bytes, rate), burst_us(source_burst_lines, rate), now);
    if (over)
        throttle(c);
}

// When reading from the connection may go on: once neither it nor its
// source owes more than the burst.
int64_t Server::resume_due_us(const Connection& c) const
{
    int64_t due = 0;
    if (const int64_t rate = limits_.line_rate; rate > 0)
        due = c.flood.until_us - burst_us(flood_burst_lines, rate);
    if (const int64_t rate = limits_.source_line_rate; rate > 0)
        due = std::max(due, sources_.at(c.source).lines.until_us - burst_us(source_burst_lines, rate));
    return due;
}

void Server::throttle(Connection& c)
{
    FloodBudget& f = c.flood;
    if (f.throttled)
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

// Reading resumes once a connection and its source owe no more than their
// bursts; returns the milliseconds until the next one is due, or -1 when
// none waits.
int Server::resume_throttled()
{
    if (throttled_.empty())
        return -1;
    const int64_t now = monotonic_us();
    int64_t next = -1;
    for (size_t k = 0; k < throttled_.size();) {
        Connection& c = room_.at(throttled_[k]);
        int64_t due = resume_due_us(c);
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

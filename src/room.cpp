#include "room.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "layout.h"

#include "texts.h"
#include "utf8.h"

namespace nchatd {

namespace {

constexpr std::string_view some_spaces = "                                                               ";

// A whole delivery in all but freak cases: banner, blanking of a one-row
// input, message, prompt and input.
constexpr size_t burst_max = 2 * (line_max + 8) + message_max + line_max + 128;

// One delivery's bytes, gathered on the stack and appended to the queue at
// once.  Whatever does not fit goes ahead as part of the same burst.
class Burst {
  public:
    Burst(Room& room, Connection& c) : room_(room), c_(c) {}
    void add(std::string_view bytes)
    {
        if (len_ + bytes.size() > buf_.size())
            flush();
        total_ += bytes.size();
        if (bytes.size() > buf_.size())
            return room_.send(c_, bytes, Mode::more);
        bytes.copy(buf_.data() + len_, bytes.size());
        len_ += bytes.size();
    }
    void fill(char ch, size_t count)
    {
        for (size_t n; count > 0; count -= n) {
            if (len_ == buf_.size())
                flush();
            n = std::min(count, buf_.size() - len_);
            std::fill_n(buf_.data() + len_, n, ch);
            len_ += n;
            total_ += n;
        }
    }
    void addf(const char* fmt, size_t n)
    {
        char text[24];
        int k = snprintf(text, sizeof text, fmt, n);
        add({text, static_cast<size_t>(std::clamp(k, 0, static_cast<int>(sizeof text) - 1))});
    }
    // Bytes added so far.
    size_t size() const { return total_; }
    void finish() { room_.send(c_, {buf_.data(), len_}, Mode::last); }
    // All of them, once finished, unless some went ahead.
    std::optional<std::string_view> whole() const
    {
        if (len_ != total_)
            return std::nullopt;
        return std::string_view{buf_.data(), len_};
    }

  private:
    void flush()
    {
        if (len_ > 0)
            room_.send(c_, {buf_.data(), len_}, Mode::more);
        len_ = 0;
    }

    Room& room_;
    Connection& c_;
    std::array<char, burst_max> buf_;
    size_t len_ = 0;
    size_t total_ = 0;
};

// Goes back to where the prompt began, writes the message and draws the
// prompt and the input again.  On one row going back is BS and spaces over
// what the message will not cover, then CR; from a wrapped input it is CR,
// up the rows it took, and an erase of the screen below, ahead of any
// banner.  Without the stale redraw the cursor stands at the start of a
// line.
void compose(Burst& out, Profile& p, std::string_view input, const Message& m, layout::Cursor drawn, size_t width)
{
    const layout::Takeback back = layout::take_back(drawn, width, m.columns);
    if (back.clear) {
        out.add(texts::safe_cr);
        if (back.up > 0)
            out.addf("\x1b[%zuA", back.up);
        out.add(texts::erase_below);
    }
    bool ring = p.bell & 1;
    if (p.waiting) {
        if (p.bell & 2) {
            out.add(texts::bell);
            ring = false;
        }
        out.add(texts::wakeup);
        p.waiting = false;
    }
    out.fill('\b', back.backs);
    out.fill(' ', back.backs);
    if (ring)
        out.add(texts::bell);
    if (!back.clear)
        out.add(texts::safe_cr);
    out.add(m.stamp);
    out.add(m.text);
    out.add(texts::prompt);
    out.add(input);
}

}  // namespace

Stamp stamp_now()
{
    Stamp s;
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return s;
    // Written by hand: every line to the room carries one, and a format
    // string would cost more than the line's delivery to a small room.
    const auto two = [&](size_t at, int v) {
        s.text[at] = static_cast<char>('0' + v / 10 % 10);
        s.text[at + 1] = static_cast<char>('0' + v % 10);
    };
    two(0, local.tm_hour);
    s.text[2] = ':';
    two(3, local.tm_min);
    s.text[5] = ' ';
    s.len = 6;
    return s;
}

Room::Room(size_t slots, Transport& transport, Log& log)
    : slots_(slots), transport_(transport), log_(log), start_time_(time(nullptr))
{
    pending_.reserve(slots);
    requested_.reserve(slots);
}

Connection* Room::free_slot()
{
    for (Connection& c : slots_) {
        if (!c.in_use)
            return &c;
    }
    return nullptr;
}

void Room::occupy(Connection& c, unique_fd fd, const Peer& peer)
{
    c.reset();
    c.fd = std::move(fd);
    c.in_use = true;
    c.peer = peer;
    c.profile.login_time = c.profile.last_active = time(nullptr);
    stats_.peak_connections = std::max(stats_.peak_connections, static_cast<uint64_t>(++occupied_));
}

void Room::vacate(Connection& c)
{
    if (!c.in_use)
        return;
    forget_ignores(c);
    transport_.close(c);
    if (c.closing == Closing::overflow)
        overflowed_--;
    c.in_use = false;
    c.closing = Closing::open;
    c.why = nullptr;
    c.out.clear();
    occupied_--;
}

Connection* Room::find(std::string_view name)
{
    for (Connection& c : slots_) {
        if (c.open() && c.named() && c.name() == name)
            return &c;
    }
    return nullptr;
}

size_t Room::unnamed_from(uint32_t source) const
{
    return static_cast<size_t>(std::count_if(slots_.begin(), slots_.end(), [&](const Connection& c) {
        return c.open() && !c.named() && c.source == source;
    }));
}

bool Room::takes_delivery(Connection& c)
{
    if (soft_mark_ == 0)
        return true;
    Backlog& b = c.backlog;
    if (b.skipped > 0 && c.out.empty())
        tell_skipped(c);
    if (b.skipped == 0 && c.out.size() < soft_mark_)
        return true;
    b.skipped++;
    stats_.lines_skipped++;
    return false;
}

void Room::tell_skipped(Connection& c)
{
    const uint32_t skipped = c.backlog.skipped;
    if (skipped == 0 || !c.open())
        return;
    c.backlog.skipped = 0;
    log_event(c.peer, " missed %u line%s: output too slow.\n", skipped, skipped == 1 ? "" : "s");
    char text[80];
    int n = snprintf(text, sizeof text, "* %u line%s skipped: your connection is too slow\r\n", skipped,
                     skipped == 1 ? "" : "s");
    deliver(c, stamp_now().view(), {text, std::min(static_cast<size_t>(std::max(n, 0)), sizeof text - 1)});
}

void Room::send(Connection& c, std::string_view bytes, Mode mode)
{
    if (!c.open())
        return;
    if (!c.out.append(bytes, mode)) {
        // The kernel may have room by now: a reader that keeps up is never
        // dropped just because a burst was large.
        (void)transport_.flush(c);
        if (!c.out.append(bytes, mode)) {
            overflow(c);
            return;
        }
    }
    note_queued(c, bytes.size());
}

void Room::send_stamp(Connection& c)
{
    Stamp s = stamp_now();
    if (s.len > 0)
        send(c, s.view(), Mode::more);
}

void Room::send_telnet_options(Connection& c)
{
    c.profile.telnet_sent = true;
    send(c, telnet::option_sequence, Mode::last);
}

void Room::send_prompt(Connection& c)
{
    send(c, texts::prompt, Mode::last);
    c.screen.prompt_cols = static_cast<uint8_t>(texts::prompt.size());
    c.screen.at = layout::place_run({}, c.width(), texts::prompt.size());
}

void Room::send_newline(Connection& c)
{
    send(c, texts::newline, Mode::last);
    c.screen.at = {};
}

void Room::send_spaces(Connection& c, size_t count, Mode mode)
{
    while (count > 0) {
        size_t n = std::min(count, some_spaces.size());
        send(c, some_spaces.substr(0, n), mode);
        count -= n;
    }
}

Message::Message(std::string_view stamp_, std::string_view text_) : stamp(stamp_), text(text_)
{
    std::string_view shown = text;
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n'))
        shown.remove_suffix(1);
    // Columns, not bytes: a wide character takes two, a combining mark none.
    columns = stamp.size() + utf8::columns(shown);
}

// One message's bytes to readers with nothing typed, no bell and no wait,
// which differ only by where their cursor stood and by their width: a
// message to a room full of them is composed once, not once a reader.
struct Room::Composed {
    bool kept = false;
    layout::Cursor drawn;
    size_t width = 0;
    layout::Cursor at;  // behind the prompt again, once delivered
    size_t len = 0;
    std::array<char, burst_max> bytes;

    bool fits(layout::Cursor drawn_at, size_t columns) const { return kept && drawn == drawn_at && width == columns; }
    void keep(layout::Cursor drawn_at, size_t columns, layout::Cursor after, std::string_view whole)
    {
        kept = true;
        drawn = drawn_at;
        width = columns;
        at = after;
        len = whole.copy(bytes.data(), bytes.size());
    }
};

void Room::deliver(Connection& c, const Message& m)
{
    deliver(c, m, nullptr);
}

// The kept bytes to a reader whose screen they fit, without composing:
// most of a line to the room goes this way, so it is checked before
// anything changes (a queue over half its bound takes the long way, which
// drops its stale redraw first).  False when they do not fit.  Inline in
// the loop over the readers, with the rare full queue out of line.
inline bool Room::deliver_composed(Connection& c, const Composed& composed)
{
    if (!composed.kept || !c.open() || !c.editor.line().empty() || (c.profile.bell & 1) || c.profile.waiting ||
        c.out.size() > outq_max / 2 || !composed.fits(c.screen.at, c.width()))
        return false;
    stats_.copies_delivered++;
    const std::string_view bytes{composed.bytes.data(), composed.len};
    if (c.out.append(bytes, Mode::last))
        note_queued(c, bytes.size());
    else if (!send_past_full(c, bytes))
        return true;
    c.out.mark_redraw(texts::prompt.size());
    c.screen.prompt_cols = static_cast<uint8_t>(texts::prompt.size());
    c.screen.at = composed.at;
    return true;
}

bool Room::send_past_full(Connection& c, std::string_view bytes)
{
    send(c, bytes, Mode::last);
    return c.open();
}

void Room::deliver(Connection& c, const Message& m, Composed* keep)
{
    if (!c.open())
        return;
    stats_.copies_delivered++;
    const size_t width = c.width();
    const layout::Cursor drawn = c.out.drop_stale_redraw() ? layout::Cursor{} : c.screen.at;
    const std::string_view input = c.editor.line();
    // Kept for the readers after this one, whose bytes would be the same;
    // asked before composing, which ends a wait.
    const bool plain = input.empty() && !(c.profile.bell & 1) && !c.profile.waiting;
    Burst out(*this, c);
    compose(out, c.profile, input, m, drawn, width);
    out.finish();
    const layout::Cursor at = layout::advance(layout::place_run({}, width, texts::prompt.size()), width, input);
    if (const auto whole = out.whole(); keep && plain && whole)
        keep->keep(drawn, width, at, *whole);
    if (!c.open())
        return;
    c.out.mark_redraw(texts::prompt.size() + input.size());
    c.screen.prompt_cols = static_cast<uint8_t>(texts::prompt.size());
    c.screen.at = at;
}

// The one decision who reads what.  Notices reach everybody; what a user
// said skips those who ignore that user, a check paid only while somebody
// does: the writer's count of lists it is in says so once for the line.
void Room::to_readers(const Connection* from, const Message& m, bool said)
{
    Composed composed;
    const bool ignored = said && from->ignores.by > 0;
    for (Connection& c : slots_) {
        if (!c.open() || !c.named() || &c == from)
            continue;
        if (ignored && c.ignores.count > 0 && c.ignores.has(slot_of(*from)))
            continue;
        if (takes_delivery(c) && !deliver_composed(c, composed))
            deliver(c, m, &composed);
    }
}

void Room::broadcast(const Connection* from, std::string_view text, bool with_time)
{
    const Stamp stamp = with_time ? stamp_now() : Stamp{};
    to_readers(from, Message(stamp.view(), text), false);
}

void Room::say(Connection& from, std::string_view to_others, std::string_view own_copy)
{
    const Stamp stamp = stamp_now();
    to_readers(&from, Message(stamp.view(), to_others), true);
    recent_.keep(stamp.view(), to_others);
    deliver(from, stamp.view(), own_copy);
    from.profile.lines_written++;
}

void Room::private_message(Connection& to, const Connection& from, std::string_view text)
{
    if (to.ignores.count > 0 && to.ignores.has(slot_of(from)))
        return;
    if (!takes_delivery(to))
        return;
    char line[message_max];
    int n = snprintf(line, sizeof line, "![%s] %.*s\r\n", from.profile.name.data(), static_cast<int>(text.size()),
                     text.data());
    deliver(to, stamp_now().view(), {line, std::min(static_cast<size_t>(std::max(n, 0)), sizeof line - 1)});
}

Room::Ignored Room::ignore(Connection& c, Connection& who)
{
    Ignores& list = c.ignores;
    const size_t slot = slot_of(who);
    if (list.has(slot))
        return Ignored::already;
    if (list.count == list.slots.size())
        return Ignored::full;
    list.slots[list.count++] = static_cast<uint16_t>(slot);
    who.ignores.by++;
    return Ignored::added;
}

bool Room::unignore(Connection& c, Connection& who)
{
    Ignores& list = c.ignores;
    const size_t slot = slot_of(who);
    for (size_t i = 0; i < list.count; ++i) {
        if (list.slots[i] == slot) {
            list.slots[i] = list.slots[--list.count];
            who.ignores.by--;
            return true;
        }
    }
    return false;
}

// An ending connection leaves every list it was in and empties its own,
// before its slot can be taken again.
void Room::forget_ignores(Connection& c)
{
    Ignores& own = c.ignores;
    for (size_t i = 0; i < own.count; ++i)
        slots_[own.slots[i]].ignores.by--;
    own.count = 0;
    for (size_t i = 0; own.by > 0 && i < slots_.size(); ++i) {
        if (slots_[i].ignores.count > 0)
            (void)unignore(slots_[i], c);
    }
}

void Room::request_close(Connection& c, const char* why)
{
    if (!c.open())
        return;
    c.closing = Closing::requested;
    c.why = why;
    requested_.push_back(slot_of(c));
}

void Room::overflow(Connection& c)
{
    c.closing = Closing::overflow;
    c.why = "output queue full";
    stats_.dropped_output_full++;
    // Whatever follows the last whole burst would reach the client cut.
    c.out.cut_to_burst();
    overflowed_++;
}

void Room::end(Connection& c)
{
    if (c.named()) {
        char text[message_max];
        int n =
            snprintf(text, sizeof text, "* user %s logged off from %s\r\n", c.profile.name.data(), c.peer.host.data());
        broadcast(&c, {text, static_cast<size_t>(std::max(n, 0))}, true);
    }
    if (c.why)
        log_event(c.peer, " dropped: %s.\n", c.why);
    else if (c.named())
        log_event(c.peer, " has been closed (user \"%s\").\n", c.profile.name.data());
    else
        log_event(c.peer, " has been closed.\n");
    (void)transport_.flush(c);
    vacate(c);
}

void Room::retire()
{
    // Requests come from the event's own connection, or from the sweep's
    // login timeouts; they go in the order they were made.
    for (size_t k = 0; k < requested_.size(); ++k)
        end(slots_[requested_[k]]);
    requested_.clear();
    // Ending one user broadcasts its logoff, which may overflow others, also
    // in slots already passed: go round until a pass ends nobody.  Every
    // pass but the last frees a slot, so this ends.
    for (bool again = overflowed_ > 0; again;) {
        again = false;
        for (Connection& c : slots_) {
            if (c.in_use && c.closing == Closing::overflow) {
                end(c);
                again = true;
            }
        }
    }
}

// Each send passes much of the cache through the kernel, so the next
// slots' fields and queue would be fetched cold, one stall per copy: they
// are asked for while the send before them runs.  Inlined by force: to the
// optimiser a function that only prefetches has no effect, and a call to
// it is dropped.
[[gnu::always_inline]] inline void Room::prefetch_flush(size_t i) const
{
    if (i + 2 < pending_.size()) {
        const char* ahead = reinterpret_cast<const char*>(&slots_[pending_[i + 2]]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
    }
    if (i + 1 < pending_.size()) {
        const std::string_view bytes = slots_[pending_[i + 1]].out.pending();
        if (!bytes.empty()) {
            __builtin_prefetch(bytes.data());
            __builtin_prefetch(&bytes.back());
        }
    }
}

void Room::flush_all()
{
    size_t kept = 0;
    for (size_t i = 0; i < pending_.size(); ++i) {
        prefetch_flush(i);
        const size_t slot = pending_[i];
        Connection& c = slots_[slot];
        if (c.in_use && !transport_.flush(c)) {
            pending_[kept++] = slot;
            continue;
        }
        c.listed = false;
    }
    pending_.resize(kept);
    queued_ = 0;
}

void Room::log_event(const Peer& peer, const char* fmt, ...)
{
    char rest[400];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(rest, sizeof rest, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    log_.line("Connection from %s%s%s:%u%s", peer.ipv6 ? "[" : "", peer.host.data(), peer.ipv6 ? "]" : "",
              static_cast<unsigned>(peer.port), rest);
}

}  // namespace nchatd

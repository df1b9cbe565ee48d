// One slot of the table: a connection and everything the server knows of
// the person behind it.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "bounds.h"
#include "fdctl.h"
#include "layout.h"
#include "line_editor.h"
#include "output_queue.h"
#include "stream.h"
#include "telnet.h"

namespace nchatd {

// Where a connection comes from, as log lines and notices show it.  An
// IPv4 client is dotted even when an IPv6 socket took it; inet_ntop gives
// one text per address, so equal texts are equal addresses.
struct Peer {
    std::array<char, 46> host{};  // numeric address text
    uint16_t port = 0;
    bool ipv6 = false;      // logged as "[host]:port"
    uint16_t tls_port = 0;  // the TLS port it came in on; 0 for the plain port

    std::string_view address() const { return host.data(); }
};

// What the user chose and did.
struct Profile {
    uint8_t bell = 0;  // bit 0: ring on every delivered line; bit 1: when one ends the wait
    bool waiting = false;
    std::array<char, name_max + 1> name{};  // empty until logged in
    // status_max characters of UTF-8.  Few users set one: a string keeps a
    // short text in place and a long one on the heap, instead of room for
    // the longest in every slot.
    std::string status;
    bool telnet_sent = false;
    time_t login_time = 0;
    time_t last_active = 0;
    uint64_t lines_written = 0;
    std::string away;  // empty when not away; as the status
    time_t away_since = 0;

    bool is_away() const { return !away.empty(); }
};

// Whom the user ignores, by slot.  An entry never outlives either
// connection: the room takes it out when the ignored one ends, so a later
// occupant of that slot is not ignored.
struct Ignores {
    std::array<uint16_t, ignore_max> slots{};
    uint8_t count = 0;
    uint16_t by = 0;  // lists this connection is in

    bool has(size_t slot) const
    {
        for (size_t i = 0; i < count; ++i) {
            if (slots[i] == slot)
                return true;
        }
        return false;
    }
};

// What the client's terminal shows of the prompt and the input behind it,
// so that a delivery or an erase can go back over them when they wrap.
struct Screen {
    uint8_t prompt_cols = 0;  // the prompt in front of the input
    layout::Cursor at;        // the cursor, from the start of the prompt's row
};

// The line budget; see flood_burst_lines.
struct FloodBudget {
    int64_t until_us = 0;    // monotonic time the budget is spent to
    bool throttled = false;  // reading stopped until it refills
    bool logged = false;     // the hold-back was logged; again after a rest
};

// What operators made of the connection: an operator in the chat, or muted
// until `muted_until_s` (monotonic; 0 while muted: until the server stops).
struct Standing {
    bool op = false;
    bool muted = false;
    int64_t muted_until_s = 0;
};

// Output the reader falls behind with, and input held back meanwhile.
struct Backlog {
    uint32_t skipped = 0;      // lines not delivered since the queue passed the soft mark
    bool hold_logged = false;  // holding its input back was logged
    int64_t progress_s = 0;    // monotonic second the kernel last took output, or the queue was empty
};

// What one receive brought beyond a command whose reply left the queue
// over the hold mark; taken before anything new is read.  Every flush asks
// whether there is any, to know whether to poll for input, and hardly any
// reads the bytes: the length sits among a slot's hot fields, the bytes
// (Connection::unread_bytes) at its back.
struct Unread {
    uint8_t len = 0;
    bool empty() const { return len == 0; }
};
static_assert(recv_size <= 255);

// A connection on its way out is hidden from delivery, lookup and /list at
// once, and retired by the loop after the current event.
enum class Closing : uint8_t {
    open,
    requested,  // by the connection's own event: quit, refusal, peer gone
    overflow,   // its output queue passed its bound during someone's event
};

// 1 to 20 printable ASCII characters, not beginning with "/", with no space
// at either end (such a name would look like another in /list).
inline bool valid_name(std::string_view name)
{
    if (name.empty() || name.size() > name_max || name.front() == '/' || name.front() == ' ' || name.back() == ' ')
        return false;
    for (char ch : name) {
        auto b = static_cast<unsigned char>(ch);
        if (b < 32 || b > 126)
            return false;
    }
    return true;
}

// A line to the room reads a few fields of every slot in a row, hundreds
// of slots for one line, and the flush after it a few more, with a send
// between two slots that passes much of the cache through the kernel.
// Those fields come first: what the flush reads in a slot's first two
// cache lines (the queue, held input, the stream and the budgets), what
// the delivery reads besides in the third (where the cursor stands, the
// width, the input line and the head of the profile: bell, wait and name);
// then the rest.
struct alignas(64) Connection {
    bool in_use = false;
    bool listed = false;  // on the room's list of queued output
    Closing closing = Closing::open;
    Unread unread;
    unique_fd fd;  // the transport's handle; empty for a free slot
    OutputQueue out;
    // All I/O on `fd`, plain or TLS; set by the server's admission, null
    // under the in-memory transports of tests and the fuzzer.
    StreamHolder stream;
    FloodBudget flood;
    Backlog backlog;
    Screen screen;
    telnet::State telnet;
    LineEditor editor;
    Profile profile;

    const char* why = nullptr;  // the reason logged when it is dropped
    int64_t admitted_s = 0;     // monotonic seconds, for the login grace
    Peer peer;
    Ignores ignores;
    Standing standing;
    uint32_t source = 0;                                  // the server's entry for the connection's address
    std::array<unsigned char, recv_size> unread_bytes{};  // held input: the first unread.len bytes

    bool open() const { return in_use && closing == Closing::open; }
    bool named() const { return profile.name[0] != '\0'; }
    std::string_view name() const { return profile.name.data(); }
    size_t width() const { return layout::effective_width(telnet.width); }

    // A new occupant starts from nothing but the queue's buffer, if the
    // last one's has not been given back yet (and the descriptor and
    // stream, which admission hands over).
    void reset()
    {
        closing = Closing::open;
        why = nullptr;
        peer = {};
        telnet = {};
        editor = {};
        screen = {};
        profile = {};
        flood = {};
        ignores = {};
        standing = {};
        source = 0;
        backlog = {};
        unread = {};
        out.clear();
    }
};

}  // namespace nchatd

// The room: the table of connections, lookup, delivery with redraw,
// broadcast, private messages and the one way a connection ends.  It does
// no system call; it reaches the kernel only through its Transport.
#pragma once

#include <cstddef>
#include <ctime>
#include <span>
#include <string_view>
#include <vector>

#include "bans.h"
#include "connection.h"
#include "log.h"
#include "recent.h"
#include "stats.h"

namespace nchatd {

// What the room needs of the sockets below it.
class Transport {
  public:
    // Hands the connection's queue to the kernel, as much as it takes now;
    // true when the queue is empty afterwards.
    virtual bool flush(Connection& c) = 0;
    // Ends the connection's socket and takes its descriptor out of `c.fd`.
    virtual void close(Connection& c) = 0;

  protected:
    ~Transport() = default;
};

// "HH:MM " in local time, or empty when the local time is unknown.
struct Stamp {
    char text[8]{};
    size_t len = 0;
    std::string_view view() const { return {text, len}; }
};
Stamp stamp_now();

// A message to deliver, with the columns it takes on a terminal (its line
// end aside), worked out once however many receive it.
struct Message {
    Message(std::string_view stamp, std::string_view text);
    std::string_view stamp;
    std::string_view text;
    size_t columns;
};

class Room {
  public:
    Room(size_t slots, Transport& transport, Log& log);

    std::span<Connection> connections() { return slots_; }
    Connection& at(size_t slot) { return slots_[slot]; }
    size_t slot_of(const Connection& c) const { return static_cast<size_t>(&c - slots_.data()); }
    Log& log() { return log_; }
    Charset charset() const { return charset_; }
    void set_charset(Charset charset) { charset_ = charset; }
    time_t start_time() const { return start_time_; }
    void set_start_time(time_t t) { start_time_ = t; }
    Bans& bans() { return bans_; }

    Stats& stats() { return stats_; }
    const Stats& stats() const { return stats_; }
    // Slots in use now, on their way out included.
    size_t occupied() const { return occupied_; }

    // The lowest free slot, or null.
    Connection* free_slot();
    // The two ends of a slot's life.  `occupy` gives a free slot to a new
    // connection, which owns `fd` from now on; `vacate` ends the socket
    // through the transport and frees the slot, whatever state it was in.
    void occupy(Connection& c, unique_fd fd, const Peer& peer);
    void vacate(Connection& c);
    // The open, logged-in connection of that exact name, or null.
    Connection* find(std::string_view name);
    // Open connections of source `source` that have not logged in.
    size_t unnamed_from(uint32_t source) const;

    // Past `bytes` queued for a reader, others' lines to it are skipped and
    // counted (0: never); see default_soft_mark_kib.
    void set_soft_mark(size_t bytes) { soft_mark_ = bytes; }
    // Whether input is held back while a queue is over outq_hold_input.
    void set_hold_input(bool on) { hold_input_ = on; }
    bool holds_input(const Connection& c) const { return hold_input_ && c.out.size() > outq_hold_input; }
    // Whether a chat line, action or notice from someone else goes to `c`
    // now: not while its queue is over the soft mark, and then not until it
    // has drained, when `c` is first told how many it missed.
    bool takes_delivery(Connection& c);
    // The notice of lines skipped, once the queue has drained.
    void tell_skipped(Connection& c);
    // Bytes queued since the last flush_all, for all connections together.
    size_t queued() const { return queued_; }

    // Queues output for an open connection.  One whose queue would pass its
    // bound gets nothing more and is retired after the current event.
    void send(Connection& c, std::string_view bytes, Mode mode);
    void send_stamp(Connection& c);
    // The prompt at the start of a row, with nothing typed behind it yet.
    void send_prompt(Connection& c);
    // Ends the row; nothing stands behind the cursor then.
    void send_newline(Connection& c);
    void send_spaces(Connection& c, size_t count, Mode mode);
    // The telnet option sequence as one burst, noted as sent.
    void send_telnet_options(Connection& c);

    // Writes a message above the user's input line and draws the prompt and
    // the half-typed input again below it.
    void deliver(Connection& c, const Message& m);
    void deliver(Connection& c, std::string_view stamp, std::string_view text) { deliver(c, Message(stamp, text)); }
    // Delivers to every logged-in user but `from`, behind one stamp when
    // `with_time`.
    void broadcast(const Connection* from, std::string_view text, bool with_time);
    // A chat line or action: `to_others` behind one stamp to every other
    // logged-in user who does not ignore the writer, and into the recent
    // lines; `own_copy` to the writer, whose lines written grow by one.
    void say(Connection& from, std::string_view to_others, std::string_view own_copy);
    // Delivered unless `to` ignores `from`; the sender cannot tell.
    void private_message(Connection& to, const Connection& from, std::string_view text);

    // The lines `say` kept, for those who log in later.
    Recent& recent() { return recent_; }

    enum class Ignored { added, already, full };
    Ignored ignore(Connection& c, Connection& who);
    // False when `c` did not ignore `who`.
    bool unignore(Connection& c, Connection& who);

    // Hides the connection from delivery, lookup and /list at once; the
    // loop retires it after the event.  `why` is logged as "dropped: why",
    // or null for a connection that simply ended.
    void request_close(Connection& c, const char* why);
    // Retires every connection asked to close: logoff notice for a
    // logged-in user, log line, queue flushed, socket closed.  The
    // connection whose own event asked goes first, then those whose queue
    // overflowed, in slot order, until a pass finds none.
    void retire();
    // Hands every queued output to the transport.
    void flush_all();

    // "Connection from ADDRESS:PORT" (or "[IPV6]:PORT") and the rest, as
    // one log line.
    void log_event(const Peer& peer, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  private:
    struct Composed;
    void deliver(Connection& c, const Message& m, Composed* keep);
    bool deliver_composed(Connection& c, const Composed& composed);
    // A send to a queue that was full a moment ago; false when that closed `c`.
    bool send_past_full(Connection& c, std::string_view bytes);
    // Counts `bytes` newly queued for `c` and lists `c` for the flush.
    void note_queued(Connection& c, size_t bytes)
    {
        queued_ += bytes;
        if (!c.listed) {
            c.listed = true;
            pending_.push_back(slot_of(c));
        }
    }
    void overflow(Connection& c);
    void end(Connection& c);
    void to_readers(const Connection* from, const Message& m, bool said);
    void prefetch_flush(size_t i) const;
    void forget_ignores(Connection& c);

    std::vector<Connection> slots_;
    std::vector<size_t> pending_;  // slots with queued output
    std::vector<size_t> requested_;
    size_t overflowed_ = 0;
    size_t queued_ = 0;
    size_t soft_mark_ = 0;
    bool hold_input_ = false;
    Transport& transport_;
    Log& log_;
    Recent recent_;
    Bans bans_;
    time_t start_time_ = 0;
    size_t occupied_ = 0;
    Stats stats_;
    Charset charset_ = Charset::utf8;
};

}  // namespace nchatd

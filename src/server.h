// The only socket I/O: the poll table, admission and refusal, receive,
// flush, close, the day change, the once-a-second sweep and the stop.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bounds.h"
#include "fdctl.h"
#include "listener.h"
#include "log.h"
#include "report.h"
#include "room.h"
#include "sources.h"
#include "stream.h"
#include "tls.h"

namespace nchatd {

// One client of the control socket: the operator's request on its way in,
// then the reply on its way out; nothing else.
struct ControlClient {
    unique_fd fd;  // empty: a free place
    unsigned uid = 0;
    int64_t since_s = 0;  // monotonic; for control_timeout_s
    std::string in;       // the request so far
    std::string out;      // the reply
    size_t sent = 0;
    bool answered = false;
};

// The poll table in named parts, each a run of entries in one array that
// poll() takes whole: the listening sockets, the control clients, the log,
// the stop signals and one entry per slot, in slot order.  Parts are sized
// while the server is set up, never while the loop runs.
class PollTable {
  public:
    enum Part : uint8_t { listeners, controls, log, signals, slots, parts };

    void resize(Part part, size_t n);
    std::span<pollfd> operator[](Part part) { return {polls_.data() + begin_[part], size(part)}; }
    std::span<const pollfd> operator[](Part part) const { return {polls_.data() + begin_[part], size(part)}; }
    size_t size(Part part) const { return begin_[part + 1] - begin_[part]; }
    std::span<pollfd> all() { return polls_; }

  private:
    std::vector<pollfd> polls_;
    std::array<size_t, parts + 1> begin_{};
};

// A connect refused for its source's connect rate, answered when its time
// comes.
struct HeldRefusal {
    unique_fd sock;
    int64_t due_us = 0;  // monotonic
    bool tls = false;
};

class Server final : public Transport {
  public:
    Server(long slots, const Limits& limits, Log& log);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Adds a listening socket; any number, each served the same way.
    // `path`: a UNIX socket made here, removed at the stop.
    void listen_on(unique_fd listener, Listen kind = Listen::chat, std::string path = {});
    // The context of the TLS port, loaded from the two files, which
    // SIGHUP loads again.
    void use_tls(TlsContext ctx, std::string cert_file, std::string key_file);
    // Takes the descriptor that reports the stop signals.
    void watch_signals(unique_fd signals);
    // Sends the telnet option sequence with every greeting (-t).
    void greet_with_telnet(bool on) { telnet_greeting_ = on; }
    // Start time, day and spare descriptor as of now (after detaching).
    void begin();
    // One turn of the event loop: poll, signals, day change, sweep,
    // admission, input, output.  Returns -1 only when poll fails for a
    // reason other than EINTR.
    [[nodiscard]] int turn(int timeout_ms);
    // The signal that asked the server to stop, or 0.
    int stop_signal() const { return stop_signal_; }
    // The stop: no more admissions, a last notice to every connection,
    // at most `flush_ms` for the queues to drain, every socket closed.
    void shut_down(int flush_ms);
    // Admits an accepted socket into the lowest free slot or refuses it.
    // `tls_port` is the TLS port it came in on, 0 for the plain one.
    void admit(unique_fd sock, const sockaddr_storage& addr, uint16_t tls_port = 0);

    Room& room() { return room_; }
    const pollfd& poll_entry(const Connection& c) const { return polls_[PollTable::slots][room_.slot_of(c)]; }

    // Control clients being served now.
    size_t control_clients() const;

    bool flush(Connection& c) override;
    void close(Connection& c) override;

  private:
    bool accept_one(const Listener& l);
    void refuse_without_descriptor(const Listener& l);
    void refuse_connect_rate(unique_fd sock, bool tls);
    // Answers the held refusals that are due (all of them when `all`);
    // returns the ms until the next one is, or -1 when none is held.
    int answer_held(bool all);
    void reload_tls();
    void hold_pending(const Connection& c);
    void serve(Connection& c, short revents);
    void check_day();
    void sweep();
    Connection* longest_waiter();
    Connection* evict(Connection& waiter);
    void take_input(Connection& c, std::span<const unsigned char> bytes);
    void resume_held();
    void charge(Connection& c, size_t lines, size_t bytes);
    int64_t resume_due_us(const Connection& c) const;
    void throttle(Connection& c);
    int resume_throttled();
    void unthrottle(Connection& c);
    void set_events(const Connection& c);
    void read_signals();
    // control.cpp: the control socket's clients.
    void admit_control(unique_fd sock);
    void serve_control(ControlClient& cc, short revents);
    void take_request(ControlClient& cc);
    void send_reply(ControlClient& cc);
    void drop_control(ControlClient& cc, const char* why);
    void sweep_controls(int64_t now_s);
    // The one door from the control socket into the room.
    pollfd& log_entry() { return polls_[PollTable::log][0]; }
    pollfd& signal_entry() { return polls_[PollTable::signals][0]; }
    pollfd& slot_entry(const Connection& c) { return polls_[PollTable::slots][room_.slot_of(c)]; }
    pollfd& control_entry(const ControlClient& cc)
    {
        return polls_[PollTable::controls][static_cast<size_t>(&cc - controls_.data())];
    }

    Log& log_;
    Limits limits_;
    Room room_;
    PollTable polls_;
    std::vector<size_t> throttled_;
    // Slots whose stream holds input already read from the socket: they
    // are served next turn whether or not poll reports them.
    std::vector<size_t> held_;
    std::vector<size_t> unread_;         // slots with input kept while their queue drains
    std::vector<HeldRefusal> refusals_;  // in order of their time, so of arrival
    size_t refusals_max_ = 0;            // what the open-files limit leaves
    Sources sources_;
    long per_source_ = 0;
    int64_t now_s_ = 0;                // monotonic seconds as of this turn's poll
    std::vector<Listener> listeners_;  // in the order of the table's part
    std::array<ControlClient, control_clients_max> controls_;
    unique_fd spare_;  // given up for a moment when accept() hits EMFILE
    unique_fd signals_;
    TlsContext tls_;  // for new connections on the TLS port
    std::string cert_file_;
    std::string key_file_;
    int stop_signal_ = 0;
    bool telnet_greeting_ = false;
    int last_mday_ = 0;
    int64_t last_sweep_s_ = 0;
};

}  // namespace nchatd

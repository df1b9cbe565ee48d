// The only socket I/O: the poll table, admission and refusal, receive,
// flush, close, the day change, the once-a-second sweep and the stop.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "bounds.h"
#include "fdctl.h"
#include "log.h"
#include "room.h"

namespace nchatd {

class Server final : public Transport {
  public:
    Server(long slots, const Limits& limits, Log& log);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server();

    void listen_on(unique_fd listener);
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
    void admit(unique_fd sock, const sockaddr_storage& addr);

    Room& room() { return room_; }
    const pollfd& poll_entry(const Connection& c) const { return polls_[1 + room_.slot_of(c)]; }

    bool flush(Connection& c) override;
    void close(Connection& c) override;

  private:
    void accept_one();
    void refuse_without_descriptor();
    void serve(Connection& c, short revents);
    void check_day();
    void sweep();
    void charge(Connection& c, size_t lines, size_t bytes);
    int resume_throttled();
    void unthrottle(Connection& c);
    void set_events(const Connection& c);
    void read_signals();
    pollfd& log_entry() { return polls_[polls_.size() - 2]; }
    pollfd& signal_entry() { return polls_.back(); }

    Log& log_;
    Limits limits_;
    Room room_;
    std::vector<pollfd> polls_;  // listening socket, one per slot, the log, the signals
    std::vector<size_t> throttled_;
    unique_fd listener_;
    unique_fd spare_;  // given up for a moment when accept() hits EMFILE
    unique_fd signals_;
    int stop_signal_ = 0;
    bool telnet_greeting_ = false;
    int last_mday_ = 0;
    int64_t last_sweep_s_ = 0;
};

}  // namespace nchatd

// In-process test bench: a room whose connections are in-memory sockets,
// driven without the event loop, so a test sees exactly the bytes each
// step sends and a slow reader is as slow as the test says.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "room.h"

namespace unit {

// Sockets in memory: each holds at most `capacity` bytes its client has not
// read, as a kernel's buffer would, and takes no more until they are read.
class memory_transport final : public nchatd::Transport {
  public:
    struct socket {
        std::string unread;
        size_t capacity = 0;
        bool closed = false;
    };
    bool flush(nchatd::Connection& c) override;
    void close(nchatd::Connection& c) override;
    std::vector<socket> sockets;  // indexed by the connection's made-up descriptor
};

class bench {
  public:
    // Large enough for any reply the tests ask for.
    static constexpr size_t fast_reader = 1 << 20;

    explicit bench(size_t slots = 8);
    ~bench();
    bench(const bench&) = delete;
    bench& operator=(const bench&) = delete;

    // Admits a new connection from `host` into the lowest free slot and
    // returns the slot, or -1 when the table is full.  The welcome and name
    // prompt are read away unless `keep`.  A small `capacity` makes a slow
    // reader.  Peers get the ports 40000, 40001, ... in order of connection.
    int connect(bool keep = false, size_t capacity = fast_reader, const char* host = "127.0.0.1");
    // Connects and logs in; returns the slot.
    int login(std::string_view name, size_t capacity = fast_reader, const char* host = "127.0.0.1");
    // Logs in each of `names` in turn, then reads away what everybody got;
    // returns their slots.
    template <class... Names> std::array<int, sizeof...(Names)> users(const Names&... names)
    {
        std::array<int, sizeof...(Names)> slots{login(names)...};
        drain_all();
        return slots;
    }
    // Hands `bytes` to the receive path of `slot` in receives of at most
    // recv_size bytes, as the event loop reads them, retiring and flushing
    // after each; what follows a receive that closed the connection is
    // never read.
    void feed(int slot, std::string_view bytes);
    // Flushes and returns (and forgets) what the client in `slot` has
    // received so far, even after its connection was closed.
    std::string read(int slot);
    // Reads as a client that keeps reading would, until nothing more comes
    // (bounded): a slow reader's whole stream.
    std::string read_all(int slot);
    // Types `line` and a CR as one receive; returns everything the user in
    // `slot` got for it, time stamps masked.
    std::string type(int slot, std::string_view line);
    // Reads and forgets everything every client has received.
    void drain_all();
    // True when the server side of `slot` has been closed.
    bool closed(int slot) { return !room.at(static_cast<size_t>(slot)).in_use; }
    nchatd::Connection& user(int slot) { return room.at(static_cast<size_t>(slot)); }

    std::string log;  // every log line so far
    memory_transport transport;
    nchatd::Log logger{&log};
    nchatd::Room room;

  private:
    std::vector<int> socket_of_;  // by slot: the last socket admitted there
};

// Replaces every "HH:MM " time stamp with "SS:SS ".
std::string mask(std::string_view text);
// A stamped line as delivered to a user with an empty input line, masked.
std::string notice(std::string_view text);

}  // namespace unit

// In-process test bench: a server record with real loopback TCP
// connections admitted into its slots, driven without the event loop so a
// test sees exactly the bytes each step sends.
#pragma once

#include <string>
#include <string_view>

#include "nchatd.h"

namespace unit {

class bench {
public:
    explicit bench(int max_users = 8, bool daemonized = true);
    ~bench();
    bench(const bench&) = delete;
    bench& operator=(const bench&) = delete;

    // Connects a client and admits the server's end; returns the client's
    // descriptor (the welcome and name prompt are read away unless `keep`).
    // A `rcvbuf` above 0 shrinks the client's receive buffer, to make a
    // slow reader.
    int connect(bool keep = false, int rcvbuf = 0);
    // Connects and logs in; returns the slot index.
    int login(std::string_view name, int rcvbuf = 0);
    // Hands `bytes` to the receive path of `slot` as one receive, then
    // retires doomed slots and flushes, as the event loop would.
    void feed(int slot, std::string_view bytes);
    // Flushes and returns what client `slot` has received so far.
    std::string read(int slot, int wait_ms = 50);
    // Reads and forgets everything every client has received.
    void drain_all();
    // True when the server side of `slot` has been closed.
    bool closed(int slot);

    nchatd_user& user(int slot) { return s.users[slot]; }
    nchatd_server s{};

private:
    int listener_ = -1;
    int port_ = 0;
    int clients_[nchatd_max_users]{};
};

// Replaces every "HH:MM " time stamp with "SS:SS ".
std::string mask(std::string_view text);

}  // namespace unit

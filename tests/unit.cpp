#include "unit.h"

#include <algorithm>

#include "bounds.h"
#include "harness.h"
#include "session.h"

namespace unit {

bool memory_transport::flush(nchatd::Connection& c)
{
    socket& s = sockets[static_cast<size_t>(c.fd.get())];
    if (s.closed) {
        c.out.clear();
        return true;
    }
    std::string_view out = c.out.pending();
    size_t n = std::min(out.size(), s.capacity - std::min(s.capacity, s.unread.size()));
    s.unread.append(out.substr(0, n));
    c.out.consumed(n);
    return c.out.empty();
}

void memory_transport::close(nchatd::Connection& c)
{
    sockets[static_cast<size_t>(c.fd.get())].closed = true;
    // Not a descriptor of this process: nothing to close.
    (void)c.fd.release();
}

bench::bench(size_t slots) : room(slots, transport, logger), socket_of_(slots, -1) {}

bench::~bench()
{
    // The connections still open hold made-up descriptors, never closed.
    for (nchatd::Connection& c : room.connections())
        (void)c.fd.release();
}

int bench::connect(bool keep, size_t capacity, const char* host)
{
    nchatd::Connection* c = room.free_slot();
    if (!c)
        return -1;
    int fd = static_cast<int>(transport.sockets.size());
    transport.sockets.push_back({"", capacity, false});
    nchatd::Peer peer;
    std::string_view(host).copy(peer.host.data(), peer.host.size() - 1);
    peer.port = static_cast<uint16_t>(40000 + fd);
    peer.ipv6 = std::string_view(host).find(':') != std::string_view::npos;
    nchatd::admit(room, *c, nchatd::unique_fd(fd), peer);
    int slot = static_cast<int>(room.slot_of(*c));
    socket_of_[static_cast<size_t>(slot)] = fd;
    room.flush_all();
    if (!keep)
        read(slot);
    return slot;
}

int bench::login(std::string_view name, size_t capacity, const char* host)
{
    int slot = connect(false, capacity, host);
    feed(slot, std::string(name) + "\r\n");
    read(slot);
    return slot;
}

void bench::feed(int slot, std::string_view bytes)
{
    // receive() echoes into a buffer sized for one receive of the loop.
    for (size_t at = 0; at < bytes.size() && !closed(slot); at += nchatd::recv_size) {
        std::string_view part = bytes.substr(at, nchatd::recv_size);
        nchatd::receive(room, user(slot), {reinterpret_cast<const unsigned char*>(part.data()), part.size()});
        room.retire();
        room.flush_all();
    }
}

std::string bench::read(int slot)
{
    room.flush_all();
    int fd = socket_of_[static_cast<size_t>(slot)];
    if (fd < 0)
        return {};
    std::string out = std::move(transport.sockets[static_cast<size_t>(fd)].unread);
    transport.sockets[static_cast<size_t>(fd)].unread.clear();
    // The kernel would take more as soon as the client has read.
    room.flush_all();
    return out;
}

std::string bench::read_all(int slot)
{
    std::string all;
    for (int round = 0; round < 10000; ++round) {
        std::string more = read(slot);
        if (more.empty())
            break;
        all += more;
    }
    return all;
}

std::string bench::type(int slot, std::string_view line)
{
    feed(slot, std::string(line) + "\r");
    return mask(read(slot));
}

void bench::drain_all()
{
    for (size_t i = 0; i < socket_of_.size(); ++i)
        read(static_cast<int>(i));
}

std::string mask(std::string_view text)
{
    return harness::mask_stamps(text);
}

std::string notice(std::string_view text)
{
    return "\x1b[0m\rSS:SS " + std::string(text) + "\r\n> ";
}

}  // namespace unit

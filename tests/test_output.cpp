// The output path: per-connection queues that keep every byte in order for
// a slow reader, and drop a reader that stops reading, whole bursts only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "bounds.h"
#include "harness.h"
#include "output_queue.h"
#include "server.h"
#include "session.h"
#include "unit.h"

namespace {

using nchatd::Mode;
using nchatd::OutputQueue;

constexpr size_t small_buffer = 4096;

std::string chat_text(int i)
{
    std::string text = "line " + std::to_string(i) + " ";
    text.append(200, static_cast<char>('a' + i % 26));
    return text;
}

// Checks that `screen` holds "<name> chat_text(i)" for i in [0, count), in
// order and each whole.
void expect_lines_in_order(const std::string& screen, const std::string& name, int count)
{
    size_t at = 0;
    for (int i = 0; i < count; ++i) {
        std::string want = "<" + name + "> " + chat_text(i) + "\r\n";
        size_t found = screen.find(want, at);
        ASSERT_NE(found, std::string::npos) << "line " << i << " missing or cut";
        at = found + want.size();
    }
}

const std::string sc = "\x1b[0m\r";

// The stream without the prompts between one message and the next.
std::string without_prompts(std::string stream)
{
    const std::string between = "> " + sc;
    for (size_t at = 0; (at = stream.find(between, at)) != std::string::npos;)
        stream.erase(at, 2);
    return stream;
}

std::string pattern(size_t n, size_t from = 0)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('a' + (from + i) % 23);
    return s;
}

TEST(OutputQueue, GrowsToItsBoundAndTakesWholeAppendsOnly)
{
    OutputQueue q;
    EXPECT_EQ(q.capacity(), 0u);
    ASSERT_TRUE(q.append("x", Mode::last));
    EXPECT_EQ(q.capacity(), nchatd::outq_initial);
    ASSERT_TRUE(q.append(std::string(nchatd::outq_initial, 'y'), Mode::last));
    EXPECT_EQ(q.capacity(), 2 * nchatd::outq_initial) << "grows by doubling";

    // Up to the bound exactly, then nothing more, not even a part.
    q.clear();
    std::string all = pattern(nchatd::outq_max);
    for (size_t at = 0; at < all.size(); at += 1000)
        ASSERT_TRUE(q.append(std::string_view(all).substr(at, 1000), Mode::more));
    EXPECT_EQ(q.capacity(), nchatd::outq_max);
    EXPECT_FALSE(q.append("z", Mode::last));
    EXPECT_EQ(q.pending(), all);

    // What the kernel took makes room again; the rest moves to the front
    // and keeps its order.
    q.consumed(300);
    ASSERT_TRUE(q.append(pattern(300, nchatd::outq_max), Mode::last));
    EXPECT_EQ(q.pending(), pattern(nchatd::outq_max, 300));
    EXPECT_EQ(q.capacity(), nchatd::outq_max);
    q.consumed(q.size());
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.append(std::string(nchatd::outq_max + 1, 'w'), Mode::last));
    EXPECT_TRUE(q.empty());
}

TEST(OutputQueue, CutKeepsOnlyWholeBursts)
{
    OutputQueue q;
    ASSERT_TRUE(q.append("ab", Mode::more));
    ASSERT_TRUE(q.append("cd", Mode::last));
    ASSERT_TRUE(q.append("ef", Mode::more));
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), "abcd");
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), "abcd");

    // A burst the kernel has begun to take is cut where the kernel stands.
    q.clear();
    ASSERT_TRUE(q.append("whole", Mode::last));
    ASSERT_TRUE(q.append("part", Mode::more));
    q.consumed(7);
    q.cut_to_burst();
    EXPECT_TRUE(q.empty());

    // The end of the last burst follows the bytes when they move to the
    // front.
    q.clear();
    ASSERT_TRUE(q.append(std::string(400, 'a'), Mode::last));
    q.consumed(300);
    ASSERT_TRUE(q.append(std::string(300, 'b'), Mode::more));
    EXPECT_EQ(q.capacity(), nchatd::outq_initial) << "room made by moving, not by growing";
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), std::string(100, 'a'));
}

// A client that falls behind gets the redraw of its prompt and input line
// replaced by the next delivery, but only while the queue is more than
// half full and the redraw is the last thing in it.
TEST(OutputQueue, StaleRedrawGivesWayOnlyUnderPressure)
{
    const std::string redraw = "> typed";
    OutputQueue q;
    // A fresh queue holding `before`, then the redraw, marked as such.
    auto queue = [&](const std::string& before) {
        q.clear();
        const bool taken = q.append(before, Mode::last) && q.append(redraw, Mode::last);
        q.mark_redraw(redraw.size());
        return taken;
    };
    ASSERT_TRUE(queue("message\r\n"));
    EXPECT_FALSE(q.drop_stale_redraw()) << "not under pressure";

    // Half full is not yet more than half full.
    const std::string backlog(nchatd::outq_max / 2 - redraw.size(), 'm');
    ASSERT_TRUE(queue(backlog));
    EXPECT_FALSE(q.drop_stale_redraw());
    ASSERT_TRUE(queue(backlog + "m"));
    EXPECT_TRUE(q.drop_stale_redraw());
    EXPECT_EQ(q.pending(), backlog + "m");
    EXPECT_FALSE(q.drop_stale_redraw()) << "a redraw goes once";
    ASSERT_TRUE(q.append("half", Mode::more));
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), backlog + "m") << "the burst now ends before the dropped redraw";

    // Something queued after the redraw keeps it.
    ASSERT_TRUE(q.append(redraw, Mode::last));
    q.mark_redraw(redraw.size());
    ASSERT_TRUE(q.append("\a", Mode::last));
    EXPECT_FALSE(q.drop_stale_redraw());
    // A redraw longer than the queue is no redraw.
    q.clear();
    ASSERT_TRUE(q.append(backlog + "x", Mode::last));
    q.mark_redraw(backlog.size() + 2);
    EXPECT_FALSE(q.drop_stale_redraw());

    // Bytes a TLS stream has encrypted but not sent are as good as sent:
    // neither the stale redraw rule nor a cut may change them.
    ASSERT_TRUE(queue(backlog + "m"));
    q.commit(q.size());
    EXPECT_FALSE(q.drop_stale_redraw());
    ASSERT_TRUE(q.append("half", Mode::more));
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), backlog + "m" + redraw);
    q.consumed(q.size() - 1);
    q.commit(1);
    ASSERT_TRUE(q.append("half", Mode::more));
    q.cut_to_burst();
    EXPECT_EQ(q.pending(), redraw.substr(redraw.size() - 1)) << "committed bytes kept, the part burst cut";
}

TEST(OutputQueue, GivesItsBufferBackOnlyWhenDrained)
{
    OutputQueue q;
    EXPECT_EQ(q.shrink(), 0u);
    ASSERT_TRUE(q.append(std::string(3000, 's'), Mode::last));
    ASSERT_EQ(q.capacity(), 4096u);
    EXPECT_EQ(q.shrink(), 0u) << "output still waits";
    EXPECT_EQ(q.capacity(), 4096u);
    q.consumed(3000);
    EXPECT_EQ(q.shrink(), 4096u);
    EXPECT_EQ(q.capacity(), 0u);
    EXPECT_EQ(q.shrink(), 0u);
    ASSERT_TRUE(q.append("after", Mode::last));
    EXPECT_EQ(q.pending(), "after");
    EXPECT_EQ(q.capacity(), nchatd::outq_initial);
}

// A client that stops reading while a writer talks is dropped at the end
// of the event in which its queue overflowed.  It gets the bursts queued
// before and nothing of the one that did not fit nor anything later; for
// the rest of that event it is gone: no delivery, no /msg, no /list entry.
// Everybody else gets every line whole.
TEST(OutputQueue, NonReaderIsDroppedWholeBurstsOnlyAndGoneAtOnce)
{
    unit::bench b;
    int stuck = b.login("stuck", small_buffer);  // slot 0: the broadcast reaches it first
    const auto [writer, reader] = b.users("writer", "reader");
    const std::string stuck_log =
        "Connection from 127.0.0.1:" + std::to_string(b.user(stuck).peer.port) + " dropped: output queue full.\n";

    // Short of the bound by less than a delivery of the longest line.
    const size_t delivery = (sc + "HH:MM <writer> " + chat_text(999) + "\r\n> ").size();
    std::string reader_got;
    std::string writer_got;
    int sent = 0;
    for (; sent < 1000 && b.user(stuck).out.size() + 2 * delivery < nchatd::outq_max; ++sent) {
        b.feed(writer, chat_text(sent) + "\r\n");
        reader_got += b.read(reader);
        writer_got += b.read(writer);
    }
    ASSERT_TRUE(b.user(stuck).open());
    const std::string longest(nchatd::line_max, 'z');
    b.feed(writer, longest);
    writer_got += b.read(writer);

    // One receive: the line that overflows, then a private message to the
    // one dropped, a listing and another line.
    const std::string rest = "\r\n/msg stuck hi\r\n/list\r\nafter\r\n";
    nchatd::receive(b.room, b.user(writer), {reinterpret_cast<const unsigned char*>(rest.data()), rest.size()});
    ASSERT_EQ(b.user(stuck).closing, nchatd::Closing::overflow);
    // The client reads on before the loop retires it: all it can still get
    // is what was queued before the cut.
    std::string stuck_got = b.read_all(stuck);
    b.room.retire();
    b.room.flush_all();
    stuck_got += b.read(stuck);
    ASSERT_TRUE(b.closed(stuck)) << "a client that never reads must be dropped";
    // Under pressure a prompt not yet sent gives way to the next message;
    // the last one gave way to the message that did not fit, so the client
    // is left with the end of the last whole line.
    std::string want;
    for (int i = 0; i < sent; ++i)
        want += sc + "SS:SS <writer> " + chat_text(i) + "\r\n";
    std::string got = without_prompts(unit::mask(stuck_got));
    EXPECT_TRUE(got == want) << "the client got " << got.size() << " bytes instead of " << want.size() << ", ending in "
                             << testing::PrintToString(got.substr(got.size() - std::min<size_t>(got.size(), 300)));
    EXPECT_NE(b.log.find(stuck_log), std::string::npos) << b.log;

    writer_got += b.read(writer);
    reader_got += b.read(reader);
    expect_lines_in_order(reader_got, "writer", sent);
    EXPECT_NE(reader_got.find("<writer> " + longest + "\r\n"), std::string::npos);
    EXPECT_NE(reader_got.find("<writer> after\r\n"), std::string::npos);
    EXPECT_NE(writer_got.find("<\x1b[1mwriter\x1b[0m> " + longest + "\r\n"), std::string::npos);
    std::string replies = unit::mask(writer_got.substr(writer_got.find("/msg stuck hi")));
    EXPECT_NE(replies.find("/msg stuck hi\r\nSS:SS * no such user\r\n> "), std::string::npos) << replies;
    EXPECT_NE(replies.find("/list\r\nSS:SS *   writer\r\nSS:SS *   reader\r\nSS:SS * end.\r\n> "), std::string::npos)
        << replies;
    for (const std::string& to : {reader_got, writer_got})
        EXPECT_NE(to.find("* user stuck logged off from 127.0.0.1\r\n"), std::string::npos);

    // The slot serves the next connection with a clean queue.
    int next = b.connect(true);
    EXPECT_EQ(next, stuck);
    EXPECT_EQ(b.read(next), harness::welcome);
}

// Retiring one reader broadcasts its logoff notice, which may overflow
// another reader in a slot already passed: that one goes as well.
TEST(OutputQueue, OverflowByALogoffNoticeDropsThatReaderToo)
{
    unit::bench b;
    int second = b.login("second", 0);  // slot 0; neither ever takes a byte
    int first = b.login("first", 0);
    int writer = b.login("writer");
    const size_t line = std::string_view("\x1b[0m\rHH:MM <writer> x\r\n> ").size();
    // Room for the line at `second` but not for a notice after it; none for
    // the line at `first`.
    auto leave_room = [&](int slot, size_t room) {
        b.room.send(b.user(slot), std::string(nchatd::outq_max - b.user(slot).out.size() - room, 'p'), Mode::last);
    };
    leave_room(second, line + 10);
    leave_room(first, line - 1);
    b.feed(writer, "x\r\n");
    EXPECT_TRUE(b.closed(first));
    EXPECT_TRUE(b.closed(second));
    std::string got = b.read(writer);
    EXPECT_NE(got.find("* user first logged off"), std::string::npos) << got;
    EXPECT_NE(got.find("* user second logged off"), std::string::npos) << got;
}

// 300 users leave within one loop turn while a reader has a whole line
// typed: every notice would carry a 1.5 KB redraw of that line, far past
// the queue's bound.  Redraws the client never received give way instead.
TEST(OutputQueue, BurstOfNoticesKeepsReaderWithLongInput)
{
    constexpr int leavers = 300;
    unit::bench b(leavers + 2);
    int typist = b.login("typist", small_buffer);
    std::string typed(nchatd::line_max, 'x');
    b.feed(typist, typed);
    for (int i = 0; i < leavers; ++i)
        b.login("user" + std::to_string(i));
    b.drain_all();

    for (int i = 0; i < leavers; ++i)
        b.room.request_close(b.user(i + 1), nullptr);
    b.room.retire();  // one turn: no flush in between
    ASSERT_FALSE(b.closed(typist)) << "a client that reads must not be dropped";
    EXPECT_LE(b.user(typist).out.size(), nchatd::outq_max);

    std::string wire = b.read_all(typist);
    std::string screen = harness::screen_text(wire);
    for (int i = 0; i < leavers; ++i) {
        std::string notice = "* user user" + std::to_string(i) + " logged off from 127.0.0.1\n";
        size_t at = screen.find(notice);
        ASSERT_NE(at, std::string::npos) << i;
        EXPECT_EQ(screen.find(notice, at + 1), std::string::npos) << i;
    }
    EXPECT_EQ(screen.substr(screen.size() - typed.size() - 2), "> " + typed);
}

// A crowd leaves within one loop turn as the loop serves it, one end per
// event and no flush between, while every user has a whole line typed: each
// notice to each would carry an erase and a 1.5 KB redraw, and a crowd of
// 2000 would take 2000 queues to their bound.  Past the server's soft mark a
// reader gets no more, so no queue grows past half its bound, and the typist,
// who reads nothing meanwhile, stays with its line on screen.
TEST(OutputQueue, LogoffCascadeKeepsEveryQueueSmall)
{
    constexpr int leavers = 200;
    unit::bench b(leavers + 1);
    b.room.set_soft_mark(nchatd::default_soft_mark_kib * 1024);
    const std::string typed(nchatd::line_max, 'x');
    int typist = b.login("typist", small_buffer);
    for (int i = 0; i < leavers; ++i)
        b.login("user" + std::to_string(i));
    for (int slot = 0; slot <= leavers; ++slot)
        b.feed(slot, typed);
    b.drain_all();
    (void)b.read_all(typist);

    for (int slot = 1; slot <= leavers; ++slot) {
        b.room.request_close(b.user(slot), nullptr);
        b.room.retire();
    }
    ASSERT_FALSE(b.closed(typist));
    EXPECT_LE(b.user(typist).out.size(), nchatd::default_soft_mark_kib * 1024 + 2 * nchatd::line_max + 100);
    // A queue's buffer outlives its connection: its size is the most that
    // slot ever held.
    size_t largest = 0;
    for (const nchatd::Connection& c : b.room.connections())
        largest = std::max(largest, c.out.capacity());
    EXPECT_LE(largest, nchatd::outq_max / 2);
    const std::string wire = b.read_all(typist);
    EXPECT_NE(wire.find("* user user0 logged off from 127.0.0.1\r\n"), std::string::npos);
    EXPECT_EQ(wire.substr(wire.size() - typed.size() - 2), "> " + typed);
}

// The loop itself, in this process, over loopback: a slow reader gets every
// byte in order while its poll entry asks for POLLOUT, and for POLLIN only
// once its queue has drained.  Admitted sockets get their options.  The
// two clients come in through two listening sockets, served alike.
TEST(OutputPath, SlowReaderIsWrittenAsItReads)
{
    int port = 0;
    int second_port = 0;
    nchatd::unique_fd listener(harness::listen_loopback(port, SOCK_NONBLOCK | SOCK_CLOEXEC));
    nchatd::unique_fd second(harness::listen_loopback(second_port, SOCK_NONBLOCK | SOCK_CLOEXEC));
    ASSERT_TRUE(listener && second);

    std::string log;
    nchatd::Log logger(&log);
    nchatd::Limits limits;
    limits.line_rate = 0;         // the writer types far faster than a person
    limits.source_line_rate = 0;  // ... from the same address
    limits.soft_mark_kib = 0;     // and the reader is to get every byte
    limits.per_source = 0;
    nchatd::Server server(4, limits, logger);
    server.listen_on(std::move(listener));
    server.listen_on(std::move(second));
    nchatd::Room& room = server.room();
    // Turns of the loop until `done`, for at most 5 seconds.
    auto run_until = [&](auto done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || server.turn(5) != 0)
                return false;
        }
        return true;
    };

    harness::client reader;
    harness::client writer;
    ASSERT_TRUE(reader.connect(port, static_cast<int>(small_buffer)));
    ASSERT_TRUE(run_until([&] { return room.at(0).in_use; }));
    ASSERT_TRUE(writer.connect(second_port));
    ASSERT_TRUE(run_until([&] { return room.at(1).in_use; }));
    nchatd::Connection& r = room.at(0);
    using harness::int_option;
    EXPECT_EQ(int_option(r.fd.get(), IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(int_option(r.fd.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(r.fd.get(), SOL_SOCKET, SO_SNDBUF), 2 * nchatd::sndbuf_size) << "fixed, as Linux doubles it";
    EXPECT_TRUE(fcntl(r.fd.get(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(r.fd.get(), F_GETFD) & FD_CLOEXEC);
    // A smaller kernel buffer, so that most of the chat waits in the queue.
    const int small = static_cast<int>(small_buffer);
    setsockopt(r.fd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    ASSERT_TRUE(reader.send("reader\r\n") && writer.send("writer\r\n"));
    ASSERT_TRUE(run_until([&] {
        reader.read_for(0);
        writer.read_for(0);
        return reader.received().find("* user writer logged in") != std::string::npos;
    }));
    reader.take();

    constexpr int lines = 300;  // about 70 KB, far beyond the socket buffers
    for (int i = 0; i < lines; ++i) {
        ASSERT_TRUE(writer.send(chat_text(i) + "\r\n"));
        std::string own = "> " + chat_text(i) + "\r\n";
        auto echoed = [&] {
            writer.read_for(0);
            return writer.received().find(own) != std::string::npos;
        };
        ASSERT_TRUE(run_until(echoed)) << "line " << i;
        writer.take();
    }
    ASSERT_TRUE(r.open());
    EXPECT_GT(r.out.size(), 0u) << "the kernel cannot have taken it all";
    // Pending output must wake the loop; input waits while the queue is
    // over half its bound.
    EXPECT_EQ(server.poll_entry(r).events, (r.out.size() > nchatd::outq_hold_input ? 0 : POLLIN) | POLLOUT);
    EXPECT_EQ(server.poll_entry(room.at(1)).events, POLLIN);

    ASSERT_TRUE(run_until([&] {
        reader.read_for(1);
        return reader.received().find(chat_text(lines - 1)) != std::string::npos;
    }));
    expect_lines_in_order(reader.received(), "writer", lines);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(server.poll_entry(r).events, POLLIN);
    EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
}

}  // namespace

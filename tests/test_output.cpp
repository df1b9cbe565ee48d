// The output path: per-connection queues that keep every byte in order for
// a slow reader, and drop a reader that stops reading, whole lines only.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "unit.h"

namespace {

constexpr int small_buffer = 4096;

void shrink_buffers(unit::bench& b, int slot)
{
    setsockopt(b.user(slot).sock, SOL_SOCKET, SO_SNDBUF, &small_buffer, sizeof small_buffer);
}

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

TEST(OutputQueue, SlowReaderGetsEveryByteInOrder)
{
    unit::bench b;
    int reader = b.login("reader", small_buffer);
    int writer = b.login("writer");
    // Admitted sockets never hold segments back for acknowledgements.
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(b.user(writer).sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_EQ(nodelay, 1);
    shrink_buffers(b, reader);

    constexpr int lines = 300;  // about 70 KB, far beyond the socket buffers
    for (int i = 0; i < lines; ++i) {
        b.feed(writer, chat_text(i) + "\r\n");
        b.read(writer, 0);
    }
    EXPECT_TRUE(b.user(reader).in_use);
    EXPECT_GT(b.user(reader).out_tail - b.user(reader).out_head, 0u) << "the kernel cannot have taken it all";
    EXPECT_TRUE(b.s.user_polls[reader].events & POLLOUT) << "pending output must wake the loop";

    std::string got;
    for (int round = 0; round < 2000 && got.find(chat_text(lines - 1)) == std::string::npos; ++round)
        got += b.read(reader, 5);
    expect_lines_in_order(got, "writer", lines);
    EXPECT_EQ(b.user(reader).out_tail, 0u);
    EXPECT_EQ(b.s.user_polls[reader].events, POLLIN);
}

TEST(OutputQueue, NonReaderIsDroppedMidBroadcastWithoutHarmingOthers)
{
    unit::bench b(8, false);
    int stuck = b.login("stuck", small_buffer);  // slot 0: the broadcast reaches it first
    int writer = b.login("writer");
    int reader = b.login("reader");
    shrink_buffers(b, stuck);
    b.drain_all();

    testing::internal::CaptureStdout();
    std::string reader_got;
    std::string writer_got;
    int sent = 0;
    for (; sent < 5000 && b.user(stuck).in_use; ++sent) {
        b.feed(writer, chat_text(sent) + "\r\n");
        reader_got += b.read(reader, 0);
        writer_got += b.read(writer, 0);
    }
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(b.user(stuck).in_use) << "a client that never reads must be dropped";
    EXPECT_EQ(b.user(stuck).sock, -1);
    EXPECT_EQ(b.s.n_doomed, 0);
    EXPECT_NE(log.find("Connection from 127.0.0.1:" + std::to_string(b.user(stuck).port) +
                       " dropped: output queue full.\n"),
              std::string::npos)
        << log;

    // The line whose broadcast overflowed the stuck client still reached
    // everybody else, whole, and so did the writer's own copy.
    reader_got += b.read(reader);
    writer_got += b.read(writer);
    expect_lines_in_order(reader_got, "writer", sent);
    std::string own = "<\x1b[1mwriter\x1b[0m> " + chat_text(sent - 1) + "\r\n";
    EXPECT_NE(writer_got.find(own), std::string::npos);
    EXPECT_NE(reader_got.find("* user stuck logged off from 127.0.0.1\r\n"), std::string::npos);

    // The slot serves the next connection with a clean queue.
    int next = b.connect(true);
    EXPECT_EQ(next, stuck);
    EXPECT_EQ(b.read(next), "Welcome to Nimbra chat v0.3.5!\r\nEnter your name (max 20 chars): ");
}

// 300 users leave within one loop turn while a reader has a whole line
// typed: every notice would carry a 1.5 KB redraw of that line, far past
// the queue's bound.  Redraws the client never received give way instead.
TEST(OutputQueue, BurstOfNoticesKeepsReaderWithLongInput)
{
    constexpr int leavers = 300;
    unit::bench b(leavers + 2);
    int typist = b.login("typist", small_buffer);
    shrink_buffers(b, typist);
    std::string typed(511, 'x');
    b.feed(typist, typed);
    for (int i = 0; i < leavers; ++i)
        b.login("user" + std::to_string(i));
    b.drain_all();

    for (int i = 0; i < leavers; ++i)
        nchatd_end_user(b.s, b.user(i + 1), nullptr);  // one turn: no flush in between
    nchatd_reap_doomed(b.s);
    ASSERT_TRUE(b.user(typist).in_use) << "a client that reads must not be dropped";
    EXPECT_LE(b.user(typist).out_tail - b.user(typist).out_head, nchatd_outq_max);

    std::string wire;
    for (int round = 0; round < 2000 && wire.find("user" + std::to_string(leavers - 1) + " logged off") ==
                                            std::string::npos;
         ++round)
        wire += b.read(typist, 5);
    wire += b.read(typist, 20);
    std::string screen = harness::screen_text(wire);
    for (int i = 0; i < leavers; ++i) {
        std::string notice = "* user user" + std::to_string(i) + " logged off from 127.0.0.1\n";
        size_t at = screen.find(notice);
        ASSERT_NE(at, std::string::npos) << i;
        EXPECT_EQ(screen.find(notice, at + 1), std::string::npos) << i;
    }
    EXPECT_EQ(screen.substr(screen.size() - typed.size() - 2), "> " + typed);
}

TEST(OutputQueue, LastWordsLeaveBeforeTheClose)
{
    unit::bench b;
    int quitter = b.login("quitter");
    b.feed(quitter, "/quit\r\nmore bytes\r\n");
    EXPECT_TRUE(b.closed(quitter));
    EXPECT_EQ(unit::mask(b.read(quitter)), "/quit\r\nSS:SS * goodbye\r\n");

    int refused = b.connect();
    b.feed(refused, "/name\r\n");
    EXPECT_TRUE(b.closed(refused));
    EXPECT_EQ(b.read(refused), "/name\r\n* name contains invalid characters or too long\r\n");
}

// The real server: one client stops reading while a megabyte of chat
// passes; it is dropped and logged, the reading client gets every line.
TEST(OutputPath, RealServerDropsNonReaderOnly)
{
    harness::server srv;
    // The writer sends far faster than a person: no line budget.
    ASSERT_TRUE(srv.start({"-n", "8", "-r", "0"}));
    harness::client stuck;
    ASSERT_TRUE(stuck.connect(srv.port(), small_buffer));
    ASSERT_TRUE(stuck.read_until("chars): "));
    ASSERT_TRUE(stuck.send("stuck\r\n"));
    ASSERT_TRUE(stuck.read_until("> "));
    harness::client writer;
    harness::client reader;
    ASSERT_TRUE(writer.login(srv.port(), "writer"));
    ASSERT_TRUE(reader.login(srv.port(), "reader"));

    constexpr int lines = 4800;  // about 1 MiB
    std::string got;
    for (int i = 0; i < lines; ++i) {
        ASSERT_TRUE(writer.send(chat_text(i) + "\r\n"));
        if (i % 16 == 15) {
            // Pace the writer by the reader so that only the stuck client
            // falls behind.
            ASSERT_TRUE(reader.read_until(chat_text(i) + "\r\n", 5000)) << "line " << i << srv.log();
            writer.read_for(1);
            writer.take();
        }
    }
    ASSERT_TRUE(reader.read_until(chat_text(lines - 1) + "\r\n", 5000));
    expect_lines_in_order(reader.received(), "writer", lines);
    EXPECT_TRUE(srv.wait_log(" dropped: output queue full.\n"));
    EXPECT_NE(reader.received().find("* user stuck logged off from 127.0.0.1\r\n"), std::string::npos);

    EXPECT_TRUE(stuck.wait_closed(5000));
    EXPECT_TRUE(srv.alive());
}

}  // namespace

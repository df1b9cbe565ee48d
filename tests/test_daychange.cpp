// The change of the local calendar day, on a clock started a few seconds
// before midnight with libfaketime.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// The preload library itself, not the faketime wrapper: the wrapper forks,
// so stopping it by its process id would leave the server running.
const std::string libfaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

TEST(DayChange, LoggedInUsersAreToldOnceWithoutStamp)
{
    if (access(libfaketime.c_str(), R_OK) != 0)
        GTEST_SKIP() << "libfaketime is not installed";

    // A sanitizer runtime wants to come first among the preloads.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asan_options = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (asan && *asan)
        asan_options += std::string(":") + asan;
    // Local time is three hours ahead of UTC, so only a server that reads
    // the local date sees the day change, and the clock keeps running
    // from 23:59:56 local time.
    auto started = std::chrono::steady_clock::now();
    harness::server srv;
    ASSERT_TRUE(
        srv.start({}, {"env", asan_options, "TZ=XXX-3", "LD_PRELOAD=" + libfaketime, "FAKETIME=@2031-01-31 23:59:56"}));
    harness::client alice, guest;
    ASSERT_TRUE(alice.connect(srv.port()) && alice.read_until("chars): "));
    alice.take();
    ASSERT_TRUE(alice.send("alice\r\n"));
    ASSERT_TRUE(alice.read_until("\r\n> "));
    EXPECT_EQ(alice.take(), "alice\r\n23:59 * logged in as alice\r\n> ");
    ASSERT_TRUE(guest.connect(srv.port()) && guest.read_until("chars): "));
    guest.take();
    ASSERT_TRUE(alice.send("ab"));
    ASSERT_TRUE(alice.read_until("ab"));
    alice.take();

    // Midnight is four seconds after the start; the notice may come up to
    // a poll timeout later.  Then wait to see that it stays one.
    EXPECT_TRUE(alice.read_until("* Day changed to 01 Feb 2031\r\n> ab", 8000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(6500));
    alice.read_for(2500);
    EXPECT_EQ(alice.take(), "\x1b[0m\r* Day changed to 01 Feb 2031\r\n> ab");
    guest.read_for(100);
    EXPECT_EQ(guest.take(), "") << "a client without a name is not told";

    // Time stamps have moved on to the new day as well.
    ASSERT_TRUE(alice.send("\r\n"));
    EXPECT_TRUE(alice.read_until("\x1b[0m\r00:00 <\x1b[1malice\x1b[0m> ab\r\n> "));
    EXPECT_EQ(srv.log().find("Day"), std::string::npos) << "the day change is not a connection event";
}

}  // namespace

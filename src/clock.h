// The clocks the loop keeps time by: monotonic, so that a change of the
// wall clock neither fires nor stalls the login grace or the line budget.
#pragma once

#include <cstdint>
#include <ctime>

namespace nchatd {

inline int64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

inline int64_t monotonic_s()
{
    return monotonic_us() / 1000000;
}

}  // namespace nchatd

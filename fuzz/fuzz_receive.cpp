// libFuzzer target: the receive path of a six-slot server, driven by the
// operations that driver.h decodes from the input.
#include <cstdio>
#include <cstdlib>

#include "driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The connection log is exercised but not kept.
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* bad = nchatd_fuzz_run(data, size, true)) {
        fprintf(stderr, "nchatd invariant broken: %s\n", bad);
        abort();
    }
    return 0;
}

// libFuzzer target: the room and the receive path of a six-slot server,
// plain and through TLS streams, driven by the operations that driver.h
// decodes from the input.
#include <cstdio>
#include <cstdlib>

#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (const char* bad = fuzz::run(data, size)) {
        fprintf(stderr, "nchatd invariant broken: %s\n", bad);
        abort();
    }
    return 0;
}

// nchatctl: one command to a running nchatd over its control socket.
#include <cstdio>

#include "ctl.h"

int main(int argc, char** argv)
{
    const nchatd::CtlResult r = nchatd::nchatctl({argv, static_cast<size_t>(argc)});
    fwrite(r.out.data(), 1, r.out.size(), stdout);
    fwrite(r.err.data(), 1, r.err.size(), stderr);
    // A reply that could not be written out is no success.
    if (fflush(stdout) != 0) {
        perror("nchatctl: standard output");
        return r.status == 0 ? 1 : r.status;
    }
    return r.status;
}

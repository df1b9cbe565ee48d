// The command line.
#pragma once

#include <span>
#include <string>

#include "bounds.h"
#include "line_editor.h"

namespace nchatd {

struct Options {
    long users = default_users;
    long port = default_port;
    bool detach = true;
    Charset charset = Charset::utf8;
    Limits limits;
};

// Either options to run with, or what to print and the exit status.
struct Parsed {
    Options options;
    bool run = true;
    int status = 0;
    std::string out;  // for standard output (the usage text)
    std::string err;  // for standard error
};

Parsed parse_options(std::span<char* const> argv);

}  // namespace nchatd

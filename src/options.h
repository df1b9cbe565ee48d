// The command line.
#pragma once

#include <sys/socket.h>

#include <span>
#include <string>

#include "bounds.h"
#include "line_editor.h"

namespace nchatd {

struct Options {
    long users = default_users;
    long port = default_port;
    // The one address to listen on (-b); AF_UNSPEC for every address of
    // both families.  The port is not filled in.
    sockaddr_storage address{};
    bool detach = true;
    // The control socket to make (-c), absolute; empty for none.
    std::string control_path;
    bool telnet = false;  // send the telnet option sequence with the greeting (-t)
    Charset charset = Charset::utf8;
    long recent = default_recent;  // lines shown to whoever logs in (-H)
    Limits limits;
    // The TLS port beside the plain one (-s), 0 for none, with its PEM
    // certificate chain (-C) and private key (-K).
    long tls_port = 0;
    std::string cert_file;
    std::string key_file;
};

// Either options to run with, or what to print and the exit status.
struct Parsed {
    Options options;
    bool run = true;
    int status = 0;
    std::string out;  // for standard output (the usage text, the version)
    std::string err;  // for standard error
};

Parsed parse_options(std::span<char* const> argv);

}  // namespace nchatd

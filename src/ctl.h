// nchatctl: the command line, one request over the control socket and its
// reply, as texts to print and an exit status.
#pragma once

#include <span>
#include <string>

namespace nchatd {

inline constexpr const char* default_control_path = "/run/nchatd/control";

struct CtlResult {
    int status = 0;   // 0 done; 1 the server refused, with its reason; 2 usage or no server
    std::string out;  // for standard output: the reply's items, or the usage text
    std::string err;  // for standard error
};

CtlResult nchatctl(std::span<char* const> argv);

}  // namespace nchatd

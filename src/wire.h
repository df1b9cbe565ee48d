// The control socket's protocol, spoken by the server and nchatctl.
//
// A request is one command and its arguments, each followed by a NUL byte,
// the whole ended by "\n": names and reasons keep their inner spaces, and
// the end of a request is seen without knowing its commands.  The reply is
// a status line, "ok" or "error REASON", and after "ok" one line per item;
// the server closes the connection after it.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nchatd {

// The answer to one request: on success its item lines, each ending in
// "\n"; on failure one line that says why, and nothing has changed.
struct Reply {
    bool ok = false;
    std::string text;
};

namespace wire {

// The bytes of a request.
std::string request(std::span<const std::string_view> args);

enum class Framing {
    incomplete,  // no line end yet, and within the bound
    complete,
    malformed,
    too_long,  // more than control_request_max bytes
};

// Looks at everything received so far.  When complete, `args` holds the
// command and its arguments (views into `in`), each of them valid UTF-8 of
// printable characters and the command not empty; when malformed,
// `problem` says what is wrong.
Framing parse_request(std::string_view in, std::vector<std::string_view>& args, std::string_view& problem);

// The bytes of a reply: "ok\n" and the items, or "error " and one line.
std::string reply(const Reply& r);

// A reply as received: `ok` and the items after the status line, or the
// reason.  False when the bytes are no reply at all.
bool parse_reply(std::string_view in, Reply& r);

}  // namespace wire
}  // namespace nchatd

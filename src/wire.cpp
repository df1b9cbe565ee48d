#include "wire.h"

#include "bounds.h"
#include "utf8.h"

namespace nchatd::wire {

namespace {

// Control bytes would reach terminals through a notice or a reason, and
// the log through any argument.
bool printable_text(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8::sequence_length(static_cast<unsigned char>(text[i]));
        if (n == 0 || i + n > text.size() || !utf8::printable(utf8::decode(text.substr(i, n))))
            return false;
        i += n;
    }
    return true;
}

}  // namespace

std::string request(std::span<const std::string_view> args)
{
    std::string bytes;
    for (std::string_view a : args) {
        bytes += a;
        bytes += '\0';
    }
    bytes += '\n';
    return bytes;
}

Framing parse_request(std::string_view in, std::vector<std::string_view>& args, std::string_view& problem)
{
    args.clear();
    const size_t end = in.find('\n');
    if (end == std::string_view::npos)
        return in.size() >= control_request_max ? Framing::too_long : Framing::incomplete;
    if (end + 1 > control_request_max)
        return Framing::too_long;
    problem = {};
    if (end + 1 != in.size())
        problem = "bytes after the request";
    else if (end == 0 || in[end - 1] != '\0')
        problem = "an argument without its terminating NUL";
    if (!problem.empty())
        return Framing::malformed;
    for (std::string_view body = in.substr(0, end); !body.empty();) {
        const size_t nul = body.find('\0');
        std::string_view arg = body.substr(0, nul);
        if (!printable_text(arg)) {
            problem = "an argument that is not printable UTF-8 text";
            return Framing::malformed;
        }
        args.push_back(arg);
        body.remove_prefix(nul + 1);
    }
    if (args.front().empty()) {
        problem = "no command";
        return Framing::malformed;
    }
    return Framing::complete;
}

std::string reply(const Reply& r)
{
    if (r.ok)
        return "ok\n" + r.text;
    const std::string_view why = std::string_view(r.text).substr(0, r.text.find('\n'));
    return "error " + std::string(why.empty() ? "failed" : why) + "\n";
}

bool parse_reply(std::string_view in, Reply& r)
{
    const size_t end = in.find('\n');
    if (end == std::string_view::npos)
        return false;
    std::string_view status = in.substr(0, end);
    if (status == "ok") {
        r = {true, std::string(in.substr(end + 1))};
        return true;
    }
    if (status.starts_with("error ")) {
        r = {false, std::string(status.substr(6))};
        return true;
    }
    return false;
}

}  // namespace nchatd::wire

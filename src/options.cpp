#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "texts.h"

namespace nchatd {

namespace {

std::string printed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return n > 0 ? std::string(text, std::min(static_cast<size_t>(n), sizeof text - 1)) : std::string();
}

std::string usage(const char* prog)
{
    const int v = static_cast<int>(texts::version.size());
    return printed("Usage: %s [OPTION]...\n", prog) + printed("Nimbra chat daemon v%.*s\n", v, texts::version.data()) +
           "\n"
           "  -d        daemonize (default)\n"
           "  -i        do not daemonize\n" +
           printed("  -n NUM    specify maximal number of clients (default: %ld)\n", default_users) +
           printed("  -p PORT   specify port number (default: %ld)\n", default_port) +
           "  -b ADDR   specify one numeric IPv4 or IPv6 address to listen on (default: every IPv4 and IPv6 "
           "address)\n" +
           printed("  -g SECS   specify seconds to wait for a name, 0 for ever (default: %ld)\n", default_login_grace) +
           printed("  -u NUM    specify maximal number of clients at the name prompt per address, 0 for no limit "
                   "(default: %ld)\n",
                   default_unnamed_per_addr) +
           printed("  -r LINES  specify lines per second a client may send, 0 for no limit (default: %ld)\n",
                   default_line_rate) +
           printed("  -R LINES  specify lines per second all clients from one address may send together, 0 for no "
                   "limit (default: %ld)\n",
                   default_source_line_rate) +
           printed("  -k NUM    specify connects one address may make at once, then one a second, 0 for no limit "
                   "(default: %ld)\n",
                   default_connect_burst) +
           printed("  -m NUM    specify maximal number of clients per address, logged in or not, 0 for no limit "
                   "(default: a quarter of -n, %ld)\n",
                   default_users / per_source_share) +
           printed("  -e SECS   specify seconds at the name prompt after which a client gives way to a newcomer "
                   "when all slots are taken, 0 for never (default: %ld)\n",
                   default_evict_after) +
           printed("  -o KIB    specify KiB of output queued for a client past which chat lines to it are skipped "
                   "and counted, 0 for never (default: %ld)\n",
                   default_soft_mark_kib) +
           printed("  -w SECS   specify seconds a client may take none of its queued output before it is dropped, 0 "
                   "for ever (default: %ld)\n",
                   default_stall_timeout) +
           printed("  -T MS     specify milliseconds a connect from an address over its connect rate waits for its "
                   "refusal, 0 to refuse at once (default: %ld)\n",
                   default_refusal_hold_ms) +
           printed("  -H LINES  specify recent chat lines shown to a user who logs in, at most %ld (default: %ld)\n",
                   max_recent, default_recent) +
           "  -s PORT   specify a TLS port beside the plain one (needs -C and -K)\n"
           "  -C FILE   specify the PEM certificate chain of the TLS port\n"
           "  -K FILE   specify the PEM private key of the TLS port\n"
           "  -c PATH   listen for nchatctl on the UNIX socket PATH (default: none)\n"
           "  -a        accept printable ASCII only, for terminals that are not UTF-8\n"
           "  -t        send the telnet option sequence to every new connection before the name prompt\n"
           "  -V        print the version and exit (also --version)\n"
           "  -h        print this help and exit (also --help)\n";
}

std::string version_text()
{
    const int v = static_cast<int>(texts::version.size());
    return printed("nchatd %.*s\n", v, texts::version.data());
}

// The operand of a flag is always the next argument.
class Args {
  public:
    explicit Args(std::span<char* const> argv) : argv_(argv) {}
    bool more() const { return next_ < argv_.size(); }
    const char* peek() const { return argv_[next_]; }
    const char* take() { return argv_[next_++]; }

  private:
    std::span<char* const> argv_;
    size_t next_ = 1;
};

Parsed failure(int status, std::string err)
{
    Parsed p;
    p.run = false;
    p.status = status;
    p.err = std::move(err);
    return p;
}

// Nothing to run: only a text for standard output.
Parsed answer(std::string out)
{
    Parsed p;
    p.run = false;
    p.out = std::move(out);
    return p;
}

// An option whose operand is a number in [min, max], and the field it sets.
// A min of 0 means the option can be turned off with 0, so an operand with
// no digit is refused rather than read as 0.
struct Numeric {
    char letter;
    long min;
    long max;
    long& (*field)(Options&);
};

template <long Options::*member> long& option(Options& o)
{
    return o.*member;
}

template <long Limits::*member> long& limit(Options& o)
{
    return o.limits.*member;
}

constexpr Numeric numerics[] = {
    {'n', min_users, max_users, option<&Options::users>},
    {'p', 1, max_port, option<&Options::port>},
    {'s', 1, max_port, option<&Options::tls_port>},
    {'H', 0, max_recent, option<&Options::recent>},
    {'g', 0, max_login_grace, limit<&Limits::login_grace>},
    {'u', 0, max_users, limit<&Limits::unnamed_per_addr>},
    {'r', 0, max_line_rate, limit<&Limits::line_rate>},
    {'R', 0, max_line_rate, limit<&Limits::source_line_rate>},
    {'k', 0, max_connect_burst, limit<&Limits::connect_burst>},
    {'m', 0, max_users, limit<&Limits::per_source>},
    {'e', 0, max_login_grace, limit<&Limits::evict_after>},
    {'o', 0, max_soft_mark_kib, limit<&Limits::soft_mark_kib>},
    {'w', 0, max_stall_timeout, limit<&Limits::stall_timeout>},
    {'T', 0, max_refusal_hold_ms, limit<&Limits::refusal_hold_ms>},
};

const Numeric* numeric(char letter)
{
    for (const Numeric& n : numerics) {
        if (n.letter == letter)
            return &n;
    }
    return nullptr;
}

// Reads the operand of a numeric option, in C's notation (0x10, 010).
bool number(Args& args, const char* prog, const Numeric& opt, Options& into, Parsed& fail)
{
    if (!args.more()) {
        fail = failure(2, printed("%s: missing operand for -%c\n", prog, opt.letter));
        return false;
    }
    const char* text = args.take();
    char* end = nullptr;
    const long v = strtol(text, &end, 0);
    // "" (an unset shell variable) has no digit: where 0 means "off" it
    // must not pass for 0 and turn a defence off.  Where 0 is out of range
    // it is told so, as ever.
    if (*end != '\0' || (end == text && opt.min == 0)) {
        fail = failure(2, printed("%s: invalid operand of -%c\n", prog, opt.letter));
        return false;
    }
    if (v < opt.min || v > opt.max) {
        fail = failure(2, printed("%s: operand of -%c must be between %i and %i\n", prog, opt.letter,
                                  static_cast<int>(opt.min), static_cast<int>(opt.max)));
        return false;
    }
    opt.field(into) = v;
    return true;
}

// Reads a numeric IPv4 or IPv6 address; names are not looked up.
bool address(Args& args, const char* prog, sockaddr_storage& into, Parsed& fail)
{
    if (!args.more()) {
        fail = failure(2, printed("%s: missing operand for -b\n", prog));
        return false;
    }
    const char* text = args.take();
    sockaddr_storage a{};
    auto& in = reinterpret_cast<sockaddr_in&>(a);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
    in6_addr v6{};
    if (inet_pton(AF_INET, text, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, text, &v6) == 1 && IN6_IS_ADDR_V4MAPPED(&v6)) {
        // ::ffff:127.0.0.1 is 127.0.0.1, which an IPv6-only socket refuses.
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, &v6.s6_addr[12], sizeof in.sin_addr);
    } else if (inet_pton(AF_INET6, text, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
    } else {
        fail = failure(2, printed("%s: invalid operand of -b\n", prog));
        return false;
    }
    into = a;
    return true;
}

// Reads a file name operand.
bool file(Args& args, const char* prog, char letter, std::string& into, Parsed& fail)
{
    if (!args.more()) {
        fail = failure(2, printed("%s: missing operand for -%c\n", prog, letter));
        return false;
    }
    into = args.take();
    return true;
}

// The TLS port needs both files, and the files are of no use without it.
Parsed check_tls(Parsed p, const char* prog)
{
    const Options& o = p.options;
    const bool files = !o.cert_file.empty() || !o.key_file.empty();
    if (o.tls_port != 0 && (o.cert_file.empty() || o.key_file.empty()))
        return failure(2, printed("%s: -s needs a certificate (-C) and a key (-K)\n", prog));
    if (o.tls_port == 0 && files)
        return failure(2, printed("%s: -C and -K are for the TLS port; give it with -s\n", prog));
    if (o.tls_port != 0 && o.tls_port == o.port)
        return failure(2, printed("%s: the TLS port (-s) must differ from the plain port (-p)\n", prog));
    return p;
}

// Reads the control socket's path, made absolute: the server removes it at
// the stop, after a detached server has changed to the root directory.
bool socket_path(Args& args, const char* prog, std::string& into, Parsed& fail)
{
    if (!args.more()) {
        fail = failure(2, printed("%s: missing operand for -c\n", prog));
        return false;
    }
    std::string path = args.take();
    std::error_code ec;
    if (!path.empty())
        path = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (path.empty() || ec || path.back() == '/') {
        fail = failure(2, printed("%s: invalid operand of -c\n", prog));
        return false;
    }
    into = std::move(path);
    return true;
}

}  // namespace

Parsed parse_options(std::span<char* const> argv)
{
    const char* prog = !argv.empty() && argv[0] ? argv[0] : "nchatd";
    Parsed p;
    Options& o = p.options;
    Args args(argv);
    // Every argument is an option or the operand of one: a word left over
    // is a mistake (`nchatd -i 5103` would serve the default port).
    while (args.more()) {
        std::string_view word = args.take();
        if (word.empty() || word[0] != '-')
            return failure(2,
                           printed("%s: unexpected operand: %.*s\n", prog, static_cast<int>(word.size()), word.data()));
        if (word == "--help")
            return answer(usage(prog));
        if (word == "--version")
            return answer(version_text());
        for (char letter : word.substr(1)) {
            if (const Numeric* n = numeric(letter)) {
                if (!number(args, prog, *n, o, p))
                    return p;
                continue;
            }
            bool ok = true;
            switch (letter) {
            case 'h':
                return answer(usage(prog));
            case 'V':
                return answer(version_text());
            case 'd':
                o.detach = true;
                break;
            case 'i':
                o.detach = false;
                break;
            case 'a':
                o.charset = Charset::ascii;
                break;
            case 'b':
                ok = address(args, prog, o.address, p);
                break;
            case 'c':
                ok = socket_path(args, prog, o.control_path, p);
                break;
            case 't':
                o.telnet = true;
                break;
            case 'C':
                ok = file(args, prog, 'C', o.cert_file, p);
                break;
            case 'K':
                ok = file(args, prog, 'K', o.key_file, p);
                break;
            default:
                return failure(1, printed("%s: unknown option: -%c\n", prog, letter));
            }
            if (!ok)
                return p;
        }
    }
    return check_tls(std::move(p), prog);
}

}  // namespace nchatd

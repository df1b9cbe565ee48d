#include "session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <span>
#include <string_view>

#include "commands.h"
#include "layout.h"
#include "moderation.h"
#include "texts.h"

namespace nchatd {

namespace {

// Echo of one receive: at most one erase per input byte.
constexpr size_t echo_per_byte_max = layout::erase_max;
using Echo = std::array<char, echo_per_byte_max * recv_size>;

// Where the cursor stands behind the prompt and the whole input.
layout::Cursor input_end(const Connection& c)
{
    const size_t width = c.width();
    return layout::advance(layout::place_run({}, width, c.screen.prompt_cols), width, c.editor.line());
}

// The echo of an erase, from where the cursor stood to the end of what is
// left.  Within a row that is the erased character's columns back; a
// character that began a row (or moved whole to it) takes the cursor back
// to the end of the row above, which only the whole input tells.
size_t echo_erase(Connection& c, char* out)
{
    const layout::Cursor from = c.screen.at;
    const size_t cols = c.editor.erased_cols;
    layout::Cursor to = from.col > cols ? layout::Cursor{from.row, from.col - cols} : input_end(c);
    size_t n = layout::erase(out, from, to, c.width());
    c.screen.at = to;
    return n;
}

// The pieces one after another in `out`, as far as it holds them: a chat
// line is joined twice, for less than a format string costs once.
std::string_view join(std::span<char> out, std::initializer_list<std::string_view> pieces)
{
    size_t n = 0;
    for (std::string_view piece : pieces)
        n += piece.copy(out.data() + n, out.size() - n);
    return {out.data(), n};
}

// Printable ASCII and TAB in the telnet filter's plain state, the bulk of
// what people type and paste, taken as a run: what byte by byte would
// make of them (appended, echoed, the cursor moved one column each)
// without a call per byte.  Returns the bytes taken, perhaps none.
size_t take_plain_run(Connection& c, std::span<const unsigned char> bytes, char* echo, size_t echo_room)
{
    const telnet::State& t = c.telnet;
    if (t.iac_seen || t.in_subneg || t.skip > 0)
        return 0;
    LineEditor& ed = c.editor;
    const size_t limit = std::min({bytes.size(), line_max - ed.len, echo_room});
    size_t n = 0;
    while (n < limit && ((bytes[n] >= 32 && bytes[n] <= 126) || bytes[n] == '\t'))
        ++n;
    if (n == 0)
        return 0;
    if (!ed.text)
        ed.text = std::make_unique_for_overwrite<char[]>(line_max);
    std::memcpy(ed.text.get() + ed.len, bytes.data(), n);
    std::memcpy(echo, bytes.data(), n);
    ed.len += n;
    ed.cols += n;
    ed.have = ed.need = 0;
    ed.appended = 1;
    c.screen.at = layout::place_run(c.screen.at, c.width(), n);
    return n;
}

// The terminal rewraps the rows on a new width, as the common ones do.
void resized(Connection& c)
{
    if (c.screen.at != layout::Cursor{})
        c.screen.at = input_end(c);
}

void refuse_login(Room& room, Connection& c, std::string_view text, const char* why)
{
    room.send(c, text, Mode::last);
    room.request_close(c, why);
}

// What was said before the user came, each line behind its own stamp,
// between two lines stamped now; nothing at all when nothing is kept.
void show_recent(Room& room, Connection& c)
{
    const Recent& recent = room.recent();
    if (recent.size() == 0)
        return;
    char head[32];
    int n = snprintf(head, sizeof head, "* last %zu lines:\r\n", recent.size());
    room.send_stamp(c);
    room.send(c, {head, static_cast<size_t>(n)}, Mode::last);
    for (size_t i = 0; i < recent.size(); ++i) {
        const Recent::Line line = recent[i];
        room.send(c, line.stamp, Mode::more);
        room.send(c, line.text, Mode::last);
    }
    room.send_stamp(c);
    room.send(c, "* end of last lines\r\n", Mode::last);
}

void login(Room& room, Connection& c, std::string_view name)
{
    room.send_newline(c);
    if (name.size() > name_max)
        return refuse_login(room, c, texts::name_too_long, "name too long");
    if (!valid_name(name))
        return refuse_login(room, c, texts::name_invalid, "invalid name");
    if (room.find(name))
        return refuse_login(room, c, texts::name_taken, "duplicate name");
    name.copy(c.profile.name.data(), name.size());
    c.profile.name[name.size()] = '\0';
    room.log_event(c.peer, " named as \"%s\"\n", c.profile.name.data());
    room.send_stamp(c);
    room.send(c, "* logged in as ", Mode::more);
    room.send(c, c.name(), Mode::more);
    room.send(c, texts::newline, Mode::last);
    show_recent(room, c);
    char notice[message_max];
    int n =
        snprintf(notice, sizeof notice, "* user %s logged in from %s\r\n", c.profile.name.data(), c.peer.host.data());
    room.broadcast(&c, {notice, static_cast<size_t>(n)}, true);
    room.send_prompt(c);
}

void chat(Room& room, Connection& c, std::string_view line)
{
    if (hold_back(room, c))
        return;
    char text[message_max];
    char own[message_max];
    const std::string_view name = c.name();
    room.say(c, join(text, {"<", name, "> ", line, "\r\n"}), join(own, {"<\x1b[1m", name, "\x1b[0m> ", line, "\r\n"}));
}

void take_line(Room& room, Connection& c, std::string_view line)
{
    c.profile.last_active = time(nullptr);
    if (!c.named())
        return login(room, c, line);
    c.profile.waiting = false;
    if (line.front() == '/')
        return run_command(room, c, line);
    chat(room, c, line);
}

}  // namespace

void admit(Room& room, Connection& c, unique_fd fd, const Peer& peer, bool telnet)
{
    room.occupy(c, std::move(fd), peer);
    greet(room, c, telnet);
    if (peer.tls_port != 0)
        room.log_event(c.peer, " accepted on TLS port %u.\n", static_cast<unsigned>(peer.tls_port));
    else
        room.log_event(c.peer, " accepted.\n");
}

void greet(Room& room, Connection& c, bool telnet)
{
    room.send(c, "Welcome to Nimbra chat v", Mode::more);
    room.send(c, texts::version, Mode::more);
    room.send(c, "!\r\n", Mode::last);
    if (telnet)
        room.send_telnet_options(c);
    char max[16];
    int n = snprintf(max, sizeof max, "%zu", name_max);
    constexpr std::string_view head = "Enter your name (max ", tail = " chars): ";
    room.send(c, head, Mode::more);
    room.send(c, {max, static_cast<size_t>(n)}, Mode::more);
    room.send(c, tail, Mode::last);
    const size_t prompt = head.size() + static_cast<size_t>(n) + tail.size();
    c.screen.prompt_cols = static_cast<uint8_t>(prompt);
    c.screen.at = layout::place_run({}, c.width(), prompt);
}

Received receive(Room& room, Connection& c, std::span<const unsigned char> bytes)
{
    Echo echo;
    size_t echo_len = 0;
    size_t lines = 0;
    size_t i = 0;
    for (; i < bytes.size() && c.open(); ++i) {
        // Room for the run's echo such that no byte of it would have sent
        // the echo so far in a piece of its own.
        const size_t echo_room = echo.size() + 1 - std::min(echo.size() + 1, echo_len + echo_per_byte_max);
        if (const size_t run = take_plain_run(c, bytes.subspan(i), echo.data() + echo_len, echo_room)) {
            echo_len += run;
            i += run - 1;
            continue;
        }
        unsigned char b = bytes[i];
        telnet::Verdict v = telnet::filter(c.telnet, b);
        if (v == telnet::Verdict::command && !c.profile.telnet_sent)
            room.send_telnet_options(c);
        if (v == telnet::Verdict::window)
            resized(c);
        if (v != telnet::Verdict::data)
            continue;
        // Longer input than one receive goes out in pieces.
        if (echo_len + echo_per_byte_max > echo.size()) {
            room.send(c, {echo.data(), echo_len}, Mode::last);
            echo_len = 0;
        }
        switch (edit(c.editor, b, room.charset())) {
        case Edit::none:
            break;
        case Edit::appended: {
            // The terminal wraps by itself; the books follow it.
            std::string_view ch = c.editor.line().substr(c.editor.len - c.editor.appended);
            echo_len += ch.copy(echo.data() + echo_len, 4);
            c.screen.at = layout::advance(c.screen.at, c.width(), ch);
            break;
        }
        case Edit::erased:
            echo_len += echo_erase(c, echo.data() + echo_len);
            break;
        case Edit::line_end: {
            // The echo of what came before the line end goes first.
            if (echo_len > 0)
                room.send(c, {echo.data(), echo_len}, Mode::last);
            echo_len = 0;
            if (c.editor.len == 0)
                break;
            std::array<char, line_max> line;
            std::string_view typed = c.editor.line();
            typed.copy(line.data(), typed.size());
            c.editor.clear();
            ++lines;
            take_line(room, c, {line.data(), typed.size()});
            if (room.holds_input(c))
                return {lines, i + 1};
            break;
        }
        }
    }
    if (echo_len > 0)
        room.send(c, {echo.data(), echo_len}, Mode::last);
    return {lines, i};
}

}  // namespace nchatd

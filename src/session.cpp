#include "session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "texts.h"

namespace nchatd {

namespace {

// Echo of one receive: at most six bytes ("\b\b  \b\b", the erase of a
// wide character) per input byte.
using Echo = std::array<char, 6 * recv_size>;
constexpr size_t echo_per_byte_max = 6;

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
    char text[message_max];
    const char* name = c.profile.name.data();
    const int width = static_cast<int>(line.size());
    int n = snprintf(text, sizeof text, "<%s> %.*s\r\n", name, width, line.data());
    char own[message_max];
    int m = snprintf(own, sizeof own, "<\x1b[1m%s\x1b[0m> %.*s\r\n", name, width, line.data());
    room.say(c, {text, static_cast<size_t>(n)}, {own, static_cast<size_t>(m)});
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
    room.send(c, "Enter your name (max ", Mode::more);
    room.send(c, {max, static_cast<size_t>(n)}, Mode::more);
    room.send(c, " chars): ", Mode::last);
}

size_t receive(Room& room, Connection& c, std::span<const unsigned char> bytes)
{
    Echo echo;
    size_t echo_len = 0;
    size_t lines = 0;
    for (size_t i = 0; i < bytes.size() && c.open(); ++i) {
        unsigned char b = bytes[i];
        telnet::Verdict v = telnet::filter(c.telnet, b);
        if (v == telnet::Verdict::command && !c.profile.telnet_sent)
            room.send_telnet_options(c);
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
        case Edit::appended:
            echo_len += c.editor.line().substr(c.editor.len - c.editor.appended).copy(echo.data() + echo_len, 4);
            break;
        case Edit::erased: {
            // Back over the character's columns, blank them, back again.
            const size_t cols = c.editor.erased_cols;
            for (char fill : {'\b', ' ', '\b'}) {
                std::fill_n(echo.data() + echo_len, cols, fill);
                echo_len += cols;
            }
            break;
        }
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
            break;
        }
        }
    }
    if (echo_len > 0)
        room.send(c, {echo.data(), echo_len}, Mode::last);
    return lines;
}

}  // namespace nchatd

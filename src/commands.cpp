#include "commands.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "moderation.h"
#include "texts.h"
#include "utf8.h"

namespace nchatd {

namespace {

using namespace std::literals;

// Every reply line goes out behind the caller's own time stamp.
void reply(Room& room, Connection& c, std::string_view line, Mode mode = Mode::last)
{
    room.send_stamp(c);
    room.send(c, line, mode);
}

void replyf(Room& room, Connection& c, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void replyf(Room& room, Connection& c, const char* fmt, ...)
{
    char line[message_max];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    n = std::max(0, std::min(n, static_cast<int>(sizeof line) - 1));
    reply(room, c, {line, static_cast<size_t>(n)}, Mode::more);
}

void end_reply(Room& room, Connection& c)
{
    reply(room, c, "* end.\r\n"sv);
}

// A nick name to look for; nobody may be reached by asking for "".
Connection* find_named(Room& room, std::string_view nick)
{
    return nick.empty() ? nullptr : room.find(nick);
}

void no_such_user(Room& room, Connection& c)
{
    reply(room, c, "* no such user\r\n"sv);
}

const char* yes_no(bool b)
{
    return b ? "yes" : "no";
}

// Calendar time in the asctime layout without its line end.
struct TimeText {
    char text[64]{};
};

TimeText time_text(time_t t, bool utc)
{
    TimeText out;
    struct tm tm;
    if (!(utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) || !asctime_r(&tm, out.text))
        return TimeText{};
    size_t n = std::string_view(out.text).size();
    while (n > 0 && (out.text[n - 1] == '\n' || out.text[n - 1] == '\r'))
        out.text[--n] = '\0';
    return out;
}

// How long ago `since` was: "12 min", "3 h 5 min".
struct Ago {
    char text[48]{};
};

Ago ago(time_t since)
{
    Ago out;
    const long min = std::max(0L, static_cast<long>(time(nullptr) - since)) / 60;
    if (min < 60)
        snprintf(out.text, sizeof out.text, "%ld min", min);
    else
        snprintf(out.text, sizeof out.text, "%ld h %ld min", min / 60, min % 60);
    return out;
}

void cmd_help(Room& room, Connection& c, std::string_view)
{
    for (const Command& cmd : commands) {
        if (cmd.for_operators && !c.standing.op)
            continue;
        room.send_stamp(c);
        room.send(c, texts::server_prefix, Mode::more);
        room.send(c, " /"sv, Mode::more);
        room.send(c, cmd.name, Mode::more);
        room.send(c, " "sv, Mode::more);
        room.send(c, cmd.args, Mode::more);
        size_t width = cmd.name.size() + 1 + cmd.args.size();
        // A synopsis too long for its column is kept apart by one space.
        room.send_spaces(c, width < 16 ? 16 - width : 1, Mode::more);
        room.send(c, cmd.help, Mode::more);
        room.send_newline(c);
    }
    end_reply(room, c);
}

void cmd_list(Room& room, Connection& c, std::string_view)
{
    for (const Connection& other : room.connections()) {
        if (!other.open())
            continue;
        room.send_stamp(c);
        room.send(c, texts::server_prefix, Mode::more);
        room.send(c, "  "sv, Mode::more);
        room.send(c, other.name(), Mode::more);
        if (other.profile.is_away())
            room.send(c, " (away)"sv, Mode::more);
        room.send_newline(c);
    }
    end_reply(room, c);
}

void cmd_info(Room& room, Connection& c, std::string_view arg)
{
    const Connection* who = arg.empty() ? &c : find_named(room, arg);
    if (!who) {
        no_such_user(room, c);
        return end_reply(room, c);
    }
    const Profile& p = who->profile;
    const unsigned long long lines = p.lines_written;
    replyf(room, c, "* information about user: %s\r\n", p.name.data());
    replyf(room, c, "*   %llu line%s written\r\n", lines, lines == 1 ? "" : "s");
    replyf(room, c, "*   message pending: %s\r\n", yes_no(who->editor.len != 0));
    replyf(room, c, "*   telnet option sequence sent: %s\r\n", yes_no(p.telnet_sent));
    replyf(room, c, "*   waiting: %s\r\n", yes_no(p.waiting));
    replyf(room, c, "*   logged in at UTC: %s\r\n", time_text(p.login_time, true).text);
    replyf(room, c, "*   idling since UTC: %s\r\n", time_text(p.last_active, true).text);
    replyf(room, c, "*   connected from %s\r\n", who->peer.host.data());
    replyf(room, c, "*   user status: \"%s\"\r\n", p.status.data());
    if (p.is_away())
        replyf(room, c, "*   away (for %s): %s\r\n", ago(p.away_since).text, p.away.data());
    end_reply(room, c);
}

void cmd_name(Room& room, Connection& c, std::string_view arg)
{
    if (arg.empty()) {
        replyf(room, c, "* your name is \"%s\"\r\n", c.profile.name.data());
    } else if (arg == c.name()) {
        replyf(room, c, "* your name is already \"%s\"\r\n", c.profile.name.data());
    } else if (hushed(room, c)) {
        // A muted user's new name would be announced to everybody.
    } else if (!valid_name(arg)) {
        reply(room, c, texts::name_invalid);
    } else if (room.find(arg)) {
        reply(room, c, texts::name_taken);
    } else {
        char text[message_max];
        const int width = static_cast<int>(arg.size());
        int n = snprintf(text, sizeof text, "* user %s is known as %.*s\r\n", c.profile.name.data(), width, arg.data());
        room.broadcast(&c, {text, static_cast<size_t>(n)}, true);
        arg.copy(c.profile.name.data(), arg.size());
        c.profile.name[arg.size()] = '\0';
        replyf(room, c, "* your name is \"%s\"\r\n", c.profile.name.data());
    }
    end_reply(room, c);
}

void cmd_status(Room& room, Connection& c, std::string_view arg)
{
    Profile& p = c.profile;
    if (arg.empty()) {
        replyf(room, c, "* your status is \"%s\"\r\n", p.status.data());
    } else if (hushed(room, c)) {
        // A muted user's status would be announced to everybody.
    } else if (utf8::characters(arg) > status_max) {
        reply(room, c, "* new status message is too long\r\n"sv);
    } else {
        p.status.assign(arg);
        char text[message_max];
        int n = snprintf(text, sizeof text, "* %s set status to \"%s\"\r\n", p.name.data(), p.status.data());
        room.broadcast(&c, {text, static_cast<size_t>(n)}, true);
        reply(room, c, "* status set\r\n"sv);
    }
    end_reply(room, c);
}

void cmd_statusof(Room& room, Connection& c, std::string_view arg)
{
    const Connection* who = find_named(room, arg);
    if (!who)
        no_such_user(room, c);
    else
        replyf(room, c, "* status of user %s: \"%s\"\r\n", who->profile.name.data(), who->profile.status.data());
    end_reply(room, c);
}

void cmd_quit(Room& room, Connection& c, std::string_view)
{
    reply(room, c, "* goodbye\r\n"sv);
    room.request_close(c, nullptr);
}

void cmd_priv(Room& room, Connection& c, std::string_view arg)
{
    if (hushed(room, c))
        return;
    std::string_view nick = arg;
    std::string_view text;
    if (size_t space = arg.find(' '); space != std::string_view::npos) {
        nick = arg.substr(0, space);
        text = arg.substr(space);
        text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
    }
    Connection* to = find_named(room, nick);
    if (!to)
        return no_such_user(room, c);
    if (to == &c)
        return reply(room, c, "* not available on self\r\n"sv);
    room.private_message(*to, c, text);
    room.send_stamp(c);
    room.send(c, texts::private_sent, Mode::last);
    const Profile& p = to->profile;
    if (p.is_away()) {
        char line[message_max];
        int n = snprintf(line, sizeof line, "* %s is away (for %s): %s\r\n", p.name.data(), ago(p.away_since).text,
                         p.away.data());
        reply(room, c, {line, static_cast<size_t>(std::max(n, 0))});
    }
}

void cmd_wait(Room& room, Connection& c, std::string_view)
{
    reply(room, c, "* enterring wait mode\r\n\n\n"sv);
    c.profile.waiting = true;
}

void cmd_bell(Room& room, Connection& c, std::string_view arg)
{
    Profile& p = c.profile;
    if (arg.empty()) {
        replyf(room, c, "* your bell setting is \"%s\"\r\n", bell_names[p.bell & 3].data());
        return end_reply(room, c);
    }
    if (arg == "?") {
        reply(room, c, "* possible bell settings:\r\n"sv, Mode::more);
        for (unsigned i = 0; i < bell_names.size(); ++i)
            replyf(room, c, i == p.bell ? "*  [%s]\r\n" : "*  %s\r\n", bell_names[i].data());
        return end_reply(room, c);
    }
    for (unsigned i = 0; i < bell_names.size(); ++i) {
        if (arg == bell_names[i]) {
            p.bell = static_cast<uint8_t>(i);
            reply(room, c, "* bell setting set\r\n"sv);
            return end_reply(room, c);
        }
    }
    reply(room, c, "* unknown bell setting\r\n"sv);
    end_reply(room, c);
}

void cmd_time(Room& room, Connection& c, std::string_view)
{
    time_t now = time(nullptr);
    replyf(room, c, "* Start UTC:   %s\r\n", time_text(room.start_time(), true).text);
    replyf(room, c, "* UTC time:    %s\r\n", time_text(now, true).text);
    replyf(room, c, "* Server time: %s\r\n", time_text(now, false).text);
    end_reply(room, c);
}

void cmd_version(Room& room, Connection& c, std::string_view)
{
    replyf(room, c, "* nchatd v%.*s\r\n", static_cast<int>(texts::version.size()), texts::version.data());
    end_reply(room, c);
}

void cmd_telnet(Room& room, Connection& c, std::string_view arg)
{
    if (!c.profile.telnet_sent || !arg.empty()) {
        reply(room, c, "* sending telnet stuff\r\n"sv);
        room.send_telnet_options(c);
    }
    end_reply(room, c);
}

void cmd_me(Room& room, Connection& c, std::string_view arg)
{
    if (arg.empty()) {
        room.send_newline(c);
        reply(room, c, "* /me needs an action\r\n"sv);
        return room.send_prompt(c);
    }
    if (hold_back(room, c))
        return;
    const char* name = c.profile.name.data();
    const int width = static_cast<int>(arg.size());
    char text[message_max];
    int n = snprintf(text, sizeof text, "* %s %.*s\r\n", name, width, arg.data());
    char own[message_max];
    int m = snprintf(own, sizeof own, "* \x1b[1m%s\x1b[0m %.*s\r\n", name, width, arg.data());
    room.say(c, {text, static_cast<size_t>(n)}, {own, static_cast<size_t>(m)});
}

void cmd_away(Room& room, Connection& c, std::string_view arg)
{
    Profile& p = c.profile;
    char text[message_max];
    if (arg.empty() && !p.is_away()) {
        reply(room, c, "* you are not away\r\n"sv);
    } else if (arg.empty()) {
        p.away.clear();
        int n = snprintf(text, sizeof text, "* user %s is back\r\n", p.name.data());
        room.broadcast(&c, {text, static_cast<size_t>(n)}, true);
        reply(room, c, "* you are back\r\n"sv);
    } else if (hushed(room, c)) {
        // A muted user's away message would be announced to everybody.
    } else if (utf8::characters(arg) > away_max) {
        reply(room, c, "* away message is too long\r\n"sv);
    } else {
        p.away.assign(arg.substr(0, 4 * away_max));
        p.away_since = time(nullptr);
        int n = snprintf(text, sizeof text, "* user %s is away: %s\r\n", p.name.data(), p.away.data());
        room.broadcast(&c, {text, static_cast<size_t>(n)}, true);
        reply(room, c, "* you are away\r\n"sv);
    }
    end_reply(room, c);
}

void cmd_ignore(Room& room, Connection& c, std::string_view arg)
{
    const Ignores& list = c.ignores;
    if (arg.empty()) {
        reply(room, c, list.count == 0 ? "* you ignore nobody\r\n"sv : "* you ignore:\r\n"sv, Mode::more);
        for (size_t i = 0; i < list.count; ++i)
            replyf(room, c, "*   %s\r\n", room.at(list.slots[i]).profile.name.data());
        return end_reply(room, c);
    }
    Connection* who = find_named(room, arg);
    if (!who) {
        no_such_user(room, c);
        return end_reply(room, c);
    }
    if (who == &c) {
        reply(room, c, "* not available on self\r\n"sv);
        return end_reply(room, c);
    }
    const char* name = who->profile.name.data();
    switch (room.ignore(c, *who)) {
    case Room::Ignored::added:
        replyf(room, c, "* ignoring user %s\r\n", name);
        break;
    case Room::Ignored::already:
        replyf(room, c, "* already ignoring user %s\r\n", name);
        break;
    case Room::Ignored::full:
        replyf(room, c, "* ignore list is full (%zu users)\r\n", ignore_max);
        break;
    }
    end_reply(room, c);
}

void cmd_unignore(Room& room, Connection& c, std::string_view arg)
{
    Connection* who = find_named(room, arg);
    if (!who)
        no_such_user(room, c);
    else if (room.unignore(c, *who))
        replyf(room, c, "* no longer ignoring user %s\r\n", who->profile.name.data());
    else
        replyf(room, c, "* not ignoring user %s\r\n", who->profile.name.data());
    end_reply(room, c);
}

// The operators' commands do what the control socket's do.
void cmd_kick(Room& room, Connection& c, std::string_view arg)
{
    operator_command(room, c, "kick", arg);
}

void cmd_ban(Room& room, Connection& c, std::string_view arg)
{
    operator_command(room, c, "ban", arg);
}

void cmd_mute(Room& room, Connection& c, std::string_view arg)
{
    operator_command(room, c, "mute", arg);
}

void cmd_unmute(Room& room, Connection& c, std::string_view arg)
{
    operator_command(room, c, "unmute", arg);
}

void cmd_say(Room& room, Connection& c, std::string_view arg)
{
    operator_command(room, c, "say", arg);
}

const Command* find_command(const Connection& c, std::string_view word)
{
    for (const Command& cmd : commands) {
        if (cmd.name == word && (!cmd.for_operators || c.standing.op))
            return &cmd;
    }
    return nullptr;
}

constexpr Command command_table[] = {
    {"help", cmd_help, "", "Print available commands."},
    {"list", cmd_list, "", "List connected users."},
    {"quit", cmd_quit, "", "Quit chat."},
    {"exit", cmd_quit, "", "Quit chat."},
    {"name", cmd_name, "[nick]", "Print or change nick name."},
    {"nick", cmd_name, "[nick]", "Print or change nick name."},
    {"msg", cmd_priv, "nick msg", "Send a private message to a user."},
    {"priv", cmd_priv, "nick msg", "Send a private message to a user."},
    {"time", cmd_time, "", "Show local time on the server."},
    {"info", cmd_info, "[user]", "Show information about a user or self."},
    {"telnet", cmd_telnet, "[arg]", "Send telnet sequence, or resend if [arg] not empty."},
    {"wait", cmd_wait, "", "Wait for others to write."},
    {"version", cmd_version, "", "Print version number."},
    {"status", cmd_status, "[stat]", "Get or set your status."},
    {"statusof", cmd_statusof, "nick", "Get stauts of the specified user."},
    {"bell", cmd_bell, "[arg/?]", "Get or set bell setting."},
    {"me", cmd_me, "action", "Show others what you do.", true},
    {"away", cmd_away, "[msg]", "Mark yourself away, or back without [msg]."},
    {"ignore", cmd_ignore, "[nick]", "Hide a user's lines, or list whom you ignore."},
    {"unignore", cmd_unignore, "nick", "Show a user's lines again."},
    {"kick", cmd_kick, "nick [why]", "Remove a user from the chat.", false, true},
    {"ban", cmd_ban, "nick [time] [why]", "Remove a user and keep the address out (time: 30s, 10m, 2h, 1d, 0; 1h).",
     false, true},
    {"mute", cmd_mute, "nick [time]", "Keep a user's lines and private messages from others (1h).", false, true},
    {"unmute", cmd_unmute, "nick", "Let a muted user speak again.", false, true},
    {"say", cmd_say, "text", "Send a notice from the operator to everybody.", false, true},
};

}  // namespace

const std::span<const Command> commands{command_table};

void run_command(Room& room, Connection& c, std::string_view line)
{
    std::string_view rest = line.substr(1);
    size_t n = 0;
    while (n < rest.size() && std::isalnum(static_cast<unsigned char>(rest[n])))
        ++n;
    std::string_view word = rest;
    std::string_view arg;
    // Spaces end the word; anything else makes the whole rest the word,
    // which then names nothing.
    if (n < rest.size() && rest[n] == ' ') {
        word = rest.substr(0, n);
        arg = rest.substr(n);
        arg.remove_prefix(std::min(arg.find_first_not_of(' '), arg.size()));
    }
    const Command* cmd = find_command(c, word);
    if (cmd && cmd->said)
        return cmd->handler(room, c, arg);
    room.send_newline(c);
    if (!cmd) {
        reply(room, c, "* unknown command\r\n"sv);
        room.send_prompt(c);
        return;
    }
    cmd->handler(room, c, arg);
    if (c.open())
        room.send_prompt(c);
}

}  // namespace nchatd

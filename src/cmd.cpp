#include "cmd.h"

#include <cstring>
#include <ctime>
#include <string_view>

#include "msg.h"
#include "nchatd.h"
#include "telnet.h"

using namespace std::literals;

namespace {

// Every reply line goes out behind the caller's own time stamp.
void reply(nchatd_server& s, nchatd_user& u, std::string_view line, nchatd_mode mode)
{
    nchatd_send_time_to_user(s, u);
    nchatd_send_str(s, u, line, mode);
}

// Sends the line composed at msg_text, which the stamp does not touch.
void reply_formatted(nchatd_server& s, nchatd_user& u, size_t len)
{
    reply(s, u, std::string_view(s.msg_text, len), nchatd_mode::more);
}

bool close_reply(nchatd_server& s, nchatd_user& u)
{
    reply(s, u, "* end.\r\n"sv, nchatd_mode::last);
    return false;
}

// A nick name to look for.  Connections still at the name prompt have an
// empty name, and nobody may reach them by asking for "".
nchatd_user* find_named_user(nchatd_server& s, const char* nick)
{
    return *nick ? nchatd_find_user(s, nick) : nullptr;
}

bool no_such_user(nchatd_server& s, nchatd_user& u)
{
    reply(s, u, "* no such user\r\n"sv, nchatd_mode::last);
    return false;
}

const char* yes_no(bool b)
{
    return b ? "yes" : "no";
}

bool cmd_help(nchatd_server& s, nchatd_user& u, char*)
{
    for (const nchatd_command* c = nchatd_commands; c->name; ++c) {
        nchatd_send_time_to_user(s, u);
        nchatd_send_str(s, u, server_msg_prefix, nchatd_mode::more);
        nchatd_send_str(s, u, " /"sv, nchatd_mode::more);
        nchatd_send_str(s, u, c->name, nchatd_mode::more);
        nchatd_send_str(s, u, " "sv, nchatd_mode::more);
        nchatd_send_str(s, u, c->args, nchatd_mode::more);
        size_t width = strlen(c->name) + 1 + strlen(c->args);
        if (width < nchatd_cmdname_width)
            nchatd_send_spaces(s, u, nchatd_cmdname_width - width, nchatd_mode::more);
        nchatd_send_str(s, u, c->help, nchatd_mode::more);
        nchatd_send_newline(s, u);
    }
    return close_reply(s, u);
}

bool cmd_list(nchatd_server& s, nchatd_user& u, char*)
{
    for (int i = 0; i < static_cast<int>(s.max_users); ++i) {
        const nchatd_user& other = s.users[i];
        if (!other.in_use)
            continue;
        nchatd_send_time_to_user(s, u);
        nchatd_send_str(s, u, server_msg_prefix, nchatd_mode::more);
        nchatd_send_str(s, u, "  "sv, nchatd_mode::more);
        nchatd_send_str(s, u, other.name, nchatd_mode::more);
        nchatd_send_newline(s, u);
    }
    return close_reply(s, u);
}

bool cmd_info(nchatd_server& s, nchatd_user& u, char* arg)
{
    nchatd_user* who = *arg ? find_named_user(s, arg) : &u;
    if (!who) {
        no_such_user(s, u);
        return close_reply(s, u);
    }
    char when[nchatd_time_text_size];
    const unsigned long long lines = who->lines_written;
    reply_formatted(s, u, nchatd_format(s, "* information about user: %s\r\n", who->name));
    reply_formatted(s, u, nchatd_format(s, "*   %llu line%s written\r\n", lines, lines == 1 ? "" : "s"));
    reply_formatted(s, u, nchatd_format(s, "*   message pending: %s\r\n", yes_no(who->line_len != 0)));
    reply_formatted(s, u, nchatd_format(s, "*   telnet option sequence sent: %s\r\n", yes_no(who->telnet_sent)));
    reply_formatted(s, u, nchatd_format(s, "*   waiting: %s\r\n", yes_no(who->waiting)));
    reply_formatted(s, u, nchatd_format(s, "*   logged in at UTC: %s\r\n", nchatd_utc_text(who->login_time, when)));
    reply_formatted(s, u, nchatd_format(s, "*   idling since UTC: %s\r\n", nchatd_utc_text(who->last_active, when)));
    reply_formatted(s, u, nchatd_format(s, "*   connected from %s\r\n", who->addr_str ? who->addr_str : ""));
    reply_formatted(s, u, nchatd_format(s, "*   user status: \"%s\"\r\n", who->status));
    return close_reply(s, u);
}

bool cmd_name(nchatd_server& s, nchatd_user& u, char* arg)
{
    if (!*arg) {
        reply_formatted(s, u, nchatd_format(s, "* your name is \"%s\"\r\n", u.name));
    } else if (strcmp(arg, u.name) == 0) {
        reply_formatted(s, u, nchatd_format(s, "* your name is already \"%s\"\r\n", u.name));
    } else if (!nchatd_is_valid_username(arg)) {
        nchatd_send_time_to_user(s, u);
        nchatd_msg_invalidname(s, u);
    } else if (nchatd_find_user(s, arg)) {
        nchatd_send_time_to_user(s, u);
        nchatd_msg_dupename(s, u);
    } else {
        size_t n = nchatd_format(s, "* user %s is known as %s\r\n", u.name, arg);
        nchatd_broadcast(s, &u, s.msg_text, n, true);
        strcpy(u.name, arg);  // valid names fit: at most nchatd_name_max characters
        reply_formatted(s, u, nchatd_format(s, "* your name is \"%s\"\r\n", u.name));
    }
    return close_reply(s, u);
}

bool cmd_status(nchatd_server& s, nchatd_user& u, char* arg)
{
    if (!*arg) {
        reply_formatted(s, u, nchatd_format(s, "* your status is \"%s\"\r\n", u.status));
    } else if (strlen(arg) > nchatd_status_max) {
        reply(s, u, "* new status message is too long\r\n"sv, nchatd_mode::last);
    } else {
        strcpy(u.status, arg);
        size_t n = nchatd_format(s, "* %s set status to \"%s\"\r\n", u.name, u.status);
        nchatd_broadcast(s, &u, s.msg_text, n, true);
        reply(s, u, "* status set\r\n"sv, nchatd_mode::last);
    }
    return close_reply(s, u);
}

bool cmd_statusof(nchatd_server& s, nchatd_user& u, char* arg)
{
    nchatd_user* who = find_named_user(s, arg);
    if (!who)
        no_such_user(s, u);
    else
        reply_formatted(s, u, nchatd_format(s, "* status of user %s: \"%s\"\r\n", who->name, who->status));
    return close_reply(s, u);
}

bool cmd_quit(nchatd_server& s, nchatd_user& u, char*)
{
    reply(s, u, "* goodbye\r\n"sv, nchatd_mode::last);
    nchatd_end_user(s, u, nullptr);
    return true;
}

bool cmd_priv(nchatd_server& s, nchatd_user& u, char* arg)
{
    char* text = arg + strlen(arg);
    if (char* space = strchr(arg, ' ')) {
        while (*space == ' ')
            *space++ = '\0';
        text = space;
    }
    nchatd_user* to = find_named_user(s, arg);
    if (!to)
        return no_such_user(s, u);
    if (to == &u) {
        reply(s, u, "* not available on self\r\n"sv, nchatd_mode::last);
        return false;
    }
    nchatd_send_privmsg(s, *to, u, text);
    nchatd_send_time_to_user(s, u);
    nchatd_msg_privsent(s, u);
    return false;
}

bool cmd_wait(nchatd_server& s, nchatd_user& u, char*)
{
    reply(s, u, "* enterring wait mode\r\n\n\n"sv, nchatd_mode::last);
    u.waiting = true;
    return false;
}

bool cmd_bell(nchatd_server& s, nchatd_user& u, char* arg)
{
    if (!*arg) {
        reply_formatted(s, u, nchatd_format(s, "* your bell setting is \"%s\"\r\n", bell_string[u.bell_mode & 3]));
        return close_reply(s, u);
    }
    if (strcmp(arg, "?") == 0) {
        reply(s, u, "* possible bell settings:\r\n"sv, nchatd_mode::more);
        for (unsigned i = 0; i < 4; ++i) {
            const char* fmt = i == u.bell_mode ? "*  [%s]\r\n" : "*  %s\r\n";
            reply_formatted(s, u, nchatd_format(s, fmt, bell_string[i]));
        }
        return close_reply(s, u);
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (strcmp(arg, bell_string[i]) == 0) {
            u.bell_mode = static_cast<uint8_t>(i);
            reply(s, u, "* bell setting set\r\n"sv, nchatd_mode::last);
            return close_reply(s, u);
        }
    }
    reply(s, u, "* unknown bell setting\r\n"sv, nchatd_mode::last);
    return close_reply(s, u);
}

bool cmd_time(nchatd_server& s, nchatd_user& u, char*)
{
    time_t now = time(nullptr);
    char text[nchatd_time_text_size];
    reply_formatted(s, u, nchatd_format(s, "* Start UTC:   %s\r\n", nchatd_utc_text(s.start_time, text)));
    reply_formatted(s, u, nchatd_format(s, "* UTC time:    %s\r\n", nchatd_utc_text(now, text)));
    reply_formatted(s, u, nchatd_format(s, "* Server time: %s\r\n", nchatd_local_text(now, text)));
    return close_reply(s, u);
}

bool cmd_version(nchatd_server& s, nchatd_user& u, char*)
{
    reply_formatted(s, u, nchatd_format(s, "* nchatd v%s\r\n", nchatd_version));
    return close_reply(s, u);
}

bool cmd_telnet(nchatd_server& s, nchatd_user& u, char* arg)
{
    if (!u.telnet_sent || *arg) {
        reply(s, u, "* sending telnet stuff\r\n"sv, nchatd_mode::last);
        nchatd_send_telnet_stuff(s, u);
    }
    return close_reply(s, u);
}

// Cuts the line end that asctime and ctime put after the text.
const char* cut_line_end(char* text)
{
    if (!text)
        return "";
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = '\0';
    return text;
}

}  // namespace

const nchatd_command nchatd_commands[17] = {
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
    {nullptr, nullptr, nullptr, nullptr},
};

const char* nchatd_utc_text(time_t t, char* buf)
{
    struct tm tm;
    if (!gmtime_r(&t, &tm))
        return "";
    return cut_line_end(asctime_r(&tm, buf));
}

const char* nchatd_local_text(time_t t, char* buf)
{
    return cut_line_end(ctime_r(&t, buf));
}

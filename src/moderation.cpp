#include "moderation.h"

#include <algorithm>
#include <array>

#include "bounds.h"
#include "report.h"
#include "utf8.h"

namespace nchatd {

namespace {

using Args = std::span<const std::string_view>;

// Who asks: the CLI's uid or an operator's name, and the operator's own
// connection, which gets the reply instead of the notices.
struct Actor {
    std::string_view label;
    Connection* conn = nullptr;
};

Reply fail(std::string_view why, std::string_view what = {})
{
    std::string text(why);
    if (!what.empty())
        text.append(": ").append(what);
    return {false, text + "\n"};
}

std::string join(Args words)
{
    std::string out;
    for (std::string_view w : words) {
        if (!out.empty())
            out += ' ';
        out += w;
    }
    return out;
}

// Operators' texts reach every terminal: printable UTF-8 only, as if typed.
bool printable_text(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t n = utf8::sequence_length(lead);
        if (n == 0 || i + n > text.size())
            return false;
        if (n == 1 ? (lead < 32 || lead == 127) : !utf8::printable(utf8::decode(text.substr(i, n))))
            return false;
        i += n;
    }
    return true;
}

// Empty when `text` may be shown, else the error.
std::string bad_text(std::string_view what, std::string_view text, size_t max)
{
    if (text.size() > max)
        return std::string(what) + " is too long";
    if (!printable_text(text))
        return std::string(what) + " is not printable text";
    return {};
}

Connection* named(Room& room, std::string_view name)
{
    return name.empty() ? nullptr : room.find(name);
}

std::string with_reason(std::string_view head, std::string_view reason, std::string_view open, std::string_view close)
{
    std::string out(head);
    if (!reason.empty())
        out.append(open).append(reason).append(close);
    return out;
}

std::string removal_notice(std::string_view name, std::string_view reason)
{
    return with_reason("user " + std::string(name) + " was removed by an operator", reason, " (", ")");
}

std::string for_how_long(int64_t seconds)
{
    return seconds == 0 ? "until the server stops" : "for " + duration_text(seconds);
}

// A line above the user's half-typed input, in the server's voice.
void notify(Room& room, Connection& c, std::string_view text)
{
    room.deliver(c, stamp_now().view(), "* " + std::string(text) + "\r\n");
}

// The user is told, then disconnected; the others see the removal in
// place of the logoff notice, and the name is free at once.
void remove(Room& room, Connection& c, std::string_view reason, const Actor& by)
{
    notify(room, c, with_reason("you have been removed by an operator", reason, ": ", ""));
    c.out.drop_redraw();  // nothing more will be read
    const std::string notice = "* " + removal_notice(c.name(), reason) + "\r\n";
    room.log_event(c.peer, " user \"%s\" removed by %.*s%s%.*s.\n", c.profile.name.data(),
                   static_cast<int>(by.label.size()), by.label.data(), reason.empty() ? "" : ": ",
                   static_cast<int>(reason.size()), reason.data());
    c.profile.name[0] = '\0';
    room.request_close(c, "removed by an operator");
    room.broadcast(by.conn, notice, true);
}

// The user an operator acts on, who is never the operator; or why there is none.
Connection* target(Room& room, std::string_view name, const Actor& by, Reply& why)
{
    Connection* c = named(room, name);
    if (!c)
        why = fail("no such user", name);
    else if (c == by.conn)
        why = fail("not available on self");
    return c && c != by.conn ? c : nullptr;
}

Reply kick(Room& room, Args a, const Actor& by)
{
    if (a.size() < 2)
        return fail("usage: kick NAME [REASON]");
    Reply why;
    Connection* c = target(room, a[1], by, why);
    if (!c)
        return why;
    const std::string reason = join(a.subspan(2));
    if (std::string bad = bad_text("reason", reason, reason_max); !bad.empty())
        return fail(bad);
    Reply r{true, removal_notice(c->name(), reason) + "\n"};
    remove(room, *c, reason, by);
    return r;
}

Reply ban(Room& room, Args a, const Actor& by)
{
    if (a.size() < 2)
        return fail("usage: ban NAME|ADDRESS[/PREFIX] [DURATION] [REASON]");
    std::optional<Range> range = Range::parse(a[1]);
    if (!range) {
        const Connection* c = named(room, a[1]);
        if (!c) {
            const bool address_like = a[1].find_first_not_of("0123456789abcdefABCDEF.:/") == std::string_view::npos;
            return fail(address_like ? "bad range" : "no such user", a[1]);
        }
        if (c == by.conn)
            return fail("not available on self");
        range = Range::of(c->peer);
        if (!range)
            return fail("no address known for", a[1]);
    }
    int64_t duration = default_duration_s;
    size_t at = 2;
    if (a.size() > 2) {
        if (std::optional<int64_t> d = parse_duration(a[2])) {
            duration = *d;
            at = 3;
        } else if (a[2][0] >= '0' && a[2][0] <= '9') {
            // "1hh" or "5x" is a mistyped duration, not the start of a reason.
            return fail("bad duration", a[2]);
        }
    }
    const std::string reason = join(a.subspan(at));
    if (std::string bad = bad_text("reason", reason, reason_max); !bad.empty())
        return fail(bad);
    if (by.conn && range->covers(by.conn->peer))
        return fail("that would ban your own address");
    Bans& bans = room.bans();
    const std::string shown = range->text();
    if (!bans.add({*range, duration == 0 ? 0 : bans.now() + duration, reason, std::string(by.label)}))
        return fail("the ban list is full");
    room.log().line("Ban on %s %s by %.*s%s%s.\n", shown.c_str(), for_how_long(duration).c_str(),
                    static_cast<int>(by.label.size()), by.label.data(), reason.empty() ? "" : ": ", reason.c_str());
    Reply r{true, "banned " + shown + " " + for_how_long(duration) + "\n"};
    const std::string told = "* " + with_reason("you have been removed by an operator", reason, ": ", "") + "\r\n";
    for (Connection& c : room.connections()) {
        if (!c.open() || !range->covers(c.peer))
            continue;
        if (c.named()) {
            r.text += removal_notice(c.name(), reason) + "\n";
            remove(room, c, reason, by);
        } else {
            r.text += "closed a connection at the name prompt from " + std::string(c.peer.address()) + "\n";
            room.send_newline(c);
            room.send(c, told, Mode::last);
            room.request_close(c, "banned");
        }
    }
    return r;
}

Reply unban(Room& room, Args a, const Actor& by)
{
    if (a.size() != 2)
        return fail("usage: unban ADDRESS[/PREFIX]");
    const std::optional<Range> range = Range::parse(a[1]);
    if (!range)
        return fail("bad range", a[1]);
    // A bare address lifts whatever keeps it out.
    const size_t n = room.bans().lift(*range, a[1].find('/') == std::string_view::npos);
    if (n == 0)
        return fail("no ban covers", a[1]);
    room.log().line("Ban on %.*s lifted by %.*s.\n", static_cast<int>(a[1].size()), a[1].data(),
                    static_cast<int>(by.label.size()), by.label.data());
    return {true, "lifted " + std::to_string(n) + (n == 1 ? " ban\n" : " bans\n")};
}

Reply list_bans(Room& room, Args a, const Actor&)
{
    if (a.size() != 1)
        return fail("usage: bans");
    Reply r{true, {}};
    const int64_t now = room.bans().now();
    for (const Ban& b : room.bans().list()) {
        r.text += b.range.text() + " " + for_how_long(b.until_s == 0 ? 0 : b.until_s - now) + " by " + b.by;
        r.text += with_reason("", b.reason, ": ", "") + "\n";
    }
    return r;
}

std::string mute_text(const Connection& c, int64_t now)
{
    if (c.standing.muted_until_s == 0)
        return "you are muted until the server stops";
    return "you are muted for " + minutes_left(c.standing.muted_until_s - now);
}

Reply mute(Room& room, Args a, const Actor& by)
{
    if (a.size() < 2 || a.size() > 3)
        return fail("usage: mute NAME [DURATION]");
    Reply why;
    Connection* c = target(room, a[1], by, why);
    if (!c)
        return why;
    int64_t duration = default_duration_s;
    if (a.size() == 3) {
        std::optional<int64_t> d = parse_duration(a[2]);
        if (!d)
            return fail("bad duration", a[2]);
        duration = *d;
    }
    const int64_t now = room.bans().now();
    c->standing.muted = true;
    c->standing.muted_until_s = duration == 0 ? 0 : now + duration;
    notify(room, *c, mute_text(*c, now));
    room.log_event(c->peer, " user \"%s\" muted %s by %.*s.\n", c->profile.name.data(), for_how_long(duration).c_str(),
                   static_cast<int>(by.label.size()), by.label.data());
    return {true, "muted " + std::string(c->name()) + " " + for_how_long(duration) + "\n"};
}

Reply unmute(Room& room, Args a, const Actor& by)
{
    if (a.size() != 2)
        return fail("usage: unmute NAME");
    Connection* c = named(room, a[1]);
    if (!c)
        return fail("no such user", a[1]);
    if (!muted_now(*c, room.bans().now()))
        return fail("not muted", a[1]);
    c->standing.muted = false;
    notify(room, *c, "you are no longer muted");
    room.log_event(c->peer, " user \"%s\" unmuted by %.*s.\n", c->profile.name.data(),
                   static_cast<int>(by.label.size()), by.label.data());
    return {true, "unmuted " + std::string(c->name()) + "\n"};
}

Reply say(Room& room, Args a, const Actor& by)
{
    const std::string text = join(a.subspan(1));
    if (text.empty())
        return fail("usage: say TEXT");
    if (std::string bad = bad_text("text", text, line_max); !bad.empty())
        return fail(bad);
    const std::string notice = "notice from the operator: " + text;
    room.broadcast(by.conn, "* " + notice + "\r\n", true);
    room.log().line("Notice from %.*s: %.400s\n", static_cast<int>(by.label.size()), by.label.data(), text.c_str());
    return {true, notice + "\n"};
}

Reply set_op(Room& room, Args a, const Actor& by, bool on)
{
    if (a.size() != 2)
        return fail(on ? "usage: op NAME" : "usage: deop NAME");
    Connection* c = named(room, a[1]);
    if (!c)
        return fail("no such user", a[1]);
    if (c->standing.op != on) {
        c->standing.op = on;
        notify(room, *c, on ? "you are now an operator" : "you are no longer an operator");
        room.log_event(c->peer, " user \"%s\" %s by %.*s.\n", c->profile.name.data(),
                       on ? "made an operator" : "no longer an operator", static_cast<int>(by.label.size()),
                       by.label.data());
    }
    return {true, std::string(c->name()) + (on ? " is an operator\n" : " is not an operator\n")};
}

Reply op(Room& room, Args a, const Actor& by)
{
    return set_op(room, a, by, true);
}

Reply deop(Room& room, Args a, const Actor& by)
{
    return set_op(room, a, by, false);
}

Reply lock(Room& room, Args a, const Actor& by)
{
    const std::string reason = join(a.subspan(1));
    if (std::string bad = bad_text("reason", reason, reason_max); !bad.empty())
        return fail(bad);
    room.bans().lock(reason);
    room.log().line("Chat locked to newcomers by %.*s%s%s.\n", static_cast<int>(by.label.size()), by.label.data(),
                    reason.empty() ? "" : ": ", reason.c_str());
    return {true, "locked\n"};
}

Reply unlock(Room& room, Args a, const Actor& by)
{
    if (a.size() != 1)
        return fail("usage: unlock");
    room.bans().unlock();
    room.log().line("Chat unlocked by %.*s.\n", static_cast<int>(by.label.size()), by.label.data());
    return {true, "unlocked\n"};
}

// What the operator reads, and the one thing cleared that is not a person.
Reply users(Room& room, Args a, const Actor&)
{
    return a.size() == 1 ? users_report(room) : fail("usage: users");
}

Reply stats(Room& room, Args a, const Actor&)
{
    return a.size() == 1 ? stats_report(room) : fail("usage: stats");
}

Reply clear(Room& room, Args a, const Actor& by)
{
    if (a.size() != 1)
        return fail("usage: clear");
    room.recent().clear();
    room.log().line("Recent lines cleared by %.*s.\n", static_cast<int>(by.label.size()), by.label.data());
    return {true, {}};
}

struct Verb {
    std::string_view word;
    Reply (*run)(Room&, Args, const Actor&);
};

constexpr std::array<Verb, 14> verbs = {{
    {"users", users},
    {"stats", stats},
    {"clear", clear},
    {"kick", kick},
    {"ban", ban},
    {"unban", unban},
    {"bans", list_bans},
    {"mute", mute},
    {"unmute", unmute},
    {"say", say},
    {"op", op},
    {"deop", deop},
    {"lock", lock},
    {"unlock", unlock},
}};

Reply dispatch(Room& room, Args args, const Actor& by)
{
    if (args.empty())
        return fail("no command given");
    for (const Verb& v : verbs) {
        if (v.word == args[0])
            return v.run(room, args, by);
    }
    return fail("unknown command", args[0]);
}

// Splits an in-chat argument into at most `parts` words, the last taking
// the rest; spaces separate them, as for /msg.
size_t split(std::string_view arg, std::span<std::string_view> out)
{
    size_t n = 0;
    while (!arg.empty() && n < out.size()) {
        size_t space = n + 1 < out.size() ? arg.find(' ') : std::string_view::npos;
        out[n++] = arg.substr(0, space);
        arg = space == std::string_view::npos ? std::string_view{} : arg.substr(space);
        arg.remove_prefix(std::min(arg.find_first_not_of(' '), arg.size()));
    }
    return n;
}

}  // namespace

Reply control_request(Room& room, std::span<const std::string_view> args, std::string_view actor)
{
    return dispatch(room, args, Actor{actor, nullptr});
}

void operator_command(Room& room, Connection& op, std::string_view verb, std::string_view arg)
{
    // The words a row takes: the verb, then the name, duration and reason.
    const size_t words = verb == "say" ? 1 : verb == "ban" || verb == "mute" ? 3 : 2;
    std::array<std::string_view, 4> args{verb};
    const size_t n = 1 + split(arg, std::span(args).subspan(1, words));
    const Reply r = dispatch(room, std::span(args).first(n), Actor{op.name(), &op});
    std::string_view text = r.text;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        room.send_stamp(op);
        room.send(op, "* ", Mode::more);
        room.send(op, text.substr(0, end), Mode::more);
        room.send_newline(op);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

bool muted_now(const Connection& c, int64_t now_s)
{
    return c.standing.muted && (c.standing.muted_until_s == 0 || now_s < c.standing.muted_until_s);
}

bool hushed(Room& room, Connection& c)
{
    const int64_t now = room.bans().now();
    if (!muted_now(c, now))
        return false;
    room.send_stamp(c);
    room.send(c, "* " + mute_text(c, now) + "\r\n", Mode::last);
    return true;
}

bool hold_back(Room& room, Connection& c)
{
    if (!muted_now(c, room.bans().now()))
        return false;
    room.send_newline(c);
    (void)hushed(room, c);
    room.send_prompt(c);
    return true;
}

}  // namespace nchatd

// Golden transcripts of whole sessions through the real binary: every byte
// that each client receives, and the server's log, compared with the files
// under tests/golden/transcript/.  They pin down what users and operators
// see, so that a rewrite of the server's insides shows any change at once.
//
// Only what differs from run to run is masked: "HH:MM " stamps, the dates
// of /time and /info, and client ports in the log (each becomes the label
// of its client).  Every step waits for the last bytes it causes before the
// next step starts, so the interleaving never varies, and each client's
// bytes are cut into one section per step at those same texts.
//
// NCHATD_RECORD_GOLDEN=1 writes the files instead of comparing them; read
// the diff before committing it.  NCHATD_BINARY picks the server to test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

// The drop scene writes far faster than a person, and every scene comes
// from one address: no line budgets, no limits per source.
const std::vector<std::string> server_args = harness::one_host({"-r", "0"});

const fs::path golden_root = fs::path(__FILE__).parent_path() / "golden" / "transcript";
constexpr auto wait_limit = 5s;  // for any one expected text; generous for sanitizer builds

bool recording()
{
    const char* v = getenv("NCHATD_RECORD_GOLDEN");
    return v && std::string_view(v) == "1";
}

// --- Masking and the file format --------------------------------------------

// "Wed Jun 30 21:49:08 1993", the layout of asctime and ctime.
bool is_date(std::string_view t)
{
    const std::string_view shape = "AAA AAA _9 99:99:99 9999";
    if (t.size() != shape.size())
        return false;
    for (size_t i = 0; i < t.size(); ++i) {
        auto c = static_cast<unsigned char>(t[i]);
        bool ok = shape[i] == '9'   ? isdigit(c)
                  : shape[i] == '_' ? isdigit(c) || c == ' '
                  : shape[i] == 'A' ? isalpha(c)
                                    : c == static_cast<unsigned char>(shape[i]);
        if (!ok)
            return false;
    }
    return true;
}

// The date texts of /time and /info become "<date>", then the stamps "SS:SS".
std::string mask(std::string text)
{
    for (const char* label :
         {"* Start UTC:   ", "* UTC time:    ", "* Server time: ", "logged in at UTC: ", "idling since UTC: "}) {
        for (size_t at = text.find(label); at != npos; at = text.find(label, at + 1)) {
            size_t from = at + strlen(label);
            if (is_date(std::string_view(text).substr(from, 24)))
                text.replace(from, 24, "<date>");
        }
    }
    return harness::mask_stamps(text);
}

// One-to-one text form of wire bytes, broken into lines after each LF so
// that a changed byte shows up as a changed line in a diff.  Comparing
// these texts compares the bytes exactly.
std::string escape(std::string_view bytes)
{
    static const std::map<unsigned char, std::string> named = {
        {'\\', "\\\\"}, {'\r', "\\r"}, {'\n', "\\n\n"}, {'\t', "\\t"}, {'\b', "\\b"}, {'\a', "\\a"}, {0x1b, "\\e"}};
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (auto it = named.find(c); it != named.end())
            out += it->second;
        else if (c >= 32 && c < 127)
            out += static_cast<char>(c);
        else
            out.append(hex, static_cast<size_t>(snprintf(hex, sizeof hex, "\\x%02x", c)));
    }
    // A space at the end of a line would not survive editors that trim.
    if (!out.empty() && out.back() == ' ')
        out.replace(out.size() - 1, 1, "\\x20");
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return out;
}

std::string excerpt(const std::string& text, size_t at)
{
    size_t begin = at == 0 ? npos : text.rfind('\n', at - 1);
    begin = begin == npos ? 0 : begin + 1;
    size_t end = std::min(text.find('\n', at), text.size());
    begin = std::max(begin, at > 60 ? at - 60 : 0);
    end = std::min(end, at + 60);
    return text.substr(begin, end - begin);
}

void check_golden(const fs::path& name, const std::string& actual)
{
    fs::path path = golden_root / name;
    if (recording()) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        ADD_FAILURE() << "no golden file " << path << "; record it with NCHATD_RECORD_GOLDEN=1";
        return;
    }
    std::string expected{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    if (expected == actual)
        return;
    size_t at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first - expected.begin();
    size_t section = expected.rfind("--- ", at);
    ADD_FAILURE() << name << " differs from its golden file at byte " << at << ", line "
                  << std::count(expected.begin(), expected.begin() + static_cast<long>(at), '\n') + 1 << ", in\n  "
                  << (section == npos ? "" : expected.substr(section, expected.find('\n', section) - section))
                  << "\nexpected: " << excerpt(expected, at) << "\n  actual: " << excerpt(actual, at)
                  << "\n(NCHATD_RECORD_GOLDEN=1 records the new behaviour, if it is meant)";
}

// --- Scenes: one server, its clients and a script of steps ------------------

enum class act {
    connect,  // open a connection
    send,     // send `bytes`
    hang_up,  // close the connection from the client's side
    closed,   // the server must close the connection
    expect,   // nothing to do, only the waits; `bytes` names the event
};

struct wait_for {
    std::string who;   // a client, "others" (every other logged-in client) or "log"
    std::string text;  // the last bytes the step causes there, time stamps unmasked
};

struct step {
    act what;
    std::string who;
    std::string bytes = {};
    std::vector<wait_for> waits = {};  // a connect waits for the name prompt unless told otherwise
    int rcvbuf = 0;                    // for a connect: a small receive buffer makes a slow reader
};

struct peer {
    std::string label;
    harness::client c;
    std::string pending;     // received, not yet in a section
    std::string transcript;  // the sections so far, masked and escaped
    bool open = false;
    bool chatting = false;  // logged in
};

std::string describe(const step& s)
{
    switch (s.what) {
    case act::connect:
        return "connects";
    case act::hang_up:
        return "hangs up";
    case act::closed:
        return "is disconnected by the server";
    case act::expect:
        return s.bytes;
    case act::send:
        break;
    }
    std::string text = escape(s.bytes);
    std::erase(text, '\n');
    return text.size() > 64 ? text.substr(0, 60) + "..." : text;
}

int local_day()
{
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    return t.tm_year * 1000 + t.tm_yday;
}

class scene {
  public:
    explicit scene(std::string name) : name_(std::move(name)) {}

    bool start(std::vector<std::string> extra = {})
    {
        extra.insert(extra.begin(), server_args.begin(), server_args.end());
        return srv.start(extra);
    }

    void play(const std::vector<step>& steps)
    {
        for (const step& s : steps)
            run(s);
    }

    // Once an expected text fails to come, the later steps cannot mean
    // much; they are skipped and what was gathered is compared.
    void run(const step& s)
    {
        if (off_script)
            return;
        std::string title = next_title(s.who, describe(s));
        peer& p = get(s.who);
        std::vector<wait_for> waits = s.waits;
        switch (s.what) {
        case act::connect:
            connect(p, s.rcvbuf);
            if (waits.empty())
                waits.push_back({s.who, "chars): "});
            break;
        case act::send:
            EXPECT_TRUE(p.c.send(s.bytes)) << title;
            break;
        case act::hang_up:
            p.c.close();
            p.open = p.chatting = false;
            break;
        case act::closed:
            EXPECT_TRUE(p.c.wait_closed(static_cast<int>(std::chrono::milliseconds(wait_limit).count()))) << title;
            p.pending += p.c.take();
            if (!p.pending.empty())
                note(p, title, std::exchange(p.pending, {}));
            p.open = p.chatting = false;
            break;
        case act::expect:
            break;
        }
        for (const wait_for& w : waits) {
            if (w.who == "log") {
                off_script |= !wait_log(w.text);
                EXPECT_FALSE(off_script) << title << ": the log lacks " << w.text;
                continue;
            }
            for (auto& [label, q] : peers) {
                if (label == w.who || (w.who == "others" && label != s.who && q.chatting))
                    note(q, title, cut(q, w.text));
            }
        }
        if (s.what == act::send && !p.chatting && p.transcript.find("* logged in as ") != npos)
            p.chatting = true;
    }

    std::string next_title(const std::string& who, const std::string& what)
    {
        return "--- " + std::to_string(++steps_) + " " + who + ": " + what;
    }

    peer& get(const std::string& label)
    {
        peer& p = peers[label];
        p.label = label;
        return p;
    }

    // Takes `p`'s bytes up to and including the next `text`.
    std::string cut(peer& p, const std::string& text)
    {
        auto deadline = clock_type::now() + wait_limit;
        size_t at;
        while ((at = p.pending.find(text)) == npos) {
            bool ended = p.c.wait_closed(0);
            p.pending += p.c.take();
            if ((at = p.pending.find(text)) != npos)
                break;
            if (ended || off_script || clock_type::now() >= deadline) {
                off_script = true;
                ADD_FAILURE() << p.label << " did not receive \"" << escape(text) << "\"; it has \""
                              << escape(p.pending) << "\"";
                return std::exchange(p.pending, {});
            }
            p.c.read_until(text, 50);
        }
        std::string part = p.pending.substr(0, at + text.size());
        p.pending.erase(0, at + text.size());
        return part;
    }

    void note(peer& p, const std::string& title, const std::string& raw)
    {
        p.transcript += title + "\n" + escape(mask(raw));
    }

    // The log with every client port replaced by its client's label.
    std::string log()
    {
        std::string log = srv.log(), out;
        const std::string key = "127.0.0.1:";
        size_t from = 0;
        for (size_t at; (at = log.find(key, from)) != npos;) {
            size_t digits = at + key.size(), end = digits;
            while (end < log.size() && isdigit(static_cast<unsigned char>(log[end])))
                ++end;
            out.append(log, from, digits - from);
            auto it = end > digits ? port_names_.find(std::stoi(log.substr(digits, end - digits))) : port_names_.end();
            out += it != port_names_.end() ? it->second : "?" + log.substr(digits, end - digits);
            from = end;
        }
        return out + log.substr(from);
    }

    bool wait_log(const std::string& text)
    {
        for (auto deadline = clock_type::now() + wait_limit; log().find(text) == npos;) {
            if (clock_type::now() >= deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Reads what is left, then compares every transcript and the log.
    // False when the local day changed meanwhile: the day-change notice
    // then stands in the transcripts, and nothing can be compared.
    bool finish()
    {
        for (auto& [label, p] : peers) {
            if (p.open)
                p.c.read_for(50);
            std::string rest = p.pending + p.c.take();
            if (!rest.empty())
                note(p, "--- after the last step", rest);
        }
        if (local_day() != day_)
            return false;
        for (auto& [label, p] : peers)
            check_golden(fs::path(name_) / (label + ".txt"), p.transcript);
        check_golden(fs::path(name_) / "server.log", log());
        return true;
    }

    harness::server srv;
    std::map<std::string, peer> peers;
    bool off_script = false;

  private:
    void connect(peer& p, int rcvbuf)
    {
        p.open = p.c.connect(srv.port(), rcvbuf);
        ASSERT_TRUE(p.open) << p.label << " cannot connect";
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(p.c.fd(), reinterpret_cast<sockaddr*>(&addr), &len);
        auto [it, fresh] = port_names_.emplace(ntohs(addr.sin_port), p.label);
        EXPECT_TRUE(fresh) << p.label << " got the port of " << it->second;
    }

    std::string name_;
    std::map<int, std::string> port_names_;
    int day_ = local_day();
    int steps_ = 0;
};

// --- Script helpers ---------------------------------------------------------

const std::string end_reply = "* end.\r\n> ";
const std::string unknown = "* unknown command\r\n> ";
const std::string sent = "* private message sent\r\n> ";
const std::string iac = "\xff", sb = "\xfa", se = "\xf0", will = "\xfb", wont = "\xfc", do_ = "\xfd", dont = "\xfe";
const std::string del = "\x7f";

step connect(const std::string& who, int rcvbuf = 0)
{
    return {act::connect, who, "", {}, rcvbuf};
}

step login(const std::string& who)
{
    return {
        act::send,
        who,
        who + "\r\n",
        {{who, "* logged in as " + who + "\r\n> "}, {"others", "* user " + who + " logged in from 127.0.0.1\r\n> "}}};
}

step cmd(const std::string& who, const std::string& line, const std::string& reply = end_reply)
{
    return {act::send, who, line + "\r\n", {{who, reply}}};
}

// A chat line, typed as `typed` when that is not simply the line and CR LF.
step say(const std::string& who, const std::string& line, const std::string& typed = "")
{
    return {act::send,
            who,
            typed.empty() ? line + "\r\n" : typed,
            {{who, who + "\x1b[0m> " + line + "\r\n> "}, {"others", "<" + who + "> " + line + "\r\n> "}}};
}

step priv(const std::string& who, const std::string& line, const std::string& to, const std::string& text)
{
    return {act::send, who, line + "\r\n", {{to, "![" + who + "] " + text + "\r\n> "}, {who, sent}}};
}

step leave(const std::string& who, const std::string& name, const std::string& line)
{
    return {act::send,
            who,
            line + "\r\n",
            {{who, "* goodbye\r\n"}, {"others", "* user " + name + " logged off from 127.0.0.1\r\n> "}}};
}

std::string letters(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('a' + i % 26);
    return s;
}

// No client sends more than about 20 lines in this scene, so a flood budget
// of 20 lines in 5 seconds would never stop one.
TEST(Transcript, ChatSession)
{
    scene sc("chat");
    ASSERT_TRUE(sc.start());
    sc.play({
        connect("bob"),
        login("bob"),
        connect("alice"),
        // The name and two more lines in one send: all of it counts.
        {act::send,
         "alice",
         "alice\r\nhello\r\n/status away\r\n",
         {{"alice", end_reply}, {"others", "set status to \"away\"\r\n> "}}},
        connect("long"),  // waits at the name prompt during the listing
        cmd("bob", "/help"),
        cmd("bob", "/list"),
        // The one waiting at the prompt has an empty name; nobody reaches it so.
        cmd("bob", "/statusof"),
        cmd("bob", "/msg", "* no such user\r\n> "),
        {act::send, "long", letters(21) + "\r\n/list\r\nhello\r\n", {{"long", "disconnecting\r\n"}}},
        {act::closed, "long"},
        connect("bad"),
        {act::send, "bad", "tab\there\r\n", {{"bad", "or too long\r\n"}}},
        {act::closed, "bad"},
        connect("dup"),
        {act::send, "dup", "alice\r\n", {{"dup", "taken!\r\n"}}},
        {act::closed, "dup"},
        cmd("bob", "/version"),
        cmd("bob", "/time"),
        cmd("bob", "/info"),
        cmd("bob", "/info alice"),
        cmd("bob", "/info nobody"),
        cmd("bob", "/statusof alice"),
        cmd("bob", "/status"),
        cmd("bob", "/status " + letters(40)),
        {act::send, "bob", "/status  at lunch  \r\n", {{"bob", end_reply}, {"others", "\"at lunch  \"\r\n> "}}},

        // Names and the command parser.
        connect("carol"),
        login("carol"),
        cmd("carol", "/name"),
        cmd("carol", "/nick carol"),
        cmd("carol", "/nick /carol"),
        cmd("carol", "/name alice"),
        {act::send, "carol", "/nick caz\r\n", {{"carol", end_reply}, {"others", "known as caz\r\n> "}}},
        cmd("carol", "/foo", unknown),
        cmd("carol", "/LIST", unknown),
        cmd("carol", "/", unknown),
        cmd("carol", "/ list", unknown),
        cmd("carol", "/list,", unknown),
        cmd("carol", "/list\t", unknown),
        cmd("carol", "/list   "),
        cmd("carol", "/version please"),

        // Private messages, some to a half-typed line that must be redrawn.
        connect("erin"),
        login("erin"),
        {act::send, "alice", "this is a rather long half-typed line", {{"alice", "half-typed line"}}},
        priv("erin", "/msg alice hi there  ", "alice", "hi there  "),
        cmd("erin", "/priv erin self", "* not available on self\r\n> "),
        cmd("erin", "/msg nobody x", "* no such user\r\n> "),
        priv("erin", "/msg alice", "alice", ""),
        priv("erin", "/priv alice   spaced   out ", "alice", "spaced   out "),
        priv("erin", "/msg  bob x", "bob", "x"),
        say("alice", "this is a rather long half-typed text done", "\b\b\b\btext done\r\n"),

        // Wait mode under each bell setting.
        connect("dave"),
        login("dave"),
        cmd("dave", "/bell msg-and-wait"),
        cmd("dave", "/wait", "wait mode\r\n\n\n> "),
        priv("erin", "/msg dave wake up", "dave", "wake up"),
        cmd("dave", "/bell wait-only"),
        cmd("dave", "/wait", "wait mode\r\n\n\n> "),
        say("bob", "ping"),
        cmd("dave", "/bell msg-only"),
        cmd("dave", "/wait", "wait mode\r\n\n\n> "),
        {act::send, "dave", "zz", {{"dave", "zz"}}},
        priv("erin", "/msg dave two", "dave", "two"),
        {act::send, "dave", "\b" + del + "/bell none\r\n", {{"dave", end_reply}}},
        cmd("dave", "/wait", "wait mode\r\n\n\n> "),
        priv("erin", "/msg dave three", "dave", "three"),
        cmd("dave", "/wait", "wait mode\r\n\n\n> "),
        say("dave", "back"),  // a line of one's own ends the wait
        priv("erin", "/msg dave four", "dave", "four"),
        cmd("dave", "/bell"),
        cmd("dave", "/bell ?"),

        // Telnet commands, line ends and editing.
        connect("frank"),
        login("frank"),
        {act::send,
         "frank",
         "ab" + iac + will + "\x1f" + "c" + iac + do_ + "\x01" + "d" + iac + dont + "\x22" + iac + wont + "\x03" + "e" +
             iac + iac + "f",
         {{"frank", "abcdef"}}},
        say("frank", "abcdefghijkl",
            "g" + iac + sb + "\x18" + "\0xy\r\n"s + iac + se + "h" + iac + "i" + iac + sb + "zz" + se + iac + se + "j" +
                "\0k"s + iac + will + iac + iac + "l\r\n"),
        // (The 240 after "zz" is inside the subnegotiation: only IAC SE ends one.)
        // Option code 0 on an empty line, then CR LF, LF CR, CR NUL, CR CR and LF LF.
        say("frank", "five", iac + wont + "\0one\r\ntwo\n\rthree\r\0four\r\rfive\n\n"s),
        cmd("frank", "/telnet"),
        cmd("frank", "/telnet again"),
        say("frank", "xy", "\babc\b" + del + "d\b\b\b\b\bxy\r\n"),
        say("frank", letters(510) + "E", letters(600) + "\r\n" + letters(515) + "\bEND\r\n"),

        leave("carol", "caz", "/exit"),
        {act::closed, "carol"},
        leave("frank", "frank", "/quit"),
        {act::closed, "frank"},
        {act::hang_up,
         "bob",
         "",
         {{"others", "* user bob logged off from 127.0.0.1\r\n> "},
          {"log", "127.0.0.1:bob has been closed (user \"bob\").\n"}}},
    });
    if (!sc.finish())
        GTEST_SKIP() << "the local day changed during the test";
}

// Whole messages in `text`, from `units`, as a prefix length.
size_t whole_units(std::string_view text, const std::vector<std::string>& units)
{
    size_t at = 0;
    for (bool more = true; more;) {
        more = false;
        for (const std::string& u : units) {
            if (text.substr(at).starts_with(u)) {
                at += u.size();
                more = true;
                break;
            }
        }
    }
    return at;
}

// What a dropped reader got depends on how much the kernel took, so it is
// not kept; but it is whole messages in order, and at most the last one is
// cut where the kernel's buffer ended.
void check_whole_messages(peer& p, const std::vector<std::string>& units)
{
    ASSERT_TRUE(p.c.wait_closed(5000)) << p.label;
    std::string got = mask(std::exchange(p.pending, {}) + p.c.take());
    p.open = p.chatting = false;
    size_t whole = whole_units(got, units);
    std::string_view rest = std::string_view(got).substr(whole);
    bool cut_unit = false;
    for (const std::string& u : units)
        cut_unit = cut_unit || std::string_view(u).starts_with(rest);
    EXPECT_TRUE(cut_unit) << p.label << "'s " << got.size() << " bytes hold something else at byte " << whole << ": \""
                          << escape(rest.substr(0, 80)) << "...\"";
    EXPECT_GT(got.size(), 0u) << p.label;
}

TEST(Transcript, FullTableAndSlowReader)
{
    scene sc("admission");
    ASSERT_TRUE(sc.start({"-n", "4", "-o", "0", "-e", "0"}));
    sc.play({
        connect("obs"),
        login("obs"),
        connect("tom"),
        login("tom"),
        connect("slow", 2048),
        login("slow"),
        connect("shy"),  // takes the last slot without a name
        {act::connect,
         "extra",
         "",
         {{"extra", "Disconnecting.\r\n"}, {"log", "127.0.0.1:extra dropped: too many users.\n"}}},
        {act::closed, "extra"},
        cmd("tom", "/list"),
    });

    // tom talks, obs reads, slow never reads, until the server gives up on
    // slow.  Every line must reach tom and obs just as the first one did.
    const std::string line = letters(511);
    peer& tom = sc.get("tom");
    peer& obs = sc.get("obs");
    peer& slow = sc.get("slow");
    const std::string title =
        sc.next_title("tom", "says these 511 letters until slow is dropped (slow's copies are checked apart)");
    std::string tom_first, obs_first;
    int lines = 0;
    bool dropped = false;
    for (auto deadline = clock_type::now() + 10s;
         !dropped && !sc.off_script && lines < 2000 && clock_type::now() < deadline; ++lines) {
        ASSERT_TRUE(tom.c.send(line + "\r\n"));
        std::string t = mask(sc.cut(tom, "tom\x1b[0m> " + line + "\r\n> "));
        std::string o = mask(sc.cut(obs, "<tom> " + line + "\r\n> "));
        if (sc.off_script)
            break;
        if (lines == 0) {
            tom_first = t;
            obs_first = o;
            sc.note(tom, title, t);
            sc.note(obs, title, o);
            sc.note(slow, title, "");
        }
        ASSERT_EQ(t, tom_first) << "line " << lines;
        ASSERT_EQ(o, obs_first) << "line " << lines;
        dropped = sc.log().find("127.0.0.1:slow dropped: output queue full.\n") != npos;
    }
    ASSERT_TRUE(dropped || sc.off_script) << "slow is still there after " << lines << " lines";
    sc.run({act::expect, "slow", "is dropped", {{"others", "* user slow logged off from 127.0.0.1\r\n> "}}});

    if (dropped)
        check_whole_messages(slow, {"\x1b[0m\rSS:SS <tom> " + line + "\r\n", "> "});

    sc.play({
        {act::hang_up, "shy", "", {{"log", "127.0.0.1:shy has been closed.\n"}}},
        connect("late"),  // into the slot slow left
        login("late"),
        cmd("tom", "/list"),
        leave("late", "late", "/quit"),
        {act::closed, "late"},
    });
    if (!sc.finish())
        GTEST_SKIP() << "the local day changed during the test";
}

}  // namespace

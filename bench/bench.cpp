// nchatd-bench: load generator and comparison of nchatd with ngircd,
// ncat --chat and the bare relay nchatd-floor.  For each population size
// every server runs as a child on a free loopback port with its own clients
// logged in; the scenarios of that size run on them (fan-out with the
// servers taking turns).  The burst, flood and memory-return runs then
// start each server afresh, one at a time.  The tables are printed at the
// end.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "load.h"
#include "report.h"
#include "scenario.h"
#include "target.h"

struct options {
    std::vector<server_kind> servers{server_kind::nchatd, server_kind::floor, server_kind::ngircd, server_kind::ncat,
                                     server_kind::social};
    std::string nchatd = "./build-bench/nchatd";
    std::string ngircd = "ngircd";
    std::string ncat = "ncat";
    std::string floor; // default: nchatd-floor beside nchatd-bench
    bool fanout = true, chatter = true, storm = true, memory = true;
    bool burst = true, flood = true, reclaim = true;
    int burst_clients = bench_default_burst_clients;
    int flood_seconds = bench_default_flood_s;
    int reclaim_clients = bench_default_reclaim_clients;
    std::vector<int> fanout_sizes{64, 512, 2048};
    fanout_opts fan;
    bool fanout_lines_given = false;
    int chatter_clients = 512;
    chatter_opts chat;
    int storm_clients = 2048;
    int window = bench_default_window;
    int budget_s = bench_default_budget_s;
    bool keep = false;
    bool strict = false;
};

static const char* usage_text = R"(usage: nchatd-bench [options]
  --server PATH          nchatd binary (default ./build-bench/nchatd)
  --ngircd PATH          ngircd binary (default ngircd from PATH)
  --ncat PATH            ncat binary (default ncat from PATH)
  --floor PATH           the bare relay (default nchatd-floor beside this program)
  --servers LIST         any of nchatd,floor,ngircd,ncat,social (default all five)
  --scenarios LIST       any of fanout,chatter,storm,memory,burst,flood,reclaim
                         (default all)
  --fanout-sizes LIST    clients of the fan-out runs (default 64,512,2048)
  --fanout-lines N       lines per fan-out run (default 200, or more where that
                         gives fewer than 250000 copies)
  --rounds N             in fan-out and chatter the servers take turns, lines/N
                         lines each (default 8)
  --chatter-clients N    clients of the chatter run (default 512)
  --chatter-senders N    senders of the chatter run (default 32)
  --chatter-lines N      lines per chatter sender (default 200)
  --storm-clients N      clients of the storm and memory runs (default 2048)
  --window N             logins in progress at once (default 4)
  --burst-clients N      clients that connect at once in the burst (default 1000)
  --flood-seconds S      length of the flood, after a quiet phase of S/2, at least 1
                         (default 10)
  --reclaim-clients N    clients that stop reading in the memory-return run (default 200)
  --line-timeout-ms N    wait for one line before giving it up (default 2000)
  --budget S             stop starting runs after S seconds (default 480)
  --keep                 keep the work directory (server logs, ngircd.conf)
  --strict               exit with status 1 when nchatd misses a target
)";

static std::vector<std::string> split_list(const std::string& s)
{
    std::vector<std::string> v;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos)
            comma = s.size();
        if (comma > start)
            v.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
    return v;
}

static int parse_count(const char* opt, const std::string& s, int lo, int hi)
{
    char* end = nullptr;
    long v = strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "nchatd-bench: %s wants a number from %d to %d, not '%s'\n", opt, lo, hi, s.c_str());
        exit(2);
    }
    return int(v);
}

static void parse_servers(options& o, const std::string& list)
{
    o.servers.clear();
    for (const std::string& s : split_list(list)) {
        if (s == "nchatd")
            o.servers.push_back(server_kind::nchatd);
        else if (s == "ngircd")
            o.servers.push_back(server_kind::ngircd);
        else if (s == "ncat")
            o.servers.push_back(server_kind::ncat);
        else if (s == "floor")
            o.servers.push_back(server_kind::floor);
        else if (s == "social")
            o.servers.push_back(server_kind::social);
        else {
            fprintf(stderr, "nchatd-bench: unknown server '%s'\n", s.c_str());
            exit(2);
        }
    }
}

static void parse_scenarios(options& o, const std::string& list)
{
    o.fanout = o.chatter = o.storm = o.memory = o.burst = o.flood = o.reclaim = false;
    for (const std::string& s : split_list(list)) {
        if (s == "fanout")
            o.fanout = true;
        else if (s == "chatter")
            o.chatter = true;
        else if (s == "storm")
            o.storm = true;
        else if (s == "memory")
            o.memory = true;
        else if (s == "burst")
            o.burst = true;
        else if (s == "flood")
            o.flood = true;
        else if (s == "reclaim")
            o.reclaim = true;
        else {
            fprintf(stderr, "nchatd-bench: unknown scenario '%s'\n", s.c_str());
            exit(2);
        }
    }
}

static options parse_options(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            fputs(usage_text, stdout);
            exit(0);
        }
        if (a == "--keep") {
            o.keep = true;
            continue;
        }
        if (a == "--strict") {
            o.strict = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "nchatd-bench: %s\n%s", a.c_str(), usage_text);
            exit(2);
        }
        std::string v = argv[++i];
        if (a == "--server")
            o.nchatd = v;
        else if (a == "--ngircd")
            o.ngircd = v;
        else if (a == "--ncat")
            o.ncat = v;
        else if (a == "--floor")
            o.floor = v;
        else if (a == "--servers")
            parse_servers(o, v);
        else if (a == "--scenarios")
            parse_scenarios(o, v);
        else if (a == "--fanout-sizes") {
            o.fanout_sizes.clear();
            for (const std::string& s : split_list(v))
                o.fanout_sizes.push_back(parse_count(a.c_str(), s, 2, bench_max_clients));
        } else if (a == "--fanout-lines") {
            o.fan.lines = parse_count(a.c_str(), v, 1, 100000);
            o.fanout_lines_given = true;
        }
        else if (a == "--chatter-clients")
            o.chatter_clients = parse_count(a.c_str(), v, 2, bench_max_clients);
        else if (a == "--chatter-senders")
            o.chat.senders = parse_count(a.c_str(), v, 1, bench_max_clients - 1);
        else if (a == "--chatter-lines")
            o.chat.lines = parse_count(a.c_str(), v, 1, 100000);
        else if (a == "--storm-clients")
            o.storm_clients = parse_count(a.c_str(), v, 1, bench_max_clients);
        else if (a == "--window")
            o.window = parse_count(a.c_str(), v, 1, bench_max_clients);
        else if (a == "--burst-clients")
            o.burst_clients = parse_count(a.c_str(), v, 1, bench_max_clients);
        else if (a == "--flood-seconds")
            o.flood_seconds = parse_count(a.c_str(), v, 1, 600);
        else if (a == "--reclaim-clients")
            o.reclaim_clients = parse_count(a.c_str(), v, 1, bench_max_clients - 2);
        else if (a == "--rounds")
            o.fan.rounds = o.chat.rounds = parse_count(a.c_str(), v, 1, 1000);
        else if (a == "--budget")
            o.budget_s = parse_count(a.c_str(), v, 10, 86400);
        else if (a == "--line-timeout-ms")
            o.fan.line_timeout_ns = int64_t(parse_count(a.c_str(), v, 1, 60000)) * 1'000'000;
        else {
            fprintf(stderr, "nchatd-bench: unknown option %s\n%s", a.c_str(), usage_text);
            exit(2);
        }
    }
    if (o.chatter && o.chat.senders >= o.chatter_clients) {
        fprintf(stderr, "nchatd-bench: the chatter run needs more clients than senders\n");
        exit(2);
    }
    return o;
}

// 2048 clients and the server's own 2048 sockets need more than the usual
// 1024 descriptors; the servers inherit the limit.
static void raise_nofile()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    rlim_t want = std::min<rlim_t>(rl.rlim_max, bench_nofile_wanted);
    if (rl.rlim_cur < want) {
        rl.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

static std::string server_exe(const options& o, server_kind k)
{
    switch (k) {
    case server_kind::nchatd:
    case server_kind::social:
        return o.nchatd;
    case server_kind::ngircd:
        return o.ngircd;
    case server_kind::ncat:
        return o.ncat;
    case server_kind::floor:
        return o.floor;
    }
    return {};
}

static void progress(const row& r)
{
    const char* sep = r.note.empty() ? "" : "; ";
    const char* kind = report_kind_name(r.kind);
    if (r.kind == row_kind::burst) {
        fprintf(stderr,
                "  %-7s %-8s N=%-5d connect() calls over %.1f ms; greeted %d, stuck %d, not connected %d, "
                "refused %d%s%s\n",
                r.server.c_str(), kind, r.wanted, bench_ns_to_ms(r.connect_span_ns), r.greeted, r.stuck,
                r.unconnected, r.refused, sep, r.note.c_str());
    } else if (r.kind == row_kind::flood) {
        fprintf(stderr, "  %-7s %-8s N=%-5d flooder lines sent %llu, relayed %llu; chatter copies %llu, lost %llu%s%s\n",
                r.server.c_str(), kind, r.wanted, static_cast<unsigned long long>(r.flood_sent),
                static_cast<unsigned long long>(r.flood_seen), static_cast<unsigned long long>(r.delivered),
                static_cast<unsigned long long>(r.lost), sep, r.note.c_str());
    } else if (r.kind == row_kind::reclaim) {
        fprintf(stderr, "  %-7s %-8s N=%-5d VmRSS before %ld KiB, peak %ld, after %ld%s%s\n", r.server.c_str(), kind,
                r.wanted, r.rss_before_kib, r.rss_peak_kib, r.rss_kib, sep, r.note.c_str());
    } else {
        fprintf(stderr, "  %-7s %-8s N=%-5d clients %d, copies %llu, lost %llu, cut %llu, %.2f s%s%s\n",
                r.server.c_str(), r.kind == row_kind::fanout ? "fan-out" : kind, r.wanted, r.clients,
                static_cast<unsigned long long>(r.delivered), static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.cut), bench_ns_to_s(r.elapsed_ns), sep, r.note.c_str());
    }
}

static void note_append(std::string& note, const std::string& text)
{
    if (text.empty())
        return;
    if (!note.empty())
        note += "; ";
    note += text;
}

// One server under test with its population, for one population size.
struct stand {
    server_kind kind = server_kind::nchatd;
    int size = 0;
    target t;
    load l;
    bool up = false;        // the server started
    bool populated = false; // its clients were logged in
    bool ignored = false;   // social: its clients have their ignore lists
    int relaxed = 0;        // clients that ask ngircd for +F
    std::string note;       // about the population; goes into every row
};

static void stand_open(stand& s, const options& o, server_kind k, int size, const std::string& dir,
                       server_mode mode = server_mode::relay)
{
    s.kind = k;
    s.size = size;
    s.t.kind = k;
    s.t.mode = mode;
    s.t.exe = server_exe(o, k);
    s.t.dir = dir;
    // As a relay, the senders (the first clients) ask ngircd to relax its
    // flood protection for them.
    s.relaxed = k == server_kind::ngircd && mode == server_mode::relay ? std::max(1, o.chat.senders) : 0;
    if (bench_now_ns() >= bench_stop_ns) {
        s.note = "skipped: time budget used up";
        return;
    }
    if (target_start(s.t, size) < 0) {
        fprintf(stderr, "  %s N=%d: did not start: %s\n", target_name(k), size, s.t.error.c_str());
        s.note = "server did not start";
        return;
    }
    if (load_open(s.l, k, s.t.port, size) < 0) {
        fprintf(stderr, "nchatd-bench: epoll: %s\n", strerror(errno));
        target_stop(s.t);
        exit(1);
    }
    s.up = true;
}

// The server goes first: closing thousands of clients one by one would
// make it announce every departure to everybody left.
static void stand_close(stand& s)
{
    target_stop(s.t);
    load_close(s.l);
}

// Every client ignores the bench_social_ignores clients before the last,
// who never write (the senders are the first `senders`, the witness the
// last), so every copy is checked against a full list and none is held
// back.  Populations too small for that ignore fewer.
static void stand_ignore(stand& s, int senders)
{
    const int first = std::max(1, std::min(senders, s.size - bench_social_ignores - 2));
    int ignored = 0;
    for (int i = 0; i < s.size; ++i) {
        std::vector<int> others;
        for (int k = s.size - 2; k >= first && int(others.size()) < bench_social_ignores; --k)
            if (k != i)
                others.push_back(k);
        if (s.l.clients[size_t(i)].phase == client_phase::ready && load_ignore(s.l, i, others))
            ++ignored;
    }
    fprintf(stderr, "  %-7s ignore   N=%-5d %d clients ignore %d others each\n", target_name(s.kind), s.size, ignored,
            bench_social_ignores);
}

// Logs the population in unless the storm did; then waits for quiet.
// The social server's clients set their ignore lists unless `lists` is
// false: memory is measured without them, because the lists live in the
// slots either way and the 65536 replies would leave the heap fragmented.
static void stand_populate(stand& s, const options& o, bool lists = true)
{
    if (!s.populated) {
        s.populated = true;
        login_result lr = load_login(s.l, s.size, o.window, s.relaxed);
        fprintf(stderr, "  %-7s login    N=%-5d %d logged in, %d refused, %d timed out, %.2f s\n", target_name(s.kind),
                s.size, lr.ready, lr.refused, lr.timed_out, bench_ns_to_s(lr.elapsed_ns));
        if (lr.ready < s.size)
            note_append(s.note, "only " + std::to_string(lr.ready) + " logged in");
    }
    if (s.kind == server_kind::social && lists && !s.ignored) {
        s.ignored = true;
        stand_ignore(s, o.chat.senders);
    }
    if (!load_settle(s.l, bench_settle_max_ns))
        note_append(s.note, "traffic did not stop before the run");
}

// ngircd senders that did not get relaxed flood protection would be
// measured with penalties; say so.
static void note_unrelaxed(row& r, const stand& s)
{
    int unrelaxed = 0;
    for (int i = 0; i < s.relaxed && i < int(s.l.clients.size()); ++i) {
        const client& c = s.l.clients[size_t(i)];
        unrelaxed += c.phase == client_phase::ready && !c.relaxed_ok;
    }
    if (unrelaxed > 0)
        note_append(r.note, std::to_string(unrelaxed) + " senders without +F");
}

static void stand_record(const stand& s, row r, std::vector<row>& rows)
{
    r.server = target_name(s.kind);
    if (r.wanted == 0)
        r.wanted = s.size;
    std::string note = s.note;
    note_append(note, r.note);
    r.note = note;
    if (s.up && s.relaxed > 0 && r.kind != row_kind::memory)
        note_unrelaxed(r, s);
    progress(r);
    rows.push_back(std::move(r));
}

// A row that could not be run: the server did not start, or the time
// budget is used up.
static bool stand_skip(const stand& s, row_kind kind, std::vector<row>& rows)
{
    if (s.up && bench_now_ns() < bench_stop_ns)
        return false;
    row r;
    r.kind = kind;
    if (s.up)
        r.note = "skipped: time budget used up";
    stand_record(s, r, rows);
    return true;
}

static void run_single(stand& s, const options& o, row_kind kind, std::vector<row>& rows)
{
    if (stand_skip(s, kind, rows))
        return;
    if (kind == row_kind::storm) {
        s.populated = true;
        return stand_record(s, scenario_storm(s.l, s.t, s.size, o.window, s.relaxed), rows);
    }
    stand_populate(s, o, false);
    stand_record(s, scenario_memory(s.l, s.t), rows);
}

// A run of every server in `rounds` turns of `piece` lines each, so that a
// change in the machine's other load touches all of them alike.
template <class Run, class Opts>
static void run_in_turns(std::vector<stand>& stands, const options& o, row_kind kind, const Opts& opts, int lines,
                         int rounds, std::vector<row>& rows)
{
    std::vector<Run> runs(stands.size());
    std::vector<bool> active(stands.size(), false);
    for (size_t i = 0; i < stands.size(); ++i) {
        if (stand_skip(stands[i], kind, rows))
            continue;
        stand_populate(stands[i], o);
        scenario_begin(runs[i], stands[i].l, stands[i].t, opts);
        active[i] = true;
    }
    int piece = (lines + rounds - 1) / rounds;
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < stands.size(); ++i)
            if (active[i])
                scenario_lines(runs[i], stands[i].l, stands[i].t, opts, piece);
    for (size_t i = 0; i < stands.size(); ++i)
        if (active[i])
            stand_record(stands[i], scenario_end(runs[i], stands[i].l, stands[i].t), rows);
}

static void run_fanout(std::vector<stand>& stands, const options& o, int size, std::vector<row>& rows)
{
    fanout_opts fan = o.fan;
    if (!o.fanout_lines_given)
        fan.lines = std::max(fan.lines, (bench_fanout_copies + size - 2) / (size - 1));
    run_in_turns<fanout_run>(stands, o, row_kind::fanout, fan, fan.lines, fan.rounds, rows);
}

// Every server with its population of `size` clients, then the runs of
// that size: storm and memory, fan-out in turns, chatter.
static void run_size(const options& o, int size, const std::string& dir, std::vector<row>& rows)
{
    std::vector<stand> stands(o.servers.size());
    for (size_t i = 0; i < stands.size(); ++i)
        stand_open(stands[i], o, o.servers[i], size, dir);
    bool at_storm_size = size == o.storm_clients;
    for (stand& s : stands) {
        if (o.storm && at_storm_size)
            run_single(s, o, row_kind::storm, rows);
        if (o.memory && at_storm_size)
            run_single(s, o, row_kind::memory, rows);
    }
    if (o.fanout && std::count(o.fanout_sizes.begin(), o.fanout_sizes.end(), size))
        run_fanout(stands, o, size, rows);
    if (o.chatter && size == o.chatter_clients)
        run_in_turns<chatter_run>(stands, o, row_kind::chatter, o.chat, o.chat.lines, o.chat.rounds, rows);
    for (stand& s : stands)
        stand_close(s);
}

// A run on a server of its own, started afresh for it: the burst (which
// needs a server nobody has connected to yet), the flood (nchatd and
// ngircd with their defences on) and the memory return.
static void run_alone(const options& o, row_kind kind, const std::string& dir, std::vector<row>& rows)
{
    for (server_kind k : o.servers) {
        // ncat keeps what a client does not read without bound and the bare
        // relay up to 1 MiB each: only bounded queues give memory back.
        if (kind == row_kind::reclaim && (k == server_kind::ncat || k == server_kind::floor))
            continue;
        // What the social server adds is per copy and per slot; these runs
        // ask nothing new of it.
        if (k == server_kind::social)
            continue;
        int size = kind == row_kind::burst   ? o.burst_clients + bench_burst_chatters
                   : kind == row_kind::flood ? flood_population
                                             : o.reclaim_clients + 2;
        server_mode mode = kind == row_kind::reclaim ? server_mode::relay : server_mode::guarded;
        stand s;
        stand_open(s, o, k, size, dir, mode);
        row r;
        r.kind = kind;
        if (kind == row_kind::reclaim)
            r.wanted = o.reclaim_clients;
        if (kind == row_kind::burst)
            r.wanted = o.burst_clients;
        if (!s.up || bench_now_ns() >= bench_stop_ns) {
            if (s.up)
                r.note = "skipped: time budget used up";
            stand_record(s, r, rows);
            stand_close(s);
            continue;
        }
        if (kind == row_kind::burst) {
            r = scenario_burst(s.l, s.t, o.burst_clients, o.window);
            r.wanted = o.burst_clients;
        } else if (kind == row_kind::flood) {
            r = scenario_flood(s.l, s.t, o.flood_seconds, o.window);
        } else {
            s.relaxed = s.relaxed > 0 ? 1 : 0; // only the sender
            r = scenario_reclaim(s.l, s.t, o.reclaim_clients, o.window, s.relaxed);
            r.wanted = o.reclaim_clients;
        }
        stand_record(s, r, rows);
        stand_close(s);
    }
}

int main(int argc, char** argv)
{
    options o = parse_options(argc, argv);
    if (o.floor.empty()) {
        std::error_code ec;
        std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
        o.floor = ((ec ? std::filesystem::path(argv[0]) : self).parent_path() / "nchatd-floor").string();
    }
    signal(SIGPIPE, SIG_IGN);
    raise_nofile();
    char tmpl[] = "/tmp/nchatd-bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        fprintf(stderr, "nchatd-bench: mkdtemp: %s\n", strerror(errno));
        return 1;
    }
    std::string dir = tmpl;

    std::set<int> sizes;
    if (o.fanout)
        sizes.insert(o.fanout_sizes.begin(), o.fanout_sizes.end());
    if (o.chatter)
        sizes.insert(o.chatter_clients);
    if (o.storm || o.memory)
        sizes.insert(o.storm_clients);

    int64_t start = bench_now_ns();
    bench_stop_ns = start + int64_t(o.budget_s) * 1'000'000'000;
    fprintf(stderr, "nchatd-bench: %ld CPUs, work directory %s\n", sysconf(_SC_NPROCESSORS_ONLN), dir.c_str());
    std::vector<row> rows;
    for (int size : sizes)
        run_size(o, size, dir, rows);
    if (o.burst)
        run_alone(o, row_kind::burst, dir, rows);
    if (o.flood)
        run_alone(o, row_kind::flood, dir, rows);
    if (o.reclaim)
        run_alone(o, row_kind::reclaim, dir, rows);

    printf("\nnchatd-bench: %zu runs in %.0f s\n", rows.size(), bench_ns_to_s(bench_now_ns() - start));
    if (!sizes.empty()) {
        printf("\n");
        report_table(stdout, rows);
        printf("\n");
        report_legend(stdout);
    }
    report_defence_tables(stdout, rows);
    printf("\n");
    int missed = report_targets(stdout, rows);
    printf("\n");
    report_floor(stdout, rows);
    report_social(stdout, rows);
    fflush(stdout);

    if (o.keep) {
        fprintf(stderr, "nchatd-bench: server logs kept in %s\n", dir.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return o.strict && missed > 0 ? 1 : 0;
}

// report: one table for all servers and scenarios.  Rows of one scenario
// stand together so that the servers can be compared line by line.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <string>

const char* report_kind_name(row_kind k)
{
    switch (k) {
    case row_kind::fanout:
        return "fan-out";
    case row_kind::chatter:
        return "chatter";
    case row_kind::storm:
        return "storm";
    case row_kind::memory:
        return "memory";
    case row_kind::burst:
        return "burst";
    case row_kind::flood:
        return "flood";
    case row_kind::reclaim:
        return "reclaim";
    }
    return "?";
}

static bool relay_row(const row& r)
{
    return r.kind == row_kind::fanout || r.kind == row_kind::chatter || r.kind == row_kind::storm ||
           r.kind == row_kind::memory;
}

// Nearest-rank percentile; NaN when there are no samples.
static double percentile_ms(std::vector<int64_t>& v, double p)
{
    if (v.empty())
        return NAN;
    size_t rank = size_t(std::ceil(p * double(v.size())));
    rank = std::clamp<size_t>(rank, 1, v.size()) - 1;
    std::nth_element(v.begin(), v.begin() + long(rank), v.end());
    return bench_ns_to_ms(v[rank]);
}

static double per_unit_us(int64_t ns, uint64_t units)
{
    return (ns < 0 || units == 0) ? NAN : double(ns) / 1e3 / double(units);
}

static double row_cpu_us(const row& r)
{
    if (r.cpu.ticks < 0)
        return NAN;
    return per_unit_us(r.cpu.ticks * 1'000'000'000 / target_ticks_per_s(), r.delivered);
}

static std::string fmt(double v, const char* format)
{
    if (std::isnan(v))
        return "-";
    char buf[32];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

static std::string row_label(const row& r)
{
    return std::string(report_kind_name(r.kind)) + " N=" + std::to_string(r.wanted);
}

// Column titles and widths; a negative width aligns left.  The last
// column, the notes, is as wide as it needs.
struct column {
    const char* title;
    int width;
};

static void print_table_row(FILE* out, const std::vector<column>& cols, const std::vector<std::string>& cells)
{
    for (size_t i = 0; i + 1 < cells.size(); ++i)
        fprintf(out, i == 0 ? "%*s" : " %*s", cols[i].width, cells[i].c_str());
    if (!cells.back().empty())
        fprintf(out, "  %s", cells.back().c_str());
    fputc('\n', out);
}

static void print_table_head(FILE* out, const std::vector<column>& cols)
{
    std::vector<std::string> titles;
    for (const column& c : cols)
        titles.push_back(c.title);
    print_table_row(out, cols, titles);
}

// The relay runs' table.
static const std::vector<column> columns = {
    {"server", -7}, {"scenario", -15}, {"clients", 9}, {"lines", 6},    {"copies", 9}, {"copies/s", 9},
    {"time s", 7},  {"p50 ms", 8},     {"p99 ms", 8},  {"p99 read", 8}, {"lost", 6},   {"cut", 4},
    {"cpu ms", 7},  {"us/copy", 8},    {"(sched)", 8}, {"RSS MiB", 7},  {"gen %", 5},  {"notes", 0},
};

static std::vector<std::string> row_cells(row& r)
{
    std::string clients = std::to_string(r.clients);
    if (r.clients != r.wanted)
        clients += "/" + std::to_string(r.wanted);
    double rss = r.rss_kib < 0 ? NAN : double(r.rss_kib) / 1024.0;
    if (r.kind == row_kind::memory)
        return {r.server, row_label(r), clients,          "-", "-",   "-", "-", "-", "-", "-", "-", "-", "-",
                "-",      "-",          fmt(rss, "%.2f"), "-", r.note};
    double secs = bench_ns_to_s(r.elapsed_ns);
    double rate = secs > 0 ? double(r.delivered) / secs : NAN;
    double cpu_ms = r.cpu.ticks < 0 ? NAN : double(r.cpu.ticks) * 1e3 / double(target_ticks_per_s());
    double gen = (r.gen_cpu_ns < 0 || r.elapsed_ns <= 0) ? NAN : 100.0 * double(r.gen_cpu_ns) / double(r.elapsed_ns);
    return {r.server,
            row_label(r),
            clients,
            std::to_string(r.lines),
            std::to_string(r.delivered),
            fmt(rate, "%.0f"),
            r.elapsed_ns > 0 ? fmt(secs, "%.2f") : "-",
            fmt(percentile_ms(r.latency_ns, 0.50), "%.3f"),
            fmt(percentile_ms(r.latency_ns, 0.99), "%.3f"),
            fmt(percentile_ms(r.read_latency_ns, 0.99), "%.3f"),
            std::to_string(r.lost),
            r.kind == row_kind::storm ? "-" : std::to_string(r.cut),
            fmt(cpu_ms, "%.0f"),
            fmt(row_cpu_us(r), "%.2f"),
            fmt(per_unit_us(r.cpu.run_ns, r.delivered), "%.2f"),
            fmt(rss, "%.2f"),
            fmt(gen, "%.0f"),
            r.note};
}

void report_table(FILE* out, std::vector<row>& rows)
{
    std::stable_sort(rows.begin(), rows.end(), [](const row& a, const row& b) {
        if (a.kind != b.kind)
            return int(a.kind) < int(b.kind);
        return a.wanted < b.wanted;
    });
    print_table_head(out, columns);
    for (row& r : rows)
        if (relay_row(r))
            print_table_row(out, columns, row_cells(r));
}

static double cpu_percent(const cpu_sample& cpu, int64_t ns)
{
    if (cpu.ticks < 0 || ns <= 0)
        return NAN;
    return 100.0 * double(cpu.ticks) / double(target_ticks_per_s()) / bench_ns_to_s(ns);
}

static double mib(long kib)
{
    return kib < 0 ? NAN : double(kib) / 1024.0;
}

static std::string count_or_dash(int64_t v)
{
    return v < 0 ? "-" : std::to_string(v);
}

static void report_burst(FILE* out, std::vector<row>& rows)
{
    static const std::vector<column> cols = {
        {"server", -7}, {"scenario", -15}, {"greeted", 8}, {"stuck", 6},   {"unconn", 7}, {"refused", 8},
        {"p50 ms", 8},  {"p99 ms", 8},     {"chat qt", 8}, {"chat bu", 8}, {"max ms", 8}, {"last s", 7},
        {"ovfl", 5},    {"cpu ms", 7},     {"us/greet", 9}, {"notes", 0},
    };
    print_table_head(out, cols);
    for (row& r : rows) {
        if (r.kind != row_kind::burst)
            continue;
        double cpu_ms = r.cpu.ticks < 0 ? NAN : double(r.cpu.ticks) * 1e3 / double(target_ticks_per_s());
        print_table_row(out, cols,
                        {r.server, row_label(r), std::to_string(r.greeted) + "/" + std::to_string(r.wanted),
                         std::to_string(r.stuck), std::to_string(r.unconnected), std::to_string(r.refused),
                         fmt(percentile_ms(r.latency_ns, 0.50), "%.1f"), fmt(percentile_ms(r.latency_ns, 0.99), "%.1f"),
                         fmt(percentile_ms(r.quiet_latency_ns, 0.99), "%.2f"),
                         fmt(percentile_ms(r.chat_latency_ns, 0.99), "%.2f"), fmt(percentile_ms(r.latency_ns, 1.0), "%.1f"),
                         r.elapsed_ns > 0 ? fmt(bench_ns_to_s(r.elapsed_ns), "%.2f") : "-", count_or_dash(r.overflows),
                         fmt(cpu_ms, "%.0f"), fmt(row_cpu_us(r), "%.1f"), r.note});
    }
    fputs("  All clients call connect() at once and wait for the server's first bytes (ngircd: its\n"
          "  first reply to the NICK and USER each sends at once), for at most 10 s; nobody logs in.\n"
          "  greeted  got the first bytes and is still connected, of the clients asked for\n"
          "  stuck    connected, but no byte from the server; unconn: connect() not completed\n"
          "  refused  connect() failed or the server closed the connection\n"
          "  p50, p99, max  from connect() to the first byte's arrival; last s: the last greeting\n"
          "  chat qt, bu    p99 of 8 logged-in chatters' lines (a line each every 200 ms), send() to\n"
          "           arrival at the others, ms: in the 1 s before the burst, and during it\n"
          "  ovfl     connection attempts the kernel turned away for a full accept queue\n"
          "           (ListenOverflows, whole machine); each costs its client a retry 1 s later\n",
          out);
}

// "10" when the 10 KB/s reader was dropped, "-" when none was.
static std::string readers_dropped(const row& r)
{
    std::string s;
    for (size_t i = 0; i < r.reader_rates.size() && i < r.reader_gone.size(); ++i)
        if (r.reader_gone[i])
            s += (s.empty() ? "" : ",") + std::to_string(r.reader_rates[i] / 1000);
    return s.empty() ? "-" : s + " KB/s";
}

static void report_flood(FILE* out, std::vector<row>& rows)
{
    static const std::vector<column> cols = {
        {"server", -7}, {"scenario", -12}, {"flood s", 7},  {"sent l/s", 9}, {"relay l/s", 9}, {"cpu% qt", 7},
        {"cpu% fl", 7}, {"p50 qt", 7},     {"p99 qt", 7},   {"p50 fl", 7},   {"p99 fl", 8},    {"copies", 7},
        {"lost", 5},    {"cut", 4},        {"rdr gone", 9}, {"notes", 0},
    };
    print_table_head(out, cols);
    for (row& r : rows) {
        if (r.kind != row_kind::flood)
            continue;
        double secs = bench_ns_to_s(r.elapsed_ns);
        double sent = secs > 0 ? double(r.flood_sent) / secs : NAN;
        double seen = secs > 0 ? double(r.flood_seen) / secs : NAN;
        print_table_row(
            out, cols,
            {r.server, row_label(r), r.elapsed_ns > 0 ? fmt(secs, "%.1f") : "-", fmt(sent, "%.0f"), fmt(seen, "%.1f"),
             fmt(cpu_percent(r.quiet_cpu, r.quiet_ns), "%.1f"), fmt(cpu_percent(r.cpu, r.elapsed_ns), "%.1f"),
             fmt(percentile_ms(r.quiet_latency_ns, 0.50), "%.2f"), fmt(percentile_ms(r.quiet_latency_ns, 0.99), "%.2f"),
             fmt(percentile_ms(r.latency_ns, 0.50), "%.2f"), fmt(percentile_ms(r.latency_ns, 0.99), "%.2f"),
             std::to_string(r.delivered), std::to_string(r.lost), std::to_string(r.cut), readers_dropped(r), r.note});
    }
    fputs("  One client sends lines as fast as TCP takes them for `flood s`, after a quiet phase of\n"
          "  half as long without it; 50 chatters send one line every 2 s each throughout, a witness\n"
          "  reads everything, two readers take at most 10 and 100 KB/s.\n"
          "  sent l/s   flooder lines the kernel took; relay l/s: its copies that reached the witness\n"
          "  cpu% qt/fl server CPU (utime+stime) as % of one core, quiet phase and flood phase\n"
          "  p50, p99   chatter lines: send() to arrival at the other chatters and the witness, ms\n"
          "  copies, lost  the chatters' copies; cut: damaged copies of anybody's lines, the\n"
          "             flooder's included; rdr gone: slow readers the server closed\n",
          out);
}

static void report_reclaim(FILE* out, std::vector<row>& rows)
{
    static const std::vector<column> cols = {
        {"server", -7}, {"scenario", -12}, {"lines", 6},         {"dropped", 8}, {"before", 7},
        {"peak", 7},    {"after", 7},      {"after/before", 12}, {"notes", 0},
    };
    print_table_head(out, cols);
    for (row& r : rows) {
        if (r.kind != row_kind::reclaim)
            continue;
        double ratio = r.rss_before_kib > 0 && r.rss_kib >= 0 ? double(r.rss_kib) / double(r.rss_before_kib) : NAN;
        print_table_row(out, cols,
                        {r.server, row_label(r), std::to_string(r.lines), count_or_dash(r.quiet_dropped),
                         fmt(mib(r.rss_before_kib), "%.2f"), fmt(mib(r.rss_peak_kib), "%.2f"),
                         fmt(mib(r.rss_kib), "%.2f"), fmt(ratio, "%.2f"), r.note});
    }
    fputs("  N clients log in and stop reading while one sender sends `lines` lines; then they\n"
          "  hang up.  Server VmRSS in MiB: before the lines, the peak, and 2 s after they went.\n"
          "  dropped: the quiet clients the server had closed itself before they hung up\n",
          out);
}

void report_defence_tables(FILE* out, std::vector<row>& rows)
{
    auto any = [&](row_kind k) {
        return std::any_of(rows.begin(), rows.end(), [k](const row& r) { return r.kind == k; });
    };
    if (any(row_kind::burst)) {
        fputc('\n', out);
        report_burst(out, rows);
    }
    if (any(row_kind::flood)) {
        fputc('\n', out);
        report_flood(out, rows);
    }
    if (any(row_kind::reclaim)) {
        fputc('\n', out);
        report_reclaim(out, rows);
    }
}

void report_legend(FILE* out)
{
    fputs("clients   clients logged in when the run started (storm: at its end) / clients asked for\n"
          "lines     chat lines sent (storm: connection attempts)\n"
          "copies    lines that arrived intact at a client other than their writer\n"
          "          (storm: clients that got logged in)\n"
          "copies/s  copies over the wall time of the run (storm: logins per second)\n"
          "time s    wall time of the run (storm: first connect() to last login)\n"
          "p50, p99  delivery latency: from the writer's send() to the copy's arrival in\n"
          "          the receiver's socket (kernel receive time stamp, SO_TIMESTAMPNS)\n"
          "          (storm: connect() to logged in)\n"
          "p99 read  from the writer's send() to the generator's recv() of the copy;\n"
          "          adds the generator's own delay, which grows with gen %\n"
          "lost      copies that never arrived (storm: refused or timed-out logins)\n"
          "cut       copies that arrived with bytes missing or added\n"
          "cpu ms    server CPU during the run, utime+stime from /proc/PID/stat\n"
          "us/copy   that CPU time per copy (storm: per login); the figure to compare\n"
          "(sched)   the same from /proc/PID/schedstat, nanosecond resolution\n"
          "RSS MiB   server VmRSS at the end of the run\n"
          "gen %     generator CPU over wall time; near 100 the generator, not the server,\n"
          "          sets the pace\n",
          out);
}

static row* find_row(std::vector<row>& rows, const char* server, row_kind kind, int wanted)
{
    for (row& r : rows)
        if (r.server == server && r.kind == kind && r.wanted == wanted)
            return &r;
    return nullptr;
}

// nchatd's CPU per copy over the floor's.  Where both took the same turns,
// the median of the turns' ratios: a turn that the machine's other load
// slowed for one of them then counts as one turn among several, not as a
// share of the sum.
static double paired_ratio(const row& a, const row& f)
{
    if (a.turn_us.size() >= 3 && a.turn_us.size() == f.turn_us.size()) {
        std::vector<double> r;
        for (size_t i = 0; i < a.turn_us.size(); ++i)
            r.push_back(a.turn_us[i] / f.turn_us[i]);
        std::sort(r.begin(), r.end());
        size_t n = r.size();
        return n % 2 ? r[n / 2] : (r[n / 2 - 1] + r[n / 2]) / 2;
    }
    return per_unit_us(a.cpu.run_ns, a.delivered) / per_unit_us(f.cpu.run_ns, f.delivered);
}

// The turns' ratios, as "1.01 0.98 ...", for the report.
static std::string turn_ratios(const row& a, const row& f)
{
    std::string s;
    for (size_t i = 0; i < a.turn_us.size() && i < f.turn_us.size(); ++i)
        s += (s.empty() ? "" : " ") + fmt(a.turn_us[i] / f.turn_us[i], "%.2f");
    return s;
}

static int check(FILE* out, bool ok, const std::string& what)
{
    fprintf(out, "  [%s] %s\n", ok ? " ok " : "MISS", what.c_str());
    return ok ? 0 : 1;
}

static int check_cpu(FILE* out, std::vector<row>& rows, row_kind kind, int n, double ratio)
{
    row* a = find_row(rows, "nchatd", kind, n);
    row* b = find_row(rows, "ngircd", kind, n);
    if (!a || !b)
        return 0;
    double x = row_cpu_us(*a), y = row_cpu_us(*b);
    std::string what = std::string(report_kind_name(kind)) + " N=" + std::to_string(n) + ": nchatd " + fmt(x, "%.2f") +
                       " us/copy <= " + fmt(ratio, "%.1f") + " x ngircd " + fmt(y, "%.2f") + " us/copy";
    return check(out, !std::isnan(x) && !std::isnan(y) && x <= ratio * y, what);
}

int report_targets(FILE* out, std::vector<row>& rows)
{
    int missed = 0;
    fputs("nchatd targets:\n", out);
    // The bare relay's CPU per copy is the floor: within 5% of it in every
    // fan-out and chatter run (schedstat, nanosecond resolution).
    for (row& f : rows) {
        // A smoke run's few dozen copies are too few to weigh.
        if (f.server != "floor" || (f.kind != row_kind::fanout && f.kind != row_kind::chatter) || f.wanted < 64)
            continue;
        row* a = find_row(rows, "nchatd", f.kind, f.wanted);
        if (!a)
            continue;
        double ratio = paired_ratio(*a, f);
        missed += check(out, !std::isnan(ratio) && ratio <= 1.05,
                        row_label(f) + ": nchatd/floor CPU per copy " + fmt(ratio, "%.2f") + " <= 1.05 (median of " +
                            std::to_string(std::min(a->turn_us.size(), f.turn_us.size())) + " turns: " +
                            turn_ratios(*a, f) + ")");
    }
    missed += check_cpu(out, rows, row_kind::chatter, 512, 1.0);
    if (row* s = find_row(rows, "nchatd", row_kind::storm, 2048))
        missed += check(out, s->delivered == 2048 && s->lost == 0 && s->clients == 2048,
                        "storm: " + std::to_string(s->delivered) + " of 2048 logged in, " + std::to_string(s->lost) +
                            " refused, " + std::to_string(s->clients) + " still there");
    if (row* m = find_row(rows, "nchatd", row_kind::memory, 2048))
        missed += check(out, m->rss_kib >= 0 && m->rss_kib < 8 * 1024 && m->clients == 2048,
                        "memory: VmRSS " + fmt(double(m->rss_kib) / 1024.0, "%.2f") + " MiB < 8 MiB with " +
                            std::to_string(m->clients) + " idle clients");
    for (row& b : rows) {
        if (b.server != "nchatd" || b.kind != row_kind::burst)
            continue;
        missed += check(out, b.greeted == b.wanted && b.stuck == 0 && b.unconnected == 0 && b.refused == 0,
                        row_label(b) + ": " + std::to_string(b.greeted) + " greeted within 10 s, " +
                            std::to_string(b.stuck) + " stuck, " + std::to_string(b.unconnected) + " not connected, " +
                            std::to_string(b.refused) + " refused");
        double p99 = percentile_ms(b.latency_ns, 0.99);
        missed += check(out, !std::isnan(p99) && p99 < 250.0,
                        row_label(b) + ": p99 to the greeting " + fmt(p99, "%.1f") + " ms < 250 ms");
        double chat = percentile_ms(b.chat_latency_ns, 0.99);
        missed += check(out, !std::isnan(chat) && chat < 100.0,
                        row_label(b) + ": chatters' p99 during it " + fmt(chat, "%.2f") + " ms < 100 ms");
    }
    for (row& f : rows) {
        if (f.server != "nchatd" || f.kind != row_kind::flood)
            continue;
        std::string gone;
        for (size_t i = 0; i < f.reader_rates.size() && i < f.reader_gone.size(); ++i)
            if (f.reader_gone[i] && f.reader_rates[i] >= 10'000)
                gone += " " + std::to_string(f.reader_rates[i] / 1000) + " KB/s";
        missed +=
            check(out, f.elapsed_ns > 0 && gone.empty() && f.reader_gone.size() == f.reader_rates.size(),
                  "flood: no reader at 10 KB/s or more dropped" + (gone.empty() ? "" : " (dropped:" + gone + ")"));
        double cpu = cpu_percent(f.cpu, f.elapsed_ns);
        missed +=
            check(out, !std::isnan(cpu) && cpu < 5.0, "flood: server CPU " + fmt(cpu, "%.1f") + "% of a core < 5%");
        double p99 = percentile_ms(f.latency_ns, 0.99);
        missed += check(out, !std::isnan(p99) && p99 < 100.0,
                        "flood: chatter p99 " + fmt(p99, "%.2f") +
                            " ms < 100 ms (quiet: " + fmt(percentile_ms(f.quiet_latency_ns, 0.99), "%.2f") + " ms)");
    }
    for (row& m : rows) {
        if (m.server != "nchatd" || m.kind != row_kind::reclaim)
            continue;
        missed +=
            check(out, m.rss_before_kib > 0 && m.rss_kib >= 0 && m.rss_kib <= 2 * m.rss_before_kib,
                  "memory return: VmRSS " + fmt(mib(m.rss_kib), "%.2f") + " MiB 2 s after " + std::to_string(m.wanted) +
                      " full queues went <= 2 x " + fmt(mib(m.rss_before_kib), "%.2f") + " MiB before (peak " +
                      fmt(mib(m.rss_peak_kib), "%.2f") + ")");
    }
    uint64_t lost = 0, cut = 0;
    bool any = false;
    for (const row& r : rows) {
        if (r.server != "nchatd" ||
            (r.kind != row_kind::fanout && r.kind != row_kind::chatter && r.kind != row_kind::flood))
            continue;
        any = true;
        lost += r.lost;
        cut += r.cut;
    }
    if (any)
        missed += check(out, lost == 0 && cut == 0,
                        "no copies lost (" + std::to_string(lost) + ") or cut (" + std::to_string(cut) + ")");
    return missed;
}

// The bare relay does nothing but the one send per copy that any poll-based
// server needs; how close nchatd comes to it, and how far the relay itself
// is from ngircd, tell whether a missed target is nchatd's or the kernel's.
void report_floor(FILE* out, std::vector<row>& rows)
{
    bool header = false;
    for (row& f : rows) {
        if (f.server != "floor" || (f.kind != row_kind::fanout && f.kind != row_kind::chatter))
            continue;
        row* a = find_row(rows, "nchatd", f.kind, f.wanted);
        row* b = find_row(rows, "ngircd", f.kind, f.wanted);
        double fc = per_unit_us(f.cpu.run_ns, f.delivered);
        double bc = b ? per_unit_us(b->cpu.run_ns, b->delivered) : NAN;
        if (!header)
            fputs("against the bare relay (floor), CPU from schedstat:\n", out);
        header = true;
        fprintf(out, "  %-15s nchatd/floor %s   floor/ngircd %s   p99 ms nchatd %s floor %s\n", row_label(f).c_str(),
                fmt(a ? paired_ratio(*a, f) : NAN, "%.2f").c_str(), fmt(fc / bc, "%.2f").c_str(),
                a ? fmt(percentile_ms(a->latency_ns, 0.99), "%.3f").c_str() : "-",
                fmt(percentile_ms(f.latency_ns, 0.99), "%.3f").c_str());
    }
}

void report_social(FILE* out, std::vector<row>& rows)
{
    bool header = false;
    for (row& s : rows) {
        if (s.server != "social" ||
            (s.kind != row_kind::fanout && s.kind != row_kind::chatter && s.kind != row_kind::memory))
            continue;
        row* a = find_row(rows, "nchatd", s.kind, s.wanted);
        row* f = find_row(rows, "floor", s.kind, s.wanted);
        if (!header)
            fprintf(out, "\nrecent lines (-H %d) and %d ignores per client (social), CPU from schedstat:\n",
                    bench_social_recent, bench_social_ignores);
        header = true;
        if (s.kind == row_kind::memory) {
            long extra = a && a->rss_kib >= 0 && s.rss_kib >= 0 ? s.rss_kib - a->rss_kib : -1;
            fprintf(out, "  %-15s VmRSS social %s MiB, nchatd %s MiB: %s KiB more\n", row_label(s).c_str(),
                    fmt(mib(s.rss_kib), "%.2f").c_str(), a ? fmt(mib(a->rss_kib), "%.2f").c_str() : "-",
                    a ? std::to_string(extra).c_str() : "-");
            continue;
        }
        double sc = per_unit_us(s.cpu.run_ns, s.delivered);
        double ac = a ? per_unit_us(a->cpu.run_ns, a->delivered) : NAN;
        double fc = f ? per_unit_us(f->cpu.run_ns, f->delivered) : NAN;
        fprintf(out, "  %-15s social/nchatd %s   social/floor %s   nchatd/floor %s\n", row_label(s).c_str(),
                fmt(sc / ac, "%.2f").c_str(), fmt(sc / fc, "%.2f").c_str(), fmt(ac / fc, "%.2f").c_str());
    }
}

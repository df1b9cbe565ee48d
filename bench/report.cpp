// report: one table for all servers and scenarios.  Rows of one scenario
// stand together so that the servers can be compared line by line.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <string>

static const char* row_kind_name(row_kind k)
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
    }
    return "?";
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
    return std::string(row_kind_name(r.kind)) + " N=" + std::to_string(r.wanted);
}

// Column titles and widths; a negative width aligns left.  The last
// column, the notes, is as wide as it needs.
struct column {
    const char* title;
    int width;
};

static constexpr column columns[] = {
    {"server", -7}, {"scenario", -15}, {"clients", 9}, {"lines", 6},    {"copies", 9}, {"copies/s", 9},
    {"time s", 7},  {"p50 ms", 8},     {"p99 ms", 8},  {"p99 read", 8}, {"lost", 6},   {"cut", 4},
    {"cpu ms", 7},  {"us/copy", 8},    {"(sched)", 8}, {"RSS MiB", 7},  {"gen %", 5},  {"notes", 0},
};

static void print_cells(FILE* out, const std::vector<std::string>& cells)
{
    for (size_t i = 0; i + 1 < cells.size(); ++i)
        fprintf(out, i == 0 ? "%*s" : " %*s", columns[i].width, cells[i].c_str());
    if (!cells.back().empty())
        fprintf(out, "  %s", cells.back().c_str());
    fputc('\n', out);
}

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
    std::vector<std::string> titles;
    for (const column& c : columns)
        titles.push_back(c.title);
    print_cells(out, titles);
    for (row& r : rows)
        print_cells(out, row_cells(r));
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
    std::string what = std::string(row_kind_name(kind)) + " N=" + std::to_string(n) + ": nchatd " + fmt(x, "%.2f") +
                       " us/copy <= " + fmt(ratio, "%.1f") + " x ngircd " + fmt(y, "%.2f") + " us/copy";
    return check(out, !std::isnan(x) && !std::isnan(y) && x <= ratio * y, what);
}

int report_targets(FILE* out, std::vector<row>& rows)
{
    int missed = 0;
    fputs("nchatd targets:\n", out);
    missed += check_cpu(out, rows, row_kind::fanout, 512, 0.5);
    missed += check_cpu(out, rows, row_kind::fanout, 2048, 0.5);
    missed += check_cpu(out, rows, row_kind::chatter, 512, 1.0);
    if (row* s = find_row(rows, "nchatd", row_kind::storm, 2048))
        missed += check(out, s->delivered == 2048 && s->lost == 0 && s->clients == 2048,
                        "storm: " + std::to_string(s->delivered) + " of 2048 logged in, " + std::to_string(s->lost) +
                            " refused, " + std::to_string(s->clients) + " still there");
    if (row* f = find_row(rows, "nchatd", row_kind::fanout, 2048)) {
        double p99 = percentile_ms(f->latency_ns, 0.99);
        missed += check(out, !std::isnan(p99) && p99 < 10.0, "fan-out N=2048: p99 " + fmt(p99, "%.3f") + " ms < 10 ms");
    }
    if (row* m = find_row(rows, "nchatd", row_kind::memory, 2048))
        missed += check(out, m->rss_kib >= 0 && m->rss_kib < 8 * 1024 && m->clients == 2048,
                        "memory: VmRSS " + fmt(double(m->rss_kib) / 1024.0, "%.2f") + " MiB < 8 MiB with " +
                            std::to_string(m->clients) + " idle clients");
    uint64_t lost = 0, cut = 0;
    bool any = false;
    for (const row& r : rows) {
        if (r.server != "nchatd" || r.kind == row_kind::storm || r.kind == row_kind::memory)
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
        double ac = a ? per_unit_us(a->cpu.run_ns, a->delivered) : NAN;
        double bc = b ? per_unit_us(b->cpu.run_ns, b->delivered) : NAN;
        if (!header)
            fputs("against the bare relay (floor), CPU from schedstat:\n", out);
        header = true;
        fprintf(out, "  %-15s nchatd/floor %s   floor/ngircd %s   p99 ms nchatd %s floor %s\n", row_label(f).c_str(),
                fmt(ac / fc, "%.2f").c_str(), fmt(fc / bc, "%.2f").c_str(),
                a ? fmt(percentile_ms(a->latency_ns, 0.99), "%.3f").c_str() : "-",
                fmt(percentile_ms(f.latency_ns, 0.99), "%.3f").c_str());
    }
}

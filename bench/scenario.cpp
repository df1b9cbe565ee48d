// scenario: the closed loops that drive the servers.  Every wait is bounded
// by a per-line time and by bench_scenario_deadline_ns, and gives up early
// when the server process has ended.
#include "scenario.h"

#include <algorithm>

// What a run costs: server CPU, generator CPU and wall time from its start.
struct meter {
    cpu_sample server;
    int64_t gen_ns = 0;
    int64_t start_ns = 0;
};

static meter meter_start(const target& t)
{
    return meter{target_cpu(t), bench_self_cpu_ns(), bench_now_ns()};
}

static void meter_stop(const meter& m, const target& t, row& r)
{
    cpu_sample now = target_cpu(t);
    r.elapsed_ns = bench_now_ns() - m.start_ns;
    r.gen_cpu_ns = bench_self_cpu_ns() - m.gen_ns;
    if (m.server.ticks >= 0 && now.ticks >= 0)
        r.cpu.ticks = now.ticks - m.server.ticks;
    if (m.server.run_ns >= 0 && now.run_ns >= 0)
        r.cpu.run_ns = now.run_ns - m.server.run_ns;
}

static void note_add(row& r, const std::string& text)
{
    if (!r.note.empty())
        r.note += "; ";
    r.note += text;
}

static row row_for(const target& t, row_kind kind)
{
    row r;
    r.server = target_name(t.kind);
    r.kind = kind;
    return r;
}

static std::vector<int> ready_clients(const load& l)
{
    std::vector<int> v;
    for (const client& c : l.clients)
        if (c.phase == client_phase::ready)
            v.push_back(c.index);
    return v;
}

void scenario_check_server(row& r, load& l, target& t, int dropped_before)
{
    if (!target_alive(t))
        note_add(r, std::string("server ") + target_end_text(t));
    int dropped = l.counts.dropped - dropped_before;
    if (dropped > 0)
        note_add(r, std::to_string(dropped) + " clients dropped by the server");
}

// Counts, latencies and the server's state into the row; the tally is done.
// Lost are the copies that were neither seen intact nor seen cut.
static void finish_row(row& r, tally& tl, load& l, target& t, int dropped_before)
{
    r.delivered = tl.intact;
    r.cut = tl.cut;
    uint64_t seen = tl.intact + tl.cut;
    r.lost = r.expected > seen ? r.expected - seen : 0;
    if (tl.dups > 0)
        note_add(r, std::to_string(tl.dups) + " copies repeated or out of order");
    if (tl.strays > 0)
        note_add(r, std::to_string(tl.strays) + " stray copies");
    if (tl.unstamped > 0)
        note_add(r, std::to_string(tl.unstamped) + " copies without kernel time stamp");
    r.latency_ns = std::move(tl.latency_ns);
    r.read_latency_ns = std::move(tl.read_latency_ns);
    r.rss_kib = target_rss_kib(t);
    scenario_check_server(r, l, t, dropped_before);
    l.current = nullptr;
}

static void tally_reserve(tally& tl, size_t copies)
{
    tl.latency_ns.reserve(copies);
    tl.read_latency_ns.reserve(copies);
}

// ---------------------------------------------------------------------------
// Fan-out.
// ---------------------------------------------------------------------------

// Serves sockets until line `seq` reached every receiver still connected;
// false when its time ran out first.
static bool fanout_wait(load& l, target& t, const tally& tl, int seq, int receivers, int dropped_before, int64_t until)
{
    for (;;) {
        int still_there = receivers - (l.counts.dropped - dropped_before);
        if (tl.arrivals[size_t(seq)] >= uint32_t(still_there))
            return true;
        if (bench_now_ns() > until || !target_alive(t) || load_turn(l, 5) < 0)
            return false;
    }
}

void scenario_fanout_begin(fanout_run& f, load& l, target& t, const fanout_opts& o)
{
    f.r = row_for(t, row_kind::fanout);
    std::vector<int> ready = ready_clients(l);
    f.r.clients = int(ready.size());
    f.dropped_before = l.counts.dropped;
    if (ready.size() < 2) {
        note_add(f.r, "fewer than two clients logged in");
        f.over = true;
        return;
    }
    f.r.cpu = cpu_sample{0, 0}; // the pieces add up from here
    f.r.gen_cpu_ns = 0;
    f.sender = ready.front();
    f.receivers = int(ready.size()) - 1;
    load_track(l, f.tl, {f.sender}, o.lines);
    tally_reserve(f.tl, size_t(f.receivers) * size_t(o.lines));
    l.current = nullptr;
}

// Adds the cost of one piece to the row.
static void meter_add(const meter& m, const target& t, row& r)
{
    row piece;
    meter_stop(m, t, piece);
    r.elapsed_ns += piece.elapsed_ns;
    r.gen_cpu_ns += piece.gen_cpu_ns;
    r.cpu.ticks = (r.cpu.ticks < 0 || piece.cpu.ticks < 0) ? -1 : r.cpu.ticks + piece.cpu.ticks;
    r.cpu.run_ns = (r.cpu.run_ns < 0 || piece.cpu.run_ns < 0) ? -1 : r.cpu.run_ns + piece.cpu.run_ns;
}

void scenario_fanout_lines(fanout_run& f, load& l, target& t, const fanout_opts& o, int count)
{
    if (f.over)
        return;
    l.current = &f.tl;
    meter m = meter_start(t);
    int64_t deadline = bench_deadline(bench_scenario_deadline_ns);
    int end = std::min(o.lines, f.next_seq + count);
    for (; f.next_seq < end; ++f.next_seq) {
        if (bench_now_ns() >= deadline)
            note_add(f.r, "stopped at the time limit");
        if (!target_alive(t) || bench_now_ns() >= deadline) {
            f.over = true;
            break;
        }
        if (!load_say(l, f.sender, uint32_t(f.next_seq))) {
            note_add(f.r, "the sender lost its connection");
            f.over = true;
            break;
        }
        ++f.r.lines;
        int64_t until = std::min(deadline, bench_now_ns() + o.line_timeout_ns);
        f.late_lines += !fanout_wait(l, t, f.tl, f.next_seq, f.receivers, f.dropped_before, until);
    }
    meter_add(m, t, f.r);
    l.current = nullptr;
}

row scenario_fanout_end(fanout_run& f, load& l, target& t)
{
    if (f.sender < 0) {
        scenario_check_server(f.r, l, t, f.dropped_before);
        return f.r;
    }
    if (f.late_lines > 0) {
        note_add(f.r, std::to_string(f.late_lines) + " lines timed out");
        l.current = &f.tl;
        load_settle(l, bench_drain_idle_ns); // late copies still count
    }
    f.r.expected = uint64_t(f.r.lines) * uint64_t(f.receivers);
    finish_row(f.r, f.tl, l, t, f.dropped_before);
    return f.r;
}

// ---------------------------------------------------------------------------
// Chatter.
// ---------------------------------------------------------------------------

struct chatter_state {
    std::vector<int> senders;     // client indices; slot s is senders[s]
    std::vector<int> sent;        // lines sent per slot
    std::vector<int64_t> sent_ns; // when the last one went
    int total_sent = 0;
    int late_lines = 0; // sent on although the witness had not seen the previous one
    bool sender_lost = false;
};

// One pass over the senders: whoever's previous line reached the witness
// (or is overdue) sends the next.  Returns true when all is sent and seen.
static bool chatter_pass(load& l, chatter_state& st, const client& witness, int lines)
{
    int64_t now = bench_now_ns();
    bool all_seen = true;
    for (size_t s = 0; s < st.senders.size() && !st.sender_lost; ++s) {
        bool seen = witness.next_seq[s] >= uint32_t(st.sent[s]);
        all_seen = all_seen && seen && st.sent[s] == lines;
        bool overdue = st.sent[s] > 0 && now - st.sent_ns[s] > bench_default_line_timeout_ns;
        if (st.sent[s] == lines || (!seen && !overdue))
            continue;
        st.late_lines += !seen;
        if (!load_say(l, st.senders[s], uint32_t(st.sent[s]))) {
            st.sender_lost = true;
            break;
        }
        ++st.sent[s];
        ++st.total_sent;
        st.sent_ns[s] = now;
    }
    return all_seen;
}

// The other receivers may still be reading when the witness has it all:
// wait until every copy is in, or nothing moved for bench_drain_idle_ns.
static void chatter_drain(load& l, target& t, const tally& tl, uint64_t expected, uint64_t per_client,
                          int dropped_before, int64_t deadline)
{
    uint64_t last_seen = 0;
    int64_t last_progress = bench_now_ns();
    while (target_alive(t)) {
        uint64_t seen = tl.intact + tl.cut;
        int64_t now = bench_now_ns();
        if (seen != last_seen) {
            last_seen = seen;
            last_progress = now;
        }
        uint64_t gone = uint64_t(l.counts.dropped - dropped_before) * per_client;
        if (seen + gone >= expected || now - last_progress > bench_drain_idle_ns || now > deadline)
            return;
        if (load_turn(l, 5) < 0)
            return;
    }
}

row scenario_chatter(load& l, target& t, const chatter_opts& o)
{
    row r = row_for(t, row_kind::chatter);
    std::vector<int> ready = ready_clients(l);
    r.clients = int(ready.size());
    const int dropped_before = l.counts.dropped;
    if (int(ready.size()) < o.senders + 1) {
        note_add(r, "not enough clients logged in");
        scenario_check_server(r, l, t, dropped_before);
        return r;
    }
    const client& witness = l.clients[size_t(ready.back())];
    chatter_state st;
    st.senders.assign(ready.begin(), ready.begin() + o.senders);
    st.sent.assign(st.senders.size(), 0);
    st.sent_ns.assign(st.senders.size(), 0);
    tally tl;
    load_track(l, tl, st.senders, o.lines);
    tally_reserve(tl, st.senders.size() * size_t(o.lines) * ready.size());
    meter m = meter_start(t);
    int64_t deadline = bench_deadline(bench_scenario_deadline_ns);
    while (target_alive(t) && !st.sender_lost && witness.phase == client_phase::ready) {
        if (chatter_pass(l, st, witness, o.lines) || bench_now_ns() > deadline || load_turn(l, 5) < 0)
            break;
    }
    r.lines = st.total_sent;
    r.expected = uint64_t(st.total_sent) * uint64_t(ready.size() - 1);
    chatter_drain(l, t, tl, r.expected, uint64_t(st.total_sent), dropped_before, deadline);
    meter_stop(m, t, r);
    if (st.sender_lost)
        note_add(r, "a sender lost its connection");
    if (st.late_lines > 0)
        note_add(r, std::to_string(st.late_lines) + " lines timed out at the witness");
    if (bench_now_ns() > deadline)
        note_add(r, "stopped at the time limit");
    finish_row(r, tl, l, t, dropped_before);
    return r;
}

// ---------------------------------------------------------------------------
// Storm and memory.
// ---------------------------------------------------------------------------

row scenario_storm(load& l, target& t, int count, int window, int relaxed)
{
    row r = row_for(t, row_kind::storm);
    const int dropped_before = l.counts.dropped;
    meter m = meter_start(t);
    login_result lr = load_login(l, count, window, relaxed);
    meter_stop(m, t, r);
    // The notices of the last logins may still be on their way; their cost
    // belongs to the storm, so the server's CPU is read once they are out.
    load_settle(l, bench_settle_max_ns);
    cpu_sample end = target_cpu(t);
    if (m.server.ticks >= 0 && end.ticks >= 0)
        r.cpu.ticks = end.ticks - m.server.ticks;
    if (m.server.run_ns >= 0 && end.run_ns >= 0)
        r.cpu.run_ns = end.run_ns - m.server.run_ns;
    r.clients = load_ready_count(l);
    r.lines = count;
    r.expected = uint64_t(count);
    r.delivered = uint64_t(lr.ready);
    r.lost = uint64_t(lr.refused + lr.timed_out);
    r.latency_ns = std::move(lr.latency_ns);
    if (lr.refused > 0)
        note_add(r, std::to_string(lr.refused) + " refused (last: " + lr.last_refusal + ")");
    if (lr.timed_out > 0)
        note_add(r, std::to_string(lr.timed_out) + " timed out");
    r.rss_kib = target_rss_kib(t);
    scenario_check_server(r, l, t, dropped_before);
    return r;
}

row scenario_memory(load& l, target& t)
{
    row r = row_for(t, row_kind::memory);
    const int dropped_before = l.counts.dropped;
    if (!load_settle(l, bench_settle_max_ns))
        note_add(r, "traffic did not stop");
    // Idle for a moment, still answering whatever arrives (IRC pings).
    int64_t until = bench_deadline(1'000'000'000);
    while (bench_now_ns() < until && load_turn(l, 50) >= 0) {
    }
    r.clients = load_ready_count(l);
    r.rss_kib = target_rss_kib(t);
    scenario_check_server(r, l, t, dropped_before);
    return r;
}

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

void scenario_begin(fanout_run& f, load& l, target& t, const fanout_opts& o)
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

// Adds the cost of one piece, which brought `copies`, to the row.
static void meter_add(const meter& m, const target& t, row& r, uint64_t copies)
{
    row piece;
    meter_stop(m, t, piece);
    r.elapsed_ns += piece.elapsed_ns;
    r.gen_cpu_ns += piece.gen_cpu_ns;
    r.cpu.ticks = (r.cpu.ticks < 0 || piece.cpu.ticks < 0) ? -1 : r.cpu.ticks + piece.cpu.ticks;
    r.cpu.run_ns = (r.cpu.run_ns < 0 || piece.cpu.run_ns < 0) ? -1 : r.cpu.run_ns + piece.cpu.run_ns;
    if (copies > 0 && piece.cpu.run_ns >= 0)
        r.turn_us.push_back(double(piece.cpu.run_ns) / 1000.0 / double(copies));
}

void scenario_lines(fanout_run& f, load& l, target& t, const fanout_opts& o, int count)
{
    if (f.over)
        return;
    l.current = &f.tl;
    const uint64_t intact_before = f.tl.intact;
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
    meter_add(m, t, f.r, f.tl.intact - intact_before);
    l.current = nullptr;
}

row scenario_end(fanout_run& f, load& l, target& t)
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

// One pass over the senders: whoever's previous line reached the witness
// (or is overdue) sends the next, up to `lines` each.  Returns true when
// all is sent and seen.
static bool chatter_pass(load& l, chatter_run& st, const client& witness, int lines)
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

void scenario_begin(chatter_run& c, load& l, target& t, const chatter_opts& o)
{
    c.r = row_for(t, row_kind::chatter);
    std::vector<int> ready = ready_clients(l);
    c.r.clients = int(ready.size());
    c.dropped_before = l.counts.dropped;
    if (int(ready.size()) < o.senders + 1) {
        note_add(c.r, "not enough clients logged in");
        c.sender_lost = true;
        return;
    }
    c.r.cpu = cpu_sample{0, 0}; // the pieces add up from here
    c.r.gen_cpu_ns = 0;
    c.witness = ready.back();
    c.senders.assign(ready.begin(), ready.begin() + o.senders);
    c.sent.assign(c.senders.size(), 0);
    c.sent_ns.assign(c.senders.size(), 0);
    load_track(l, c.tl, c.senders, o.lines);
    tally_reserve(c.tl, c.senders.size() * size_t(o.lines) * ready.size());
    l.current = nullptr;
}

void scenario_lines(chatter_run& c, load& l, target& t, const chatter_opts& o, int count)
{
    if (c.sender_lost || c.timed_out)
        return;
    const client& witness = l.clients[size_t(c.witness)];
    const int upto = std::min(o.lines, (c.sent.empty() ? 0 : c.sent.front()) + count);
    const uint64_t receivers = uint64_t(c.r.clients - 1);
    const uint64_t intact_before = c.tl.intact;
    l.current = &c.tl;
    meter m = meter_start(t);
    int64_t deadline = bench_deadline(bench_scenario_deadline_ns);
    while (target_alive(t) && !c.sender_lost && witness.phase == client_phase::ready) {
        if (chatter_pass(l, c, witness, upto) || bench_now_ns() > deadline || load_turn(l, 5) < 0)
            break;
    }
    c.timed_out = bench_now_ns() > deadline;
    chatter_drain(l, t, c.tl, uint64_t(c.total_sent) * receivers, uint64_t(c.total_sent), c.dropped_before,
                  deadline);
    meter_add(m, t, c.r, c.tl.intact - intact_before);
    l.current = nullptr;
}

row scenario_end(chatter_run& c, load& l, target& t)
{
    if (c.witness < 0) {
        scenario_check_server(c.r, l, t, c.dropped_before);
        return c.r;
    }
    l.current = &c.tl;
    c.r.lines = c.total_sent;
    c.r.expected = uint64_t(c.total_sent) * uint64_t(c.r.clients - 1);
    if (c.sender_lost)
        note_add(c.r, "a sender lost its connection");
    if (c.late_lines > 0)
        note_add(c.r, std::to_string(c.late_lines) + " lines timed out at the witness");
    if (c.timed_out)
        note_add(c.r, "stopped at the time limit");
    finish_row(c.r, c.tl, l, t, c.dropped_before);
    return c.r;
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

// ---------------------------------------------------------------------------
// Burst.
// ---------------------------------------------------------------------------

static bool burst_waiting(const client& c)
{
    return c.phase != client_phase::gone && c.greeted_ns == 0;
}

// The chatters of the burst: one line each per interval, spread over it.
struct burst_chat {
    std::vector<int> chatters;
    std::vector<int64_t> next_line;
    std::vector<int> sent;
    int lines_each = 0;
    int total_sent = 0;
    bool lost = false;
};

static void burst_chat_say(load& l, burst_chat& bc)
{
    int64_t now = bench_now_ns();
    for (size_t s = 0; s < bc.chatters.size() && !bc.lost; ++s) {
        if (now < bc.next_line[s] || bc.sent[s] == bc.lines_each)
            continue;
        if (!load_say(l, bc.chatters[s], uint32_t(bc.sent[s])))
            bc.lost = true;
        ++bc.sent[s];
        ++bc.total_sent;
        bc.next_line[s] += bench_burst_chat_interval_ns;
    }
}

static bool log_in_and_settle(load& l, row& r, target& t, int population, int window, int relaxed, int& dropped_before);

row scenario_burst(load& l, target& t, int count, int window)
{
    row r = row_for(t, row_kind::burst);
    r.lines = count;
    const int first = bench_burst_chatters;
    int dropped_before = 0;
    const int relaxed = l.kind == server_kind::ngircd ? bench_burst_chatters : 0;
    if (!log_in_and_settle(l, r, t, bench_burst_chatters, window, relaxed, dropped_before))
        return r;
    for (size_t i = size_t(first); i < l.clients.size(); ++i)
        l.clients[i].sink = true; // nobody answers the greeting: the server's logins are not the question

    burst_chat bc;
    for (int i = 0; i < bench_burst_chatters; ++i)
        bc.chatters.push_back(i);
    bc.lines_each = int((bench_burst_quiet_ns + bench_burst_bound_ns) / bench_burst_chat_interval_ns) + 1;
    tally tl;
    load_track(l, tl, bc.chatters, bc.lines_each);
    const int64_t chat_start = bench_now_ns();
    for (size_t s = 0; s < bc.chatters.size(); ++s)
        bc.next_line.push_back(chat_start + bench_burst_chat_interval_ns * int64_t(s) / int64_t(bc.chatters.size()));
    bc.sent.assign(bc.chatters.size(), 0);
    while (target_alive(t) && bench_now_ns() < chat_start + bench_burst_quiet_ns && !bc.lost) {
        burst_chat_say(l, bc);
        if (load_turn(l, 5) < 0)
            break;
    }

    int64_t overflows = target_listen_overflows();
    meter m = meter_start(t);
    tl.split_ns = m.start_ns;
    load_connect_all(l, first, count);
    int64_t bound = std::min(bench_stop_ns, m.start_ns + bench_burst_bound_ns);
    while (target_alive(t) && bench_now_ns() < bound &&
           std::any_of(l.clients.begin() + first, l.clients.end(), burst_waiting)) {
        burst_chat_say(l, bc);
        if (load_turn(l, 5) < 0)
            break;
    }
    meter_stop(m, t, r);
    int64_t overflows_after = target_listen_overflows();
    if (overflows >= 0 && overflows_after >= 0)
        r.overflows = overflows_after - overflows;
    const uint64_t chat_expected = uint64_t(bc.total_sent) * uint64_t(bench_burst_chatters - 1);
    chatter_drain(l, t, tl, chat_expected, uint64_t(bc.total_sent), dropped_before, bench_deadline(5'000'000'000));
    int64_t first_call = INT64_MAX, last = 0, last_call = 0;
    for (size_t i = size_t(first); i < l.clients.size(); ++i) {
        const client& c = l.clients[i];
        first_call = std::min(first_call, c.connect_ns);
        last_call = std::max(last_call, c.connect_ns);
        if (c.phase == client_phase::gone) {
            ++r.refused;
        } else if (c.greeted_ns > 0) {
            ++r.greeted;
            r.latency_ns.push_back(c.greeted_ns - c.connect_ns);
            last = std::max(last, c.greeted_ns);
        } else if (c.connected_ns > 0) {
            ++r.stuck;
        } else {
            ++r.unconnected;
        }
    }
    r.elapsed_ns = last > first_call ? last - first_call : 0;
    r.connect_span_ns = last_call - first_call;
    r.clients = r.greeted;
    r.delivered = uint64_t(r.greeted);
    r.expected = uint64_t(count);
    r.lost = uint64_t(count - r.greeted);
    if (r.refused > 0)
        note_add(r, std::to_string(r.refused) + " refused (last: " + l.counts.last_refusal + ")");
    uint64_t chat_seen = tl.intact + tl.cut;
    if (bc.lost)
        note_add(r, "a chatter lost its connection");
    if (chat_seen < chat_expected)
        note_add(r, std::to_string(chat_expected - chat_seen) + " chat copies lost");
    r.quiet_latency_ns = std::move(tl.latency_ns);
    r.chat_latency_ns = std::move(tl.latency_after_ns);
    l.current = nullptr;
    r.rss_kib = target_rss_kib(t);
    scenario_check_server(r, l, t, dropped_before);
    return r;
}

// ---------------------------------------------------------------------------
// Flood.
// ---------------------------------------------------------------------------

// The flooder's output is topped up in pieces of this many lines whenever
// the kernel has taken all but flood_unsent_max bytes of it.
static constexpr int flood_piece_lines = 512;
static constexpr size_t flood_unsent_max = 64 * 1024;

// A reader that takes at most `rate` bytes per second.
struct slow_reader {
    int index = -1;
    int rate = 0;
    double tokens = 0;
    bool gone = false;
};

// Gives each slow reader what the time since the last call allows it, at
// most one interval's worth.
static void slow_read(load& l, std::vector<slow_reader>& readers, int64_t elapsed_ns)
{
    for (slow_reader& rd : readers) {
        if (rd.gone)
            continue;
        double cap = double(rd.rate) * bench_ns_to_s(bench_slow_read_interval_ns);
        rd.tokens = std::min(cap, rd.tokens + double(rd.rate) * bench_ns_to_s(elapsed_ns));
        long got = load_read_some(l, rd.index, long(rd.tokens));
        if (got < 0)
            rd.gone = true;
        else
            rd.tokens -= double(got);
    }
}

// Whatever the slow readers still have coming, read at full speed: a
// server that closed one shows it at the end of its data.
static void slow_read_rest(load& l, std::vector<slow_reader>& readers)
{
    int64_t until = bench_deadline(2'000'000'000);
    int64_t last_data = bench_now_ns();
    while (bench_now_ns() < until && bench_now_ns() - last_data < bench_quiet_ns) {
        for (slow_reader& rd : readers) {
            if (rd.gone)
                continue;
            long got = load_read_some(l, rd.index, 1 << 20);
            rd.gone = got < 0;
            if (got > 0)
                last_data = bench_now_ns();
        }
        if (load_turn(l, 10) < 0)
            break;
    }
}

// Logs `population` clients in and waits for the traffic to stop; false,
// with the row noted and the server checked, when not everybody got in.
// `dropped_before` is the count of dropped clients once all are in.
static bool log_in_and_settle(load& l, row& r, target& t, int population, int window, int relaxed,
                              int& dropped_before)
{
    login_result lr = load_login(l, population, window, relaxed);
    r.clients = lr.ready;
    dropped_before = l.counts.dropped;
    if (lr.ready < population) {
        note_add(r, "only " + std::to_string(lr.ready) + " logged in");
        scenario_check_server(r, l, t, dropped_before);
        return false;
    }
    if (!load_settle(l, bench_settle_max_ns))
        note_add(r, "traffic did not stop before the run");
    return true;
}

row scenario_flood(load& l, target& t, int seconds, int window)
{
    row r = row_for(t, row_kind::flood);
    const int flooder = 0, first_chatter = 1, witness = first_chatter + bench_flood_chatters;
    std::vector<slow_reader> readers;
    for (int rate : bench_slow_reader_rates) {
        slow_reader rd;
        rd.index = witness + 1 + int(readers.size());
        rd.rate = rate;
        l.clients[size_t(rd.index)].rcvbuf = bench_slow_reader_rcvbuf;
        readers.push_back(rd);
        r.reader_rates.push_back(rate);
    }
    int dropped_before = 0;
    if (!log_in_and_settle(l, r, t, flood_population, window, 0, dropped_before))
        return r;
    l.clients[size_t(flooder)].sink = true; // its echo is of no interest
    for (const slow_reader& rd : readers)
        load_pause(l, rd.index);

    const int64_t flood_ns = int64_t(seconds) * 1'000'000'000;
    const int64_t quiet_ns = std::max<int64_t>(1'000'000'000, flood_ns / 2);
    const int lines_each = int((quiet_ns + flood_ns) / bench_flood_chat_interval_ns) + 1;
    std::vector<int> chatters;
    for (int i = 0; i < bench_flood_chatters; ++i)
        chatters.push_back(first_chatter + i);
    tally tl;
    load_track(l, tl, chatters, lines_each);
    tl.watch_sender = flooder;
    tl.watch_client = witness;
    tally_reserve(tl, size_t(lines_each) * chatters.size() * chatters.size());

    // The chatters start spread over one interval, one line per interval each.
    const int64_t start = bench_now_ns();
    const int64_t flood_start = start + quiet_ns, flood_end = flood_start + flood_ns;
    tl.split_ns = flood_start;
    std::vector<int64_t> next_line(chatters.size());
    std::vector<int> sent(chatters.size(), 0);
    for (size_t s = 0; s < chatters.size(); ++s)
        next_line[s] = start + bench_flood_chat_interval_ns * int64_t(s) / int64_t(chatters.size());
    int total_sent = 0;
    bool chatter_lost = false;
    uint32_t flood_seq = 0;
    meter quiet = meter_start(t), flood{};
    bool flooding = false;
    int64_t last_read = start;
    while (target_alive(t)) {
        int64_t now = bench_now_ns();
        if (now >= flood_end || now >= bench_stop_ns)
            break;
        if (!flooding && now >= flood_start) {
            row q;
            meter_stop(quiet, t, q);
            r.quiet_cpu = q.cpu;
            r.quiet_ns = q.elapsed_ns;
            flood = meter_start(t);
            flooding = true;
        }
        for (size_t s = 0; s < chatters.size() && !chatter_lost; ++s) {
            if (sent[s] == lines_each || now < next_line[s])
                continue;
            if (!load_say(l, chatters[s], uint32_t(sent[s])))
                chatter_lost = true;
            ++sent[s];
            ++total_sent;
            next_line[s] += bench_flood_chat_interval_ns;
        }
        if (flooding && l.clients[size_t(flooder)].fd >= 0 && load_unsent(l, flooder) < flood_unsent_max) {
            (void)load_say_many(l, flooder, flood_seq, flood_piece_lines);
            flood_seq += flood_piece_lines;
        }
        if (now - last_read >= bench_slow_read_interval_ns / 10) {
            slow_read(l, readers, now - last_read);
            last_read = now;
        }
        if (load_turn(l, 2) < 0)
            break;
    }
    if (flooding) {
        meter_stop(flood, t, r);
    } else {
        note_add(r, "the flood never started");
        r.elapsed_ns = 0;
    }
    r.flood_seen = tl.watched;
    // What the kernel took: all that was queued, less what still waits.
    uint64_t line_len = load_line_size(l);
    uint64_t unsent_lines = (load_unsent(l, flooder) + line_len - 1) / line_len;
    r.flood_sent = flood_seq > unsent_lines ? flood_seq - unsent_lines : 0;
    r.flooder_dropped = l.clients[size_t(flooder)].phase == client_phase::gone;
    // A reset, so that a server that holds the flood in TCP need not read it.
    load_hang_up(l, flooder);

    r.lines = total_sent;
    r.expected = uint64_t(total_sent) * uint64_t(chatters.size()); // the other chatters and the witness
    chatter_drain(l, t, tl, r.expected, uint64_t(total_sent), dropped_before, bench_deadline(5'000'000'000));
    slow_read_rest(l, readers);
    for (const slow_reader& rd : readers)
        r.reader_gone.push_back(rd.gone);
    if (chatter_lost)
        note_add(r, "a chatter lost its connection");
    if (r.flooder_dropped)
        note_add(r, "flooder dropped by the server");
    for (const slow_reader& rd : readers)
        if (rd.gone)
            note_add(r, "reader at " + std::to_string(rd.rate / 1000) + " KB/s dropped");
    finish_row(r, tl, l, t, dropped_before);
    r.quiet_latency_ns = std::move(r.latency_ns);
    r.latency_ns = std::move(tl.latency_after_ns);
    return r;
}

// ---------------------------------------------------------------------------
// Memory return.
// ---------------------------------------------------------------------------

// Lines the sender may have out that the witness has not seen yet.
static constexpr int reclaim_window_lines = 64;

row scenario_reclaim(load& l, target& t, int quiet, int window, int relaxed)
{
    row r = row_for(t, row_kind::reclaim);
    const int sender = 0, witness = 1, population = quiet + 2;
    for (int i = 2; i < population; ++i)
        l.clients[size_t(i)].rcvbuf = bench_slow_reader_rcvbuf;
    int dropped_before = 0;
    if (!log_in_and_settle(l, r, t, population, window, relaxed, dropped_before))
        return r;
    for (int i = 2; i < population; ++i)
        load_pause(l, i);
    r.rss_before_kib = r.rss_peak_kib = target_rss_kib(t);

    tally tl;
    load_track(l, tl, {sender}, bench_reclaim_lines);
    int64_t deadline = bench_deadline(bench_scenario_deadline_ns / 3);
    int64_t next_sample = 0;
    const client& w = l.clients[size_t(witness)];
    int sent = 0;
    while (target_alive(t) && bench_now_ns() < deadline && w.phase == client_phase::ready) {
        uint32_t seen = w.next_seq.empty() ? 0 : w.next_seq[0];
        if (seen >= uint32_t(bench_reclaim_lines))
            break;
        for (; sent < bench_reclaim_lines && sent < int(seen) + reclaim_window_lines; ++sent)
            if (!load_say(l, sender, uint32_t(sent)))
                break;
        if (l.clients[size_t(sender)].phase != client_phase::ready) {
            note_add(r, "the sender lost its connection");
            break;
        }
        int64_t now = bench_now_ns();
        if (now >= next_sample) {
            r.rss_peak_kib = std::max(r.rss_peak_kib, target_rss_kib(t));
            next_sample = now + 50'000'000;
        }
        if (load_turn(l, 5) < 0)
            break;
    }
    r.lines = sent;
    load_settle(l, bench_drain_idle_ns);
    r.rss_peak_kib = std::max(r.rss_peak_kib, target_rss_kib(t));
    int open = target_open_conns(t);
    if (open >= 0)
        r.quiet_dropped = std::max(0, population - open);
    for (int i = 2; i < population; ++i)
        load_hang_up(l, i);
    int64_t until = bench_deadline(bench_reclaim_after_ns);
    while (target_alive(t) && bench_now_ns() < until && load_turn(l, 20) >= 0) {
    }
    r.rss_kib = target_rss_kib(t);
    r.delivered = tl.intact;
    l.current = nullptr;
    scenario_check_server(r, l, t, dropped_before);
    return r;
}

#include "report.h"

#include <cstdio>
#include <ctime>

#include "moderation.h"

namespace nchatd {

namespace {

long seconds_since(time_t then, time_t now)
{
    return then > 0 && now > then ? static_cast<long>(now - then) : 0;
}

}  // namespace

Reply users_report(Room& room)
{
    Reply r{true, {}};
    const time_t now = time(nullptr);
    for (const Connection& c : room.connections()) {
        if (!c.open())
            continue;
        const Profile& p = c.profile;
        // Flags, comma-separated; "-" for none.
        std::string flags;
        for (auto [on, word] : {std::pair{c.standing.op, "op"}, std::pair{muted_now(c, room.bans().now()), "muted"},
                                std::pair{c.peer.tls_port != 0, "tls"}})
            if (on)
                flags += flags.empty() ? word : std::string(",") + word;
        char line[200];
        int n = snprintf(line, sizeof line, "%s\t%s\t%u\t%ld\t%ld\t%llu\t%zu\t%s\n", c.named() ? p.name.data() : "-",
                         c.peer.host.data(), static_cast<unsigned>(c.peer.port), seconds_since(p.login_time, now),
                         seconds_since(p.last_active, now), static_cast<unsigned long long>(p.lines_written),
                         c.out.size(), flags.empty() ? "-" : flags.c_str());
        if (n > 0)
            r.text.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
    }
    return r;
}

Reply stats_report(Room& room)
{
    const Stats& s = room.stats();
    size_t users = 0;
    for (const Connection& c : room.connections())
        users += c.open() && c.named();
    const struct {
        const char* name;
        unsigned long long value;
    } figures[] = {
        {"uptime_seconds", static_cast<unsigned long long>(seconds_since(room.start_time(), time(nullptr)))},
        {"connections", room.occupied()},
        {"connections_peak", s.peak_connections},
        {"users", users},
        {"lines_received", s.lines_received},
        {"copies_delivered", s.copies_delivered},
        {"bytes_sent", s.bytes_sent},
        {"refused_table_full", s.refused_table_full},
        {"refused_per_address", s.refused_per_address},
        {"refused_banned", s.refused_banned},
        {"refused_locked", s.refused_locked},
        {"refused_connect_rate", s.refused_connect_rate},
        {"dropped_login_timeout", s.dropped_login_timeout},
        {"dropped_output_full", s.dropped_output_full},
        {"dropped_output_stalled", s.dropped_output_stalled},
        {"evicted_waiting", s.evicted_waiting},
        {"flood_holds", s.flood_holds},
        {"input_holds", s.input_holds},
        {"lines_skipped", s.lines_skipped},
    };
    Reply r{true, {}};
    for (const auto& f : figures) {
        char line[80];
        int n = snprintf(line, sizeof line, "%s %llu\n", f.name, f.value);
        if (n > 0)
            r.text.append(line, static_cast<size_t>(n));
    }
    return r;
}

}  // namespace nchatd

#include "bans.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "bounds.h"

namespace nchatd {

namespace {

// The address bytes of a numeric text, as inet_pton reads it.
bool address_bytes(bool v6, std::string_view text, std::array<uint8_t, 16>& out)
{
    char buf[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buf)
        return false;
    text.copy(buf, text.size());
    buf[text.size()] = '\0';
    out = {};
    return inet_pton(v6 ? AF_INET6 : AF_INET, buf, out.data()) == 1;
}

void clear_host_bits(std::array<uint8_t, 16>& bytes, unsigned prefix)
{
    for (unsigned i = 0; i < bytes.size(); ++i) {
        const unsigned kept = prefix > 8 * i ? std::min(8u, prefix - 8 * i) : 0;
        bytes[i] &= static_cast<uint8_t>(0xFF00u >> kept);
    }
}

}  // namespace

std::optional<Range> Range::parse(std::string_view text)
{
    Range r;
    std::string_view address = text;
    const size_t slash = text.find('/');
    if (slash != std::string_view::npos)
        address = text.substr(0, slash);
    r.v6 = address.find(':') != std::string_view::npos;
    const unsigned bits = r.v6 ? 128 : 32;
    if (!address_bytes(r.v6, address, r.net))
        return std::nullopt;
    r.prefix = bits;
    if (slash != std::string_view::npos) {
        std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return std::nullopt;
        unsigned prefix = 0;
        for (char ch : digits) {
            if (ch < '0' || ch > '9')
                return std::nullopt;
            prefix = prefix * 10 + static_cast<unsigned>(ch - '0');
        }
        if (prefix > bits)
            return std::nullopt;
        r.prefix = prefix;
    }
    clear_host_bits(r.net, r.prefix);
    return r;
}

std::optional<Range> Range::of(const Peer& peer)
{
    Range r;
    r.v6 = peer.ipv6;
    r.prefix = peer.ipv6 ? 64 : 32;
    if (!address_bytes(r.v6, peer.address(), r.net))
        return std::nullopt;
    clear_host_bits(r.net, r.prefix);
    return r;
}

bool Range::covers(const Peer& peer) const
{
    std::array<uint8_t, 16> bytes;
    if (peer.ipv6 != v6 || !address_bytes(v6, peer.address(), bytes))
        return false;
    clear_host_bits(bytes, prefix);
    return bytes == net;
}

std::string Range::text() const
{
    char buf[INET6_ADDRSTRLEN + 8];
    if (!inet_ntop(v6 ? AF_INET6 : AF_INET, net.data(), buf, INET6_ADDRSTRLEN))
        return {};
    const size_t n = std::string_view(buf).size();
    snprintf(buf + n, sizeof buf - n, "/%u", prefix);
    return buf;
}

std::optional<int64_t> parse_duration(std::string_view word)
{
    if (word == "0")
        return 0;
    if (word.size() < 2 || word.size() > 10)
        return std::nullopt;
    int64_t unit = 0;
    switch (word.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = 86400;
        break;
    default:
        return std::nullopt;
    }
    int64_t n = 0;
    for (char ch : word.substr(0, word.size() - 1)) {
        if (ch < '0' || ch > '9')
            return std::nullopt;
        n = n * 10 + (ch - '0');
    }
    // "0s" would read as a ban that ends before it begins: only "0" means
    // for as long as the server runs.
    if (n == 0 || n * unit > duration_max_s)
        return std::nullopt;
    return n * unit;
}

std::string duration_text(int64_t s)
{
    char buf[48];
    if (s >= 86400)
        snprintf(buf, sizeof buf, "%lldd%lldh", static_cast<long long>(s / 86400),
                 static_cast<long long>(s % 86400 / 3600));
    else if (s >= 3600)
        snprintf(buf, sizeof buf, "%lldh%lldm", static_cast<long long>(s / 3600),
                 static_cast<long long>(s % 3600 / 60));
    else if (s >= 60)
        snprintf(buf, sizeof buf, "%lldm%llds", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    else
        snprintf(buf, sizeof buf, "%llds", static_cast<long long>(s));
    return buf;
}

std::string minutes_left(int64_t s)
{
    const long long minutes = std::max<int64_t>(1, (s + 59) / 60);
    char buf[48];
    snprintf(buf, sizeof buf, "%lld more minute%s", minutes, minutes == 1 ? "" : "s");
    return buf;
}

void Bans::expire()
{
    const int64_t t = now();
    std::erase_if(bans_, [t](const Ban& b) { return b.until_s != 0 && b.until_s <= t; });
}

bool Bans::add(Ban ban)
{
    expire();
    for (Ban& b : bans_) {
        if (b.range == ban.range) {
            b = std::move(ban);
            return true;
        }
    }
    if (bans_.size() >= bans_max)
        return false;
    bans_.push_back(std::move(ban));
    return true;
}

size_t Bans::lift(const Range& range, bool covering)
{
    expire();
    Peer probe;
    if (covering) {
        std::string text = range.text();
        text.resize(text.find('/'));
        text.copy(probe.host.data(), probe.host.size() - 1);
        probe.ipv6 = range.v6;
    }
    return std::erase_if(bans_, [&](const Ban& b) { return b.range == range || (covering && b.range.covers(probe)); });
}

const std::vector<Ban>& Bans::list()
{
    expire();
    return bans_;
}

const Ban* Bans::find(const Peer& peer)
{
    expire();
    for (const Ban& b : bans_) {
        if (b.range.covers(peer))
            return &b;
    }
    return nullptr;
}

Refusal Bans::refusal(const Peer& peer, std::string& line)
{
    if (bans_.empty() && !locked_)
        return Refusal::none;
    if (const Ban* b = find(peer)) {
        line = "* your address is banned ";
        line += b->until_s == 0 ? "until the server stops" : "for " + minutes_left(b->until_s - now());
        if (!b->reason.empty())
            line += ": " + b->reason;
        line += "\r\n";
        return Refusal::banned;
    }
    if (locked_) {
        line = "* the chat is closed to newcomers for now";
        if (!lock_reason_.empty())
            line += ": " + lock_reason_;
        line += "\r\n";
        return Refusal::locked;
    }
    return Refusal::none;
}

}  // namespace nchatd

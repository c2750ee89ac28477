// The exempt_gate soak: phases of 50,000 requests; between two phases the
// kernel set is replaced at once (ipset swap) and reloaded with SIGUSR1, and
// the log level changes; within a phase SIGUSR1 and SIGUSR2 arrive at random
// moments (reloads of an unchanged set, which must not change an answer).

#include <arpa/inet.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "soak.hpp"

namespace soak {

namespace {

constexpr std::size_t phase_size = 50000;

std::string dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

struct network {
    std::uint32_t first;
    int length;
    bool holds(std::uint32_t a) const { return length == 0 || (a ^ first) >> (32 - length) == 0; }
};

// One version of the kernel set.
struct member_set {
    std::vector<std::uint32_t> singles;
    std::vector<network> networks;
    std::uint32_t marker;  // a single address of this version only

    bool holds(std::uint32_t a) const
    {
        for (auto s : singles)
            if (s == a)
                return true;
        for (auto const& n : networks)
            if (n.holds(a))
                return true;
        return false;
    }
};

member_set make_members(std::mt19937& rng, std::size_t phase)
{
    member_set s;
    s.marker = 0xc0000200 + static_cast<std::uint32_t>(phase % 250) + 1;  // 192.0.2.x
    s.singles.push_back(s.marker);
    for (int i = 0; i < 200; ++i)
        s.singles.push_back(0x0a000000 | (rng() & 0x00ffffff));  // 10.x.x.x
    std::set<std::pair<std::uint32_t, int>> seen;
    while (s.networks.size() < 300) {
        int length = 16 + static_cast<int>(rng() % 15);
        std::uint32_t first = (0x0a000000 | (rng() & 0x00ffffff)) & ~((1u << (32 - length)) - 1);
        if (seen.insert({first, length}).second)
            s.networks.push_back({first, length});
    }
    return s;
}

// Replaces the kernel set in one step.
void install(member_set const& s, bool first)
{
    std::string script = "create noinspection_next hash:net family inet maxelem 131072\n";
    for (auto a : s.singles)
        script += "add noinspection_next " + dotted(a) + " -exist\n";
    for (auto const& n : s.networks)
        script += "add noinspection_next " + dotted(n.first) + "/" + std::to_string(n.length) + " -exist\n";
    write_file("/tmp/soak.restore", script);
    shell("ipset destroy noinspection_next 2>/dev/null; ipset restore -f /tmp/soak.restore");
    if (first)
        shell("ipset destroy noinspection 2>/dev/null; ipset rename noinspection_next noinspection");
    else
        shell("ipset swap noinspection_next noinspection && ipset destroy noinspection_next");
}

std::vector<request> make_requests(std::mt19937& rng, member_set const& s, std::size_t first_channel,
                                   std::size_t count)
{
    std::vector<request> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string channel = std::to_string(first_channel + i);
        unsigned roll = rng() % 100;
        if (roll < 2) {
            out.push_back({"x" + channel + " 10.1.2.3", {"BH"}});
            continue;
        }
        if (roll < 5) {
            out.push_back({channel + " 10.1." + std::to_string(rng() % 256), {channel + " BH"}});
            continue;
        }
        std::uint32_t a;
        if (roll < 50) {
            auto const& n = s.networks[rng() % s.networks.size()];
            a = n.first | (rng() & ((1u << (32 - n.length)) - 1));
        } else if (roll < 65) {
            a = s.singles[rng() % s.singles.size()];
        } else {
            a = (roll < 90 ? 0x0a000000 : 0x0b000000) | (rng() & 0x00ffffff);
        }
        out.push_back({channel + " " + dotted(a), {channel + (s.holds(a) ? " ERR" : " OK")}});
    }
    return out;
}

}  // namespace

bool exempt_soak(std::string const& program, std::size_t requests)
{
    char const* levels[] = {"warning", "info", "debug", "error"};
    write_file("/etc/zelto/log_settings.json", R"({"log_level":"warning"})");
    std::mt19937 rng(20240601);
    auto members = make_members(rng, 0);
    install(members, true);

    helper h(program);
    if (h.ask("0 " + dotted(members.marker)) != "0 ERR")
        throw std::runtime_error("the first load did not take the set");

    run_report report("exempt_gate");
    for (std::size_t phase = 0; report.requests() < requests; ++phase) {
        if (phase > 0) {
            // A new version of the set: answers follow it once the reload
            // that SIGUSR1 asks for has shown its marker.
            member_set next = make_members(rng, phase);
            install(next, false);
            write_file("/etc/zelto/log_settings.json",
                       std::string(R"({"log_level":")") + levels[phase % 4] + "\"}");
            h.signal(SIGUSR1);
            h.ask_until("0 " + dotted(next.marker), "0 ERR", "SIGUSR1 did not reload the set");
            members = std::move(next);
        }
        std::size_t done = report.requests();
        auto batch = make_requests(rng, members, done + 1, std::min(phase_size, requests - done));
        report.phase(h, batch, std::chrono::milliseconds(2), static_cast<unsigned>(phase));
    }
    return report.finish(h);
}

}  // namespace soak

// The policy_gate soak: phases of 50,000 requests. Between two phases the
// rule document in Redis changes (and SIGUSR2 asks for it), the categories of
// the cached domains change (half rewritten in the cache, half dropped so
// that the cloud is asked, which now answers the new category), and the log
// level changes; within a phase SIGUSR1 and SIGUSR2 arrive at random
// moments (renewals of an unchanged document, which must not change an
// answer). The cloud is the tests' in-process server over HTTPS.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cloud_server.hpp"
#include "soak.hpp"

namespace soak {

namespace {

constexpr std::size_t phase_size = 50000;
constexpr std::size_t domains = 300;

std::string domain(std::size_t n)
{
    return "s" + std::to_string(n) + ".test";
}

// The category of domain n in a phase.
char const* category(std::size_t n, std::size_t phase)
{
    return (n + phase) % 3 == 0 ? "gambling" : (n + phase) % 3 == 1 ? "news" : "sport";
}

std::string network(std::size_t phase)
{
    return "172." + std::to_string(16 + phase % 16) + ".0.0/16";
}

std::string site(std::size_t phase)
{
    return "site" + std::to_string(phase % 5) + ".test";
}

// The document of a phase; device 10.9.0.1 tells which one is in force.
std::string rules(std::size_t phase)
{
    return R"({"10.0.0.1": [{"type": "ip", "match_condition": [")" + network(phase) +
           R"("], "action": "deny", "id": 11},
                           {"type": "website", "match_condition": ")" + site(phase) +
           R"(", "action": "allow", "id": 12},
                           {"type": "keyword", "match_condition": "*bad*", "action": "deny", "id": 13}],
               "10.0.1.1": [{"type": "website_category", "match_condition": "gambling", "action": "deny", "id": 61},
                           {"type": "any", "action": "allow", "id": 69}],
               "10.9.0.1": [{"type": "any", "action": "allow", "id": )" +
           std::to_string(phase + 1) + "}]}";
}

void install_rules(std::size_t phase)
{
    write_file("/tmp/soak-rules.json", rules(phase));
    shell("redis-cli -p 6379 -n 11 -x JSON.SET devices . < /tmp/soak-rules.json > /dev/null");
}

// Half of the domains get their new category in the cache, the other half
// leave it, so that the cloud is asked.
void change_categories(std::size_t phase)
{
    std::string commands;
    for (std::size_t n = 0; n < domains; ++n) {
        if (n % 2 == phase % 2)
            commands += "SET " + domain(n) + " " + category(n, phase) + "\n";
        else
            commands += "DEL " + domain(n) + "\n";
    }
    write_file("/tmp/soak-cache.txt", commands);
    shell("redis-cli -p 6378 -n 1 < /tmp/soak-cache.txt > /dev/null");
}

std::string dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

std::vector<request> make_requests(std::mt19937& rng, std::size_t phase, std::size_t first_channel,
                                   std::size_t count)
{
    std::vector<request> out;
    out.reserve(count);
    std::uint32_t const net = (172u << 24) | static_cast<std::uint32_t>(16 + phase % 16) << 16;
    for (std::size_t i = 0; i < count; ++i) {
        std::string const c = std::to_string(first_channel + i);
        unsigned const roll = rng() % 100;
        if (roll < 40) {
            std::size_t n = rng() % domains;
            bool denied = std::string(category(n, phase)) == "gambling";
            out.push_back({c + " 10.0.1.1 http://" + domain(n) + "/p 1.2.3.4 " + domain(n) + " 1700000000",
                           {c + (denied ? " OK message=61" : " ERR message=69")}});
        } else if (roll < 55) {
            // Host addresses of the network, never its first or last.
            std::uint32_t a = net | (1 + rng() % 65534);
            out.push_back({c + " 10.0.0.1 http://z.test/ " + dotted(a) + " - 1700000000", {c + " OK message=11"}});
        } else if (roll < 70) {
            std::size_t k = rng() % 5;
            bool allowed = "site" + std::to_string(k) + ".test" == site(phase);
            out.push_back({c + " 10.0.0.1 http://site" + std::to_string(k) + ".test/ 10.1.1.1 - 1700000000",
                           {c + (allowed ? " ERR message=12" : " OK")}});
        } else if (roll < 80) {
            out.push_back({c + " 10.0.0.1 http://z.test/bad 10.1.1.1 - 1700000000", {c + " OK message=13"}});
        } else if (roll < 90) {
            out.push_back({c + " 10.9.0.1 - - - 1700000000", {c + " ERR message=" + std::to_string(phase + 1)}});
        } else if (roll < 95) {
            out.push_back({c + " 10.7.7.7 http://z.test/ 10.1.1.1 - 1700000000", {c + " OK"}});
        } else {
            // No channel number: no prefix.
            out.push_back({"x" + c + " 10.9.0.1 - - - -", {"ERR message=" + std::to_string(phase + 1)}});
        }
    }
    return out;
}

}  // namespace

bool policy_soak(std::string const& program, std::size_t requests)
{
    // The cloud: the category of a domain in the phase in force.
    auto pki = cloud_test::make_test_pki("/tmp/soak-pki");
    setenv("SSL_CERT_FILE", pki.ca_cert.c_str(), 1);
    cloud_test::add_hosts_entry("cloud.test", "127.0.0.1");
    cloud_test::cloud_server cloud({.cert = pki.server_cert, .key = pki.server_key});
    std::atomic<std::size_t> cloud_phase{0};
    cloud.set_handler([&](cloud_test::recorded_request const& r) {
        std::string const prefix = "/firewall/blacklist?url=s";
        std::size_t n = std::strtoul(r.target.c_str() + std::min(r.target.size(), prefix.size()), nullptr, 10);
        return cloud_test::response::answer(
            200, std::string(R"({"results":[{"category":")") + category(n, cloud_phase) + "\"}]}");
    });

    shell("redis-cli -p 6379 -n 1 JSON.SET active_service_urls . "
          "'{\"config\":\"https://cloud.test\",\"auth\":\"https://cloud.test\"}' > /dev/null");
    shell("redis-cli -p 6379 -n 1 SET auth_token soak > /dev/null");
    shell("redis-cli -p 6378 -n 1 FLUSHDB > /dev/null");
    write_file("/etc/squid/zelto/external_acl.json", R"({"cache_chain": []})");
    write_file("/etc/zelto/log_settings.json", R"({"log_level":"warning"})");
    install_rules(0);

    helper h(program);
    if (h.ask("0 10.9.0.1 - - - -") != "0 ERR message=1")
        throw std::runtime_error("the helper did not load the rules");
    h.signal(SIGUSR1);  // from here on it logs at the settings file's level

    char const* levels[] = {"warning", "info", "debug", "info"};
    std::mt19937 rng(1789);
    run_report report("policy_gate");
    for (std::size_t phase = 0; report.requests() < requests; ++phase) {
        if (phase > 0) {
            install_rules(phase);
            cloud_phase = phase;
            change_categories(phase);
            write_file("/etc/zelto/log_settings.json",
                       std::string(R"({"log_level":")") + levels[phase % 4] + "\"}");
            h.signal(SIGUSR1);
            h.signal(SIGUSR2);
            h.ask_until("0 10.9.0.1 - - - -", "0 ERR message=" + std::to_string(phase + 1),
                        "SIGUSR2 did not renew the rules");
        } else {
            change_categories(0);
        }
        std::size_t done = report.requests();
        auto batch = make_requests(rng, phase, done + 1, std::min(phase_size, requests - done));
        report.phase(h, batch, std::chrono::milliseconds(10), static_cast<unsigned>(phase));
    }
    return report.finish(h, std::to_string(cloud.requests().size()) + " cloud look-ups, ");
}

}  // namespace soak

// Median time of one remote_store::request against the in-process test cloud
// server, over HTTPS and over HTTP, each with a new connection (and TLS
// handshake), printed beside curl fetching the same URL in the same run.
// Runs inside the test sandbox: the server takes ports 443 and 80.
//
//   remote_store_bench [ROUNDS]

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cloud_server.hpp"
#include "remote_store.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char path[] = "/firewall/blacklist?url=example.com";
constexpr char answer[] = R"({"results":[{"category":"news"},{"category":"sports"}]})";

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

void redis_cli(std::string const& args)
{
    if (std::system(("redis-cli -n 1 " + args + " >/dev/null").c_str()) != 0)
        throw std::runtime_error("redis-cli " + args + " failed");
}

std::shared_ptr<remote_store> store_for(std::string const& url)
{
    redis_cli("JSON.SET active_service_urls . '{\"config\":\"" + url + "\"}'");
    auto store = std::make_shared<remote_store>(datastore_config());
    if (!store->get_auth_token())
        throw std::runtime_error("no token");
    return store;
}

std::vector<double> time_requests(remote_store& store, int rounds)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto const start = clock_type::now();
        std::string const body = store.request(path, "config");
        times.push_back(ms_since(start));
        if (body != answer)
            throw std::runtime_error("unexpected answer: " + body);
    }
    return times;
}

struct curl_times {
    std::vector<double> fetch;    // curl's own time_total
    std::vector<double> process;  // the whole curl process
};

curl_times time_curl(std::string const& url, std::string const& ca, int rounds)
{
    std::string const command = "curl -sS -o /dev/null -w '%{time_total}' --cacert '" + ca +
                                "' -H 'Authorization: Bearer bench-token' '" + url + path + "'";
    curl_times t;
    for (int i = 0; i < rounds; ++i) {
        auto const start = clock_type::now();
        FILE* p = popen(command.c_str(), "r");
        if (!p)
            throw std::runtime_error("cannot run curl");
        double seconds = 0;
        int const fields = std::fscanf(p, "%lf", &seconds);
        int const status = pclose(p);
        t.process.push_back(ms_since(start));
        if (fields != 1 || status != 0)
            throw std::runtime_error("curl failed on " + url);
        t.fetch.push_back(seconds * 1000);
    }
    return t;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("ZELTO_SANDBOX")) {
        std::cerr << "remote_store_bench: run it inside tests/sandbox/sandbox (bench/remote_store_bench.sh)\n";
        return 2;
    }
    int const rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    try {
        // As a helper runs by default: debug lines are masked.
        setlogmask(LOG_UPTO(LOG_INFO));
        auto const pki = cloud_test::make_test_pki("/tmp/bench-pki");
        setenv("SSL_CERT_FILE", pki.ca_cert.c_str(), 1);
        cloud_test::add_hosts_entry("cloud.test", "127.0.0.1");
        cloud_test::cloud_server server({.cert = pki.server_cert, .key = pki.server_key});
        server.set_default(cloud_test::response::answer(200, answer));
        redis_cli("SET auth_token bench-token");

        std::printf("rounds: %d; median milliseconds of one request (new connection each)\n", rounds);
        std::printf("%-6s %14s %18s %15s\n", "", "remote_store", "curl time_total", "curl process");
        for (std::string const url : {"https://cloud.test", "http://cloud.test"}) {
            auto store = store_for(url);
            time_requests(*store, 10);  // warm-up
            double const ours = median(time_requests(*store, rounds));
            auto const curl = time_curl(url, pki.ca_cert, rounds);
            std::printf("%-6s %14.3f %18.3f %15.3f\n", url.substr(0, url.find(':')).c_str(), ours,
                        median(curl.fetch), median(curl.process));
        }
    } catch (std::exception const& e) {
        std::cerr << "remote_store_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

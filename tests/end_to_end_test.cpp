// Both helpers installed as Debian keeps Squid helpers, run by a real Squid
// (squid-openssl) inside the sandbox: devices on 127.0.0.2 and up send
// requests with curl through the proxy to a local origin server, rules and the
// category cache live in the sandbox's Redis servers, the cloud API is the test
// cloud server, and the helpers' tracking records come from the syslog socket.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud_server.hpp"
#include "test_support.hpp"

using namespace testing_support;
namespace json = boost::json;

namespace {

std::string const root = "/tmp/e2e";
std::string const policy_ident = "zelto-squid-external-policy-gate";

std::string env(char const* name)
{
    char const* value = std::getenv(name);
    return value ? value : "";
}

// Output and exit status of a shell command.
std::pair<int, std::string> capture(std::string const& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {-1, out};
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A member of a tracking record as text (empty when absent or not a string).
std::string text(json::object const& record, char const* key)
{
    auto const* value = record.if_contains(key);
    return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

bool port_open(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

struct reply {
    int curl_status = -1;  // curl's exit status
    int http_status = 0;
    std::string squid_error;  // X-Squid-Error, without its errno
    std::string body;
};

// One request through the proxy from a client address.
reply fetch(std::string const& client, std::string const& url, std::string const& extra = "")
{
    std::string const headers = root + "/headers";
    std::string const body = root + "/body";
    std::filesystem::remove(headers);
    std::filesystem::remove(body);
    auto [status, code] = capture("curl -s --max-time 20 --interface " + client +
                                  " -x http://127.0.0.1:3128 -D " + headers + " -o " + body +
                                  " -w '%{http_code}' " + extra + " '" + url + "'");
    reply r;
    r.curl_status = status;
    r.http_status = std::atoi(code.c_str());
    r.body = read_file(body);
    std::istringstream in(read_file(headers));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("X-Squid-Error: ", 0) == 0) {
            r.squid_error = line.substr(15);
            r.squid_error = r.squid_error.substr(0, r.squid_error.find(' '));
        }
    }
    return r;
}

bool denied(reply const& r)
{
    return r.http_status == 403 && r.squid_error == "ERR_ACCESS_DENIED";
}

bool served(reply const& r)
{
    return r.http_status == 200 && r.body == "origin page";
}

class end_to_end : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox())
            return;
        std::filesystem::create_directories(root + "/squid");
        install_helpers();
        pki = std::make_unique<cloud_test::test_pki>(cloud_test::make_test_pki(root + "/pki"));
        // Squid starts its helpers with the proxy user as effective user only,
        // so they run in secure mode and ignore SSL_CERT_FILE: the test CA goes
        // into the sandbox's copy of the system trust store instead.
        ASSERT_EQ(run("mkdir -p /etc/ssl/certs && cat " + pki->ca_cert + " >> /etc/ssl/certs/ca-certificates.crt"), 0);
        make_squid_ca();
        for (char const* name : {"cloud.test", "news.test", "casino.test", "shop.test"})
            cloud_test::add_hosts_entry(name, "127.0.0.1");

        // The cloud API on 443, the origin server on 8080 (HTTP) and 8443 (HTTPS).
        cloud = std::make_unique<cloud_test::cloud_server>(
            cloud_test::cloud_server::options{.cert = pki->server_cert, .key = pki->server_key});
        origin = std::make_unique<cloud_test::cloud_server>(cloud_test::cloud_server::options{
            .https_port = 8443, .http_port = 8080, .cert = pki->server_cert, .key = pki->server_key});
        origin->set_default(cloud_test::response::answer(200, "origin page"));
    }

    static void TearDownTestSuite()
    {
        stop_squid();
        origin.reset();
        cloud.reset();
    }

    void SetUp() override
    {
        REQUIRE_SANDBOX();
        redis_client(6379).flushall();
        redis_client(6378).flushall();
        redis_client db1(6379, 1);
        db1.command({"SET", "auth_token", "e2e-token"});
        db1.command({"JSON.SET", "active_service_urls", ".",
                     R"({"config":"https://cloud.test","auth":"https://cloud.test"})"});
        run("ipset destroy noinspection 2>/dev/null");
        ASSERT_EQ(run("ipset create noinspection hash:net"), 0);
        cloud->clear();
        cloud->set_default(cloud_test::response::answer(200, R"({"results":[]})"));
        origin->clear();
    }

    void TearDown() override { stop_squid(); }

    // cmake --install of the build tree into the sandbox's copy-on-write /usr.
    static void install_helpers()
    {
        auto [status, out] = capture("cmake --install " + env("ZELTO_BUILD_DIR") + " 2>&1");
        ASSERT_EQ(status, 0) << out;
        prefix = env("ZELTO_INSTALL_PREFIX");
    }

    static void make_squid_ca()
    {
        std::string const dir = root + "/squid-ca";
        std::filesystem::create_directories(dir);
        ASSERT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Squid test CA' -keyout " +
                      dir + "/ca.key -out " + dir + "/ca.pem 2>/dev/null"),
                  0);
        ASSERT_EQ(run("cat " + dir + "/ca.pem " + dir + "/ca.key > " + dir + "/bundle.pem && chmod 644 " + dir +
                      "/bundle.pem"),
                  0);
    }

    static std::string helper(std::string const& name) { return prefix + "/lib/squid/" + name; }

    // Squid with the repository's example configuration, paths adjusted to
    // where the helpers were installed.
    void start_squid()
    {
        std::string const dir = root + "/squid";
        run("rm -rf " + dir + "/ssl_db; chown -R proxy:proxy " + dir);
        ASSERT_EQ(run("/usr/lib/squid/security_file_certgen -c -s " + dir + "/ssl_db -M 4MB >/dev/null && chown -R "
                      "proxy:proxy " + dir + "/ssl_db"),
                  0);

        std::string example = read_file(env("ZELTO_SOURCE_DIR") + "/config/squid/zelto-acl.conf");
        for (std::string const name : {"policy_gate", "exempt_gate"}) {
            std::string const from = "/usr/lib/squid/" + name;
            example.replace(example.find(from), from.size(), helper(name));
        }
        write_file(dir + "/zelto-acl.conf", example);
        write_file(dir + "/squid.conf",
                   "http_port 127.0.0.1:3128 ssl-bump tls-cert=" + root +
                       "/squid-ca/bundle.pem generate-host-certificates=on dynamic_cert_mem_cache_size=4MB\n"
                       "sslcrtd_program /usr/lib/squid/security_file_certgen -s " + dir + "/ssl_db -M 4MB\n"
                       "tls_outgoing_options cafile=" + pki->ca_cert + "\n"
                       "pid_filename " + dir + "/squid.pid\n"
                       "cache_log " + dir + "/cache.log\n"
                       "access_log stdio:" + dir + "/access.log squid\n"
                       "coredump_dir " + dir + "\n"
                       "shutdown_lifetime 1 seconds\n"
                       "dns_timeout 2 seconds\n"
                       "dns_nameservers 127.0.0.1\n"
                       "cache deny all\n"
                       "include " + dir + "/zelto-acl.conf\n"
                       "http_access allow all\n");

        squid = std::make_unique<child_process>(
            std::vector<std::string>{"/usr/sbin/squid", "-N", "-f", dir + "/squid.conf"},
            std::vector<std::string>{"SSL_CERT_FILE=" + pki->ca_cert});
        for (int i = 0; i < 200 && !port_open(3128); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(port_open(3128)) << read_file(dir + "/cache.log");
    }

    static void stop_squid()
    {
        if (!squid)
            return;
        squid->signal(SIGTERM);
        squid->wait(10s);
        squid.reset();
    }

    static void rules(std::string const& document)
    {
        auto reply = redis_client(6379, 11).command({"JSON.SET", "devices", ".", document});
        ASSERT_EQ(reply, "OK");
    }

    // Tracking records of the policy helper, parsed.
    std::vector<json::object> tracking_records() const
    {
        std::vector<json::object> out;
        for (auto const& r : log.records()) {
            if (r.ident != policy_ident || r.text.rfind("{\"tracking_id\"", 0) != 0)
                continue;
            EXPECT_EQ(r.priority, LOG_INFO);
            EXPECT_EQ(r.facility, LOG_LOCAL0);
            json::error_code ec;
            auto value = json::parse(r.text, ec);
            EXPECT_FALSE(ec) << r.text;
            if (!ec && value.is_object())
                out.push_back(value.as_object());
        }
        return out;
    }

    bool has_record(std::string const& client, std::string const& url, std::string const& action,
                    std::string const& tracking_id) const
    {
        for (auto const& r : tracking_records())
            if (text(r, "client_ip") == client && text(r, "url") == url && text(r, "action") == action &&
                text(r, "tracking_id") == tracking_id)
                return true;
        return false;
    }

    // Client address and URL of each line of Squid's access log.
    std::vector<std::pair<std::string, std::string>> access_log() const
    {
        std::vector<std::pair<std::string, std::string>> out;
        std::istringstream in(read_file(root + "/squid/access.log"));
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string time, elapsed, client, code, bytes, method, url;
            fields >> time >> elapsed >> client >> code >> bytes >> method >> url;
            if (url != "error:transaction-end-before-headers")  // the test's own port probes
                out.emplace_back(client, url);
        }
        return out;
    }

    static inline std::string prefix;
    static inline std::unique_ptr<cloud_test::test_pki> pki;
    static inline std::unique_ptr<cloud_test::cloud_server> cloud;
    static inline std::unique_ptr<cloud_test::cloud_server> origin;
    static inline std::unique_ptr<child_process> squid;
    syslog_listener log;
};

TEST_F(end_to_end, install_puts_helpers_where_squid_finds_them)
{
    for (std::string const name : {"policy_gate", "exempt_gate"}) {
        ASSERT_TRUE(std::filesystem::exists(helper(name))) << helper(name);
        // No LD_LIBRARY_PATH: the run path finds the libraries.
        auto [status, out] = capture("env -u LD_LIBRARY_PATH ldd " + helper(name));
        EXPECT_EQ(out.find("not found"), std::string::npos) << out;
    }
    auto [status, caps] = capture("getcap " + helper("exempt_gate"));
    EXPECT_NE(caps.find("cap_net_admin"), std::string::npos) << caps;
}

TEST_F(end_to_end, rules_decide_plain_http_requests)
{
    rules(R"({
        "127.0.0.2": [{"type": "any", "match_condition": "", "action": "deny", "id": 11}],
        "127.0.0.3": [{"type": "website", "match_condition": "news.test", "action": "allow", "id": 21},
                      {"type": "keyword", "match_condition": "casino", "action": "deny", "id": 22}]
    })");
    start_squid();

    EXPECT_TRUE(denied(fetch("127.0.0.2", "http://news.test:8080/")));
    auto allowed = fetch("127.0.0.3", "http://news.test:8080/");
    EXPECT_TRUE(served(allowed)) << allowed.http_status << " " << allowed.body;
    EXPECT_TRUE(denied(fetch("127.0.0.3", "http://casino.test:8080/")));
    EXPECT_TRUE(denied(fetch("127.0.0.3", "http://shop.test:8080/")));  // no rule matched
    EXPECT_TRUE(denied(fetch("127.0.0.4", "http://news.test:8080/")));  // a device without rules
    EXPECT_EQ(origin->requests().size(), 1u);

    ASSERT_TRUE(log.wait_for([](syslog_record const& r) { return r.text.find("127.0.0.4") != std::string::npos && r.text.rfind("{", 0) == 0; }));
    EXPECT_TRUE(has_record("127.0.0.2", "http://news.test:8080/", "DROP", "11"));
    EXPECT_TRUE(has_record("127.0.0.3", "http://news.test:8080/", "ACCEPT", "21"));
    EXPECT_TRUE(has_record("127.0.0.3", "http://casino.test:8080/", "DROP", "22"));
    EXPECT_TRUE(has_record("127.0.0.3", "http://shop.test:8080/", "DROP", " "));
    EXPECT_TRUE(has_record("127.0.0.4", "http://news.test:8080/", "DROP", " "));

    // Plain HTTP has no TLS server name: Squid sends "-". The destination is
    // the proxy's own address, the one the client connected to.
    for (auto const& r : tracking_records()) {
        EXPECT_EQ(text(r, "sni"), "-");
        EXPECT_EQ(text(r, "destination_ip"), "127.0.0.1");
    }

    // Every request in Squid's access log was decided by a tracking record.
    stop_squid();
    auto lines = access_log();
    EXPECT_EQ(lines.size(), 5u);
    for (auto const& [client, url] : lines) {
        bool found = false;
        for (auto const& r : tracking_records())
            found = found || (text(r, "client_ip") == client && text(r, "url") == url);
        EXPECT_TRUE(found) << client << " " << url;
    }
}

TEST_F(end_to_end, a_host_that_does_not_resolve)
{
    rules(R"({"127.0.0.2": [{"type": "any", "match_condition": "", "action": "deny", "id": 11}],
              "127.0.0.3": [{"type": "any", "match_condition": "", "action": "allow", "id": 12}]})");
    start_squid();
    EXPECT_TRUE(denied(fetch("127.0.0.2", "http://nowhere.invalid/")));
    auto r = fetch("127.0.0.3", "http://nowhere.invalid/");
    EXPECT_NE(r.http_status, 200);  // Squid's own error: the helper let it through
    EXPECT_EQ(r.squid_error.rfind("ERR_", 0), 0u) << r.squid_error;
    EXPECT_NE(r.squid_error, "ERR_ACCESS_DENIED");
    EXPECT_TRUE(eventually([&] { return has_record("127.0.0.3", "http://nowhere.invalid/", "ACCEPT", "12"); }));
}

TEST_F(end_to_end, new_rules_take_effect_after_sigusr2)
{
    rules(R"({"127.0.0.2": [{"type": "any", "match_condition": "", "action": "deny", "id": 11}]})");
    start_squid();
    EXPECT_TRUE(denied(fetch("127.0.0.2", "http://news.test:8080/")));

    rules(R"({"127.0.0.2": [{"type": "any", "match_condition": "", "action": "allow", "id": 12}]})");
    EXPECT_TRUE(denied(fetch("127.0.0.2", "http://news.test:8080/")));  // rules are held in memory

    ASSERT_EQ(run("pkill -USR2 -x policy_gate"), 0);
    ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    EXPECT_TRUE(served(fetch("127.0.0.2", "http://news.test:8080/")));
}

TEST_F(end_to_end, categories_from_the_cache_and_the_cloud)
{
    rules(R"({"127.0.0.5": [
        {"type": "website_category", "match_condition": "gambling", "action": "deny", "id": 31},
        {"type": "any", "match_condition": "", "action": "allow", "id": 32}]})");
    redis_client cache(6378, 1);
    cache.command({"SET", "casino.test", "gambling,games"});
    cloud->set_handler([](cloud_test::recorded_request const& req) {
        if (req.target == "/firewall/blacklist?url=shop.test")
            return cloud_test::response::answer(200, R"({"results":[{"category":"gambling"}]})");
        return cloud_test::response::answer(200, R"({"results":[{"category":"news"}]})");
    });
    start_squid();

    EXPECT_TRUE(denied(fetch("127.0.0.5", "http://casino.test:8080/")));  // from the cache
    EXPECT_TRUE(cloud->requests().empty());
    EXPECT_TRUE(denied(fetch("127.0.0.5", "http://shop.test:8080/")));  // from the cloud
    EXPECT_TRUE(served(fetch("127.0.0.5", "http://news.test:8080/")));

    auto asked = cloud->requests();
    EXPECT_EQ(asked.size(), 2u);
    if (!asked.empty()) {
        EXPECT_EQ(asked[0].field("Authorization"), "Bearer e2e-token");
    }
    EXPECT_EQ(cache.command({"GET", "shop.test"}), "gambling");
    EXPECT_EQ(cache.command({"GET", "news.test"}), "news");
    EXPECT_EQ(cache.command({"SISMEMBER", "gambling", "shop.test"}), "1");
    EXPECT_TRUE(has_record("127.0.0.5", "http://casino.test:8080/", "DROP", "31"));
    EXPECT_TRUE(has_record("127.0.0.5", "http://news.test:8080/", "ACCEPT", "32"));
    if (HasFailure())
        for (auto const& r : log.records())
            if (r.ident == policy_ident && r.priority <= LOG_WARNING)
                ADD_FAILURE() << "policy_gate said: " << r.text;
}

TEST_F(end_to_end, exempt_clients_are_spliced_others_bumped)
{
    rules(R"({"127.0.0.6": [{"type": "any", "match_condition": "", "action": "allow", "id": 41}],
              "127.0.0.7": [{"type": "any", "match_condition": "", "action": "allow", "id": 42}]})");
    ASSERT_EQ(run("ipset add noinspection 127.0.0.7"), 0);
    start_squid();

    std::string const squid_ca = "--cacert " + root + "/squid-ca/ca.pem";
    std::string const origin_ca = "--cacert " + pki->ca_cert;
    // Bumped: the client sees a certificate that Squid made with its own CA.
    EXPECT_TRUE(served(fetch("127.0.0.6", "https://localhost:8443/", squid_ca)));
    EXPECT_NE(fetch("127.0.0.6", "https://localhost:8443/", origin_ca).curl_status, 0);
    // Spliced: the origin's own certificate reaches the client.
    EXPECT_TRUE(served(fetch("127.0.0.7", "https://localhost:8443/", origin_ca)));
    EXPECT_NE(fetch("127.0.0.7", "https://localhost:8443/", squid_ca).curl_status, 0);

    // After peeking, Squid asks the policy helper again with the server name.
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.text.rfind("{", 0) == 0 && r.text.find(R"("sni": "localhost")") != std::string::npos;
    }));
}

TEST_F(end_to_end, a_killed_helper_is_restarted_without_a_wrong_answer)
{
    rules(R"({"127.0.0.2": [{"type": "any", "match_condition": "", "action": "deny", "id": 11}],
              "127.0.0.3": [{"type": "any", "match_condition": "", "action": "allow", "id": 12}]})");
    start_squid();
    for (int round = 0; round < 6; ++round) {
        if (round == 3)
            run("pkill -KILL -x policy_gate");
        auto deny = fetch("127.0.0.2", "http://news.test:8080/");
        auto allow = fetch("127.0.0.3", "http://news.test:8080/");
        EXPECT_NE(deny.http_status, 200) << "round " << round;  // never let through
        EXPECT_TRUE(denied(deny)) << "round " << round << " " << deny.http_status << " " << deny.squid_error;
        if (round != 3) {  // the request in flight at the kill may fail, never pass wrongly
            EXPECT_TRUE(served(allow)) << "round " << round << " " << allow.http_status;
        }
    }
    EXPECT_TRUE(log.wait_for_text("Policy gate process started"));
}

}  // namespace

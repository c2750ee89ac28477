// The rule helper: its request record and matchers called directly, and the
// policy_gate program run over pipes with its rules in the sandbox's Redis.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "cloud_server.hpp"
#include "policy_gate.hpp"
#include "test_support.hpp"

using namespace testing_support;
using cloud_test::cloud_server;
using cloud_test::response;

namespace {

constexpr char program_ident[] = "zelto-squid-external-policy-gate";
constexpr char acl_configuration[] = "/etc/squid/zelto/external_acl.json";
constexpr char log_settings[] = "/etc/zelto/log_settings.json";

// Processes of a process group that have not ended (a zombie has ended).
int live_processes_in_group(pid_t group)
{
    int live = 0;
    for (auto const& entry : std::filesystem::directory_iterator("/proc")) {
        std::string const stat = read_file(entry.path().string() + "/stat");
        auto const close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        pid_t parent = 0;
        pid_t its_group = 0;
        std::istringstream(stat.substr(close + 1)) >> state >> parent >> its_group;
        if (its_group == group && state != 'Z')
            ++live;
    }
    return live;
}

// Starts or stops one of the sandbox's redis-servers; 0 on success.
int redis_ctl(std::string const& action, int port)
{
    char const* source = std::getenv("ZELTO_SOURCE_DIR");
    return run(std::string(source ? source : ".") + "/tests/sandbox/redis-ctl " + action + " " + std::to_string(port) +
               " >/dev/null");
}

bool starts_with(std::string const& text, std::string const& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

policy_gate_input request(std::string const& url, std::string const& sni, std::string const& destination = "10.0.0.1")
{
    return policy_gate_input("1 10.0.0.9 " + url + " " + destination + " " + sni + " 1700000000\n");
}

// ---------------------------------------------------------------------------
// The request record and the matchers, without a running helper.

class policy_gate_unit_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        openlog("policy-gate-test", LOG_PID, LOG_LOCAL0);
        log.clear();
    }

    // Lines this test process logged with that priority, in order.
    std::vector<std::string> lines(int priority)
    {
        log.settle(20ms);
        std::vector<std::string> out;
        for (auto const& r : log.records())
            if (r.priority == priority && r.ident == "policy-gate-test")
                out.push_back(r.text);
        log.clear();
        return out;
    }

    syslog_listener log;
};

TEST_F(policy_gate_unit_test, request_line_is_split_into_six_fields_without_its_line_end)
{
    struct split_case {
        std::string line;
        std::vector<std::string> fields;  // id, source, url, destination, sni, time
    };
    split_case const cases[] = {
        {"1 10.0.0.1 http://a/ 10.1.1.1 a.com 1700\n", {"1", "10.0.0.1", "http://a/", "10.1.1.1", "a.com", "1700"}},
        {"1   10.0.0.1  http://a/ 10.1.1.1 a.com 1700\r\n", {"1", "10.0.0.1", "http://a/", "10.1.1.1", "a.com", "1700"}},
        {"1 10.0.0.1 http://a/ 10.1.1.1 a.com 1700 -\n", {"1", "10.0.0.1", "http://a/", "10.1.1.1", "a.com", "1700"}},
        {"1 10.0.0.1 u\n", {"1", "10.0.0.1", "u", "", "", ""}},
        {" 1 10.0.0.1\n", {"", "1", "10.0.0.1", "", "", ""}},
        {"1 2 3 4 5 6 \n", {"1", "2", "3", "4", "5", "6"}},
        {"\n", {"", "", "", "", "", ""}},
        {"\r\n", {"", "", "", "", "", ""}},
        {"1\t10.0.0.1\tu\n", {"1\t10.0.0.1\tu", "", "", "", "", ""}},
        {"1 a\rb c\n", {"1", "a\rb", "c", "", "", ""}},
    };
    for (auto const& c : cases) {
        policy_gate_input const in(c.line);
        std::vector<std::string> const got = {in.id, in.source, in.url, in.destination, in.sni, in.time};
        EXPECT_EQ(got, c.fields) << c.line;
    }
}

TEST_F(policy_gate_unit_test, purify_domain_drops_one_leading_prefix)
{
    std::pair<std::string, std::string> const cases[] = {
        {"www.example.com", "example.com"}, {"www7.example.com", "example.com"}, {"www0.example.com", "www0.example.com"},
        {"WWW.example.com", "WWW.example.com"}, {"www", "www"}, {"www.", ""}, {"*.", ""},
        {"www.www.example.com", "www.example.com"}, {"*.example.com", "example.com"}, {"www1", "www1"},
        {"*.www.example.com", "www.example.com"}, {"", ""},
    };
    for (auto const& [in, out] : cases)
        EXPECT_EQ(policy_gate::purify_domain(in), out) << in;
}

TEST_F(policy_gate_unit_test, ip_list_matches_host_ranges_of_ipv4_networks)
{
    struct ip_case {
        std::string destination;
        std::string list;
        bool matches;
        std::size_t warnings;
    };
    ip_case const cases[] = {
        {"10.0.0.1", R"(["10.0.0.0/24"])", true, 0},
        {"10.0.0.0", R"(["10.0.0.0/24"])", false, 0},  // network address
        {"10.0.0.255", R"(["10.0.0.0/24"])", false, 0},  // broadcast address
        {"10.0.0.200", R"(["10.0.0.7/24"])", true, 0},  // host bits are ignored
        {"10.0.0.1", R"(["10.0.0.0/30"])", true, 0},
        {"10.0.0.2", R"(["10.0.0.0/30"])", true, 0},
        {"10.0.0.3", R"(["10.0.0.0/30"])", false, 0},
        {"10.0.0.0", R"(["10.0.0.0/31"])", false, 0},
        {"10.0.0.1", R"(["10.0.0.0/31"])", false, 0},
        {"10.0.0.5", R"(["10.0.0.5/32"])", true, 0},
        {"10.0.0.6", R"(["10.0.0.5/32"])", false, 0},
        {"255.255.255.255", R"(["255.255.255.255/32"])", false, 0},
        {"8.8.8.8", R"(["0.0.0.0/0"])", true, 0},
        {"0.0.0.0", R"(["0.0.0.0/0"])", false, 0},
        {"255.255.255.255", R"(["0.0.0.0/0"])", false, 0},
        {"10.0.0.1", R"(["10.0.0.1"])", false, 1},
        {"10.0.0.1", R"(["10.0.0.1/", "10.0.0.1/33", "10.0.0.1/-8", "10.0.0.1/ 8", "10.0/8", "10.0.0.0/8"])", true, 5},
        {"10.0.0.1", R"([])", false, 0},
        {"10.2.0.1", R"(["10.1.0.0/16", "10.2.0.0/16", 5])", true, 0},  // the walk stops at a match
        // A destination that is no address matches only the catch-all network.
        {"example.com", R"(["10.0.0.0/8", "0.0.0.0/0"])", true, 1},
        {"-", R"(["0.0.0.0/00", "0.0.0.0/0 "])", false, 1},
        {"", R"([])", false, 1},
        // Between the networks of a list, and at the edges of its span.
        {"10.0.1.5", R"(["10.0.0.0/24", "10.0.2.0/24"])", false, 0},
        {"10.0.2.254", R"(["10.0.0.0/24", "10.0.2.0/24"])", true, 0},
        {"10.0.0.1", R"(["10.0.0.0/24", "10.0.2.0/24"])", true, 0},
        {"255.255.255.255", R"(["255.255.255.255/32", "0.0.0.0/0"])", false, 0},
        {"255.255.255.254", R"(["255.255.255.255/32", "0.0.0.0/0"])", true, 0},
        {"1.2.3.4", R"(["10.0.0.0/31", "255.255.255.255/32"])", false, 0},
        // An IPv6 destination lies in no IPv4 network.
        {"::1", R"(["bad", "0.0.0.0/0", "10.0.0.0/8"])", false, 1},
        {"::ffff:10.0.0.1", R"(["10.0.0.0/8"])", false, 0},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.destination + " in " + c.list);
        auto const list = boost::json::parse(c.list).as_array();
        EXPECT_EQ(policy_gate::process_ip_adresses(request("http://a/", "-", c.destination), list), c.matches);
        EXPECT_EQ(lines(LOG_WARNING).size(), c.warnings);
    }

    policy_gate::process_ip_adresses(request("http://a/", "-", "10.0.0.1"), boost::json::parse(R"(["10.0.0.0/24"])").as_array());
    EXPECT_EQ(lines(LOG_DEBUG), std::vector<std::string>{"Ip address: 10.0.0.1 matched with 10.0.0.0/24."});
    policy_gate::process_ip_adresses(request("http://a/", "-", "10.0.0.1"), boost::json::parse(R"(["x"])").as_array());
    EXPECT_EQ(lines(LOG_DEBUG), std::vector<std::string>{"Ip address: 10.0.0.1 not matched with any ip in list."});
    policy_gate::process_ip_adresses(request("http://a/", "-", "host.example"), boost::json::parse(R"(["x"])").as_array());
    EXPECT_EQ(lines(LOG_WARNING), std::vector<std::string>{"Input destination is not an ip address: host.example"});
}

TEST_F(policy_gate_unit_test, ip_list_element_that_is_not_a_string_fails_when_reached)
{
    for (std::string destination : {"10.0.0.1", "host.example", "::1"}) {
        auto const list = boost::json::parse(R"(["10.9.0.0/16", 5, "0.0.0.0/0"])").as_array();
        EXPECT_THROW(policy_gate::process_ip_adresses(request("http://a/", "-", destination), list), std::exception)
            << destination;
    }
}

TEST_F(policy_gate_unit_test, website_matches_host_or_remainder_exactly)
{
    struct site_case {
        std::string website;
        std::string url;
        std::string sni;
        bool matches;
    };
    site_case const cases[] = {
        {"www.example.com", "http://example.com/path", "-", true},
        {"example.com", "http://example.com", "-", true},
        {"example.com/path", "https://example.com/path", "-", true},
        {"example.com", "example.com:443", "example.com", true},  // on the sni
        {"example.com", "https://www.example.com:8443/x?y", "-", true},
        {"example.com", "http://sub.example.com/", "-", false},
        {"*.example.com", "http://example.com/", "-", true},
        {"*.example.com", "http://sub.example.com/", "-", false},
        {"Example.com", "http://example.com/", "-", false},
        {"example.com", "HTTP://example.com/", "-", false},
        {"http://example.com", "http://example.com/", "-", false},
        {"example.com", "http://ex%61mple.com/", "-", true},  // the host is percent-decoded
        {"example.com", "-", "https://www3.example.com/", true},
        {"example.com", "-", "example.com", true},
    };
    for (auto const& c : cases)
        EXPECT_EQ(policy_gate::process_website(request(c.url, c.sni), boost::json::string(c.website)), c.matches)
            << c.website << " / " << c.url << " / " << c.sni;
}

TEST_F(policy_gate_unit_test, website_with_unparsable_url_fails_without_trying_the_sni)
{
    lines(LOG_ERR);
    EXPECT_FALSE(policy_gate::process_website(request("http://exa^mple.com/", "example.com"), "example.com"));
    auto const errors = lines(LOG_ERR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(starts_with(errors[0], "Input url parsing exception while process website: ")) << errors[0];

    EXPECT_FALSE(policy_gate::process_website(request("http://other.com/", "https://exa^mple.com/"), "example.com"));
    auto const sni_errors = lines(LOG_ERR);
    ASSERT_EQ(sni_errors.size(), 1u);
    EXPECT_TRUE(starts_with(sni_errors[0], "Input sni parsing exception while process website: ")) << sni_errors[0];
}

TEST_F(policy_gate_unit_test, keyword_mode_follows_its_star_marks)
{
    struct keyword_case {
        std::string keyword;
        std::string url;
        std::string sni;
        bool matches;
    };
    keyword_case const cases[] = {
        {"shop", "http://myshop.example/x", "-", true},
        {"*shop*", "http://myshop.example/x", "-", true},
        {"*", "http://a/", "-", true},
        {"**", "http://a/", "-", true},
        {"", "http://a/", "-", true},
        {"Shop", "http://shop.example/", "-", false},
        {"shop", "http://a/", "shop.example", true},
        {"*.example.com", "http://www.example.com/", "-", true},
        {"*.example.com", "http://www.example.com//", "-", false},  // one "/" only is dropped
        {"*example.com", "http://other.org/", "example.com/", true},
        {"*example.com", "http://example.com/x", "-", false},
        {"example*", "http://www.example.com/path", "-", true},
        {"example*", "www2.example.com/", "-", true},
        {"example*", "http://other.com/example", "-", false},
        {"example*", "http://other.com/", "https://example.org/", true},
        {"exa*mple", "http://example.com/", "example.com", false},
        {"*exa*mple", "http://exa.com/", "-", false},  // ends with "example"
    };
    for (auto const& c : cases)
        EXPECT_EQ(policy_gate::process_keyword(request(c.url, c.sni), boost::json::string(c.keyword)), c.matches)
            << c.keyword << " / " << c.url << " / " << c.sni;

    lines(LOG_DEBUG);
    policy_gate::process_keyword(request("http://a/", "-"), "exa*mple");
    EXPECT_EQ(lines(LOG_DEBUG), std::vector<std::string>{"Keyword: exa*mple processing started."});
}

TEST_F(policy_gate_unit_test, starts_with_keyword_on_an_unparsable_url_fails)
{
    lines(LOG_ERR);
    EXPECT_FALSE(policy_gate::process_keyword(request("http://exa^mple.com/", "example.com"), "exam*"));
    auto const errors = lines(LOG_ERR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(starts_with(errors[0], "Exception while process keyword: exam exception: ")) << errors[0];
}

TEST_F(policy_gate_unit_test, cloud_body_gives_the_category_names_of_its_results)
{
    enum class result { names, none, not_json, wrong_shape };
    struct body_case {
        std::string body;
        result kind;
        std::string names;
    };
    body_case const cases[] = {
        {R"({"results":[{"category":"A"},{"category":"B"},{"id":3}],"other":1})", result::names, "A,B"},
        {R"({"results":[{"category":"a,b"},{"category":"A"}]})", result::names, "a,b,A"},
        {R"({"results":[{"category":""}]})", result::names, ""},
        {R"({"results":[{"category":"news\u0000x"}]})", result::names, std::string("news\0x", 6)},
        {R"({"results":[]})", result::none, ""},
        {R"({"results":[{"id":1},{}]})", result::none, ""},
        {"", result::none, ""},
        {"false", result::none, ""},
        {"<html>", result::not_json, ""},
        {R"({"results":[],})", result::not_json, ""},
        {"{\"results\":[{\"category\":\"\xff\"}]}", result::not_json, ""},
        {std::string(33, '[') + std::string(33, ']'), result::not_json, ""},
        {"false ", result::wrong_shape, ""},
        {R"("false")", result::wrong_shape, ""},
        {"[]", result::wrong_shape, ""},
        {"{}", result::wrong_shape, ""},
        {R"({"results":{"category":"A"}})", result::wrong_shape, ""},
        {R"({"results":[{"category":"A"},1]})", result::wrong_shape, ""},
        {R"({"results":[{"category":5}]})", result::wrong_shape, ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.body);
        boost::system::error_code ec;
        if (c.kind == result::wrong_shape) {
            EXPECT_THROW(policy_gate::categories_from_cloud_body(c.body, ec), std::exception);
            continue;
        }
        auto const names = policy_gate::categories_from_cloud_body(c.body, ec);
        EXPECT_EQ(bool(ec), c.kind == result::not_json);
        EXPECT_EQ(names, c.kind == result::names ? std::optional(c.names) : std::nullopt);
    }
}

// ---------------------------------------------------------------------------
// The program.

class policy_gate_program_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        redis_client(6379).flushall();
        redis_client(6378).flushall();
        redis_client(6379, 1).command({"SET", "auth_token", "test-token"});
        write_file(acl_configuration, R"({"cache_chain": [{"name": "c", "volume": 1, "mode": "m", "eviction_size": 2}]})");
        std::filesystem::remove(log_settings);
        std::filesystem::remove_all("/opt/control.setvesk/library");
        log.clear();
    }

    void TearDown() override
    {
        // Leave both servers running for the next test.
        for (int port : {6379, 6378})
            if (run("redis-cli -p " + std::to_string(port) + " ping >/dev/null 2>&1") != 0)
                redis_ctl("start", port);
    }

    static void set_rules(std::string const& document)
    {
        EXPECT_EQ(redis_client(6379, 11).command({"JSON.SET", "devices", ".", document}), "OK");
    }

    static std::unique_ptr<child_process> start()
    {
        return std::make_unique<child_process>(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")});
    }

    // Sends one request line and returns the answer line.
    static std::string ask(child_process& gate, std::string const& line, std::chrono::milliseconds timeout = 5s)
    {
        gate.write(line + "\n");
        return gate.read_line(timeout).value_or("(no answer)");
    }

    // The tracking record of the request whose time field was time.
    std::optional<std::string> record_of(std::string const& time)
    {
        std::optional<std::string> found;
        log.wait_for([&](syslog_record const& r) {
            if (r.ident != program_ident || r.priority != LOG_INFO || !starts_with(r.text, "{\"tracking_id\"") ||
                r.text.find("\"time\": \"" + time + "\"") == std::string::npos)
                return false;
            found = r.text;
            return true;
        });
        return found;
    }

    bool logged(int priority, std::string const& text) { return log.has(priority, text); }

    bool logged_prefix(int priority, std::string const& prefix)
    {
        return log.wait_for([&](syslog_record const& r) {
            return r.ident == program_ident && r.priority == priority && starts_with(r.text, prefix);
        });
    }

    std::size_t count(std::string const& text)
    {
        log.settle();
        return log.with_text(text).size();
    }

    // The helper's "signal_handler signal: N" lines, in the order logged.
    std::vector<std::string> signal_lines(pid_t pid)
    {
        log.settle();
        std::vector<std::string> numbers;
        for (auto const& r : log.records())
            if (r.pid == pid && starts_with(r.text, "signal_handler signal: "))
                numbers.push_back(r.text.substr(r.text.rfind(' ') + 1));
        return numbers;
    }

    // SIGTERM ends the helper within a second, with status 15 and no further
    // answer; its line has the program's ident, pid, facility and priority
    // even when the handler writes it.
    void expect_ended_by_sigterm(child_process& gate)
    {
        gate.signal(SIGTERM);
        auto const status = gate.wait(1s);
        ASSERT_TRUE(status.has_value()) << "still running a second after SIGTERM";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 15) << "wait status " << *status;
        EXPECT_EQ(gate.read_all(100ms), "");
        pid_t const pid = gate.pid();
        EXPECT_TRUE(log.wait_for([pid](syslog_record const& r) {
            return r.pid == pid && r.ident == program_ident && r.facility == LOG_LOCAL0 && r.priority == LOG_INFO &&
                   r.text == "signal_handler signal: 15";
        }));
    }

    syslog_listener log;
};

TEST_F(policy_gate_program_test, answers_follow_the_outcome_of_the_rules)
{
    struct outcome_case {
        std::string rules;        // the device's rule array
        std::string destination;  // of the request
        std::string answer;
        std::string tracking_id;
        std::string action;
    };
    outcome_case const cases[] = {
        {R"([])", "10.1.0.1", "5 OK", " ", "DROP"},
        {R"([{"type":"ip","match_condition":["10.9.0.0/16"],"action":"deny","id":1},
             {"type":"website","match_condition":"other.com","action":"deny","id":2},
             {"type":"keyword","match_condition":"zzz","action":"deny","id":3}])",
         "10.1.0.1", "5 OK", " ", "DROP"},
        {R"([{"type":"network","match_condition":["10.1.0.0/16"],"action":"deny","id":42}])", "10.1.0.1",
         "5 OK message=42", "42", "DROP"},
        {R"([{"type":"any","action":"allow","id":7}])", "10.1.0.1", "5 ERR message=7", "7", "ACCEPT"},
        {R"([{"type":"any","action":"block","id":9}])", "10.1.0.1", "5 BH message=9", "9", "ACCEPT"},
        {R"([{"type":"any","action":"deny","id":1},{"type":"any","action":"allow","id":2}])", "10.1.0.1",
         "5 OK message=1", "1", "DROP"},
        {R"([{"type":"website","match_condition":"-1","action":"allow","id":3}])", "10.1.0.1", "5 ERR message=3", "3",
         "ACCEPT"},
        {R"([{"type":"Website","match_condition":"-1","action":"allow","id":3},{"type":"any","action":"deny","id":4}])",
         "10.1.0.1", "5 OK message=4", "4", "DROP"},
        {R"([{"type":"keyword","match_condition":"x.com","action":"deny","id":5}])", "10.1.0.1", "5 OK message=5",
         "5", "DROP"},
        {R"([{"type":"any","action":"deny","id":-3}])", "10.1.0.1", "5 OK message=-3", "-3", "DROP"},
        {R"([{"type":"any","action":"deny","id":9223372036854775807}])", "10.1.0.1",
         "5 OK message=9223372036854775807", "9223372036854775807", "DROP"},
        // Id 0 after an IP-list rule, for a destination that is no address.
        {R"([{"type":"ip","match_condition":["10.0.0.0/8"],"action":"deny","id":1},{"type":"any","action":"deny","id":0}])",
         "host.example", "5 ERR message=0", " ", "ACCEPT"},
        {R"([{"type":"any","action":"deny","id":0}])", "host.example", "5 OK message=0", "0", "DROP"},
        {R"([{"type":"ip","match_condition":["10.9.0.0/16"],"action":"deny","id":1},{"type":"any","action":"deny","id":0}])",
         "10.1.0.1", "5 OK message=0", "0", "DROP"},
        // A category look-up that fails (no cloud endpoint here): the walk goes on.
        {R"([{"type":"website_category","match_condition":"news","action":"deny","id":1},{"type":"any","action":"allow","id":8}])",
         "10.1.0.1", "5 ERR message=8", "8", "ACCEPT"},
        // An IPv6 destination is in no IPv4 network.
        {R"([{"type":"ip","match_condition":["10.0.0.0/8"],"action":"deny","id":1},{"type":"any","action":"allow","id":11}])",
         "2001:db8::1", "5 ERR message=11", "11", "ACCEPT"},
        // Rules of the wrong shape fail the request once the walk reaches them.
        {R"([{"match_condition":"-1","action":"deny","id":1}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":5,"action":"deny","id":1}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"any","action":"deny"}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"any","action":"deny","id":"5"}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"any","action":"deny","id":5.5}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"any","action":"deny","id":9223372036854775808}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"any","id":1}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"ip","match_condition":"10.0.0.0/8","action":"deny","id":1}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"ip","match_condition":["10.9.0.0/16",5],"action":"deny","id":1}])", "10.1.0.1", "5 BH", " ",
         "ACCEPT"},
        {R"([{"type":"website","match_condition":["x.com"],"action":"deny","id":1}])", "10.1.0.1", "5 BH", " ", "ACCEPT"},
        {R"([{"type":"ip","match_condition":["10.0.0.0/8"],"action":"deny","id":1}])", "2001:db8::1", "5 OK", " ", "DROP"},
        // Rules after a match are never looked at.
        {R"([{"type":"any","action":"deny","id":5},{"type":5}])", "10.1.0.1", "5 OK message=5", "5", "DROP"},
    };

    std::string document = "{";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        document += (i ? ",\"10.0.1." : "\"10.0.1.") + std::to_string(i) + "\":" + cases[i].rules;
    set_rules(document + "}");

    auto gate = start();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto const& c = cases[i];
        SCOPED_TRACE(c.rules + " for " + c.destination);
        auto const time = std::to_string(1700000000 + i);
        EXPECT_EQ(ask(*gate, "5 10.0.1." + std::to_string(i) + " http://x.com/ " + c.destination + " - " + time),
                  c.answer);
        auto const record = record_of(time);
        ASSERT_TRUE(record.has_value());
        auto const fields = boost::json::parse(*record).as_object();
        EXPECT_EQ(fields.at("tracking_id").as_string(), c.tracking_id);
        EXPECT_EQ(fields.at("action").as_string(), c.action);
    }
    EXPECT_TRUE(logged(LOG_DEBUG, "Invalid/unhandeled rule type: Website"));
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception is occur while process input: "));

    // A device without rules.
    EXPECT_EQ(ask(*gate, "6 10.0.9.9 http://x.com/ 10.1.0.1 - 1"), "6 OK");
    EXPECT_TRUE(logged(LOG_DEBUG, "Rule not found for 10.0.9.9"));
}

TEST_F(policy_gate_program_test, every_rule_of_a_walk_logs_its_own_steps)
{
    // What the rules derive from a request is worked out once per request;
    // each rule still tells its own story.
    set_rules(R"({"10.0.11.1":[{"type":"website","match_condition":"a.com","action":"deny","id":1},
                               {"type":"keyword","match_condition":"a*","action":"deny","id":2},
                               {"type":"website","match_condition":"b.com","action":"deny","id":3},
                               {"type":"keyword","match_condition":"b*","action":"deny","id":4},
                               {"type":"ip","match_condition":["x","10.0.0.0/8"],"action":"deny","id":5},
                               {"type":"tag","match_condition":["y","10.0.0.0/8"],"action":"deny","id":6},
                               {"type":"website","match_condition":"-1","action":"allow","id":7}],
                  "10.0.11.2":[{"type":"website","match_condition":"other.com","action":"deny","id":1},
                               {"type":"website","match_condition":"www.example.com","action":"deny","id":2}]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.11.1 http://exa^mple.com/ 192.168.0.1 - 1"), "1 ERR message=7");
    log.settle();
    std::size_t website_errors = 0, keyword_errors = 0;
    for (auto const& r : log.records()) {
        website_errors += r.priority == LOG_ERR && starts_with(r.text, "Input url parsing exception while process website: ");
        keyword_errors += r.priority == LOG_ERR && starts_with(r.text, "Exception while process keyword: ");
    }
    EXPECT_EQ(website_errors, 2u);
    EXPECT_EQ(keyword_errors, 2u);
    EXPECT_EQ(count("Address is not a subnet address: x"), 1u);
    EXPECT_EQ(count("Address is not a subnet address: y"), 1u);
    EXPECT_EQ(count("Ip address: 192.168.0.1 not matched with any ip in list."), 2u);

    // The second website rule matches the url's host, the first did not.
    EXPECT_EQ(ask(*gate, "2 10.0.11.2 https://www.example.com/a example.com - 2"), "2 OK message=2");
    EXPECT_EQ(count("Checked if the input url: https://www.example.com/a matches website: other.com"), 1u);
    EXPECT_EQ(count("Input url: https://www.example.com/a matched website: www.example.com"), 1u);
}

TEST_F(policy_gate_program_test, answer_prefix_is_the_channel_when_it_is_a_number)
{
    std::pair<std::string, std::string> const cases[] = {
        {"5", "5 OK"}, {"-1", "OK"}, {"abc", "OK"}, {"9999999999", "9999999999 OK"},
        {"9223372036854775807", "9223372036854775807 OK"}, {"9223372036854775808", "OK"}, {"007", "007 OK"},
        {"12x", "12x OK"},
    };
    set_rules("{}");
    auto gate = start();
    for (auto const& [id, answer] : cases)
        EXPECT_EQ(ask(*gate, id + " 10.0.9.9 http://x.com/ 10.1.0.1 - 1"), answer) << id;
    EXPECT_TRUE(logged(LOG_DEBUG, "Rule id not found"));
    // A line that begins with a blank has an empty id.
    EXPECT_EQ(ask(*gate, " 10.0.9.9 http://x.com/"), "OK");
}

TEST_F(policy_gate_program_test, tracking_record_is_one_line_of_json_whatever_the_request_holds)
{
    set_rules(R"({"10.0.2.1":[{"type":"any","action":"deny","id":42}]})");
    auto gate = start();

    EXPECT_EQ(ask(*gate, "5 10.0.2.1 http://x.com/a 10.1.2.3 x.com 1700000000"), "5 OK message=42");
    EXPECT_EQ(record_of("1700000000"),
              "{\"tracking_id\": \"42\", \"action\": \"DROP\", \"client_ip\": \"10.0.2.1\", \"destination_ip\": "
              "\"10.1.2.3\", \"time\": \"1700000000\", \"url\": \"http://x.com/a\", \"sni\": \"x.com\"}\n");

    // Client-supplied texts that would break or forge the record.
    std::pair<std::string, std::string> const snis[] = {
        {R"(x","action":"ACCEPT","y":")", R"(x","action":"ACCEPT","y":")"},
        {R"(a\b)", R"(a\b)"},
        {"a\tb\x01" "c\rd", "a\tb\x01" "c\rd"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"bad\xff" "byte\xe2\x82", "bad\xef\xbf\xbd" "byte\xef\xbf\xbd\xef\xbf\xbd"},
        {std::string("nul\0x", 5), std::string("nul\0x", 5)},
    };
    int n = 0;
    for (auto const& [sni, stored] : snis) {
        auto const time = std::to_string(++n);
        EXPECT_EQ(ask(*gate, "5 10.0.2.1 http://x.com/ 10.1.2.3 " + sni + " " + time), "5 OK message=42");
        auto const record = record_of(time);
        ASSERT_TRUE(record.has_value()) << sni;
        EXPECT_EQ(record->find('\n'), record->size() - 1) << *record;
        boost::system::error_code ec;
        auto const parsed = boost::json::parse(*record, ec);
        ASSERT_FALSE(ec) << *record;
        auto const& fields = parsed.as_object();
        EXPECT_EQ(fields.size(), 7u) << *record;
        EXPECT_EQ(fields.at("action").as_string(), "DROP") << *record;
        EXPECT_EQ(std::string(fields.at("sni").as_string()), stored) << *record;
    }
}

TEST_F(policy_gate_program_test, rule_document_failures)
{
    set_rules(R"({"10.0.3.1":[{"type":"any","action":"allow","id":1}],
                  "10.0.3.2":[{"type":"any","action":"allow","id":2},5],
                  "10.0.3.3":{"type":"any","action":"allow","id":3},
                  "10.0.3.4 ":[{"type":"any","action":"allow","id":4}],
                  "10.0.3.5":[]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.3.1 http://x.com/ 10.1.0.1 - 1"), "1 ERR message=1");
    EXPECT_EQ(ask(*gate, "2 10.0.3.2 http://x.com/ 10.1.0.1 - 1"), "2 OK");
    EXPECT_EQ(ask(*gate, "3 10.0.3.3 http://x.com/ 10.1.0.1 - 1"), "3 OK");
    EXPECT_EQ(ask(*gate, "4 10.0.3.4 http://x.com/ 10.1.0.1 - 1"), "4 OK");
    EXPECT_EQ(ask(*gate, "5 10.0.3.5 http://x.com/ 10.1.0.1 - 1"), "5 OK");
    EXPECT_TRUE(logged(LOG_DEBUG, "Rules found for ip address 10.0.3.5"));
    EXPECT_TRUE(logged(LOG_INFO, R"(Entry key: "10.0.3.2" value: [{"type":"any","action":"allow","id":2},5])"));
    EXPECT_TRUE(logged(LOG_INFO, R"(Entry key: "10.0.3.3" value: {"type":"any","action":"allow","id":3})"));
    EXPECT_EQ(count("Exception while fetching rules. Exception: not an object"), 1u);
    EXPECT_EQ(count("Exception while fetching rules. Exception: array required"), 1u);

    struct document_case {
        std::optional<std::string> document;  // nothing: the key is deleted
        int priority;                         // of the line that tells, -1 for none
        std::string line;
    };
    document_case const cases[] = {
        {"{}", -1, ""},
        {std::nullopt, LOG_INFO, "Rules not found in redis."},
        {R"([{"10.0.3.1":[]}])", LOG_ERR, "Exception while fetching rules: "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.document.value_or("(deleted)"));
        // Restore the rules, then replace them with the case's document.
        set_rules(R"({"10.0.3.1":[{"type":"any","action":"allow","id":1}]})");
        log.clear();
        gate->signal(SIGUSR2);
        ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
        EXPECT_EQ(ask(*gate, "1 10.0.3.1 http://x.com/ 10.1.0.1 - 1"), "1 ERR message=1");
        if (c.document)
            set_rules(*c.document);
        else
            redis_client(6379, 11).command({"DEL", "devices"});
        log.clear();
        gate->signal(SIGUSR2);
        ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
        EXPECT_EQ(ask(*gate, "1 10.0.3.1 http://x.com/ 10.1.0.1 - 1"), "1 OK");
        if (c.priority >= 0) {
            EXPECT_TRUE(logged_prefix(c.priority, c.line));
        } else {
            EXPECT_EQ(count("Rules not found in redis."), 0u);
            for (auto const& r : log.records())
                EXPECT_NE(r.priority, LOG_ERR) << r.text;
        }
    }

    // A key that holds no JSON document: nothing usable, so no rules.
    redis_client(6379, 11).command({"SET", "devices", "plain text"});
    log.clear();
    gate->signal(SIGUSR2);
    ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    EXPECT_EQ(ask(*gate, "1 10.0.3.1 http://x.com/ 10.1.0.1 - 1"), "1 OK");
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception while fetching rules: "));
}

TEST_F(policy_gate_program_test, rules_stay_in_force_when_redis_fails_at_a_renewal)
{
    set_rules(R"({"10.0.4.1":[{"type":"any","action":"allow","id":1}]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.4.1 http://x.com/ 10.1.0.1 - 1"), "1 ERR message=1");

    // The read gets no reply: Redis drops a client whose reply outgrows its
    // output buffer limit.
    std::string big = R"({"10.0.4.1":[{"type":"any","action":"deny","id":2,"pad":")" + std::string(200000, 'p') + "\"}]}";
    set_rules(big);
    redis_client(6379).command({"CONFIG", "SET", "client-output-buffer-limit", "normal 1024 1024 0"});
    gate->signal(SIGUSR2);
    ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    EXPECT_EQ(ask(*gate, "2 10.0.4.1 http://x.com/ 10.1.0.1 - 1"), "2 ERR message=1");
    EXPECT_TRUE(logged(LOG_ERR, "Exception while fetching rules: No reply from redis"));
    redis_client(6379).command({"CONFIG", "SET", "client-output-buffer-limit", "normal 0 0 0"});

    // Redis gone altogether: requests are still answered from the rules held.
    log.clear();
    ASSERT_EQ(redis_ctl("stop", 6379), 0);
    EXPECT_EQ(ask(*gate, "3 10.0.4.1 http://x.com/ 10.1.0.1 - 1"), "3 ERR message=1");
    gate->signal(SIGUSR2);
    ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    EXPECT_EQ(ask(*gate, "4 10.0.4.1 http://x.com/ 10.1.0.1 - 1"), "4 ERR message=1");
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception while fetching rules: "));

    // Back again, with new rules.
    ASSERT_EQ(redis_ctl("start", 6379), 0);
    set_rules(R"({"10.0.4.1":[{"type":"any","action":"deny","id":3}]})");
    log.clear();
    gate->signal(SIGUSR2);
    ASSERT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    EXPECT_EQ(ask(*gate, "5 10.0.4.1 http://x.com/ 10.1.0.1 - 1"), "5 OK message=3");
}

// A rule document of devices with 50 rules each, every third rule an IP list
// of 100 networks (some 29 KB a device). The first rule of device 172.16.0.1
// is "any" with first_action, so that each load of it shows in an answer.
std::string rule_document(int devices, std::string const& first_action)
{
    std::string doc = "{";
    for (int d = 0; d < devices; ++d) {
        doc += (d ? ",\"172.16." : "\"172.16.") + std::to_string(d / 250) + "." + std::to_string(d % 250 + 1) + "\":[";
        for (int i = 0; i < 50; ++i) {
            std::string const id = std::to_string(d * 100 + i + 1);
            doc += i ? "," : "";
            if (d == 0 && i == 0) {
                doc += R"({"type":"any","action":")" + first_action + R"(","id":)" + id + "}";
            } else if (i % 3 == 0) {
                doc += R"({"type":"ip","match_condition":[)";
                for (int k = 0; k < 100; ++k)
                    doc += (k ? ",\"10." : "\"10.") + std::to_string(i) + "." + std::to_string(k) + ".0/24\"";
                doc += R"(],"action":"deny","id":)" + id + "}";
            } else {
                doc += R"({"type":"website","match_condition":"www.site)" + std::to_string(i) +
                       R"(.example.org","action":"deny","id":)" + id + "}";
            }
        }
        doc += "]";
    }
    return doc + "}";
}

// Reloads give the memory of the rules they replace back to the system:
// resident memory stays at what the first load of a large document left, the
// peak of the reloads within half as much again as the first load's, and a
// small document after the large one leaves the helper about as large as a
// fresh helper that holds the small one. The helpers log every priority, as
// they do until their first SIGUSR1.
TEST_F(policy_gate_program_test, reloads_give_the_replaced_rules_memory_back)
{
    std::string const large[] = {rule_document(700, "deny"), rule_document(700, "allow")};
    std::string const small = rule_document(35, "deny");
    int channel = 0;
    // The first request of a helper loads the rules; a renewal, the next.
    auto const answer = [&](child_process& gate, char const* verdict) {
        auto const c = std::to_string(++channel);
        EXPECT_EQ(ask(gate, c + " 172.16.0.1 http://x.com/ 10.1.0.1 - 1", 60s), c + " " + verdict + " message=1");
        log.clear();  // some 20,000 debug lines a load
    };
    auto const load = [&](child_process& gate, std::string const& document, char const* verdict) {
        set_rules(document);
        gate.signal(SIGUSR2);
        answer(gate, verdict);
    };

    set_rules(large[0]);
    auto gate = start();
    answer(*gate, "OK");
    long const first = memory_kib(gate->pid(), "VmRSS");
    long const first_peak = memory_kib(gate->pid(), "VmHWM");
    for (int i = 1; i <= 5; ++i)
        load(*gate, large[i % 2], i % 2 ? "ERR" : "OK");
    long const reloaded = memory_kib(gate->pid(), "VmRSS");
    long const reloaded_peak = memory_kib(gate->pid(), "VmHWM");
    load(*gate, small, "OK");
    long const after_small = memory_kib(gate->pid(), "VmRSS");

    auto fresh = start();
    answer(*fresh, "OK");
    long const fresh_small = memory_kib(fresh->pid(), "VmRSS");

    if (glibc_allocator) {
        std::string const figures = "KiB: first load " + std::to_string(first) + ", peak " + std::to_string(first_peak) +
                                    "; reloaded " + std::to_string(reloaded) + ", peak " + std::to_string(reloaded_peak) +
                                    "; small after large " + std::to_string(after_small) + ", fresh " +
                                    std::to_string(fresh_small);
        EXPECT_LE(reloaded, first + 8 * 1024) << figures;
        EXPECT_LE(reloaded_peak, first_peak * 3 / 2) << figures;
        EXPECT_LE(after_small, fresh_small + 10 * 1024) << figures;
    }
}

TEST_F(policy_gate_program_test, broken_input_never_kills_or_stalls_the_helper)
{
    set_rules(R"({"10.0.5.1":[{"type":"keyword","match_condition":"example*","action":"deny","id":1},
                              {"type":"website","match_condition":"example.com","action":"deny","id":2},
                              {"type":"ip","match_condition":["10.0.0.0/8"],"action":"deny","id":3}]})");
    auto gate = start();
    std::string const lines[] = {
        "",
        "      ",
        "\x01\x02\xff\xfe garbage \x7f",
        "5 10.0.5.1 http://exa^mple.com/ 10.1.0.1 https://[::1 1",
        "5 10.0.5.1 " + std::string(100000, 'u') + " 10.1.0.1 - 1",
        "5 10.0.5.1 http://%zz/ 999.1.1.1 - 1",
        std::string("5 10.0.5.1 \0\0 \0 - 1", 19),
        "5 10.0.5.1 a b c d e f g h i j k l m n o p",
    };
    for (auto const& line : lines) {
        gate->write(line + "\n");
        EXPECT_TRUE(gate->read_line().has_value()) << line;
    }
    EXPECT_EQ(ask(*gate, "9 10.0.5.1 http://x.com/ 10.1.0.1 - 1"), "9 OK message=3");
    gate->close_stdin();
    EXPECT_EQ(exit_status(*gate), 0);
}

// A line too long to hold is answered as a failed request as soon as its
// first bytes are in, and is never held whole: Squid would wait for ever.
TEST_F(policy_gate_program_test, an_overlong_line_is_answered_at_once_and_never_held)
{
    set_rules(R"({"10.0.5.2":[{"type":"any","action":"deny","id":1}]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "6 10.0.5.2 http://x.com/ 10.1.0.1 - 1"), "6 OK message=1");
    long const peak_before = memory_kib(gate->pid(), "VmHWM");

    gate->write("7 10.0.5.2 http://x.com/" + std::string(16 << 20, 'u'));
    EXPECT_EQ(gate->read_line(), "7 BH");
    gate->write(" 10.1.0.1 - 2\n8 10.0.5.2 http://x.com/ 10.1.0.1 - 3\n");
    EXPECT_EQ(gate->read_line(), "8 OK message=1");
    EXPECT_LT(memory_kib(gate->pid(), "VmHWM") - peak_before, 8 * 1024) << "the line was held";

    // The record of a failed request, with the fields that were whole.
    auto const record = record_of("");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(boost::json::parse(*record),
              boost::json::parse(R"({"tracking_id": " ", "action": "ACCEPT", "client_ip": "10.0.5.2",
                                     "destination_ip": "", "time": "", "url": "", "sni": ""})"));
    EXPECT_TRUE(logged(LOG_WARNING, "async_read_until function returned error: Element not found. "
                                    "Input buffer size is not sufficient"));
    EXPECT_TRUE(logged(LOG_ERR, "Exception is occur while process input: Request line longer than 1048576 bytes"));
}

TEST_F(policy_gate_program_test, end_of_input_ends_the_helper_after_the_last_answer)
{
    set_rules("{}");
    auto gate = start();
    gate->write("1 10.0.6.1 http://x.com/ 10.1.0.1 - 1\n2 10.0.6.1 http://x.com/ 10.1.0.1 - 1\n3 10.0.6.1 partial");
    gate->close_stdin();
    EXPECT_EQ(gate->read_all(), "1 OK\n2 OK\n");
    EXPECT_EQ(exit_status(*gate), 0);
    EXPECT_TRUE(logged(LOG_INFO, "Policy gate process started"));

    // Started with standard input closed: it is at its end, whatever the
    // helper opens at start-up.
    child_process closed({"/bin/sh", "-c", "exec \"$0\" <&-", build_path("acl/policy_gate/policy_gate")});
    EXPECT_EQ(exit_status(closed, 10s), 0);
}

TEST_F(policy_gate_program_test, renewal_signal_takes_effect_at_the_next_request)
{
    set_rules(R"({"10.0.7.1":[{"type":"any","action":"deny","id":1}]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.7.1 http://x.com/ 10.1.0.1 - 1"), "1 OK message=1");
    set_rules(R"({"10.0.7.1":[{"type":"any","action":"allow","id":2}]})");
    EXPECT_EQ(ask(*gate, "2 10.0.7.1 http://x.com/ 10.1.0.1 - 1"), "2 OK message=1");

    log.clear();
    gate->signal(SIGUSR2);
    ASSERT_TRUE(log.has(LOG_INFO, "signal_handler signal: 12"));
    gate->signal(SIGUSR2);
    for (int i = 0; i < 500 && log.with_text("signal_handler signal: 12").size() < 2; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(count("Rules fetching was started. "), 0u);  // nothing until a request comes
    EXPECT_EQ(ask(*gate, "3 10.0.7.1 http://x.com/ 10.1.0.1 - 1"), "3 ERR message=2");
    EXPECT_EQ(count("signal_handler signal: 12"), 2u);
    EXPECT_EQ(count("Signal received. Rules will be fetched."), 1u);
    EXPECT_EQ(count("Rules fetching was started. "), 1u);
}

TEST_F(policy_gate_program_test, log_level_signal_applies_the_settings_file)
{
    set_rules("{}");
    auto gate = start();
    // Every priority is logged from the start.
    EXPECT_EQ(ask(*gate, "1 10.0.8.1 http://x.com/ 10.1.0.1 - 1"), "1 OK");
    EXPECT_TRUE(logged(LOG_DEBUG, "Input acl rule processing started"));

    write_file(log_settings, R"({"log_level": "warning"})");
    gate->signal(SIGUSR1);
    ASSERT_TRUE(logged(LOG_INFO, "signal_handler signal: 10"));
    log.clear();
    gate->signal(SIGUSR2);
    EXPECT_EQ(ask(*gate, "2 10.0.8.1 http://x.com/ 10.1.0.1 - 2"), "2 OK");
    log.settle(200ms);
    for (auto const& r : log.records())
        EXPECT_LE(r.priority, LOG_WARNING) << r.text;
}

TEST_F(policy_gate_program_test, termination_signal_ends_the_helper_with_status_15)
{
    set_rules("{}");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.9.1 http://x.com/ 10.1.0.1 - 1"), "1 OK");
    gate->signal(SIGTERM);
    EXPECT_EQ(exit_status(*gate), 15);
    EXPECT_TRUE(logged(LOG_INFO, "signal_handler signal: 15"));
}

// Requests already queued when a signal comes are evaluated after it: the
// helper is stopped, requests are written, rules and level change, the
// signals are sent, and only then does the helper go on.
TEST_F(policy_gate_program_test, signals_take_effect_before_requests_already_queued)
{
    set_rules(R"({"10.0.7.2":[{"type":"any","action":"deny","id":1}]})");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "0 10.0.7.2 http://x.com/ 10.1.0.1 - 0"), "0 OK message=1");

    gate->stop();
    std::string lines;
    for (int i = 1; i <= 20; ++i)
        lines += std::to_string(i) + " 10.0.7.2 http://x.com/ 10.1.0.1 - " + std::to_string(i) + "\n";
    gate->write(lines);
    set_rules(R"({"10.0.7.2":[{"type":"any","action":"allow","id":2}]})");
    write_file(log_settings, R"({"log_level": "warning"})");
    log.clear();
    gate->signal(SIGUSR2);
    gate->signal(SIGUSR1);
    gate->resume();
    for (int i = 1; i <= 20; ++i)
        EXPECT_EQ(gate->read_line(), std::to_string(i) + " ERR message=2");

    // The new level holds from the first of them: no step and no record.
    log.settle(200ms);
    for (auto const& r : log.records())
        EXPECT_TRUE(r.priority <= LOG_WARNING || starts_with(r.text, "signal_handler signal: ") ||
                    r.text == "Configured syslog loglevel as warning")
            << r.text;
    EXPECT_EQ(signal_lines(gate->pid()).front(), "10");

    // Signals that come while a request is evaluated (here, a renewal that
    // waits on a Redis that never answers) take effect before the request
    // read with it, which the loop would take before it looks at its signals
    // again. A burst of SIGUSR1 served together reads the settings file once.
    write_file(log_settings, R"({"log_level": "info"})");
    auto busy = start();  // every priority is logged until the burst is served
    EXPECT_EQ(ask(*busy, "0 10.0.7.2 http://x.com/ 10.1.0.1 - 0"), "0 ERR message=2");
    ASSERT_EQ(redis_ctl("stop", 6379), 0);
    silent_listener const stuck(6379);
    busy->signal(SIGUSR2);
    ASSERT_TRUE(log.wait_for([pid = busy->pid()](syslog_record const& r) {
        return r.pid == pid && r.text == "signal_handler signal: 12";
    }));
    log.clear();
    busy->write("21 10.0.7.2 http://x.com/ 10.1.0.1 - 21\n22 10.0.7.2 http://x.com/ 10.1.0.1 - 22\n");
    ASSERT_TRUE(stuck.wait_for_connections(1));
    for (int i = 0; i < 20; ++i) {
        busy->signal(SIGUSR1);
        ASSERT_TRUE(wait_until_signals_taken(busy->pid()));
    }
    EXPECT_EQ(busy->read_line(10s), "21 ERR message=2");
    EXPECT_EQ(busy->read_line(), "22 ERR message=2");
    EXPECT_EQ(count("signal_handler signal: 10"), 20u);
    EXPECT_EQ(log.with_text("Configured syslog loglevel as info").size(), 1u);
    EXPECT_EQ(log.with_text("Syslog loglevel is info").size(), 0u);
    auto const steps = [this](char const* id) {
        return log.with_text(std::string("input -> url: http://x.com/ sni: - destination: 10.1.0.1 source: 10.0.7.2 id: ") +
                             id).size();
    };
    EXPECT_EQ(steps("21"), 1u);  // evaluated before the signals came
    EXPECT_EQ(steps("22"), 0u);  // after they were served: no debug line
}

TEST_F(policy_gate_program_test, sigterm_ends_the_helper_at_once_wherever_it_is)
{
    set_rules(R"({"10.0.9.1":[{"type":"any","action":"deny","id":1}]})");
    {
        SCOPED_TRACE("requests queued");
        auto gate = start();
        EXPECT_EQ(ask(*gate, "1 10.0.9.1 http://x.com/ 10.1.0.1 - 1"), "1 OK message=1");
        gate->stop();
        gate->write("2 10.0.9.1 http://x.com/ 10.1.0.1 - 2\n3 10.0.9.1 http://x.com/ 10.1.0.1 - 3\n");
        gate->signal(SIGTERM);
        gate->resume();
        expect_ended_by_sigterm(*gate);
    }
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("just before end of input, run " + std::to_string(i));
        auto gate = start();
        EXPECT_EQ(ask(*gate, "1 10.0.9.1 http://x.com/ 10.1.0.1 - 1"), "1 OK message=1");
        gate->signal(SIGTERM);
        gate->close_stdin();
        expect_ended_by_sigterm(*gate);
    }
    {
        SCOPED_TRACE("in a write that Squid does not read");
        auto gate = start();
        ::signal(SIGPIPE, SIG_IGN);  // the writer outlives the helper
        std::thread writer([&] {
            std::string const line = "1 10.0.9.1 http://x.com/ 10.1.0.1 - 1\n";
            std::string batch;
            for (int i = 0; i < 1000; ++i)
                batch += line;
            try {
                for (int i = 0; i < 100; ++i)
                    gate->write(batch);
            } catch (std::exception const&) {
                // The helper has gone.
            }
        });
        bool const blocked = gate->wait_until_blocked_writing();
        gate->signal(SIGTERM);
        auto const status = gate->wait(1s);
        if (!status)
            gate->signal(SIGKILL);  // frees the writer
        writer.join();              // ended by the closed pipe
        EXPECT_TRUE(blocked);
        ASSERT_TRUE(status.has_value()) << "still running a second after SIGTERM";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 15) << "wait status " << *status;
    }
    {
        SCOPED_TRACE("in a Redis exchange that never ends");
        auto gate = start();
        EXPECT_EQ(ask(*gate, "1 10.0.9.1 http://x.com/ 10.1.0.1 - 1"), "1 OK message=1");
        ASSERT_EQ(redis_ctl("stop", 6379), 0);
        silent_listener const stuck(6379);
        gate->signal(SIGUSR2);
        gate->write("2 10.0.9.1 http://x.com/ 10.1.0.1 - 2\n");
        ASSERT_TRUE(stuck.wait_for_connections(1));
        std::this_thread::sleep_for(100ms);  // into the wait for the reply
        expect_ended_by_sigterm(*gate);
    }
}

// Signals that come while the helper is being built (the authentication
// script runs) are logged in the order they came; SIGTERM does not wait for
// the script, which goes with the helper.
TEST_F(policy_gate_program_test, signals_during_start_up)
{
    redis_client(6379, 1).command({"DEL", "auth_token"});
    std::filesystem::create_directories("/opt/control.setvesk/library/cloud");
    auto run_script = [](std::string const& rest) {
        std::filesystem::remove("/tmp/auth-pid");
        write_file("/opt/control.setvesk/library/cloud/auth.sh", "echo $$ > /tmp/auth-pid.new\n"
                                                                 "mv /tmp/auth-pid.new /tmp/auth-pid\n" + rest);
    };
    auto script_pid = [] {
        for (int i = 0; i < 500 && !std::filesystem::exists("/tmp/auth-pid"); ++i)
            std::this_thread::sleep_for(10ms);
        return static_cast<pid_t>(std::atoi(read_file("/tmp/auth-pid").c_str()));
    };
    set_rules("{}");

    run_script("sleep 1; exit 1\n");
    auto gate = start();
    ASSERT_GT(script_pid(), 0);
    gate->signal(SIGUSR2);
    std::this_thread::sleep_for(50ms);
    gate->signal(SIGUSR1);
    EXPECT_EQ(ask(*gate, "1 10.0.9.2 http://x.com/ 10.1.0.1 - 1"), "1 OK");
    EXPECT_TRUE(logged(LOG_WARNING, "Authentication token not received."));
    EXPECT_EQ(signal_lines(gate->pid()), (std::vector<std::string>{"12", "10"}));
    gate->close_stdin();
    EXPECT_EQ(exit_status(*gate), 0);

    run_script("sleep 30 & wait\n");
    log.clear();
    auto slow = start();
    pid_t const script = script_pid();
    ASSERT_GT(script, 0);
    pid_t const group = getpgid(script);
    slow->signal(SIGUSR2);
    std::this_thread::sleep_for(50ms);
    expect_ended_by_sigterm(*slow);
    EXPECT_EQ(signal_lines(slow->pid()), (std::vector<std::string>{"12", "15"}));
    EXPECT_TRUE(log.with_text("Authentication token not received.").empty());
    // Nothing of the script lives on.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = live_processes_in_group(group) == 0;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone);
}

TEST_F(policy_gate_program_test, start_up)
{
    struct start_case {
        std::optional<std::string> configuration;  // nothing: no file
        int exit_status;                           // -1: the helper runs
        int priority;
        std::string line;
    };
    start_case const cases[] = {
        {std::nullopt, -1, LOG_ERR, "Exception while parsing configuration: "},
        {"{ not json", -1, LOG_ERR, "Exception while parsing configuration: "},
        {R"({"cache_chain": []})", -1, LOG_DEBUG, "Authentication token received."},
        {R"({"cache_chain": [{"name": {}, "volume": " 7 ", "mode": 1, "eviction_size": 2,
             "special_config": {}}], "other": 1})",
         -1, LOG_DEBUG, "Authentication token received."},
        {R"({"other": []})", 1, LOG_ERR, "Exception while policy gate initializing: No such node (cache_chain)"},
        {R"({"cache_chain": [{"name": "a", "volume": 1, "mode": "m", "eviction_size": 2},
                             {"name": "b", "volume": 1, "mode": "m"}]})",
         1, LOG_ERR, "Exception while policy gate initializing: No such node (eviction_size)"},
        {R"({"cache_chain": [{"name": "a", "volume": 1.5, "mode": "m", "eviction_size": 2}]})", 1, LOG_ERR,
         "Exception while policy gate initializing: "},
        {R"({"cache_chain": [{"name": "a", "volume": "many", "mode": "m", "eviction_size": 2}]})", 1, LOG_ERR,
         "Exception while policy gate initializing: "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.configuration.value_or("(no file)"));
        std::filesystem::remove(acl_configuration);
        if (c.configuration)
            write_file(acl_configuration, *c.configuration);
        log.clear();
        auto gate = start();
        EXPECT_TRUE(logged_prefix(c.priority, c.line));
        if (c.exit_status < 0) {
            set_rules("{}");
            EXPECT_EQ(ask(*gate, "1 10.0.10.1 http://x.com/ 10.1.0.1 - 1"), "1 OK");
            gate->close_stdin();
            EXPECT_EQ(exit_status(*gate), 0);
        } else {
            EXPECT_EQ(exit_status(*gate), c.exit_status);
        }
    }
}

TEST_F(policy_gate_program_test, start_up_fails_without_the_category_cache_or_the_endpoints)
{
    ASSERT_EQ(redis_ctl("stop", 6378), 0);
    auto gate = start();
    EXPECT_EQ(exit_status(*gate), 1);
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception while policy gate initializing: "));
    ASSERT_EQ(redis_ctl("start", 6378), 0);

    // Without Redis on 6379 there are no endpoint URLs (and no service URL file).
    ASSERT_EQ(redis_ctl("stop", 6379), 0);
    log.clear();
    auto second = start();
    EXPECT_EQ(exit_status(*second), 1);
    EXPECT_TRUE(logged(LOG_ERR, "Exception while policy gate initializing: Unable to get endpoints"));
}

// Whichever step of the start-up runs out of descriptors (the signal
// handling, the loop's own, the stores'), the helper ends with a failed
// start, never by a signal.
TEST_F(policy_gate_program_test, start_up_with_few_descriptors_fails_cleanly)
{
#ifdef __SANITIZE_ADDRESS__
    // UBSan checks each dynamic type through a pipe of its own: without
    // descriptors it reports every object as invalid and ends the helper.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    for (int port : {6379, 6378})
        ASSERT_EQ(redis_ctl("stop", port), 0);
    std::vector<std::unique_ptr<child_process>> gates;  // at once: each failure pauses a second
    for (int limit = 4; limit <= 14; ++limit)
        gates.push_back(std::make_unique<child_process>(std::vector<std::string>{
            "/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\"",
            build_path("acl/policy_gate/policy_gate")}));
    for (int limit = 4; limit <= 14; ++limit)
        EXPECT_EQ(exit_status(*gates[static_cast<std::size_t>(limit - 4)]), 1) << "descriptor limit " << limit;
}

// ---------------------------------------------------------------------------
// Website-category rules, with the category cache on Redis 6378 and the test
// cloud server on 443.

class policy_gate_category_test : public policy_gate_program_test {
protected:
    // Device 10.0.12.1: a category rule for "news" (deny, 21), then allow (22).
    static constexpr char rules_document[] =
        R"({"10.0.12.1":[{"type":"website_category","match_condition":"news","action":"deny","id":21},
                         {"type":"any","action":"allow","id":22}]})";

    // Device 10.0.12.2: three category rules (deny, 23, 24, 26), then allow (25).
    static constexpr char three_category_rules[] =
        R"({"10.0.12.2":[{"type":"website_category","match_condition":"news","action":"deny","id":23},
                         {"type":"website_category","match_condition":"sport","action":"deny","id":24},
                         {"type":"website_category","match_condition":"music","action":"deny","id":26},
                         {"type":"any","action":"allow","id":25}]})";

    void SetUp() override
    {
        policy_gate_program_test::SetUp();
        static cloud_test::test_pki const pki = [] {
            auto p = cloud_test::make_test_pki("/tmp/cloud-pki");
            setenv("SSL_CERT_FILE", p.ca_cert.c_str(), 1);
            cloud_test::add_hosts_entry("cloud.test", "127.0.0.1");
            return p;
        }();
        cloud = std::make_unique<cloud_server>(cloud_server::options{.cert = pki.server_cert, .key = pki.server_key});
        redis_client(6379, 1).command({"JSON.SET", "active_service_urls", ".", R"({"config":"https://cloud.test"})"});
        set_rules(rules_document);
    }

    static std::optional<std::string> cached(std::string const& key)
    {
        return redis_client(6378, 1).command({"GET", key});
    }

    static void cache(std::string const& key, std::string const& value)
    {
        redis_client(6378, 1).command({"SET", key, value});
    }

    static bool in_set(std::string const& set, std::string const& member)
    {
        return redis_client(6378, 1).command({"SISMEMBER", set, member}) == "1";
    }

    std::unique_ptr<cloud_server> cloud;
};

response news_answer()
{
    return response::answer(200, R"({"results":[{"category":"news"}]})");
}

TEST_F(policy_gate_category_test, categories_come_from_the_cache_else_from_the_cloud)
{
    struct category_case {
        std::string name;
        std::string url;
        std::string sni;
        std::optional<std::string> before;  // the cache's value for key before the request
        std::vector<response> cloud;        // the cloud's answers; none: it must not be asked
        std::string answer;
        std::string key;                   // the domain as cached
        std::optional<std::string> after;  // the cache's value afterwards
        std::string query = {};            // the domain as sent, when it differs from key
    };
    auto answer = [](std::string body, unsigned status = 200) { return response::answer(status, std::move(body)); };
    std::string const deny = "OK message=21", allow = "ERR message=22";
    category_case const cases[] = {
        {"cache hit", "-", "hit.test", "sport,news", {}, deny, "hit.test", "sport,news"},
        {"cache hit, other categories", "-", "other.test", "sport", {}, allow, "other.test", "sport"},
        {"cached EMPTY", "-", "empty.test", "EMPTY", {}, allow, "empty.test", "EMPTY"},
        {"cloud names", "-", "fresh.test", {},
         {answer(R"({"results":[{"category":"sport"},{"category":"news"},{"id":3}]})")}, deny, "fresh.test", "sport,news"},
        {"cloud hit afterwards", "-", "fresh.test", "sport,news", {}, deny, "fresh.test", "sport,news"},
        {"cached FAILURE", "-", "failure.test", "FAILURE", {news_answer()}, deny, "failure.test", "news"},
        {"cloud no results", "-", "none.test", {}, {answer(R"({"results":[]})")}, allow, "none.test", "EMPTY"},
        {"empty body", "-", "blank.test", {}, {answer("")}, allow, "blank.test", "EMPTY"},
        {"false body", "-", "false.test", {}, {answer("false")}, allow, "false.test", "EMPTY"},
        {"not json", "-", "garbage.test", {}, {answer("<html>")}, allow, "garbage.test", {}},
        {"not json, asked again", "-", "garbage.test", {}, {news_answer()}, deny, "garbage.test", "news"},
        {"results not an array", "-", "shape.test", {}, {answer(R"({"results":{"category":"news"}})")}, allow,
         "shape.test", {}},
        {"server error", "-", "error.test", {}, {answer("", 503)}, allow, "error.test", {}},
        {"token refused twice", "-", "refused.test", {}, {answer("", 401), answer("", 401)}, allow, "refused.test", {}},
        {"token refused once", "-", "renewed.test", {}, {answer("", 401), news_answer()}, deny, "renewed.test", "news"},
        {"only category empty", "-", "void.test", {}, {answer(R"({"results":[{"category":""}]})")}, allow, "void.test",
         ""},
        {"NUL in a category", "-", "zero.test", {}, {answer(R"({"results":[{"category":"news\u0000x"}]})")}, deny,
         "zero.test", {}},
        {"sni URL", "http://x.com/", "https://www.shop.test/path?q=1", {}, {news_answer()}, deny, "shop.test", "news"},
        {"url URL", "http://www3.port.test:8080/x", "-", {}, {news_answer()}, deny, "port.test", "news"},
        {"url URL beats bare sni", "http://url.test/", "www.bare.test", {}, {news_answer()}, deny, "url.test", "news"},
        {"host and port", "plain.test:443", "-", {}, {news_answer()}, deny, "plain.test:443", "news",
         "plain.test%3A443"},
        {"path cut", "-", "www.cut.test/a/b", {}, {news_answer()}, deny, "cut.test", "news"},
        {"slash kept", "-", "a/b", {}, {news_answer()}, deny, "a/b", "news", "a%2Fb"},
        {"hostile sni", "-", "x.test&url=news.test#f?%\x01\xc3\xa9", {}, {news_answer()}, deny,
         "x.test&url=news.test#f?%\x01\xc3\xa9", "news", "x.test%26url%3Dnews.test%23f%3F%25%01%C3%A9"},
        {"no domain", "-", "-", {}, {}, allow, "-", {}},
        {"unparsable url", "http://exa^mple.com/", "-", {}, {}, allow, "exa^mple.com", {}},
        {"NUL in the sni", "-", std::string("nul\0.test", 9), "news", {}, allow, "nul", "news"},
    };

    auto gate = start();
    int n = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before)
            cache(c.key, *c.before);
        cloud->clear();
        for (auto const& r : c.cloud)
            cloud->push(r);
        EXPECT_EQ(ask(*gate, "5 10.0.12.1 " + c.url + " 10.1.0.1 " + c.sni + " " + std::to_string(++n)), "5 " + c.answer);
        auto const asked = cloud->requests();
        ASSERT_EQ(asked.size(), c.cloud.size());
        for (auto const& r : asked)
            EXPECT_EQ(r.target, "/firewall/blacklist?url=" + (c.query.empty() ? c.key : c.query));
        EXPECT_EQ(cached(c.key), c.after);
    }

    // Every item of a stored text gets the domain in its set.
    EXPECT_TRUE(in_set("sport", "fresh.test"));
    EXPECT_TRUE(in_set("news", "fresh.test"));
    EXPECT_TRUE(in_set("EMPTY", "none.test"));
    EXPECT_TRUE(in_set("", "void.test"));
    EXPECT_FALSE(in_set("sport", "hit.test"));

    EXPECT_TRUE(logged(LOG_DEBUG, "Rule category: news matched one of the categories in cache"));
    EXPECT_TRUE(logged(LOG_DEBUG, "Rule category: news matched one of the categories coming from cloud"));
    EXPECT_TRUE(logged(LOG_DEBUG, "empty.test found in cache. But it has not category."));
    EXPECT_TRUE(logged(LOG_ERR, "Redis cache connection failed."));
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Error while parse cloud response in process website: "));
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception while cloud response parse in process website: "));
    EXPECT_TRUE(logged(LOG_WARNING, "Cloud answered with status 503 for error.test. Nothing cached."));
    EXPECT_TRUE(logged(LOG_WARNING, "No response from cloud for refused.test. Nothing cached."));
    EXPECT_TRUE(logged(LOG_ERR, "Redis SET failed: set zero.test news"));
    EXPECT_TRUE(logged_prefix(LOG_ERR, "Input sni parsing exception while process website category: "));
    EXPECT_TRUE(logged(LOG_DEBUG, "input.url: - or input.sni: - no provided by input provider. skipping website category rule..."));
    EXPECT_TRUE(logged(LOG_WARNING, "Domain nul holds a NUL byte. skipping website category rule..."));
}

TEST_F(policy_gate_category_test, the_category_occurs_anywhere_in_the_text)
{
    std::pair<std::string, bool> const categories[] = {
        {"news", true}, {"sport", true}, {"ne", true}, {"ws,sp", true}, {"", true}, {"NEWS", false}, {"music", false},
    };
    std::string document = "{";
    for (std::size_t i = 0; i < std::size(categories); ++i)
        document += (i ? ",\"10.0.13." : "\"10.0.13.") + std::to_string(i) +
                    R"(":[{"type":"website_category","match_condition":")" + categories[i].first +
                    R"(","action":"deny","id":1}])";
    set_rules(document + "}");
    cache("mix.test", "news,sport");
    cache("empty.test", "EMPTY");
    auto gate = start();
    for (std::size_t i = 0; i < std::size(categories); ++i) {
        auto const device = "10.0.13." + std::to_string(i);
        EXPECT_EQ(ask(*gate, "5 " + device + " - 10.1.0.1 mix.test 1"), categories[i].second ? "5 OK message=1" : "5 OK")
            << categories[i].first;
        // A cached "EMPTY" matches nothing, not even the empty category.
        EXPECT_EQ(ask(*gate, "5 " + device + " - 10.1.0.1 empty.test 1"), "5 OK") << categories[i].first;
    }
    EXPECT_TRUE(cloud->requests().empty());
}

TEST_F(policy_gate_category_test, a_late_cloud_answer_is_not_cached_and_the_next_request_asks_again)
{
    auto gate = start();
    cloud->push(response::answer(200, R"({"results":[{"category":"news"}]})", std::chrono::milliseconds(2500)));
    EXPECT_EQ(ask(*gate, "1 10.0.12.1 - 10.1.0.1 late.test 1"), "1 ERR message=22");
    EXPECT_TRUE(logged(LOG_ERR, "SSL request timeout"));
    EXPECT_TRUE(logged(LOG_WARNING, "No response from cloud for late.test. Nothing cached."));
    EXPECT_EQ(cached("late.test"), std::nullopt);

    cloud->push(news_answer());
    EXPECT_EQ(ask(*gate, "2 10.0.12.1 - 10.1.0.1 late.test 2"), "2 OK message=21");
    EXPECT_EQ(cached("late.test"), "news");
    EXPECT_EQ(cloud->requests().size(), 2u);
}

// Several category rules in one walk: each decides as it would alone. Every
// rule reads the cache, so a cloud answer that an earlier rule cached is
// read back from there, and a rule that finds no token asks for one.
TEST_F(policy_gate_category_test, each_category_rule_of_a_walk_reads_the_cache_and_asks_for_a_token)
{
    auto rule = [](std::string const& category, char const* action, int id) {
        return R"({"type":"website_category","match_condition":")" + category + R"(","action":")" + action +
               R"(","id":)" + std::to_string(id) + "}";
    };
    struct walk_case {
        std::string name;
        std::vector<std::string> rules;
        std::vector<response> cloud;
        std::string answer;
        std::string tracking_id;  // " " when the record names no rule
        std::string action;
        std::vector<std::string> logged;  // among the request's lines
    };
    walk_case const cases[] = {
        // The first rule caches "EMPTY"; to the second, a cached "EMPTY" is no category.
        {"no results, later category within EMPTY",
         {rule("adult", "deny", 1), rule("MPT", "allow", 2)},
         {response::answer(200, R"({"results": []})")},
         "OK", " ", "DROP",
         {"walk0.test found in cache. But it has not category."}},
        {"false, later empty category",
         {rule("adult", "deny", 1), rule("", "allow", 2)},
         {response::answer(200, "false")},
         "OK", " ", "DROP",
         {"walk1.test found in cache. But it has not category."}},
        {"cloud answer matched from the cache",
         {rule("sport", "deny", 1), rule("news", "deny", 2)},
         {news_answer()},
         "OK message=2", "2", "DROP",
         {"Rule category: news matched one of the categories in cache"}},
        // The renewal finds no token; the next rule asks for one, finds none,
        // and lets the request through in its own name.
        {"refused token, renewal fails",
         {rule("adult", "deny", 3), rule("news", "deny", 4), R"({"type":"any","action":"allow","id":5})"},
         {response::answer(401, "")},
         "ERR", "4", "ACCEPT",
         {"Unable to get auth token.", "Authentication token not received.",
          "Cannot lookup the category for 10.0.14.3 due to missing token"}},
    };

    // Device 10.0.14.N walks the rules of case N, for domain walkN.test.
    std::string document;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string rules;
        for (auto const& r : cases[i].rules)
            rules += (rules.empty() ? "" : ",") + r;
        document += (document.empty() ? "{" : ",") + ("\"10.0.14." + std::to_string(i) + "\":[" + rules + "]");
    }
    set_rules(document + "}");

    auto gate = start();
    int n = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string const device = "10.0.14." + std::to_string(n);
        std::string const domain = "walk" + std::to_string(n) + ".test";
        std::string const time = std::to_string(++n);
        if (c.name == "refused token, renewal fails") {
            redis_client(6379, 1).command({"DEL", "auth_token"});
            std::filesystem::create_directories("/opt/control.setvesk/library/cloud");
            write_file("/opt/control.setvesk/library/cloud/auth.sh", "exit 3\n");
        }
        cloud->clear();
        for (auto const& r : c.cloud)
            cloud->push(r);
        log.clear();
        EXPECT_EQ(ask(*gate, "5 " + device + " - 10.1.0.1 " + domain + " " + time), "5 " + c.answer);

        auto const record = record_of(time);
        ASSERT_TRUE(record.has_value());
        auto const fields = boost::json::parse(*record).as_object();
        EXPECT_EQ(fields.at("tracking_id").as_string(), c.tracking_id);
        EXPECT_EQ(fields.at("action").as_string(), c.action);
        EXPECT_EQ(cloud->requests().size(), c.cloud.size());
        // One cache read per category rule tried.
        std::size_t const category_rules = std::min<std::size_t>(c.rules.size(), 2);
        EXPECT_EQ(count("Category of " + domain + " asked the redis cache"), category_rules);
        for (auto const& line : c.logged)
            EXPECT_EQ(count(line), 1u) << line;
    }
    // Each rule that found no token ran the script.
    EXPECT_EQ(count("Fetching authentication failed with exit status: 3"), 2u);
}

// A cloud that gives no response at all is waited for once per request:
// the later category rules end as the first did, without a request.
TEST_F(policy_gate_category_test, a_silent_cloud_is_waited_for_once_per_request)
{
    set_rules(three_category_rules);
    auto gate = start();
    cloud->push(response::of(response::kind::no_answer));
    EXPECT_EQ(ask(*gate, "1 10.0.12.2 - 10.1.0.1 quiet.test 1", 30s), "1 ERR message=25");
    EXPECT_EQ(cloud->requests().size(), 1u);
    EXPECT_EQ(cached("quiet.test"), std::nullopt);
    EXPECT_EQ(count("Category of quiet.test asked the redis cache"), 3u);
    EXPECT_EQ(log.with_text("SSL request timeout").size(), 3u);
    EXPECT_EQ(count("No response from cloud for quiet.test. Nothing cached."), 3u);

    // The next request asks again.
    cloud->push(news_answer());
    EXPECT_EQ(ask(*gate, "2 10.0.12.2 - 10.1.0.1 quiet.test 2"), "2 OK message=23");
    EXPECT_EQ(cloud->requests().size(), 2u);
}

// Only the main thread takes the helper's signals: the resolver's thread,
// which lives through a cloud exchange, blocks them from its start.
TEST_F(policy_gate_category_test, only_the_main_thread_takes_signals_during_a_cloud_exchange)
{
    auto gate = start();
    cloud->push(response::of(response::kind::no_answer));
    gate->write("1 10.0.12.1 - 10.1.0.1 quiet.test 1\n");
    ASSERT_TRUE(cloud->wait_for_requests(1));
    std::string const main_thread = std::to_string(gate->pid());
    int others = 0;
    for (auto const& task : std::filesystem::directory_iterator("/proc/" + main_thread + "/task")) {
        if (task.path().filename() == main_thread)
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (!starts_with(line, "SigBlk:"))
                continue;
            ++others;
            unsigned long long const blocked = std::strtoull(line.c_str() + 7, nullptr, 16);
            for (int signal : {SIGUSR1, SIGUSR2, SIGTERM})
                EXPECT_NE(blocked & (1ULL << (signal - 1)), 0u) << "thread " << task.path().filename() << ", signal " << signal;
        }
    }
    EXPECT_GE(others, 1) << "no resolver thread seen";
    EXPECT_EQ(gate->read_line(30s), "1 ERR message=22");
}

// A category cache that cannot be reconnected is waited for once per
// request: the later category rules fail as the first did.
TEST_F(policy_gate_category_test, a_silent_category_cache_is_waited_for_once_per_request)
{
    set_rules(three_category_rules);
    auto gate = start();
    EXPECT_EQ(ask(*gate, "0 10.0.99.9 - - - 0"), "0 OK");  // built: the cache is connected
    ASSERT_EQ(redis_ctl("stop", 6378), 0);
    {
        silent_listener const silent(6378);
        log.clear();
        EXPECT_EQ(ask(*gate, "1 10.0.12.2 - 10.1.0.1 stuck.test 1", 30s), "1 ERR message=25");
        EXPECT_TRUE(silent.wait_for_connections(1));
        EXPECT_FALSE(silent.wait_for_connections(2, 200ms));
        EXPECT_EQ(count("Exception while cloud response parse in process website: "
                        "Redis database not selected. DB:1"),
                  3u);
    }
    EXPECT_TRUE(cloud->requests().empty());
}

TEST_F(policy_gate_category_test, sigterm_does_not_wait_for_a_slow_cloud_answer)
{
    auto gate = start();
    cloud->push(response::answer(200, R"({"results":[{"category":"news"}]})", std::chrono::milliseconds(1500)));
    gate->write("1 10.0.12.1 - 10.1.0.1 slow.test 1\n");
    ASSERT_TRUE(cloud->wait_for_requests(1));
    expect_ended_by_sigterm(*gate);
    EXPECT_EQ(cached("slow.test"), std::nullopt);
}

TEST_F(policy_gate_category_test, without_a_token_a_miss_lets_the_request_through)
{
    redis_client(6379, 1).command({"DEL", "auth_token"});
    auto gate = start();
    EXPECT_TRUE(logged(LOG_WARNING, "Authentication token not received."));

    // A cache hit needs no token.
    cache("hit.test", "news");
    EXPECT_EQ(ask(*gate, "1 10.0.12.1 - 10.1.0.1 hit.test 101"), "1 OK message=21");

    // A miss cannot be asked: "ERR" without a message, the rule's id in the
    // record, and the rules after it are not tried.
    log.clear();
    EXPECT_EQ(ask(*gate, "2 10.0.12.1 - 10.1.0.1 miss.test 102"), "2 ERR");
    auto const record = record_of("102");
    ASSERT_TRUE(record.has_value());
    auto const fields = boost::json::parse(*record).as_object();
    EXPECT_EQ(fields.at("tracking_id").as_string(), "21");
    EXPECT_EQ(fields.at("action").as_string(), "ACCEPT");
    EXPECT_TRUE(logged(LOG_WARNING, "Cannot lookup the category for 10.0.12.1 due to missing token"));
    EXPECT_TRUE(logged(LOG_DEBUG, "Trying to get authentication token. Because authentication token not found."));
    EXPECT_EQ(cached("miss.test"), std::nullopt);
    EXPECT_TRUE(cloud->requests().empty());

    // The authentication script leaves a token in Redis: the next miss takes it.
    std::filesystem::create_directories("/opt/control.setvesk/library/cloud");
    write_file("/opt/control.setvesk/library/cloud/auth.sh", "redis-cli -p 6379 -n 1 SET auth_token scripted >/dev/null\n");
    cloud->push(news_answer());
    log.clear();
    EXPECT_EQ(ask(*gate, "3 10.0.12.1 - 10.1.0.1 miss.test 103"), "3 OK message=21");
    EXPECT_TRUE(logged(LOG_DEBUG, "Authentication token received."));
    auto const asked = cloud->requests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].field("Authorization"), "Bearer scripted");
    EXPECT_EQ(cached("miss.test"), "news");
}

TEST_F(policy_gate_category_test, the_category_cache_going_down_and_coming_back)
{
    cache("hit.test", "news");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.12.1 - 10.1.0.1 hit.test 1"), "1 OK message=21");

    // Down: the rule does not match and the cloud is not asked.
    ASSERT_EQ(redis_ctl("stop", 6378), 0);
    for (int i = 0; i < 2; ++i) {
        log.clear();
        EXPECT_EQ(ask(*gate, "2 10.0.12.1 - 10.1.0.1 hit.test 2"), "2 ERR message=22");
        EXPECT_TRUE(logged_prefix(LOG_ERR, "Exception while cloud response parse in process website: "));
    }
    EXPECT_TRUE(cloud->requests().empty());

    // Back: the connection is renewed.
    ASSERT_EQ(redis_ctl("start", 6378), 0);
    cache("hit.test", "news");
    log.clear();
    EXPECT_EQ(ask(*gate, "3 10.0.12.1 - 10.1.0.1 hit.test 3"), "3 OK message=21");
    EXPECT_TRUE(logged(LOG_DEBUG, "Trying to connect redis cache"));

    // Writes refused: the cloud's answer still decides, and nothing is stored.
    redis_client(6378).command({"CONFIG", "SET", "min-replicas-to-write", "1"});
    cloud->push(news_answer());
    EXPECT_EQ(ask(*gate, "4 10.0.12.1 - 10.1.0.1 refused.test 4"), "4 OK message=21");
    EXPECT_TRUE(logged(LOG_ERR, "Redis SET failed: set refused.test news"));
    EXPECT_TRUE(logged(LOG_DEBUG, "Cloud respone not added to cache for refused.test"));
    redis_client(6378).command({"CONFIG", "SET", "min-replicas-to-write", "0"});
    EXPECT_EQ(cached("refused.test"), std::nullopt);
}

}  // namespace

// ---------------------------------------------------------------------------
// The signal handler's own edges.

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "signal_handling.hpp"

namespace {

// The SIGTERM handler's time stamp, worked out without the C library, is the
// one syslog(3) gives (strftime's "%b %e %H:%M:%S" of the local time): on
// leap days, at the end of a month and of a year, east and west of UTC and on
// both sides of a change of summer time.
TEST(policy_gate_signal_handler, time_stamp_is_the_one_strftime_gives)
{
    char const* const zones[] = {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3", "<+0530>-5:30",
                                 "<-0930>9:30"};
    std::int64_t const instants[] = {
        0,           // 1970-01-01 00:00:00 UTC
        951782400,   // 2000-02-29 00:00:00 UTC
        1704067199,  // 2023-12-31 23:59:59 UTC
        1709251199,  // 2024-02-29 23:59:59 UTC
        1709254800,  // 2024-03-01 01:00:00 UTC
        1710054000,  // 2024-03-10 07:00:00 UTC, New York's change to summer time
        1711846800,  // 2024-03-31 01:00:00 UTC, Berlin's
        4107560400,  // 2100-03-01 05:00:00 UTC, after a February 28 that has no 29
    };
    std::optional<std::string> const zone_before =
        std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
    for (char const* zone : zones) {
        setenv("TZ", zone, 1);
        tzset();
        for (std::int64_t instant : instants) {
            for (std::int64_t at : {instant - 1, instant}) {
                time_t const t = static_cast<time_t>(at);
                tm local{};
                ASSERT_TRUE(localtime_r(&t, &local));
                char expected[32];
                strftime(expected, sizeof expected, "%b %e %H:%M:%S", &local);
                char stamp[program_signals::timestamp_size];
                program_signals::format_timestamp(at, local.tm_gmtoff, stamp);
                EXPECT_EQ(std::string(stamp, sizeof stamp), expected) << zone << " at " << at;
            }
        }
    }
    if (zone_before)
        setenv("TZ", zone_before->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Some syslog daemons listen on a stream socket: the helper's lines reach
// it, the SIGTERM handler's too.
TEST_F(policy_gate_program_test, the_sigterm_line_reaches_a_daemon_on_a_stream_socket)
{
    syslog_listener stream_log("/dev/log", syslog_listener::keep::records, syslog_listener::socket_kind::stream);
    set_rules("{}");
    auto gate = start();
    EXPECT_EQ(ask(*gate, "1 10.0.9.3 http://x.com/ 10.1.0.1 - 1"), "1 OK");
    EXPECT_TRUE(stream_log.wait_for_text("Policy gate process started"));
    gate->signal(SIGTERM);
    EXPECT_EQ(exit_status(*gate), 15);
    pid_t const pid = gate->pid();
    EXPECT_TRUE(stream_log.wait_for([pid](syslog_record const& r) {
        return r.pid == pid && r.ident == program_ident && r.facility == LOG_LOCAL0 && r.priority == LOG_INFO &&
               r.text == "signal_handler signal: 15";
    }));
}

// A failed start-up pauses its full second whatever signals come, and logs
// each of them before it ends.
TEST_F(policy_gate_program_test, a_failed_start_up_pauses_a_full_second_and_logs_its_signals)
{
    ASSERT_EQ(redis_ctl("stop", 6378), 0);
    auto gate = start();
    ASSERT_TRUE(logged_prefix(LOG_ERR, "Exception while policy gate initializing: "));
    auto const paused = std::chrono::steady_clock::now();
    for (int signal : {SIGUSR2, SIGUSR1, SIGUSR2, SIGUSR1}) {
        gate->signal(signal);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(exit_status(*gate), 1);
    EXPECT_GT(std::chrono::steady_clock::now() - paused, 500ms);  // not ended by the first signal
    EXPECT_EQ(signal_lines(gate->pid()), (std::vector<std::string>{"12", "10", "12", "10"}));
}

}  // namespace

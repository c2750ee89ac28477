// Faults around the helper programs: signals at random moments, a slow
// reader of their answers, and (for policy_gate) Redis, the cloud and the
// authentication script failing while requests flow. The programs run over
// pipes inside the sandbox; every answer is checked, in order.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud_server.hpp"
#include "test_support.hpp"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr char settings_file[] = "/etc/zelto/log_settings.json";

// One request line and the answers it may get (usually one).
struct request {
    std::string line;
    std::vector<std::string> answers;
};

std::string describe(std::vector<std::string> const& answers)
{
    std::string text;
    for (auto const& a : answers)
        text += (text.empty() ? "\"" : " or \"") + a + "\"";
    return text;
}

// Writes the requests from a thread of its own while the answers are read
// here, after_answer(i, answer) running after the i-th answer. Every answer must be
// one of its request's, in order; returns how many came before the output
// ended or went wrong. If they stop early the program must end by itself
// (it is killed, and the test fails, if it does not).
std::size_t stream_requests(child_process& p, std::vector<request> const& requests,
                     std::function<void(std::size_t, std::string const&)> const& after_answer = {},
                     bool stop_expected = false)
{
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        try {
            for (std::size_t i = 0; i < requests.size() && !stop; i += 200) {
                std::string batch;
                for (std::size_t j = i; j < std::min(requests.size(), i + 200); ++j)
                    batch += requests[j].line + "\n";
                p.write(batch);
            }
        } catch (std::exception const&) {
            // The program ended under the writer.
        }
    });

    std::size_t answered = 0;
    for (; answered < requests.size(); ++answered) {
        auto line = p.read_line(30s);
        if (!line) {
            if (!stop_expected)
                ADD_FAILURE() << "no answer to request " << answered << ": " << requests[answered].line;
            break;
        }
        auto const& allowed = requests[answered].answers;
        if (std::find(allowed.begin(), allowed.end(), *line) == allowed.end()) {
            ADD_FAILURE() << "request " << answered << " (" << requests[answered].line << "): \"" << *line
                          << "\", expected " << describe(allowed);
            break;
        }
        if (after_answer)
            after_answer(answered, *line);
    }
    stop = true;
    if (answered < requests.size() && !p.wait(10s)) {
        ADD_FAILURE() << "the program neither answers nor ends";
        p.signal(SIGKILL);
    }
    writer.join();
    return answered;
}

// A reader that takes its time: pauses now and then, long enough for the
// program's output pipe to fill.
std::function<void(std::size_t, std::string const&)> slow_reader(unsigned seed)
{
    auto rng = std::make_shared<std::mt19937>(seed);
    return [rng](std::size_t i, std::string const&) {
        if (i % 3000 == 2999)
            std::this_thread::sleep_for(std::chrono::milliseconds((*rng)() % 60));
    };
}

// Rounds of a stream of requests, each with a SIGTERM at a random moment
// before answer latest: the answers up to there come in order, then the
// program ends with status.
void sigterm_at_random_moments(std::function<std::unique_ptr<child_process>()> const& start,
                               std::vector<request> const& requests, std::size_t latest, int status, unsigned seed)
{
    std::mt19937 rng(seed);
    for (int round = 0; round < 4; ++round) {
        auto p = start();
        auto at = rng() % latest;
        std::size_t answered = stream_requests(
            *p, requests,
            [&](std::size_t i, std::string const&) {
                if (i == at)
                    p->signal(SIGTERM);
            },
            true);
        EXPECT_GE(answered, at + 1) << "round " << round;
        EXPECT_LT(answered, requests.size()) << "round " << round;
        EXPECT_EQ(exit_status(*p), status) << "round " << round;
    }
}

// Every answer comes, in order, to a reader that takes its time, while
// SIGUSR2 arrives now and then; then end of input ends the program.
void slow_reader_with_signals(child_process& p, std::vector<request> const& requests, unsigned seed)
{
    signal_storm storm(p, {SIGUSR2}, 20000us, seed);
    EXPECT_EQ(stream_requests(p, requests, slow_reader(seed)), requests.size());
    storm.stop();
    p.close_stdin();
    EXPECT_EQ(exit_status(p), 0);
}

// ---------------------------------------------------------------------------
// exempt_gate

void make_set(std::vector<std::string> const& members)
{
    run("ipset destroy noinspection 2>/dev/null");
    std::string script = "create noinspection hash:net family inet\n";
    for (auto const& m : members)
        script += "add noinspection " + m + "\n";
    write_file("/tmp/noinspection.restore", script);
    ASSERT_EQ(run("ipset restore -f /tmp/noinspection.restore"), 0);
}

class exempt_gate_faults : public ::testing::Test {
protected:
    // A client that the test adds to and removes from the set while requests
    // flow: either answer is right for it, no answer or BH is not.
    static constexpr char toggled[] = "203.0.113.7";

    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ::signal(SIGPIPE, SIG_IGN);
        write_file(settings_file, R"({"log_level":"warning"})");
        make_set({"10.0.0.0/8", "192.168.1.5", "172.16.0.0/12"});
    }

    std::unique_ptr<child_process> start()
    {
        auto p = std::make_unique<child_process>(std::vector<std::string>{build_path("acl/exempt_gate/exempt_gate")});
        // Answered once the first load is done; signals count from here on.
        p->write("0 10.1.2.3\n");
        EXPECT_EQ(p->read_line(), "0 ERR");
        return p;
    }

    // count requests of every kind, channels from 1 on.
    static std::vector<request> requests(std::size_t count)
    {
        struct kind {
            std::string client;
            std::vector<std::string> answers;  // after "<channel> "
        };
        std::vector<kind> const kinds = {
            {"10.1.2.3", {"ERR"}},       {"192.168.1.5", {"ERR"}}, {"192.168.1.6", {"OK"}},
            {"11.1.1.1", {"OK"}},        {"172.20.1.1", {"ERR"}},  {"999.1.1.1", {"BH"}},
            {toggled, {"ERR", "OK"}},
        };
        std::vector<request> out;
        for (std::size_t i = 1; i <= count; ++i) {
            if (i % 97 == 0) {  // a channel that is no number gets a bare BH
                out.push_back({"x" + std::to_string(i) + " 10.1.2.3", {"BH"}});
                continue;
            }
            auto const& k = kinds[i % kinds.size()];
            request r{std::to_string(i) + " " + k.client, {}};
            for (auto const& a : k.answers)
                r.answers.push_back(std::to_string(i) + " " + a);
            out.push_back(std::move(r));
        }
        return out;
    }

    syslog_listener log;
};

TEST_F(exempt_gate_faults, reloads_and_log_level_signals_at_random_moments)
{
    auto p = start();
    auto reqs = requests(200000);
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        for (bool in = false; !done; in = !in) {
            run(std::string("ipset ") + (in ? "add" : "del") + " noinspection " + toggled + " 2>/dev/null");
            std::this_thread::sleep_for(5ms);
        }
    });
    signal_storm storm(*p, {SIGUSR1, SIGUSR2}, 1000us, 11);
    std::set<std::string> toggled_answers;  // reloads took the set's changes in
    std::string const toggled_line = std::string(" ") + toggled;
    std::size_t answered = stream_requests(*p, reqs, [&](std::size_t i, std::string const& answer) {
        if (reqs[i].line.ends_with(toggled_line))
            toggled_answers.insert(answer.substr(answer.find(' ')));
    });
    int sent = storm.stop();
    done = true;
    toggler.join();
    EXPECT_EQ(answered, reqs.size());
    EXPECT_GT(sent, 10);
    EXPECT_EQ(toggled_answers, (std::set<std::string>{" ERR", " OK"}));

    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

TEST_F(exempt_gate_faults, sigterm_at_a_random_moment)
{
    sigterm_at_random_moments([this] { return start(); }, requests(60000), 20000, 0, 29);
}

TEST_F(exempt_gate_faults, slow_reader_of_the_answers)
{
    auto p = start();
    slow_reader_with_signals(*p, requests(150000), 3);
}

// ---------------------------------------------------------------------------
// policy_gate

// Requests sent without pause from a thread of their own until stop(), their
// answers read and checked in another: lets a test break what the helper
// depends on while it works. Channel numbers count from 1.
class request_flow {
public:
    // answers(channel): the answers right for that request at any moment of
    // the flow; line(channel): the request.
    request_flow(child_process& p, std::function<std::string(std::size_t)> line,
                 std::function<std::vector<std::string>(std::size_t)> answers,
                 std::function<void(std::size_t, std::string const&)> on_answer = {})
        : p_(p), line_(std::move(line)), answers_(std::move(answers)), on_answer_(std::move(on_answer))
    {
        writer_ = std::thread([this] { write_loop(); });
        reader_ = std::thread([this] { read_loop(); });
    }
    ~request_flow() { stop(); }

    // Stops sending and waits for the answers to what was sent; false when
    // one was missing or wrong (reported as a test failure).
    bool stop()
    {
        stop_ = true;
        if (writer_.joinable())
            writer_.join();
        if (reader_.joinable())
            reader_.join();
        return ok_;
    }

    std::size_t answered() const { return answered_; }

    // Blocks until at least n more answers have come (or the flow broke).
    void wait_for_answers(std::size_t n)
    {
        std::size_t target = answered_ + n;
        while (answered_ < target && ok_ && !reader_done_)
            std::this_thread::sleep_for(1ms);
    }

private:
    void write_loop()
    {
        try {
            while (!stop_) {
                std::string batch;
                std::size_t first = written_ + 1;
                for (std::size_t c = first; c < first + 50; ++c)
                    batch += line_(c) + "\n";
                p_.write(batch);
                written_ = first + 49;
            }
        } catch (std::exception const&) {
            // The helper ended under the writer: the reader reports it.
        }
        writer_done_ = true;
    }

    void read_loop()
    {
        for (std::size_t channel = 1;; ++channel) {
            if (writer_done_ && channel > written_)
                break;
            auto line = p_.read_line(30s);
            if (!line) {
                if (writer_done_ && channel > written_)
                    break;
                fail("no answer to request " + line_(channel));
                break;
            }
            auto allowed = answers_(channel);
            if (std::find(allowed.begin(), allowed.end(), *line) == allowed.end()) {
                fail("request " + line_(channel) + ": \"" + *line + "\", expected " + describe(allowed));
                break;
            }
            if (on_answer_)
                on_answer_(channel, *line);
            answered_ = channel;
        }
        reader_done_ = true;
    }

    void fail(std::string const& what)
    {
        ADD_FAILURE() << what;
        ok_ = false;
        p_.signal(SIGKILL);  // frees a writer stuck on a full pipe
    }

    child_process& p_;
    std::function<std::string(std::size_t)> line_;
    std::function<std::vector<std::string>(std::size_t)> answers_;
    std::function<void(std::size_t, std::string const&)> on_answer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ok_{true};
    std::atomic<bool> writer_done_{false};
    std::atomic<bool> reader_done_{false};
    std::atomic<std::size_t> written_{0};
    std::atomic<std::size_t> answered_{0};
    std::thread writer_;
    std::thread reader_;
};

void redis_ctl(std::string const& action, int port)
{
    ASSERT_EQ(run(std::string(std::getenv("ZELTO_SOURCE_DIR")) + "/tests/sandbox/redis-ctl " + action + " " +
                  std::to_string(port)),
              0);
}

// Every endpoint at url, in the Redis document's form or in the service URL
// file's (each URL in an array).
std::string endpoint_document(std::string const& url, bool file_form = false)
{
    std::string const value = file_form ? "[\"" + url + "\"]" : "\"" + url + "\"";
    std::string doc = "{";
    for (char const* key : {"accounts", "auth", "config", "device", "gate", "log", "socket", "user"})
        doc += std::string(doc.size() > 1 ? "," : "") + "\"" + key + "\":" + value;
    return doc + "}";
}

class policy_gate_faults : public ::testing::Test {
protected:
    // Rules of three devices and the requests that try each of them.
    static constexpr char devices[] = R"({
        "10.0.0.1": [{"type": "ip", "match_condition": ["192.168.0.0/16"], "action": "deny", "id": 11},
                     {"type": "website", "match_condition": "allowed.test", "action": "allow", "id": 12},
                     {"type": "keyword", "match_condition": "*bad*", "action": "deny", "id": 13}],
        "10.0.0.2": [{"type": "any", "action": "allow", "id": 21}],
        "10.0.0.3": [{"type": "website", "match_condition": "x.test", "action": "block", "id": 31}]})";

    struct kind {
        char const* fields;  // after the channel
        char const* answer;  // after "<channel> "
    };
    static constexpr kind kinds[] = {
        {"10.0.0.1 http://y.test/ 192.168.1.1 - 1700000000", "OK message=11"},
        {"10.0.0.1 http://allowed.test/a 1.2.3.4 - 1700000000", "ERR message=12"},
        {"10.0.0.1 http://z.test/badword 1.2.3.4 z.test 1700000000", "OK message=13"},
        {"10.0.0.1 http://z.test/ 1.2.3.4 z.test 1700000000", "OK"},
        {"10.0.0.2 z.test:443 1.2.3.4 z.test 1700000000", "ERR message=21"},
        {"10.0.0.3 http://x.test/ 1.2.3.4 - 1700000000", "BH message=31"},
        {"10.9.9.9 http://z.test/ 1.2.3.4 - 1700000000", "OK"},
    };

    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ::signal(SIGPIPE, SIG_IGN);
        redis_client(6379).flushall();
        redis_client(6378).flushall();
        set_stores();
        write_file("/etc/squid/zelto/external_acl.json", R"({"cache_chain": []})");
        write_file(settings_file, R"({"log_level":"warning"})");
        log.clear();
    }

    void TearDown() override
    {
        for (int port : {6379, 6378})
            if (run("redis-cli -p " + std::to_string(port) + " ping >/dev/null 2>&1") != 0)
                redis_ctl("start", port);
    }

    // What Redis 6379 holds for the helper: endpoints, token and rules.
    static void set_stores()
    {
        redis_client(6379, 1).command({"JSON.SET", "active_service_urls", ".", endpoint_document("https://cloud.test")});
        redis_client(6379, 1).command({"SET", "auth_token", "tok"});
        redis_client(6379, 11).command({"JSON.SET", "devices", ".", devices});
    }

    // Started, rules loaded, logging at the settings file's level to
    // daemon (the fixture's listener unless a test put another in its place).
    std::unique_ptr<child_process> start() { return start(log); }
    std::unique_ptr<child_process> start(syslog_listener& daemon, std::vector<std::string> environment = {})
    {
        auto p = std::make_unique<child_process>(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")},
                                                 std::move(environment));
        // Answering: it is up, its signal handling in place.
        p->write("0 10.0.0.2 - - - -\n");
        EXPECT_EQ(p->read_line(10s), "0 ERR message=21");
        p->signal(SIGUSR1);
        EXPECT_TRUE(daemon.wait_for_text("signal_handler signal: 10"));
        daemon.clear();
        return p;
    }

    static std::string line(std::size_t channel)
    {
        return std::to_string(channel) + " " + kinds[channel % std::size(kinds)].fields;
    }

    static std::vector<std::string> answers(std::size_t channel)
    {
        return {std::to_string(channel) + " " + kinds[channel % std::size(kinds)].answer};
    }

    static std::vector<request> requests(std::size_t count)
    {
        std::vector<request> out;
        for (std::size_t c = 1; c <= count; ++c)
            out.push_back({line(c), answers(c)});
        return out;
    }

    // Waits for a line that begins with prefix.
    bool logged(std::string const& prefix)
    {
        return log.wait_for([&](syslog_record const& r) { return r.text.rfind(prefix, 0) == 0; });
    }

    std::size_t count_prefix(std::string const& prefix)
    {
        std::size_t n = 0;
        for (auto const& r : log.records())
            n += r.text.rfind(prefix, 0) == 0;
        return n;
    }

    syslog_listener log;
};

// Redis 6379 goes away and comes back, empty, while requests flow: renewals
// asked for meanwhile fail and keep the rules in force; once the rules are
// back in Redis, a renewal loads them again.
TEST_F(policy_gate_faults, rules_stay_in_force_while_redis_6379_restarts)
{
    auto p = start();
    request_flow flow(*p, line, answers);
    for (int round = 0; round < 3; ++round) {
        flow.wait_for_answers(2000);
        redis_ctl("stop", 6379);
        for (int renewal = 0; renewal < 3; ++renewal) {
            std::size_t failed = count_prefix("Exception while fetching rules: ");
            p->signal(SIGUSR2);
            // Served by the next request, which fails to fetch.
            EXPECT_TRUE(eventually([&] { return count_prefix("Exception while fetching rules: ") > failed; }, 20s))
                << "round " << round;
        }
        redis_ctl("start", 6379);
        set_stores();
        p->signal(SIGUSR2);
        flow.wait_for_answers(2000);
    }
    EXPECT_TRUE(flow.stop());
    EXPECT_GT(flow.answered(), 12000u);
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

// Redis 6379 accepts and never answers: at start-up (the endpoints then come
// from the service URL file, the token is missing) and at a rules fetch the
// step fails after its time-out as if Redis were down, and the answer comes,
// also while signals keep coming.
TEST_F(policy_gate_faults, redis_6379_that_never_answers)
{
    std::filesystem::create_directories("/etc/zelto/cloud");
    write_file("/etc/zelto/cloud/service_urls.json", endpoint_document("https://cloud.test", true));
    auto const renew_rules = [this](child_process& p) {
        log.clear();
        p.signal(SIGUSR2);
        EXPECT_TRUE(log.wait_for_text("signal_handler signal: 12"));
    };
    redis_ctl("stop", 6379);
    std::unique_ptr<child_process> p;
    {
        silent_listener const silent(6379);
        p = std::make_unique<child_process>(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")});
        p->write("1 10.0.0.2 - - - -\n");
        EXPECT_EQ(p->read_line(60s), "1 OK");  // no rules
        EXPECT_TRUE(logged("Exception occured while authentication token getting: "));
        EXPECT_TRUE(logged("Exception while fetching rules: Redis database not selected. DB:11"));
    }
    redis_ctl("start", 6379);
    set_stores();
    renew_rules(*p);
    p->write("2 10.0.0.2 - - - -\n");
    EXPECT_EQ(p->read_line(), "2 ERR message=21");

    redis_ctl("stop", 6379);
    {
        silent_listener const silent(6379);
        renew_rules(*p);
        // Signals that keep coming do not hold the wait past its time-out.
        signal_storm storm(*p, {SIGUSR2}, 300ms, 7);
        p->write("3 10.0.0.2 - - - -\n");
        EXPECT_EQ(p->read_line(15s), "3 ERR message=21");  // the rules in force stay
        EXPECT_TRUE(logged("Exception while fetching rules: Redis database not selected. DB:11"));
    }
    redis_ctl("start", 6379);
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

// The authentication script gets nothing of the helper: no Squid channel (it
// prints, as redis-cli does, and reads standard input), no Redis connection.
// Standard error stays the helper's.
TEST_F(policy_gate_faults, authentication_script_gets_no_descriptor_of_the_helper)
{
    std::string const script = "/opt/control.setvesk/library/cloud/auth.sh";
    redis_client(6379, 1).command({"DEL", "auth_token"});
    std::filesystem::create_directories("/opt/control.setvesk/library/cloud");
    write_file(script, "redis-cli -n 1 SET auth_token tok\n"
                       "echo printed by the script\n"
                       "read -r line\n"
                       "find /proc/$$/fd -mindepth 1 -printf '%f %l\\n' > /tmp/script-fds\n");

    child_process p(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")});
    p.write("1 10.0.0.2 - - - -\n");
    EXPECT_EQ(p.read_line(30s), "1 ERR message=21");

    std::string const helper_stderr = std::filesystem::read_symlink("/proc/" + std::to_string(p.pid()) + "/fd/2");
    std::istringstream fds(read_file("/tmp/script-fds"));
    int descriptors = 0;
    for (std::string line; std::getline(fds, line); ++descriptors) {
        std::string const fd = line.substr(0, line.find(' '));
        std::string const target = line.substr(line.find(' ') + 1);
        if (fd == "0" || fd == "1")
            EXPECT_EQ(target, "/dev/null") << line;
        else if (fd == "2")
            EXPECT_EQ(target, helper_stderr) << line;
        else
            EXPECT_EQ(target, script) << line;  // the shell's own handle on the script
    }
    EXPECT_GE(descriptors, 3);
    p.close_stdin();
    EXPECT_EQ(exit_status(p), 0);
}

TEST_F(policy_gate_faults, log_level_and_renewal_signals_at_random_moments)
{
    auto p = start();
    request_flow flow(*p, line, answers);
    {
        signal_storm storm(*p, {SIGUSR1, SIGUSR2}, 2000us, 17);
        flow.wait_for_answers(50000);
        EXPECT_GT(storm.stop(), 100);
    }
    EXPECT_TRUE(flow.stop());
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

// Signals while the helper is blocked writing to a Squid that does not read:
// they pile up, each owing its log line, and SIGTERM still ends the helper
// within a second, its own line logged. Owed lines delivered one by one are
// all logged, more than the log socket holds at once, so the handler must
// wait for the daemon to read: 600 to a daemon that reads at once, or some
// dozens beyond what the socket holds to a slow daemon (datagram or stream)
// that reads nothing while the burst fills the socket and then takes a line
// every 2 ms. The kernel reports room on a unix socket only once a quarter
// of it is free, long after such a daemon has made room for the next line.
// A storm owes more than the time allows; the SIGTERM line still goes out.
TEST_F(policy_gate_faults, sigterm_after_many_signals_in_a_blocked_write)
{
    using kind = syslog_listener::socket_kind;
    struct owed_case {
        char const* name;
        bool storm;
        bool slow_daemon;
        kind socket;
    };
    owed_case const cases[] = {
        {"one by one", false, false, kind::datagram},
        {"storm", true, false, kind::datagram},
        {"slow datagram daemon", false, true, kind::datagram},
        {"slow stream daemon", false, true, kind::stream},
    };
    write_file(settings_file, R"({"log_level":"info"})");
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<syslog_listener> stream_log;  // in place of the fixture's datagram listener
        if (c.socket == kind::stream)
            stream_log.emplace("/dev/log", syslog_listener::keep::records, kind::stream);
        syslog_listener& daemon = stream_log ? *stream_log : log;
        auto p = start(daemon);
        std::thread writer([&] {
            std::string batch;
            for (int i = 0; i < 1000; ++i)
                batch += line(1) + "\n";
            try {
                for (int i = 0; i < 100; ++i)
                    p->write(batch);
            } catch (std::exception const&) {
                // The helper has gone.
            }
        });
        // Ends the helper and the writer: nothing may stay joinable when a
        // check fails.
        auto const end = [&] {
            if (!p->wait(0ms))
                p->signal(SIGKILL);
            writer.join();
        };
        if (!p->wait_until_blocked_writing()) {
            end();
            ADD_FAILURE() << "the helper never blocked writing";
            continue;
        }

        // The handler's line as it goes out, its NUL included on a stream.
        std::string const handler_line = "<134>Dec  9 17:43:26 zelto-squid-external-policy-gate[" +
                                         std::to_string(p->pid()) + "]: signal_handler signal: 10";
        std::size_t const owed =
            c.slow_daemon ? log_socket_capacity(c.socket, handler_line.size() + (c.socket == kind::stream)) + 40
                          : 600;
        std::map<int, std::size_t> sent;
        if (c.storm) {
            signal_storm storm(*p, {SIGUSR1, SIGUSR2}, 0us, 23);
            std::this_thread::sleep_for(5s);
            EXPECT_GT(storm.stop(), 1000);
        } else {
            std::mt19937 rng(31);
            for (std::size_t i = 0; i < owed; ++i) {
                int const signal = rng() % 2 ? SIGUSR1 : SIGUSR2;
                p->signal(signal);
                ++sent[signal];
                if (!wait_until_signals_taken(p->pid())) {
                    ADD_FAILURE() << "signal " << i << " not taken";
                    break;
                }
            }
        }

        if (c.slow_daemon)
            daemon.hold();
        p->signal(SIGTERM);
        if (c.slow_daemon) {
            std::this_thread::sleep_for(20ms);  // the burst fills the socket meanwhile
            daemon.read_every(2ms, handler_line.size() + 1);
        }
        auto const status = p->wait(1s);
        EXPECT_TRUE(status.has_value()) << "still running a second after SIGTERM";
        if (status) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 15) << "wait status " << *status;
        }
        end();

        daemon.read_every(0us);
        EXPECT_TRUE(daemon.wait_for_text("signal_handler signal: 15"));
        daemon.settle();
        for (auto const& [signal, count] : sent)
            EXPECT_EQ(daemon.with_text("signal_handler signal: " + std::to_string(signal)).size(), count)
                << "signal " << signal << ", " << owed << " owed";
    }
}

// A storm of signals while the helper exits, to a syslog daemon that stops
// reading: the handler logs them itself once the loop is over and waits for
// the daemon 0.1 s in all, so the exit is held up by no more, however many
// come. The helper is held at its exit for a second, after its own exit
// handlers, so that the storm finds it there and fills its log socket.
TEST_F(policy_gate_faults, a_storm_while_exiting_to_a_stuck_daemon_does_not_hold_the_exit)
{
    write_file(settings_file, R"({"log_level":"info"})");
    auto p = start(log, exit_pause_environment(1s));
    std::optional<int> status;
    {
        signal_storm storm(*p, {SIGUSR1, SIGUSR2}, 1000us, 29);
        p->close_stdin();
        ASSERT_TRUE(wait_for_exit_pause(p->pid()));
        log.hold();  // only the handler writes from here on
        status = p->wait(5s);
        EXPECT_GT(storm.stop(), 500);
    }
    log.read_every(0us);
    EXPECT_TRUE(status.has_value()) << "the exit was held up while the storm lasted";
    if (!status)
        status = p->wait(5s);  // the storm is over: the exit goes on
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

TEST_F(policy_gate_faults, sigterm_at_a_random_moment)
{
    sigterm_at_random_moments([this] { return start(); }, requests(20000), 10000, 15, 41);
}

TEST_F(policy_gate_faults, slow_reader_of_the_answers)
{
    auto p = start();
    slow_reader_with_signals(*p, requests(60000), 13);
}

// ---------------------------------------------------------------------------
// policy_gate's website categories: the category cache and the cloud

using cloud_test::cloud_server;
using cloud_test::response;

class category_faults : public policy_gate_faults {
protected:
    // Domain dN.test is in "gambling" for an even N, in "news" otherwise;
    // device 10.0.1.1 denies gambling and allows the rest.
    static constexpr char category_devices[] = R"({
        "10.0.0.2": [{"type": "any", "action": "allow", "id": 21}],
        "10.0.1.1": [{"type": "website_category", "match_condition": "gambling", "action": "deny", "id": 61},
                     {"type": "any", "action": "allow", "id": 69}]})";

    enum class cloud_mode { answer, reset, slow, huge };

    void SetUp() override
    {
        policy_gate_faults::SetUp();
        static cloud_test::test_pki const pki = [] {
            auto p = cloud_test::make_test_pki("/tmp/cloud-pki");
            setenv("SSL_CERT_FILE", p.ca_cert.c_str(), 1);  // the helper inherits it
            cloud_test::add_hosts_entry("cloud.test", "127.0.0.1");
            return p;
        }();
        redis_client(6379, 11).command({"JSON.SET", "devices", ".", category_devices});
        cloud = std::make_unique<cloud_server>(cloud_server::options{.cert = pki.server_cert, .key = pki.server_key});
        cloud->set_handler([this](cloud_test::recorded_request const& r) { return answer(r); });
    }

    static std::string domain(std::size_t n) { return "d" + std::to_string(n) + ".test"; }
    static char const* category(std::size_t n) { return n % 2 ? "news" : "gambling"; }
    static std::string right_answer(std::size_t n) { return n % 2 ? "ERR message=69" : "OK message=61"; }

    static std::string category_line(std::size_t channel, std::size_t n)
    {
        return std::to_string(channel) + " 10.0.1.1 http://" + domain(n) + "/x 1.2.3.4 " + domain(n) + " 1700000000";
    }

    response answer(cloud_test::recorded_request const& r)
    {
        std::string const prefix = "/firewall/blacklist?url=d";
        std::size_t n = r.target.rfind(prefix, 0) == 0 ? std::strtoul(r.target.c_str() + prefix.size(), nullptr, 10)
                                                        : 1;
        std::string const body = std::string(R"({"results":[{"category":")") + category(n) + "\"}]}";
        switch (mode.load()) {
        case cloud_mode::reset:
            return response::of(response::kind::reset);
        case cloud_mode::slow:  // beyond the remote store's 2 seconds
            return response::answer(200, body, 3000ms);
        case cloud_mode::huge:  // far beyond what the remote store reads of a body
            return response::answer(200, R"({"results":[{"category":"gambling"}],"pad":")" +
                                             std::string(64 << 20, 'x') + "\"}");
        case cloud_mode::answer:
            break;
        }
        return response::answer(200, body);
    }

    // What the category cache holds for dN.test.
    static std::optional<std::string> cached(std::size_t n)
    {
        return redis_client(6378, 1).command({"GET", domain(n)});
    }

    std::unique_ptr<cloud_server> cloud;
    std::atomic<cloud_mode> mode{cloud_mode::answer};
};

// Redis 6378 goes away and comes back, empty, while requests flow. Meanwhile
// a category rule cannot be decided and does not match (the next rule
// decides); then the helper reconnects, asks the cloud again and caches
// what it answers. Nothing wrong is ever cached.
TEST_F(category_faults, category_cache_restarts_while_requests_flow)
{
    auto p = start();
    constexpr std::size_t domains = 200;
    auto line = [](std::size_t c) {
        return c % 3 == 0 ? std::to_string(c) + " 10.0.0.2 - - - -" : category_line(c, c % domains);
    };
    auto answers = [](std::size_t c) -> std::vector<std::string> {
        if (c % 3 == 0)
            return {std::to_string(c) + " ERR message=21"};
        std::size_t n = c % domains;
        // Without the cache a gambling domain is let through by the next rule.
        if (n % 2 == 0)
            return {std::to_string(c) + " " + right_answer(n), std::to_string(c) + " ERR message=69"};
        return {std::to_string(c) + " " + right_answer(n)};
    };
    std::atomic<std::size_t> denied{0}, let_through{0};
    request_flow flow(*p, line, answers, [&](std::size_t c, std::string const& a) {
        if (c % 3 != 0 && (c % domains) % 2 == 0)
            ++(a.ends_with("OK message=61") ? denied : let_through);
    });
    for (int round = 0; round < 2; ++round) {
        flow.wait_for_answers(3000);
        redis_ctl("stop", 6378);
        flow.wait_for_answers(3000);
        redis_ctl("start", 6378);
        flow.wait_for_answers(3000);
    }
    EXPECT_TRUE(flow.stop());
    EXPECT_GT(denied, 0u);
    EXPECT_GT(let_through, 0u);  // the outage was seen
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.text.rfind("Exception while cloud response parse in process website: ", 0) == 0;
    }));

    // Reconnected: every domain is decided by its category again.
    for (std::size_t n = 0; n < 20; ++n) {
        p->write(category_line(1000000 + n, n) + "\n");
        EXPECT_EQ(p->read_line(), std::to_string(1000000 + n) + " " + right_answer(n));
    }
    for (std::size_t n = 0; n < domains; ++n) {
        auto value = cached(n);
        if (value) {
            EXPECT_EQ(*value, category(n)) << domain(n);
        }
    }
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

// The cloud resets connections, answers too late, or sends a body far too
// large: the rule does not match, nothing is cached, cached domains are
// still decided; once the cloud answers again, so do its domains.
TEST_F(category_faults, cloud_resets_answers_late_or_sends_a_huge_body)
{
    auto p = start();
    std::size_t channel = 0;
    // Requests for domains first..first+count (repeats times), among others.
    auto batch = [&](std::size_t first, std::size_t count, std::function<std::string(std::size_t)> answer_of,
                     int repeats = 2) {
        std::vector<request> out;
        for (int repeat = 0; repeat < repeats; ++repeat)
            for (std::size_t n = first; n < first + count; ++n) {
                ++channel;
                out.push_back({category_line(channel, n), {std::to_string(channel) + " " + answer_of(n)}});
                ++channel;
                out.push_back({std::to_string(channel) + " 10.0.0.2 - - - -",
                               {std::to_string(channel) + " ERR message=21"}});
            }
        return out;
    };
    auto right = [](std::size_t n) { return right_answer(n); };
    auto undecided = [](std::size_t) { return std::string("ERR message=69"); };

    auto known = batch(0, 20, right);
    EXPECT_EQ(stream_requests(*p, known), known.size());

    struct fault_case {
        cloud_mode mode;
        std::size_t first, count;  // domains asked during the fault
    };
    // Each of these costs the remote store's 2 seconds: keep them few.
    fault_case const faults[] = {
        {cloud_mode::reset, 100, 3},
        {cloud_mode::slow, 200, 2},
        {cloud_mode::huge, 300, 1},
    };
    for (auto const& f : faults) {
        mode = f.mode;
        auto during = batch(f.first, f.count, undecided, 1);
        EXPECT_EQ(stream_requests(*p, during), during.size()) << static_cast<int>(f.mode);
        auto cached_ones = batch(0, 20, right);
        EXPECT_EQ(stream_requests(*p, cached_ones), cached_ones.size()) << static_cast<int>(f.mode);
        for (std::size_t n = f.first; n < f.first + f.count; ++n)
            EXPECT_EQ(cached(n), std::nullopt) << domain(n);
    }

    mode = cloud_mode::answer;
    for (auto const& f : faults) {
        auto after = batch(f.first, f.count, right);
        EXPECT_EQ(stream_requests(*p, after), after.size());
        for (std::size_t n = f.first; n < f.first + f.count; ++n)
            EXPECT_EQ(cached(n), category(n)) << domain(n);
    }
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);
}

// Redis 6378 accepts and never answers: a category look-up fails after the
// time-out as if the cache were down (the next rule decides), signals or
// not, and once the cache answers again so does the category. At start-up
// the helper ends, as it does without a cache.
TEST_F(category_faults, category_cache_that_never_answers)
{
    auto p = start();
    redis_ctl("stop", 6378);
    {
        silent_listener const silent(6378);
        // Signals that keep coming do not hold the wait past its time-out.
        signal_storm storm(*p, {SIGUSR1}, 300ms, 5);
        p->write(category_line(1, 4) + "\n" + "2 10.0.0.2 - - - -\n");
        EXPECT_EQ(p->read_line(15s), "1 ERR message=69");
        EXPECT_EQ(p->read_line(), "2 ERR message=21");
        EXPECT_TRUE(logged("Exception while cloud response parse in process website: "
                           "Redis database not selected. DB:1"));
    }
    redis_ctl("start", 6378);
    p->write(category_line(3, 4) + "\n");
    EXPECT_EQ(p->read_line(), "3 " + right_answer(4));
    EXPECT_EQ(cached(4), category(4));
    p->close_stdin();
    EXPECT_EQ(exit_status(*p), 0);

    redis_ctl("stop", 6378);
    silent_listener const silent(6378);
    child_process late(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")});
    EXPECT_NE(exit_status(late), -1);
    EXPECT_TRUE(logged("Exception while policy gate initializing: Redis database not selected. DB:1"));
}

// The authentication script hangs: without it the helper still starts and
// answers; a category that needs the cloud lets the request through for
// want of a token; SIGTERM still ends the helper.
TEST_F(category_faults, authentication_script_hangs)
{
    redis_client(6379, 1).command({"DEL", "auth_token"});
    std::filesystem::create_directories("/opt/control.setvesk/library/cloud");
    write_file("/opt/control.setvesk/library/cloud/auth.sh", "sleep 600\n");

    auto p = std::make_unique<child_process>(std::vector<std::string>{build_path("acl/policy_gate/policy_gate")});
    p->write("1 10.0.0.2 - - - -\n");
    EXPECT_EQ(p->read_line(60s), "1 ERR message=21");  // once the script has been given up
    EXPECT_TRUE(log.wait_for_text("Authentication token not received."));

    p->write(category_line(2, 4) + "\n" + "3 10.0.0.2 - - - -\n");
    EXPECT_EQ(p->read_line(60s), "2 ERR");  // missing token: no rule named
    EXPECT_EQ(p->read_line(), "3 ERR message=21");
    EXPECT_TRUE(log.wait_for_text("Cannot lookup the category for 10.0.1.1 due to missing token"));
    EXPECT_EQ(cloud->requests().size(), 0u);

    p->signal(SIGTERM);
    EXPECT_EQ(exit_status(*p), 15);
}

}  // namespace

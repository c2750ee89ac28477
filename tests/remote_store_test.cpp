#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/system/system_error.hpp>

#include "cloud_server.hpp"
#include "remote_store.hpp"
#include "test_support.hpp"

using namespace testing_support;
using cloud_test::cloud_server;
using cloud_test::response;
using kind = cloud_test::response::kind;

// The child that runs the authentication script calls execve from
// libremote_store, which finds this one first: while probe_path is set it
// notes there, in the child, whether SIGUSR1, SIGUSR2 and SIGTERM still have
// a handler ("H") or their default action ("D"), then goes on.
namespace execve_probe {
char const* path = nullptr;
}

extern "C" int execve(char const* file, char* const argv[], char* const envp[])
{
    if (char const* const probe = execve_probe::path) {
        int const fd = open(probe, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        for (int signal_number : {SIGUSR1, SIGUSR2, SIGTERM}) {
            struct sigaction action = {};
            sigaction(signal_number, nullptr, &action);
            char const mark = action.sa_handler == SIG_DFL ? 'D' : 'H';
            [[maybe_unused]] ssize_t const n = write(fd, &mark, 1);
        }
        close(fd);
    }
    return static_cast<int>(syscall(SYS_execve, file, argv, envp));
}

namespace {

constexpr char token_prefix[] = "Exception occured while authentication token getting: ";

std::string const script_path = "/opt/control.setvesk/library/cloud/auth.sh";
std::string const urls_file = "/etc/zelto/cloud/service_urls.json";
std::string const script_ran_marker = "/tmp/auth-script-ran";

// Certificates, SSL_CERT_FILE and host names, once per test program.
cloud_test::test_pki const& pki()
{
    static cloud_test::test_pki const made = [] {
        auto p = cloud_test::make_test_pki("/tmp/cloud-pki");
        setenv("SSL_CERT_FILE", p.ca_cert.c_str(), 1);
        cloud_test::add_hosts_entry("cloud.test", "127.0.0.1");
        cloud_test::add_hosts_entry("other.test", "127.0.0.1");
        return p;
    }();
    return made;
}

void redis_ctl(std::string const& action)
{
    ASSERT_EQ(run(std::string(std::getenv("ZELTO_SOURCE_DIR")) + "/tests/sandbox/redis-ctl " + action + " 6379"), 0);
}

// An endpoint document of the Redis form naming url for every service.
std::string redis_document(std::string const& url)
{
    std::string doc = "{";
    for (char const* key : {"accounts", "auth", "config", "device", "gate", "log", "socket", "user"})
        doc += std::string(doc.size() > 1 ? "," : "") + "\"" + key + "\":\"" + url + "\"";
    return doc + "}";
}

// The file form: every URL the first element of an array.
std::string file_document(std::string const& prefix)
{
    std::string doc = "{";
    for (char const* key : {"accounts", "auth", "config", "device", "gate", "log", "socket", "user"})
        doc += std::string(doc.size() > 1 ? "," : "") + "\"" + key + "\":[\"" + prefix + key + "\"]";
    return doc + "}";
}

void set_endpoint_document(std::string const& json)
{
    redis_client(6379, 1).command({"JSON.SET", "active_service_urls", ".", json});
}

void set_token(std::string const& token)
{
    redis_client(6379, 1).command({"SET", "auth_token", token});
}

void write_script(std::string const& body)
{
    std::filesystem::create_directories(std::filesystem::path(script_path).parent_path());
    write_file(script_path, "touch " + script_ran_marker + "\n" + body + "\n");
}

bool script_ran()
{
    return std::filesystem::exists(script_ran_marker);
}

std::shared_ptr<remote_store> make_store()
{
    return std::make_shared<remote_store>(datastore_config());
}

// A store whose endpoints all point at url, holding the token tok.
std::shared_ptr<remote_store> store_for(std::string const& url, std::string const& tok = "tok")
{
    set_endpoint_document(redis_document(url));
    set_token(tok);
    auto store = make_store();
    EXPECT_TRUE(store->get_auth_token());
    return store;
}

class remote_store_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        redis_client(6379).flushall();
        std::filesystem::create_directories(std::filesystem::path(urls_file).parent_path());
        std::filesystem::remove(urls_file);
        std::filesystem::remove(script_path);
        std::filesystem::remove(script_ran_marker);
        server = std::make_unique<cloud_server>(cloud_server::options{.cert = pki().server_cert, .key = pki().server_key});
        log.clear();
    }

    // Log lines of a priority whose text begins with prefix.
    std::vector<std::string> lines(int priority, std::string const& prefix = "")
    {
        log.settle();
        std::vector<std::string> out;
        for (auto const& r : log.records()) {
            if (r.priority == priority && r.text.rfind(prefix, 0) == 0)
                out.push_back(r.text);
        }
        return out;
    }

    std::unique_ptr<cloud_server> server;
    syslog_listener log;
};

// ---- endpoints ----

TEST_F(remote_store_test, endpoints_come_from_the_redis_document)
{
    set_endpoint_document(R"({"accounts":"a","auth":"b","config":"c","device":"d","gate":"g","log":"l",
                              "socket":"s","user":"u","other":5})");
    write_file(urls_file, file_document("file-"));
    auto store = make_store();

    std::pair<char const*, char const*> const names[] = {
        {"auth", "b"},  {"config", "c"},   {"device", "d"},  {"captive", "g"}, {"log", "l"},
        {"user", "u"},  {"accounts", ""},  {"socket", ""},   {"gate", ""},     {"Config", ""},
        {"", ""},
    };
    for (auto const& [name, url] : names)
        EXPECT_EQ(store->get_endpoint(name), url) << name;
    EXPECT_EQ(store->get("config"), std::nullopt);
    EXPECT_TRUE(lines(LOG_DEBUG, "Getting config endpoints from service url file").empty());
    EXPECT_TRUE(lines(LOG_ERR).empty());
}

TEST_F(remote_store_test, a_partial_or_absent_document_leaves_urls_empty_and_the_file_unread)
{
    write_file(urls_file, file_document("file-"));
    set_endpoint_document(R"({"config":"https://cloud.test"})");
    auto partial = make_store();
    EXPECT_EQ(partial->get_endpoint("config"), "https://cloud.test");
    EXPECT_EQ(partial->get_endpoint("auth"), "");

    redis_client(6379).flushall();
    datastore_config const ignored("redis://192.0.2.1:1/9");
    auto absent = std::make_shared<remote_store>(ignored);
    for (char const* name : {"auth", "config", "device", "captive", "log", "user"})
        EXPECT_EQ(absent->get_endpoint(name), "") << name;
    EXPECT_THROW(absent->request("/x", "config"), std::runtime_error);
    EXPECT_TRUE(lines(LOG_DEBUG, "Getting config endpoints from service url file").empty());
}

// A Redis document that cannot be used sends the store to the file.
TEST_F(remote_store_test, an_unusable_redis_document_falls_back_to_the_file)
{
    struct fallback_case {
        std::string name;
        std::function<void()> prepare;
        std::string exception;  // start of the quoted exception text
    };
    fallback_case const cases[] = {
        {"not json", [] { redis_client(6379, 1).command({"SET", "active_service_urls", "{nope"}); }, ""},
        {"an array", [] { set_endpoint_document(R"(["https://cloud.test"])"); }, ""},
        {"auth a number", [] { set_endpoint_document(R"({"config":"https://x","auth":5})"); }, ""},
        {"redis down", [] { redis_ctl("stop"); }, "Redis connection error: "},
    };
    write_file(urls_file, file_document("file-"));
    for (auto const& c : cases) {
        redis_client(6379).flushall();
        log.clear();
        c.prepare();
        auto store = make_store();
        EXPECT_EQ(store->get_endpoint("config"), "file-config") << c.name;
        EXPECT_EQ(store->get_endpoint("auth"), "file-auth") << c.name;
        EXPECT_EQ(store->get_endpoint("captive"), "file-gate") << c.name;
        EXPECT_EQ(lines(LOG_ERR, "Unable to get endpoints from redis. Exception : " + c.exception).size(), 1u)
            << c.name;
        EXPECT_EQ(lines(LOG_DEBUG, "Getting config endpoints from service url file").size(), 1u) << c.name;
    }
    redis_ctl("start");
}

TEST_F(remote_store_test, a_bad_service_url_file_fails_construction)
{
    struct file_case {
        std::string name;
        std::optional<std::string> content;  // nothing: no file
        std::string own_line;                // the loader's own LOG_ERR line, if any
        std::string exception;               // start of the constructor's quoted text
    };
    std::string const good = file_document("u-");
    auto replace = [&](std::string const& from, std::string const& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    file_case const cases[] = {
        {"missing", std::nullopt, "Service url file not found", "Service url file not found"},
        {"not json", "{\"auth\": [", "Failed to parse service URL file: ", "Failed to parse service URL file"},
        {"trailing comma", "{\"a\":1,}", "Failed to parse service URL file: ", "Failed to parse service URL file"},
        {"an array", "[]", "", "Config endpoint url not read."},
        {"empty log url", replace("[\"u-log\"]", "[\"\"]"), "", "Log service not found."},
        {"empty accounts url", replace("[\"u-accounts\"]", "[\"\"]"), "", "Accounts service not found."},
        {"gate an empty array", replace("[\"u-gate\"]", "[]"), "", ""},
        {"socket missing", replace("\"socket\":[\"u-socket\"],", ""), "", ""},
        {"auth a string", replace("[\"u-auth\"]", "\"u-auth\""), "", ""},
        {"user url a number", replace("[\"u-user\"]", "[7]"), "", ""},
    };
    set_endpoint_document("[]");
    for (auto const& c : cases) {
        log.clear();
        std::filesystem::remove(urls_file);
        if (c.content)
            write_file(urls_file, *c.content);
        try {
            make_store();
            ADD_FAILURE() << c.name << ": constructed";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Unable to get endpoints") << c.name;
        }
        auto const errors = lines(LOG_ERR);
        ASSERT_FALSE(errors.empty()) << c.name;
        EXPECT_EQ(errors.back().rfind("Unable to get endpoints. Exception : " + c.exception, 0), 0u)
            << c.name << ": " << errors.back();
        std::size_t const expected = 2 + (c.own_line.empty() ? 0 : 1);  // Redis, own line, constructor
        EXPECT_EQ(errors.size(), expected) << c.name;
        if (!c.own_line.empty()) {
            EXPECT_EQ(errors[1].rfind(c.own_line, 0), 0u) << c.name << ": " << errors[1];
        }
    }
}

TEST_F(remote_store_test, the_first_url_of_a_file_array_counts)
{
    std::string doc = file_document("u-");
    doc.replace(doc.find("[\"u-config\"]"), 12, "[\"first\",\"second\"]");
    write_file(urls_file, doc);
    set_endpoint_document("5");
    EXPECT_EQ(make_store()->get_endpoint("config"), "first");
}

// ---- token ----

TEST_F(remote_store_test, a_token_in_redis_needs_no_script)
{
    write_script("exit 0");
    auto store = store_for("http://cloud.test", "stored token");
    EXPECT_TRUE(store->token_present);
    EXPECT_FALSE(script_ran());
    EXPECT_EQ(lines(LOG_DEBUG, "Getting authentication token").size(), 1u);
    EXPECT_TRUE(lines(LOG_DEBUG, "Fetching new authentication token").empty());
    EXPECT_EQ(store->request("/t", "config"), "");
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].field("Authorization"), "Bearer stored token");
}

// One line end of the stored token goes; a token that still holds a control
// character would end the field or add fields of its own, and never goes out.
TEST_F(remote_store_test, a_token_goes_out_without_its_line_end_or_not_at_all)
{
    struct token_case {
        std::string stored;
        std::optional<std::string> sent;  // nothing: no connection at all
    };
    token_case const cases[] = {
        {"s3cr3t\n", "s3cr3t"},
        {"s3cr3t\r\n", "s3cr3t"},
        {"s3 cr3t\n", "s3 cr3t"},
        {"s3cr3t\n\n", std::nullopt},
        {"s3cr3t\r", std::nullopt},
        {"s3cr3t\r\nX-Injected: 1", std::nullopt},
        {"\ts3cr3t", std::nullopt},
        {"s3cr3t\x7f", std::nullopt},
    };
    for (auto const& c : cases) {
        auto store = store_for("http://cloud.test", c.stored);
        server->clear();
        log.clear();
        server->push(response::answer(200, "answer"));
        EXPECT_EQ(store->request_response("/p", "config").has_value(), c.sent.has_value()) << c.stored;
        if (c.sent) {
            ASSERT_EQ(server->requests().size(), 1u) << c.stored;
            EXPECT_TRUE(server->requests()[0].head.ends_with("\r\nAuthorization: Bearer " + *c.sent + "\r\n\r\n"))
                << server->requests()[0].head;
            continue;
        }
        EXPECT_EQ(server->connections(), 0u) << c.stored;
        auto const errors = lines(LOG_ERR);
        ASSERT_EQ(errors.size(), 1u) << c.stored;
        EXPECT_EQ(errors[0].find("s3cr3t"), std::string::npos) << errors[0];
    }
}

TEST_F(remote_store_test, the_script_runs_once_when_redis_holds_no_token)
{
    struct script_case {
        std::string name;
        std::string script;
        bool result;
        std::string error;  // LOG_ERR line, if any
        std::string none = "";  // the stored value that counts as no token
    };
    std::string const store_token = "redis-cli -n 1 SET auth_token fresh >/dev/null";
    script_case const cases[] = {
        {"stores and succeeds", store_token + "\nexit 0", true, ""},
        {"only a line end stored", store_token + "\nexit 0", true, "", "\n"},
        {"only CR LF stored", store_token + "\nexit 0", true, "", "\r\n"},
        {"succeeds without storing", "exit 0", false, ""},
        {"stores but fails", store_token + "\nexit 3", false, "Fetching authentication failed with exit status: 3"},
        {"killed", "kill -KILL $$", false, "Fetching authentication failed with exit status: 137"},
        // The shell that system(3) starts is the one whose end it reports.
        {"shell killed", "[ $PPID != " + std::to_string(getpid()) + " ] && kill -KILL $PPID", false,
         "Fetching authentication failed"},
        {"missing", "", false, "Fetching authentication failed with exit status: 127"},
    };
    set_endpoint_document(redis_document("http://cloud.test"));
    for (auto const& c : cases) {
        redis_client(6379, 1).command({"DEL", "auth_token"});
        std::filesystem::remove(script_ran_marker);
        if (c.name == "missing")
            std::filesystem::remove(script_path);
        else
            write_script(c.script);

        auto store = make_store();
        set_token("old");
        ASSERT_TRUE(store->get_auth_token());
        set_token(c.none);
        log.clear();
        server->clear();

        EXPECT_EQ(store->get_auth_token(), c.result) << c.name;
        EXPECT_EQ(store->token_present, c.result) << c.name;
        EXPECT_EQ(script_ran(), c.name != "missing") << c.name;
        auto const errors = lines(LOG_ERR);
        EXPECT_EQ(errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
            << c.name;
        auto const debug = lines(LOG_DEBUG, "Fetching authentication executed successfully");
        EXPECT_EQ(debug.size(), c.error.empty() ? 1u : 0u) << c.name;
        EXPECT_EQ(lines(LOG_DEBUG, "Fetching new authentication token").size(), 1u) << c.name;

        // The token sent is the new one, or the old text kept.
        store->request("/t", "config");
        ASSERT_TRUE(server->wait_for_requests(1)) << c.name;
        EXPECT_EQ(server->requests()[0].field("Authorization"), c.result ? "Bearer fresh" : "Bearer old") << c.name;
    }
}

// Nothing of the caller's signal handling runs in the script's child: a
// signal meant for the helper that reaches it before exec (pkill finds it
// by the helper's name until then) takes its default action there.
TEST_F(remote_store_test, the_script_starts_without_the_callers_signal_handlers)
{
    int const caught[] = {SIGUSR1, SIGUSR2, SIGTERM};
    struct sigaction handler = {};
    handler.sa_handler = +[](int) {};
    struct sigaction before[std::size(caught)];
    for (std::size_t i = 0; i < std::size(caught); ++i)
        sigaction(caught[i], &handler, &before[i]);
    std::string const probe = "/tmp/execve-probe";
    std::filesystem::remove(probe);
    set_endpoint_document(redis_document("http://cloud.test"));
    write_script("exit 0");

    execve_probe::path = probe.c_str();
    EXPECT_FALSE(make_store()->get_auth_token());
    execve_probe::path = nullptr;
    for (std::size_t i = 0; i < std::size(caught); ++i)
        sigaction(caught[i], &before[i], nullptr);
    EXPECT_TRUE(script_ran());
    EXPECT_EQ(read_file(probe), "DDD");
}

// A script that never ends is stopped at its time limit, together with what
// it started, and counts as a failed run.
TEST_F(remote_store_test, a_hanging_script_is_stopped_at_its_time_limit)
{
    set_endpoint_document(redis_document("http://cloud.test"));
    write_script("sleep 600 &\necho $! > /tmp/auth-script-child\nwait");
    auto store = make_store();
    store->script_timeout_seconds = 1;
    log.clear();
    EXPECT_FALSE(store->get_auth_token());
    EXPECT_FALSE(store->token_present);
    EXPECT_TRUE(script_ran());
    EXPECT_EQ(lines(LOG_ERR), (std::vector<std::string>{"Authentication script did not end within 1 seconds",
                                                         "Fetching authentication failed"}));
    // The script's own child went too: gone, or a zombie for init to reap.
    std::string const pid = read_file("/tmp/auth-script-child");
    std::string const state_file = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
    for (int i = 0; i < 500 && std::filesystem::exists(state_file); ++i) {
        std::string const state = read_file(state_file);
        if (state.find(") Z") != std::string::npos)
            break;
        usleep(10000);
    }
    if (std::filesystem::exists(state_file)) {
        EXPECT_NE(read_file(state_file).find(") Z"), std::string::npos);
    }
}

// What policy_gate's SIGTERM handler calls: the running script ends at once
// with all it started, and a call while none runs touches nothing (this
// process lives on).
TEST_F(remote_store_test, a_running_script_can_be_stopped_from_another_thread)
{
    remote_store::stop_authentication_script();
    set_endpoint_document(redis_document("http://cloud.test"));
    write_script("sleep 600");
    auto store = make_store();
    store->script_timeout_seconds = 60;
    log.clear();
    std::thread stopper([] {
        for (int i = 0; i < 3000 && !script_ran(); ++i)
            usleep(10000);
        remote_store::stop_authentication_script();
    });
    EXPECT_FALSE(store->get_auth_token());
    stopper.join();
    EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{"Fetching authentication failed"});
    remote_store::stop_authentication_script();
}

TEST_F(remote_store_test, redis_failures_while_getting_the_token_throw)
{
    write_script("exit 0");
    set_endpoint_document(redis_document("http://cloud.test"));
    set_token("old");
    auto store = make_store();
    ASSERT_TRUE(store->get_auth_token());

    // Redis drops the connection while the script runs: the second read gets
    // no reply, which is no token.
    redis_client(6379, 1).command({"DEL", "auth_token"});
    write_script("redis-cli CLIENT KILL TYPE normal >/dev/null; exit 0");
    try {
        store->get_auth_token();
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()).rfind(token_prefix, 0), 0u) << e.what();
    }
    EXPECT_FALSE(store->token_present);

    std::filesystem::remove(script_ran_marker);
    redis_ctl("stop");
    try {
        store->get_auth_token();
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()).rfind(std::string(token_prefix) + "Redis connection error: ", 0), 0u)
            << e.what();
    }
    redis_ctl("start");
    EXPECT_FALSE(store->token_present);
    EXPECT_FALSE(script_ran());

    store->request("/t", "config");
    ASSERT_TRUE(server->wait_for_requests(1));
    EXPECT_EQ(server->requests()[0].field("Authorization"), "Bearer old");
}

// ---- requests ----

TEST_F(remote_store_test, every_status_returns_its_body_without_renewal)
{
    for (std::string const scheme : {"https", "http"}) {
        auto store = store_for(scheme + "://cloud.test");
        for (unsigned status : {200u, 404u, 500u}) {
            server->clear();
            log.clear();
            server->push(response::answer(status, "body " + std::to_string(status)));
            EXPECT_EQ(store->request("/firewall/blacklist?url=a.com", "config"), "body " + std::to_string(status))
                << scheme << " " << status;
            auto const reqs = server->requests();
            ASSERT_EQ(reqs.size(), 1u);
            EXPECT_EQ(reqs[0].method, "GET");
            EXPECT_EQ(reqs[0].tls, scheme == "https");
            EXPECT_TRUE(lines(LOG_ERR).empty());
        }
    }
}

TEST_F(remote_store_test, a_refused_token_is_renewed_once_and_the_request_repeated_as_post)
{
    auto store = store_for("https://cloud.test", "old");
    set_token("new");
    server->push(response::answer(401, "no"));
    server->push(response::answer(200, "fresh"));
    EXPECT_EQ(store->request("/firewall/blacklist?url=a.com", "config"), "fresh");
    auto reqs = server->requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].field("Authorization"), "Bearer old");
    EXPECT_EQ(reqs[1].method, "POST");
    EXPECT_EQ(reqs[1].field("Authorization"), "Bearer new");
    EXPECT_EQ(reqs[1].target, "/firewall/blacklist?url=a.com");

    // Refused twice: empty, and no third request.
    server->clear();
    server->push(response::answer(403, "no"));
    server->push(response::answer(408, "still no"));
    EXPECT_EQ(store->request("/x", "config"), "");
    EXPECT_EQ(server->requests().size(), 2u);
}

// An empty body that came is told from no response at all.
TEST_F(remote_store_test, request_response_tells_an_empty_answer_from_none)
{
    using answer = std::optional<std::pair<unsigned int, std::string>>;
    struct response_case {
        std::string name;
        std::vector<response> scripts;
        answer expected;
        std::string failure = "";  // no response at all: the exchange's LOG_ERR text
    };
    response_case const cases[] = {
        {"empty body", {response::answer(200, "")}, std::pair{200u, std::string()}},
        {"error status", {response::answer(500, "oops")}, std::pair{500u, std::string("oops")}},
        {"renewed", {response::answer(401, "no"), response::answer(200, "")}, std::pair{200u, std::string()}},
        {"refused twice", {response::answer(401, "no"), response::answer(403, "no")}, std::nullopt},
        {"late", {response::answer(200, "x", std::chrono::milliseconds(1500))}, std::nullopt, "SSL request timeout"},
        {"closed", {response::of(kind::close)}, std::nullopt, "SSL request timeout"},
    };
    auto store = store_for("https://cloud.test");
    store->timeout_seconds = 1;
    for (auto const& c : cases) {
        server->clear();
        for (auto const& s : c.scripts)
            server->push(s);
        log.clear();
        EXPECT_EQ(store->request_response("/p", "config"), c.expected) << c.name;
        EXPECT_EQ(server->requests().size(), c.scripts.size()) << c.name;
        EXPECT_EQ(store->exchange_failure(), c.failure) << c.name;
        if (!c.failure.empty()) {
            EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{c.failure}) << c.name;
        }
    }
    EXPECT_THROW(store->request_response("/p", "nope"), std::runtime_error);
}

TEST_F(remote_store_test, a_failed_renewal_throws)
{
    auto store = store_for("http://cloud.test", "old");

    // The script finds no token.
    redis_client(6379, 1).command({"DEL", "auth_token"});
    write_script("exit 0");
    server->push(response::answer(401, ""));
    try {
        store->request("/x", "config");
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), std::string(token_prefix) + "Unable to get auth token");
    }
    EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{"Unable to get auth token."});

    // Redis is down: the prefix comes twice.
    server->push(response::answer(408, ""));
    redis_ctl("stop");
    try {
        store->request("/x", "config");
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()).rfind(std::string(token_prefix) + token_prefix, 0), 0u) << e.what();
    }
    redis_ctl("start");
    EXPECT_EQ(server->requests().size(), 2u);
}

TEST_F(remote_store_test, endpoints_that_cannot_be_used_throw)
{
    set_endpoint_document(R"({"accounts":"http://cloud.test","socket":"http://cloud.test","config":"http://[bad"})");
    auto store = make_store();
    for (char const* name : {"accounts", "socket", "nope", ""}) {
        try {
            store->request("/x", name);
            ADD_FAILURE() << name;
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Unable to get endpoint url") << name;
        }
    }
    EXPECT_THROW(store->request("/x", "config"), boost::system::system_error);
    EXPECT_EQ(server->connections(), 0u);
}

// Any other scheme would send the token in clear text. The log names the
// endpoint as configured, not the request's path and query.
TEST_F(remote_store_test, only_https_and_http_are_requested)
{
    for (std::string const endpoint :
         {"htps://cloud.test", "ftp://cloud.test/api", "httpsx://cloud.test", "//x.test"}) {
        auto store = store_for(endpoint);
        log.clear();
        EXPECT_EQ(store->request_response("/p?url=secret.test", "config"), std::nullopt) << endpoint;
        EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{"Unsupported scheme in endpoint url: " + endpoint});
        EXPECT_EQ(store->exchange_failure(), "Unsupported scheme in endpoint url: " + endpoint);
    }
    EXPECT_EQ(server->connections(), 0u);
}

// ---- the exchange ----

TEST_F(remote_store_test, the_request_has_exactly_its_start_line_and_four_fields)
{
    struct wire_case {
        std::string endpoint;
        bool tls;
        std::string host;
    };
    wire_case const cases[] = {
        {"https://cloud.test/api/v1?key=1#frag", true, "cloud.test"},
        {"HTTPS://cloud.test", true, "cloud.test"},
        {"https://cloud.test:443", true, "cloud.test"},
        {"https://127.0.0.1", true, "127.0.0.1"},
        {"http://cloud.test/other/path?q", false, "cloud.test"},
        {"http://cloud.test:80", false, "cloud.test"},
    };
    for (auto const& c : cases) {
        auto store = store_for(c.endpoint);
        server->clear();
        EXPECT_EQ(store->request("/firewall/blacklist?url=a.com", "config"), "") << c.endpoint;
        auto const reqs = server->requests();
        ASSERT_EQ(reqs.size(), 1u) << c.endpoint;
        EXPECT_EQ(reqs[0].head, "GET /firewall/blacklist?url=a.com HTTP/1.1\r\n"
                                "Host: " + c.host + "\r\n"
                                "User-Agent: VESK-CONTROL\r\n"
                                "Content-Type: application/json\r\n"
                                "Authorization: Bearer tok\r\n\r\n")
            << c.endpoint;
        EXPECT_EQ(reqs[0].tls, c.tls) << c.endpoint;
        EXPECT_EQ(reqs[0].sni, c.tls ? c.host : "") << c.endpoint;
    }

    // Without a token the field still goes out; a POST has no body either.
    set_endpoint_document(redis_document("http://cloud.test"));
    auto store = make_store();
    server->clear();
    boost::urls::url const url("http://cloud.test/p");
    EXPECT_EQ(store->make_request(url, "", boost::beast::http::verb::post), std::make_pair(200u, std::string()));
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].head, "POST /p HTTP/1.1\r\nHost: cloud.test\r\nUser-Agent: VESK-CONTROL\r\n"
                                          "Content-Type: application/json\r\nAuthorization: Bearer\r\n\r\n");

    // Blanks and control characters cannot stand in a request line.
    server->clear();
    store->request("/firewall/blacklist?url=a b\r\nX: y", "config");
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].target, "/firewall/blacklist?url=a%20b%0D%0AX:%20y");
    EXPECT_FALSE(server->requests()[0].field("X"));

    // A caller's body is sent with its length.
    server->clear();
    store->make_request(url, "{\"a\":1}", boost::beast::http::verb::post);
    ASSERT_EQ(server->requests().size(), 1u);
    EXPECT_EQ(server->requests()[0].body, "{\"a\":1}");
    EXPECT_EQ(server->requests()[0].field("Content-Length"), "7");
}

TEST_F(remote_store_test, a_port_in_the_url_is_used_and_named_in_host)
{
    cloud_server other({.https_port = 8443, .http_port = 8080, .cert = pki().server_cert, .key = pki().server_key});
    for (auto const& [endpoint, host] : {std::pair{"https://cloud.test:8443", "cloud.test:8443"},
                                         std::pair{"http://cloud.test:8080", "cloud.test:8080"}}) {
        auto store = store_for(endpoint);
        other.push(response::answer(200, "on the named port"));
        EXPECT_EQ(store->request("/p", "config"), "on the named port") << endpoint;
        ASSERT_EQ(other.requests().size(), 1u) << endpoint;
        EXPECT_EQ(other.requests()[0].field("Host"), host);
        other.clear();
    }
    EXPECT_EQ(server->connections(), 0u);
}

TEST_F(remote_store_test, only_a_verified_certificate_gets_the_token)
{
    struct cert_case {
        std::string name;
        std::string cert;
        std::string key;
        std::string endpoint;
        std::string failure;  // the reason in the error line; empty when it must succeed
    };
    auto const& p = pki();
    cert_case const cases[] = {
        {"name", p.server_cert, p.server_key, "https://cloud.test", ""},
        {"ip entry", p.server_cert, p.server_key, "https://127.0.0.1", ""},
        {"other name", p.other_cert, p.other_key, "https://other.test", ""},
        {"wrong name", p.server_cert, p.server_key, "https://other.test", "hostname mismatch"},
        {"wrong ip", p.other_cert, p.other_key, "https://127.0.0.1", "IP address mismatch"},
        {"untrusted", p.rogue_cert, p.rogue_key, "https://cloud.test", "unable to get local issuer certificate"},
    };
    for (auto const& c : cases) {
        server->use_certificate(c.cert, c.key);
        auto store = store_for(c.endpoint, "secret");
        server->clear();
        log.clear();
        server->push(response::answer(200, "answer"));
        EXPECT_EQ(store->request("/p", "config"), c.failure.empty() ? "answer" : "") << c.name;
        EXPECT_EQ(server->requests().size(), c.failure.empty() ? 1u : 0u) << c.name;
        auto const errors = lines(LOG_ERR);
        if (c.failure.empty()) {
            EXPECT_TRUE(errors.empty()) << c.name;
        } else {
            ASSERT_EQ(errors.size(), 1u) << c.name;
            EXPECT_EQ(errors[0].rfind(c.failure, 0), 0u) << c.name << ": " << errors[0];
        }
    }
}

// Whatever the server does, the exchange ends with one result and at most one
// error line.
TEST_F(remote_store_test, misbehaving_servers)
{
    struct behaviour {
        std::string name;
        response script;
        std::string https_body;  // result; "" with the time-out line unless https_error says otherwise
        std::string http_body;
        std::string https_error = "SSL request timeout";
        std::string http_error = "HTTP request timeout";
    };
    auto with = [](kind k) { return response::of(k); };
    auto answered = [](kind k) {
        auto r = response::answer(200, "done");
        r.what = k;
        return r;
    };
    behaviour const cases[] = {
        {"quick answer", response::answer(200, "done", std::chrono::milliseconds(100)), "done", "done", "", ""},
        {"late answer", response::answer(200, "done", std::chrono::milliseconds(1500)), "", ""},
        {"no answer", with(kind::no_answer), "", ""},
        {"close without answer", with(kind::close), "", ""},
        {"reset without answer", with(kind::reset), "", ""},
        {"malformed", response::raw_bytes("HTTP/1.1 two hundred\r\n\r\n"), "", ""},
        {"bad length", response::raw_bytes("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"), "", ""},
        {"chunked", response::raw_bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n1\r\nc\r\n0\r\n\r\n"),
         "abc", "abc", "", ""},
        {"no close_notify", answered(kind::answer_no_close_notify), "done", "done", "", ""},
        // Once the response is read, the shutdown cannot lose it.
        {"silent after answer", answered(kind::answer_then_silent), "done", "done", "", ""},
        {"reset at shutdown", answered(kind::answer_then_reset), "done", "done", "", ""},
        {"silent", with(kind::silent), "", ""},
    };
    for (std::string const scheme : {"https", "http"}) {
        auto store = store_for(scheme + "://cloud.test");
        store->timeout_seconds = 1;
        for (auto const& c : cases) {
            bool const tls = scheme == "https";
            server->clear();
            log.clear();
            server->push(c.script);
            std::string const expected = tls ? c.https_body : c.http_body;
            EXPECT_EQ(store->request("/p", "config"), expected) << scheme << " " << c.name;
            std::string const error = tls ? c.https_error : c.http_error;
            auto const errors = lines(LOG_ERR);
            if (error.empty()) {
                EXPECT_TRUE(errors.empty()) << scheme << " " << c.name << ": " << errors[0];
            } else {
                ASSERT_EQ(errors.size(), 1u) << scheme << " " << c.name;
                EXPECT_NE(errors[0].find(error), std::string::npos) << scheme << " " << c.name << ": " << errors[0];
            }
        }
    }
}

// A listener whose accept queue is full drops new connection attempts, so
// the connect waits.
class black_hole {
public:
    explicit black_hole(std::uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int const one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 0) != 0)
            throw std::runtime_error("black_hole: cannot listen");
        for (int i = 0; i < 3; ++i) {
            int const c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(c);
        }
    }
    ~black_hole()
    {
        for (int c : fillers_)
            close(c);
        close(fd_);
    }

private:
    int fd_ = -1;
    std::vector<int> fillers_;
};

// Each step that waits on the server is bounded: connect, handshake, write,
// read and the TLS shutdown (the last two are among misbehaving_servers).
TEST_F(remote_store_test, a_silent_server_holds_no_step_for_ever)
{
    black_hole const hole(9000);
    for (auto const& [endpoint, message] :
         {std::pair{"https://127.0.0.1:9000", "SSL request timeout"}, std::pair{"http://127.0.0.1:9000", "HTTP request timeout"}}) {
        auto store = store_for(endpoint);
        log.clear();
        EXPECT_EQ(store->request("/p", "config"), "") << endpoint;
        EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{message}) << endpoint;
    }

    // A body too large for the socket buffers: the write waits on a server
    // that does not read.
    for (auto const& [endpoint, message] :
         {std::pair{"https://cloud.test/p", "SSL request timeout"}, std::pair{"http://cloud.test/p", "HTTP request timeout"}}) {
        auto store = store_for(endpoint);
        log.clear();
        server->push(response::of(kind::no_read));
        auto const r = store->make_request(boost::urls::url(endpoint), std::string(64 << 20, 'b'),
                                           boost::beast::http::verb::post);
        EXPECT_EQ(r, std::make_pair(0u, std::string())) << endpoint;
        EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{message}) << endpoint;
    }
}

// A token too long for a header field fails the exchange, not the program.
TEST_F(remote_store_test, an_oversized_token_fails_the_exchange)
{
    auto store = store_for("http://cloud.test", std::string(70000, 't'));
    EXPECT_EQ(store->request("/p", "config"), "");
    EXPECT_EQ(lines(LOG_ERR), std::vector<std::string>{"field value too large"});
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(remote_store_test, unreachable_servers_fail_at_once)
{
    for (char const* endpoint : {"https://nowhere.invalid", "http://127.0.0.1:9", "https://127.0.0.1:9"}) {
        auto store = store_for(endpoint);
        log.clear();
        EXPECT_EQ(store->request("/p", "config"), "") << endpoint;
        auto const errors = lines(LOG_ERR);
        ASSERT_EQ(errors.size(), 1u) << endpoint;
        EXPECT_EQ(errors[0].find("timeout"), std::string::npos) << errors[0];
    }
}

}  // namespace

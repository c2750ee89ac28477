#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kv_store.hpp"
#include "test_support.hpp"

using namespace testing_support;

namespace {

void redis_ctl(std::string const& action, int port)
{
    ASSERT_EQ(run(std::string(std::getenv("ZELTO_SOURCE_DIR")) + "/tests/sandbox/redis-ctl " + action + " " +
                  std::to_string(port)),
              0);
}

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// With a backlog of 0 and two connections that are never accepted, the
// socket drops every further attempt, so a connect waits.
int listen_on(int port, int backlog)
{
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int const one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in const addr = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr const*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0)
        ADD_FAILURE() << "cannot listen on " << port;
    return fd;
}

// What connect() throws; empty when it connects.
std::string connect_error(kv_store& store)
{
    try {
        store.connect();
        return "";
    } catch (std::runtime_error const& e) {
        return e.what();
    }
}

// Interrupts the thread that makes it with a handled SIGUSR1 (SA_RESTART)
// every millisecond while it lives, as the policy_gate program's signals
// may; for at most `limit`, so that a wait that signals prolong still ends.
class interrupter {
public:
    explicit interrupter(std::chrono::seconds limit = 30s)
    {
        struct sigaction action = {};
        action.sa_handler = +[](int) {};
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &action, nullptr);
        thread_ = std::thread([this, limit, target = pthread_self()] {
            auto const end = std::chrono::steady_clock::now() + limit;
            for (; !stop_ && std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(1ms))
                pthread_kill(target, SIGUSR1);
        });
    }
    ~interrupter()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class kv_store_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        redis_client(6379).flushall();
        redis_client(6378).flushall();
        log.clear();
    }

    static std::unique_ptr<kv_store> make(std::string const& url)
    {
        datastore_config config(url);
        return std::make_unique<kv_store>(config);
    }

    static std::unique_ptr<kv_store> connected(std::string const& url)
    {
        auto store = make(url);
        store->connect();
        return store;
    }

    syslog_listener log;
};

struct parse_case {
    std::string url;
    std::string connect_line;
    bool selects;
};

// The URL is only visible through the connect line and the database used.
TEST_F(kv_store_test, url_gives_host_port_and_database)
{
    parse_case const cases[] = {
        {"redis://127.0.0.1:6379/11", "Connecting redis with host: 127.0.0.1 port: 6379 db: 11", true},
        {"redis://127.0.0.1:6378/1", "Connecting redis with host: 127.0.0.1 port: 6378 db: 1", true},
        {"redis://127.0.0.1:6379/1/1", "Connecting redis with host: 127.0.0.1 port: 6379 db: 11", true},
        {"redis://127.0.0.1:6379/x", "Connecting redis with host: 127.0.0.1 port: 6379 db: 0", false},
        {"redis://127.0.0.1:6379", "Connecting redis with host: 127.0.0.1 port: 6379 db: 0", false},
        {"redis://127.0.0.1:6379/%31%32", "Connecting redis with host: 127.0.0.1 port: 6379 db: 12", true},
        {"redis://127%2E0.0.1:6379/3", "Connecting redis with host: 127.0.0.1 port: 6379 db: 3", true},
    };
    for (auto const& c : cases) {
        log.clear();
        auto store = make(c.url);
        EXPECT_TRUE(log.wait_for_text("Redis url was parsed: " + c.url)) << c.url;
        store->connect();
        EXPECT_TRUE(log.wait_for_text(c.connect_line)) << c.url;
        log.settle();
        EXPECT_EQ(log.with_text("selecting db: " + c.connect_line.substr(c.connect_line.rfind(' ') + 1)).size(),
                  c.selects ? 1u : 0u)
            << c.url;
    }
}

TEST_F(kv_store_test, writes_land_in_the_selected_database)
{
    auto store = connected("redis://127.0.0.1:6379/11");
    ASSERT_TRUE(store->set("k", "in eleven"));
    EXPECT_EQ(redis_client(6379, 11).command({"GET", "k"}), "in eleven");
    EXPECT_EQ(redis_client(6379, 0).command({"GET", "k"}), std::nullopt);
}

TEST_F(kv_store_test, get_distinguishes_value_absence_and_failure)
{
    auto store = make("redis://127.0.0.1:6378/1");
    EXPECT_EQ(store->get("k"), "FAILURE");  // not connected
    store->connect();

    redis_client r(6378, 1);
    r.command({"SET", "empty", ""});
    r.command({"SET", "binary", std::string("a\0b c", 5)});
    r.command({"HSET", "hash", "f", "v"});

    EXPECT_EQ(store->get("absent"), std::nullopt);
    EXPECT_EQ(store->get("empty"), std::nullopt);
    EXPECT_EQ(store->get("binary"), std::string("a\0b c", 5));
    // An error reply comes back as its text.
    auto wrong = store->get("hash");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->rfind("WRONGTYPE", 0), 0u) << *wrong;
}

TEST_F(kv_store_test, keys_and_values_with_blanks_stay_one_argument)
{
    auto store = connected("redis://127.0.0.1:6378/1");
    ASSERT_TRUE(store->set("a key", "a value with blanks"));
    EXPECT_EQ(store->get("a key"), "a value with blanks");
    EXPECT_EQ(redis_client(6378, 1).command({"GET", "a key"}), "a value with blanks");
}

TEST_F(kv_store_test, set_without_connection_is_false_and_silent)
{
    auto store = make("redis://127.0.0.1:6378/1");
    log.clear();
    EXPECT_FALSE(store->set("k", "v"));
    EXPECT_FALSE(store->set_with_type("k", "{}", "JSON"));
    EXPECT_FALSE(store->remove("k"));
    EXPECT_FALSE(store->clear());
    EXPECT_FALSE(store->sadd("k", "m"));
    EXPECT_FALSE(store->hmset("k", {"f"}, {"v"}));
    EXPECT_EQ(store->hget("k", "f"), "");
    log.settle();
    EXPECT_TRUE(log.records().empty());
}

TEST_F(kv_store_test, refused_set_is_logged_with_key_and_value)
{
    auto store = connected("redis://127.0.0.1:6379/1");
    EXPECT_FALSE(store->set_with_type("doc", "{not json", "JSON"));
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.priority == LOG_ERR && r.text.rfind("Redis set command error: ERR", 0) == 0 &&
               r.text.find(" key: doc value: {not json") != std::string::npos;
    }));
}

TEST_F(kv_store_test, typed_values_go_through_the_json_module)
{
    auto store = connected("redis://127.0.0.1:6379/11");
    ASSERT_TRUE(store->set_with_type("devices", R"({ "10.0.0.1" : [ ] })", "JSON"));
    EXPECT_EQ(store->get_with_type("devices", "JSON"), R"({"10.0.0.1":[]})");
    EXPECT_EQ(store->get_with_type("absent", "JSON"), std::nullopt);

    redis_client(6379, 11).command({"SET", "plain", "text"});
    auto wrong = store->get_with_type("plain", "JSON");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->rfind("WRONGTYPE", 0), 0u) << *wrong;

    auto unknown = store->get_with_type("devices", "NOSUCH");
    ASSERT_TRUE(unknown);
    EXPECT_NE(unknown->find("unknown command"), std::string::npos) << *unknown;
}

TEST_F(kv_store_test, fire_and_forget_commands_report_only_the_connection)
{
    auto store = connected("redis://127.0.0.1:6378/1");
    redis_client r(6378, 1);
    r.command({"SET", "str", "v"});
    EXPECT_TRUE(store->sadd("str", "member"));  // WRONGTYPE, still true
    EXPECT_TRUE(store->sadd("set", "a b"));
    EXPECT_EQ(r.command({"SMEMBERS", "set"}), "a b");
    EXPECT_TRUE(store->remove("str"));
    EXPECT_TRUE(store->remove("never there"));
    EXPECT_EQ(r.command({"EXISTS", "str"}), "0");
}

TEST_F(kv_store_test, clear_empties_only_its_own_database)
{
    redis_client(6379, 1).command({"SET", "auth_token", "secret"});
    redis_client(6379, 11).command({"SET", "devices", "x"});
    auto store = connected("redis://127.0.0.1:6379/11");
    EXPECT_TRUE(store->clear());
    EXPECT_EQ(redis_client(6379, 11).command({"DBSIZE"}), "0");
    EXPECT_EQ(redis_client(6379, 1).command({"GET", "auth_token"}), "secret");
}

TEST_F(kv_store_test, hashes)
{
    auto store = connected("redis://127.0.0.1:6378/1");
    std::string const nul_value("x\0y", 3);
    ASSERT_TRUE(store->hmset("h", {"a field", "n"}, {"a value", nul_value}));
    redis_client r(6378, 1);
    EXPECT_EQ(r.command({"HGET", "h", "n"}), nul_value);  // lengths are passed, NUL survives
    EXPECT_EQ(store->hget("h", "a field"), "a value");
    EXPECT_EQ(store->hget("h", "n"), "x");  // read as a C text
    EXPECT_EQ(store->hget("h", "absent"), "");
    r.command({"SET", "str", "v"});
    EXPECT_EQ(store->hget("str", "f"), "");

    log.clear();
    EXPECT_FALSE(store->hmset("h2", {"a", "b"}, {"1"}));
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.priority == LOG_ERR && r.text == "Number of fields and values do not match.";
    }));
    EXPECT_EQ(r.command({"EXISTS", "h2"}), "0");

    EXPECT_FALSE(store->hmset("h3", {}, {}));  // HMSET with the key alone is refused
    EXPECT_TRUE(log.wait_for([](syslog_record const& r) {
        return r.priority == LOG_ERR && r.text.rfind("Redis set command error: ERR", 0) == 0 &&
               r.text.ends_with(" key: h3");
    }));
}

TEST_F(kv_store_test, connect_failures_throw_the_fixed_texts)
{
    auto refused = make("redis://127.0.0.1:6390/1");
    try {
        refused->connect();
        FAIL() << "connect to a closed port succeeded";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), "Redis connection error: Connection refused");
    }
    EXPECT_EQ(refused->get("k"), "FAILURE");  // the failed context gives no reply
    EXPECT_FALSE(refused->set("k", "v"));
    EXPECT_TRUE(log.wait_for_text("Redis set command error. reply is null. key: k value: v"));

    auto no_port = make("redis://127.0.0.1/1");
    EXPECT_THROW(no_port->connect(), std::runtime_error);

    auto bad_db = make("redis://127.0.0.1:6378/99");
    try {
        bad_db->connect();
        FAIL() << "SELECT 99 succeeded";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), "Redis database not selected. DB:99");
    }
    // The connection stays open on database 0 until disconnect().
    EXPECT_TRUE(bad_db->set("left", "in zero"));
    EXPECT_EQ(redis_client(6378, 0).command({"GET", "left"}), "in zero");
}

TEST_F(kv_store_test, a_broken_connection_reports_by_results)
{
    auto store = connected("redis://127.0.0.1:6378/1");
    redis_ctl("stop", 6378);
    EXPECT_EQ(store->get("k"), "FAILURE");
    EXPECT_EQ(store->get_with_type("k", "JSON"), "FAILURE");
    EXPECT_FALSE(store->set("k", "v"));
    EXPECT_TRUE(store->sadd("k", "m"));
    EXPECT_EQ(store->hget("k", "f"), "");
    redis_ctl("start", 6378);

    // Renewal in place, as the category cache does it.
    store->disconnect();
    store->connect();
    EXPECT_TRUE(store->set("k", "v"));
    EXPECT_EQ(store->get("k"), "v");

    // A server that goes away while a command is on its way: the send fails
    // with EPIPE, which reports by the result and raises no SIGPIPE (the
    // policy_gate program does not ignore it, and neither does this test).
    ::signal(SIGPIPE, SIG_DFL);
    silent_listener server(6394);
    auto const writer = connected("redis://127.0.0.1:6394");  // database 0: nothing is sent yet
    std::thread going([&server] {
        server.wait_for_connections(1);
        std::this_thread::sleep_for(100ms);  // into the wait for room to send
        server.hang_up();
    });
    EXPECT_FALSE(writer->set("big", std::string(40 << 20, 'v')));
    going.join();
}

// A server that accepts and never answers fails each step as a server that
// is down does, once the time-out has passed; a new connection recovers.
TEST_F(kv_store_test, a_server_that_never_answers_fails_each_step)
{
    redis_ctl("stop", 6378);
    std::unique_ptr<kv_store> store;
    {
        silent_listener const silent(6378);
        EXPECT_EQ(connect_error(*make("redis://127.0.0.1:6378/1")), "Redis database not selected. DB:1");
        store = connected("redis://127.0.0.1:6378");  // database 0: nothing is sent yet
        EXPECT_EQ(store->get("k"), "FAILURE");
        EXPECT_FALSE(store->set("k", "v"));
        EXPECT_TRUE(log.wait_for_text("Redis set command error. reply is null. key: k value: v"));
    }
    redis_ctl("start", 6378);
    store->disconnect();
    store->connect();
    EXPECT_TRUE(store->set("k", "v"));
}

// The time-out bounds each wait, not a whole reply: a large value that keeps
// coming is read whole. A signal neither ends a wait, not even the
// connect's, nor prolongs one: a silent server fails the step in time.
TEST_F(kv_store_test, waits_outlast_signals_and_slow_replies_but_not_their_bound)
{
    std::string const value(4 << 20, 'v');
    int const redis_stand_in = listen_on(6391, 1);
    // Answers the one GET in pieces, each pause shorter than the time-out,
    // all of them longer.
    std::thread server([&] {
        int const c = accept(redis_stand_in, nullptr, nullptr);
        char command[256];
        [[maybe_unused]] auto n = recv(c, command, sizeof command, 0);
        std::string const reply = "$" + std::to_string(value.size()) + "\r\n" + value + "\r\n";
        std::size_t const piece = reply.size() / 4 + 1;
        for (std::size_t sent = 0; sent < reply.size(); sent += piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kv_store::timeout) * 2 / 5);
            n = send(c, reply.data() + sent, std::min(piece, reply.size() - sent), MSG_NOSIGNAL);
        }
        close(c);
    });
    int const black_hole = listen_on(6392, 0);
    sockaddr_in const hole = loopback(6392);
    int fillers[2];
    for (int& fd : fillers) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr const*>(&hole), sizeof hole);
    }

    {
        interrupter const signals;
        auto const got = connected("redis://127.0.0.1:6391")->get("big");
        EXPECT_TRUE(got && *got == value) << (got ? got->size() : 0) << " bytes";
        EXPECT_EQ(connect_error(*make("redis://127.0.0.1:6392")), "Redis connection error: Connection timed out");

        silent_listener const silent(6393);
        auto const began = std::chrono::steady_clock::now();
        EXPECT_EQ(connect_error(*make("redis://127.0.0.1:6393/1")), "Redis database not selected. DB:1");
        EXPECT_EQ(connected("redis://127.0.0.1:6393")->get("k"), "FAILURE");
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5 * kv_store::timeout);  // two waits

        // A command larger than the socket buffers, to a peer that never
        // reads: the wait to write it fails the same way.
        auto const writer = connected("redis://127.0.0.1:6393");
        auto const writing = std::chrono::steady_clock::now();
        EXPECT_FALSE(writer->set("big", std::string(40 << 20, 'v')));
        EXPECT_LT(std::chrono::steady_clock::now() - writing, 5 * kv_store::timeout);
    }
    server.join();
    for (int fd : {fillers[0], fillers[1], black_hole, redis_stand_in})
        close(fd);
}

TEST_F(kv_store_test, lifecycle_lines)
{
    {
        std::string url = "redis://127.0.0.1:6378/1";
        auto config = std::make_unique<datastore_config>(url);
        auto store = std::make_shared<kv_store>(*config);
        config.reset();
        url.assign(url.size(), 'x');  // the store must not keep the config or its text
        store->connect();
        EXPECT_TRUE(store->set("k", "v"));
        store->disconnect();
        store->disconnect();
        log.settle();
        EXPECT_EQ(log.with_text("Disonnecting redis").size(), 2u);
        log.clear();
    }
    ASSERT_TRUE(log.wait_for_text("Disonnecting redis"));
    auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "Destructing kv store");
    EXPECT_EQ(records[0].priority, LOG_INFO);
}

}  // namespace

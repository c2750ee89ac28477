#include "remote_store.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <locale>
#include <stdexcept>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <boost/url/parse.hpp>

#include "signal_queue.hpp"

std::string const remote_store::service_urls_file = "/etc/zelto/cloud/service_urls.json";
std::string const remote_store::fetch_auth_token_script = "/opt/control.setvesk/library/cloud/auth.sh";

namespace {

constexpr char redis_url[] = "redis://127.0.0.1:6379/1";
constexpr char token_key[] = "auth_token";
constexpr char token_exception_prefix[] = "Exception occured while authentication token getting: ";
// kv_store::get's answer when Redis gave no reply.
constexpr char store_failure[] = "FAILURE";

bool renews_token(unsigned int status)
{
    return status == 401 || status == 403 || status == 408;
}

// Process group of the authentication script while it runs, else 0. Read by
// stop_authentication_script, which may run in a signal handler.
std::atomic<pid_t> script_group{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// In the child between fork and exec, so async-signal-safe calls only: the
// script gets /dev/null for standard input and output (the helper's are
// Squid's request and answer pipes), keeps standard error (Squid's
// cache.log) and no other descriptor of the helper.
[[noreturn]] void become_script(char const* const* argv, long open_max)
{
    setpgid(0, 0);  // a group of its own, for the kills below
    int const null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(null_fd, STDOUT_FILENO) < 0)
        _exit(127);
    if (close_range(3, ~0U, 0) != 0) {
        for (long fd = 3; fd < open_max; ++fd)
            close(static_cast<int>(fd));
    }
    // The helper's handlers must not run here: a signal that comes before
    // exec takes its default action, as it would after. Ignored ones stay
    // ignored, as exec keeps them.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction action = {};
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
            action.sa_handler != SIG_IGN) {
            action = {};
            action.sa_handler = SIG_DFL;
            sigaction(signal_number, &action, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/bin/sh", const_cast<char* const*>(argv), environ);
    _exit(127);
}

// Runs command with /bin/sh as system(3) does, but for at most seconds: a
// script that never ends would stop the helper with it. The wait status, or
// -1 when the command could not be started or ran out of time; then it is
// killed together with everything it started.
int run_with_time_limit(std::string const& command, std::int64_t seconds)
{
    char const* const argv[] = {"sh", "-c", command.c_str(), nullptr};
    long const open_max = sysconf(_SC_OPEN_MAX);
    pid_t pid;
    {
        // No signal handler runs between fork and the group being published,
        // so stop_authentication_script cannot miss a script that has started.
        signals_blocked const blocked;
        pid = fork();
        if (pid == 0)
            become_script(argv, open_max);
        if (pid > 0) {
            setpgid(pid, pid);  // whichever of the two runs first
            script_group = pid;
        }
    }
    if (pid < 0)
        return -1;

    // The end is observed without reaping: until the group is cleared, its
    // id must not go to another process.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool in_time = true;
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            if (info.si_pid == pid)
                break;
        } else if (errno != EINTR) {
            break;  // already reaped elsewhere
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            syslog(LOG_ERR, "Authentication script did not end within %lld seconds",
                   static_cast<long long>(seconds));
            kill(-pid, SIGKILL);
            in_time = false;
            siginfo_t ended{};
            while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(5000);
    }
    script_group = 0;

    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return in_time && r == pid ? status : -1;
}

// sleep(3) ends early when a signal handler runs.
void sleep_one_second()
{
    timespec left{1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A token as stored may end with the line end of an echo or of a file given
// to redis-cli -x.
std::string without_line_end(std::string text)
{
    if (text.ends_with("\r\n"))
        text.resize(text.size() - 2);
    else if (text.ends_with('\n'))
        text.pop_back();
    return text;
}

std::string lower_case_scheme(boost::urls::url const& url)
{
    std::string scheme(url.scheme());
    std::use_facet<std::ctype<char>>(std::locale()).tolower(scheme.data(), scheme.data() + scheme.size());
    return scheme;
}

// Any other scheme would carry the token in clear text to who knows where.
bool is_supported_scheme(std::string const& lower_case)
{
    return lower_case == "https" || lower_case == "http";
}

std::string unsupported_scheme_message(std::string_view endpoint)
{
    return "Unsupported scheme in endpoint url: " + std::string(endpoint);
}

// A control character in a header field would end it, or start another.
bool has_control_character(std::string const& text)
{
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

}  // namespace

// The keys of the endpoint document and file, in loading order, with the
// member each fills and the text thrown when the file gives an empty URL.
struct remote_store::endpoint_key {
    char const* key;
    std::string remote_store::*member;
    char const* missing;
};

remote_store::endpoint_key const remote_store::endpoint_keys[8] = {
    {"accounts", &remote_store::accounts_url, "Accounts service not found."},
    {"auth", &remote_store::auth_url, "Auth service not found."},
    {"config", &remote_store::config_url, "Config service not found."},
    {"device", &remote_store::device_url, "Device service not found."},
    {"gate", &remote_store::captive_url, "Gate service not found."},
    {"log", &remote_store::log_url, "Log service not found."},
    {"socket", &remote_store::socket_url, "Socket service not found."},
    {"user", &remote_store::user_url, "User service not found."},
};

remote_store::remote_store(datastore_config const&)
{
    try {
        std::string const text = redis_url;
        datastore_config const config(text);
        store = std::make_shared<kv_store>(config);
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Unable to connect redis. Exception : %s", e.what());
        throw std::runtime_error("Unable to connect redis");
    }
    try {
        set_config_endpoints();
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Unable to get endpoints. Exception : %s", e.what());
        throw std::runtime_error("Unable to get endpoints");
    }
}

std::optional<std::string> remote_store::get(std::string const&)
{
    return std::nullopt;
}

void remote_store::set_config_endpoints()
{
    try {
        load_endpoints_from_redis();
        return;
    } catch (std::exception const& e) {
        store->disconnect();
        syslog(LOG_ERR, "Unable to get endpoints from redis. Exception : %s", e.what());
    }
    load_endpoints_from_file();
}

// The Redis document holds each URL as a string; a missing key leaves its
// member alone, and an absent document leaves every URL empty.
void remote_store::load_endpoints_from_redis()
{
    syslog(LOG_DEBUG, "Getting config endpoints from redis");
    store->connect();
    if (auto const text = store->get_with_type("active_service_urls", "JSON")) {
        boost::json::value const doc = boost::json::parse(*text);
        boost::json::object const& urls = doc.as_object();
        for (auto const& e : endpoint_keys) {
            if (auto const* v = urls.if_contains(e.key))
                this->*e.member = std::string(v->as_string());
        }
    }
    store->disconnect();
}

// The file holds each URL as the first element of an array, and every key
// is required.
void remote_store::load_endpoints_from_file()
{
    syslog(LOG_DEBUG, "Getting config endpoints from service url file");
    if (!std::filesystem::exists(std::filesystem::status(service_urls_file))) {
        syslog(LOG_ERR, "Service url file not found");
        throw std::runtime_error("Service url file not found");
    }
    std::ifstream in(service_urls_file);
    if (in.fail()) {
        syslog(LOG_ERR, "Failed to open service URL file");
        throw std::runtime_error("Failed to open service URL file");
    }
    std::string const text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    boost::system::error_code ec;
    boost::json::value const doc = boost::json::parse(text, ec);
    if (ec) {
        syslog(LOG_ERR, "Failed to parse service URL file: %s", ec.message().c_str());
        throw std::runtime_error("Failed to parse service URL file");
    }
    if (!doc.is_object())
        throw std::runtime_error("Config endpoint url not read.");

    boost::json::object const& urls = doc.get_object();
    for (auto const& e : endpoint_keys) {
        boost::json::value const* v = urls.if_contains(e.key);
        boost::json::value const null_value;
        std::string& member = this->*e.member;
        member = std::string((v ? *v : null_value).as_array().at(0).as_string());
        if (member.empty())
            throw std::runtime_error(e.missing);
    }
}

std::string remote_store::get_endpoint(std::string const& name)
{
    if (name.empty())
        return "";
    if (name == "auth")
        return auth_url;
    if (name == "config")
        return config_url;
    if (name == "user")
        return user_url;
    if (name == "captive")
        return captive_url;
    if (name == "device")
        return device_url;
    if (name == "log")
        return log_url;
    return "";
}

// One read of the token key. The store's failure text means Redis gave no
// reply, which is a failure of Redis and not a token.
std::optional<std::string> remote_store::read_token()
{
    auto value = store->get(token_key);
    if (value && *value == store_failure)
        throw std::runtime_error("No reply from Redis to the token read");
    if (!value)
        return value;
    // A value that was only a line end is as empty as no value at all.
    std::string token_text = without_line_end(std::move(*value));
    if (token_text.empty())
        return std::nullopt;
    return token_text;
}

bool remote_store::get_auth_token()
{
    syslog(LOG_DEBUG, "Getting authentication token");
    token_present = false;
    try {
        bool const found = fetch_token();
        store->disconnect();
        return found;
    } catch (std::exception const& e) {
        store->disconnect();
        throw std::runtime_error(token_exception_prefix + std::string(e.what()));
    }
}

// Redis first; when it holds no token, the authentication script once, then
// Redis again over the same connection. The caller disconnects.
bool remote_store::fetch_token()
{
    store->connect();
    if (auto const value = read_token()) {
        token = *value;
        token_present = true;
        return true;
    }

    syslog(LOG_DEBUG, "Fetching new authentication token");
    int const status = run_with_time_limit("bash " + fetch_auth_token_script, script_timeout_seconds);
    if ((status & 0x7f) != 0) {
        // Killed by a signal, not started, or out of time (-1).
        syslog(LOG_ERR, "Fetching authentication failed");
        return false;
    }
    if (int const exit_status = (status >> 8) & 0xff; exit_status != 0) {
        syslog(LOG_ERR, "Fetching authentication failed with exit status: %d", exit_status);
        return false;
    }
    syslog(LOG_DEBUG, "Fetching authentication executed successfully");
    sleep_one_second();

    if (auto const value = read_token()) {
        token = *value;
        token_present = true;
        return true;
    }
    return false;
}

void remote_store::stop_authentication_script() noexcept
{
    if (pid_t const group = script_group.load(); group > 0)
        kill(-group, SIGKILL);
}

std::string remote_store::request(std::string const& path, std::string const& endpoint_name)
{
    auto response = request_response(path, endpoint_name);
    return response ? std::move(response->second) : std::string();
}

std::optional<std::pair<unsigned int, std::string>> remote_store::request_response(std::string const& path,
                                                                                   std::string const& endpoint_name)
{
    exchange_failure_.clear();
    std::string const endpoint = get_endpoint(endpoint_name);
    if (endpoint.empty())
        throw std::runtime_error("Unable to get endpoint url");

    boost::urls::url url = boost::urls::parse_uri_reference(endpoint).value();
    // Told here, where the endpoint is known as configured: make_request
    // only sees it with the request's path and query.
    if (!is_supported_scheme(lower_case_scheme(url))) {
        exchange_failure_ = unsupported_scheme_message(endpoint);
        syslog(LOG_ERR, "%s", exchange_failure_.c_str());
        return std::nullopt;
    }
    url.set_path(path);

    auto response = make_request(url, "", boost::beast::http::verb::get);
    if (renews_token(response.first)) {
        try {
            if (!get_auth_token()) {
                syslog(LOG_ERR, "Unable to get auth token.");
                throw std::runtime_error("Unable to get auth token");
            }
        } catch (std::exception const& e) {
            throw std::runtime_error(token_exception_prefix + std::string(e.what()));
        }

        response = make_request(url, "", boost::beast::http::verb::post);
        if (renews_token(response.first))
            return std::nullopt;
    }
    // A failed exchange reports status 0.
    if (response.first == 0)
        return std::nullopt;
    return response;
}

// One exchange on a private io_context, driven by the calling thread until
// the spawned task has handed over its result.
std::pair<unsigned int, std::string> remote_store::make_request(boost::urls::url const& url, std::string const& body,
                                                                boost::beast::http::verb verb)
{
    exchange_failure_.clear();
    std::string const scheme = lower_case_scheme(url);
    if (!is_supported_scheme(scheme)) {
        exchange_failure_ = unsupported_scheme_message(url.buffer());
        syslog(LOG_ERR, "%s", exchange_failure_.c_str());
        return {0, ""};
    }
    bool const https = scheme == "https";
    if (has_control_character(token)) {
        exchange_failure_ = "The authentication token holds a control character; request not sent";
        syslog(LOG_ERR, "%s", exchange_failure_.c_str());
        return {0, ""};
    }

    boost::asio::io_context ioc;
    std::optional<boost::asio::ssl::context> ctx;
    if (https)
        ctx.emplace(make_tls_context());

    std::promise<std::pair<unsigned int, std::string>> promise;
    auto future = promise.get_future();
    bool done = false;

    boost::asio::co_spawn(
        ioc.get_executor(),
        [this, &url, &body, verb, &ctx, &promise, &done]() -> boost::asio::awaitable<void> {
            try {
                if (ctx)
                    promise.set_value(co_await make_request_ssl(url, body, verb, *ctx));
                else
                    promise.set_value(co_await make_request_http(url, body, verb));
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
            done = true;
        },
        boost::asio::detached);

    while (!done) {
        // Without work left the flag can never be set; don't spin.
        if (ioc.run_one() == 0 && !done)
            throw std::runtime_error("Request ended without a result");
    }
    return future.get();
}

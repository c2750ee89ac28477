#pragma once

// Shared pieces of the project's tests: the sandbox check, a syslog listener
// on the sandbox's private /dev/log, a child process fed over pipes, a small
// Redis client for setting up data, and file helpers.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct redisContext;

namespace testing_support {

using namespace std::chrono_literals;

// Skips the calling test unless it runs inside tests/sandbox/sandbox.
bool in_sandbox();
#define REQUIRE_SANDBOX()                                                   \
    do {                                                                    \
        if (!::testing_support::in_sandbox())                               \
            GTEST_FAIL() << "this test must run inside tests/sandbox/sandbox"; \
    } while (0)

void write_file(std::string const& path, std::string const& content);
std::string read_file(std::string const& path);
// Runs a shell command; returns its exit status (-1 if it did not exit).
int run(std::string const& command);
// Polls cond until it holds; false if it did not within timeout.
bool eventually(std::function<bool()> const& cond, std::chrono::milliseconds timeout = 5s);
// A memory figure of /proc/PID/status in KiB, field "VmRSS" (resident) or
// "VmHWM" (peak resident); -1 when the process or the field is not there.
long memory_kib(pid_t pid, std::string const& field);
// The sanitized build replaces glibc's allocator (mallopt and malloc_trim do
// nothing there): its memory figures are its own.
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool glibc_allocator = false;
#else
inline constexpr bool glibc_allocator = true;
#endif

struct syslog_record {
    int priority = -1;  // LOG_ERR, LOG_INFO, ...
    int facility = -1;  // LOG_LOCAL0, ... (already shifted)
    std::string ident;
    pid_t pid = 0;
    std::string text;
};

// Owns /dev/log while it lives and records every datagram sent to it, or,
// for long runs, only counts them. As a stream socket (as some syslog
// daemons listen) it takes any number of connections, each message ending
// with a NUL byte or the end of its connection.
class syslog_listener {
public:
    enum class keep { records, count_only };
    enum class socket_kind { datagram, stream };
    explicit syslog_listener(std::string path = "/dev/log", keep what = keep::records,
                             socket_kind kind = socket_kind::datagram);
    ~syslog_listener();
    syslog_listener(syslog_listener const&) = delete;
    syslog_listener& operator=(syslog_listener const&) = delete;

    std::vector<syslog_record> records() const;
    void clear();
    // Waits until some record satisfies pred; true if one did in time.
    bool wait_for(std::function<bool(syslog_record const&)> const& pred,
                  std::chrono::milliseconds timeout = 5s) const;
    bool wait_for_text(std::string const& text, std::chrono::milliseconds timeout = 5s) const;
    // Records whose text equals text exactly.
    std::vector<syslog_record> with_text(std::string const& text) const;
    // Waits for a record of this priority and text.
    bool has(int priority, std::string const& text, std::chrono::milliseconds timeout = 5s) const;
    // Waits until no datagram has arrived for quiet.
    void settle(std::chrono::milliseconds quiet = 100ms) const;
    // Datagrams received, kept or not.
    std::size_t received() const;
    // Reads as a slow daemon does: hold() stops reading (connections of a
    // stream socket wait too); read_every(every) takes one datagram, or at
    // most stream_bytes of a stream, per period; read_every(0us) reads freely.
    void hold();
    void read_every(std::chrono::microseconds every, std::size_t stream_bytes = 1 << 16);

private:
    void receive_loop();
    void receive_stream_loop();
    void store(std::string const& message);
    // Waits for the next read as hold() and read_every() say; false once
    // the listener is going.
    bool wait_turn();

    std::string path_;
    keep keep_;
    socket_kind kind_;
    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<syslog_record> records_;
    std::size_t received_ = 0;
    std::chrono::steady_clock::time_point last_arrival_;
    bool busy_ = false;
    std::atomic<bool> held_{false};
    std::atomic<long long> read_every_us_{0};
    std::atomic<std::size_t> stream_bytes_{1 << 16};
    std::thread thread_;
};

// How many messages of size bytes a socket of this kind holds towards a
// listener that does not read: sent until the send would block.
std::size_t log_socket_capacity(syslog_listener::socket_kind kind, std::size_t size);

syslog_record parse_syslog_datagram(std::string const& datagram);

// A program started with pipes on its standard input and output. Each
// "NAME=value" of extra_env replaces what the test's own environment has of
// that name.
class child_process {
public:
    explicit child_process(std::vector<std::string> argv,
                           std::vector<std::string> extra_env = {});
    ~child_process();
    child_process(child_process const&) = delete;
    child_process& operator=(child_process const&) = delete;

    pid_t pid() const { return pid_; }
    // The pipes' ends, for a caller that reads and writes them itself.
    int stdin_fd() const { return in_; }
    int stdout_fd() const { return out_; }
    void write(std::string const& data);
    void close_stdin();
    // One line without its "\n"; nothing when none came in time or at end of output.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = 5s);
    // Everything until end of output (or the time-out).
    std::string read_all(std::chrono::milliseconds timeout = 5s);
    void signal(int sig);
    // SIGSTOP, returning once the process has really stopped, so that what
    // is written and sent next waits for resume().
    void stop();
    void resume();
    // Waits until the process sits in a write(2) to its standard output that
    // the pipe cannot take (nobody reads); false if it did not in time.
    bool wait_until_blocked_writing(std::chrono::milliseconds timeout = 10s) const;
    // Bytes of output that came and were not read yet.
    std::size_t unread_output() const;
    // The raw wait status, or nothing if the process did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
    int status_ = 0;
};

// The exit status, or 128 + the signal that ended it; -1 if it did not end
// in time.
int exit_status(child_process& p, std::chrono::milliseconds timeout = 20s);

// Sends one of signals to p every 0 to max_pause from a thread of its own
// while it lives.
class signal_storm {
public:
    signal_storm(child_process& p, std::vector<int> signals, std::chrono::microseconds max_pause, unsigned seed);
    ~signal_storm() { stop(); }
    signal_storm(signal_storm const&) = delete;
    signal_storm& operator=(signal_storm const&) = delete;

    // Stops it; the number of signals sent.
    int stop();

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// Waits until no signal sent to pid is pending any more: each has reached its
// handler (or its default action). Send the next signal only then when the
// order matters: the kernel hands several pending signals over by number, not
// in the order they were sent. False if they did not go in time.
bool wait_until_signals_taken(pid_t pid, std::chrono::milliseconds timeout = 5s);

// A blocking Redis connection for test set-up and checks.
class redis_client {
public:
    explicit redis_client(int port, int db = 0);
    ~redis_client();
    redis_client(redis_client const&) = delete;
    redis_client& operator=(redis_client const&) = delete;

    // The reply as text: strings, statuses and errors as their text,
    // integers in decimal, nil as nothing, arrays joined by "\n".
    std::optional<std::string> command(std::vector<std::string> const& args);
    void flushall();

private:
    redisContext* c_ = nullptr;
};

// A TCP listener on 127.0.0.1:port that accepts every connection and never
// answers: a server that is up but stuck. Connections are held open until
// it goes. Stop the real server on the port first.
class silent_listener {
public:
    explicit silent_listener(int port);
    ~silent_listener();
    silent_listener(silent_listener const&) = delete;
    silent_listener& operator=(silent_listener const&) = delete;

    // Waits until at least n connections were accepted; false if not in time.
    bool wait_for_connections(int n, std::chrono::milliseconds timeout = 5s) const;
    // Goes away from every connection accepted so far as a server that ends
    // does: shut down, then closed with what the client sent unread. A
    // client still sending then gets EPIPE.
    void hang_up();

private:
    void accept_loop();

    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<int> connections_;
    std::thread thread_;
};

// Path of a program built next to the tests (set by CMake).
std::string build_path(std::string const& relative);

// The environment that holds a helper at its exit for pause, after every
// exit handler of its own has run (tests/support/exit_pause.c, preloaded):
// signals that come meanwhile find it exiting.
std::vector<std::string> exit_pause_environment(std::chrono::milliseconds pause);
// Waits until the helper started with it has begun that pause.
bool wait_for_exit_pause(pid_t pid, std::chrono::milliseconds timeout = 5s);

}  // namespace testing_support

#include "test_support.hpp"

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace testing_support {

namespace {

[[noreturn]] void fail(std::string const& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool in_sandbox()
{
    return std::getenv("ZELTO_SANDBOX") != nullptr;
}

void write_file(std::string const& path, std::string const& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string read_file(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int run(std::string const& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool eventually(std::function<bool()> const& cond, std::chrono::milliseconds timeout)
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::string build_path(std::string const& relative)
{
    char const* dir = std::getenv("ZELTO_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + relative;
}

bool wait_for_exit_pause(pid_t pid, std::chrono::milliseconds timeout)
{
    std::string const marker = "/tmp/zelto-exit-pause." + std::to_string(pid);
    return eventually([&marker] { return ::access(marker.c_str(), F_OK) == 0; }, timeout);
}

long memory_kib(pid_t pid, std::string const& field)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string const prefix = field + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    return -1;
}

std::vector<std::string> exit_pause_environment(std::chrono::milliseconds pause)
{
    // A sanitized helper wants its runtime first among its libraries; the
    // preloaded one comes before it, which is harmless here.
    char const* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + EXIT_PAUSE_LIBRARY,
            "ZELTO_EXIT_PAUSE_MS=" + std::to_string(pause.count()),
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
}

// glibc writes "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
syslog_record parse_syslog_datagram(std::string const& datagram)
{
    syslog_record r;
    std::string rest = datagram;
    if (rest.size() > 2 && rest[0] == '<') {
        auto close = rest.find('>');
        int pri = std::atoi(rest.substr(1, close - 1).c_str());
        r.priority = LOG_PRI(pri);
        r.facility = pri & LOG_FACMASK;
        rest.erase(0, close + 1);
    }
    if (rest.size() >= 16)
        rest.erase(0, 16);  // the timestamp and its blank
    auto colon = rest.find(": ");
    if (colon != std::string::npos) {
        std::string tag = rest.substr(0, colon);
        r.text = rest.substr(colon + 2);
        auto bracket = tag.find('[');
        if (bracket != std::string::npos && tag.back() == ']') {
            r.ident = tag.substr(0, bracket);
            r.pid = std::atoi(tag.substr(bracket + 1).c_str());
        } else {
            r.ident = tag;
        }
    } else {
        r.text = rest;
    }
    return r;
}

syslog_listener::syslog_listener(std::string path, keep what, socket_kind kind)
    : path_(std::move(path)), keep_(what), kind_(kind)
{
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, (kind_ == socket_kind::stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        fail("socket");
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
        fail("bind " + path_);
    ::chmod(path_.c_str(), 0666);
    if (kind_ == socket_kind::stream && ::listen(fd_, 64) < 0)
        fail("listen " + path_);
    if (::pipe2(stop_pipe_, O_CLOEXEC) < 0)
        fail("pipe");
    last_arrival_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { kind_ == socket_kind::stream ? receive_stream_loop() : receive_loop(); });
}

syslog_listener::~syslog_listener()
{
    char c = 0;
    (void)!::write(stop_pipe_[1], &c, 1);
    thread_.join();
    ::close(fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
    ::unlink(path_.c_str());
}

void syslog_listener::receive_loop()
{
    std::vector<char> buf(1 << 16);
    for (;;) {
        if (!wait_turn())
            return;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (held_)
            continue;  // held while it waited: what came stays queued
        if (fds[0].revents & POLLIN) {
            {
                std::lock_guard lock(mutex_);
                busy_ = true;
            }
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n > 0)
                store(std::string(buf.data(), static_cast<size_t>(n)));
            std::lock_guard lock(mutex_);
            busy_ = false;
            continue;  // drain before looking at the stop pipe
        }
        if (fds[1].revents & POLLIN)
            return;
    }
}

void syslog_listener::store(std::string const& message)
{
    std::optional<syslog_record> record;
    if (keep_ == keep::records)
        record = parse_syslog_datagram(message);
    std::lock_guard lock(mutex_);
    if (record)
        records_.push_back(std::move(*record));
    ++received_;
    last_arrival_ = std::chrono::steady_clock::now();
}

void syslog_listener::receive_stream_loop()
{
    std::vector<pollfd> fds = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    std::vector<std::string> unfinished;  // per connection, from fds[2] on
    char buf[1 << 16];
    while (wait_turn()) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN)
            break;
        if (held_)
            continue;
        if (fds[0].revents & POLLIN) {
            int const c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                fds.push_back({c, POLLIN, 0});
                unfinished.emplace_back();
            }
        }
        for (std::size_t i = 2; i < fds.size();) {
            if (!fds[i].revents) {
                ++i;
                continue;
            }
            std::string& text = unfinished[i - 2];
            ssize_t const n = ::recv(fds[i].fd, buf, std::min(sizeof buf, stream_bytes_.load()), 0);
            if (n > 0) {
                text.append(buf, static_cast<size_t>(n));
                for (auto end = text.find('\0'); end != std::string::npos; end = text.find('\0')) {
                    store(text.substr(0, end));
                    text.erase(0, end + 1);
                }
                ++i;
                continue;
            }
            if (!text.empty())
                store(text);
            ::close(fds[i].fd);
            fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            unfinished.erase(unfinished.begin() + static_cast<std::ptrdiff_t>(i - 2));
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i)
        ::close(fds[i].fd);
}

void syslog_listener::hold()
{
    held_ = true;
}

void syslog_listener::read_every(std::chrono::microseconds every, std::size_t stream_bytes)
{
    stream_bytes_ = stream_bytes;
    read_every_us_ = every.count();
    held_ = false;
}

bool syslog_listener::wait_turn()
{
    for (;;) {
        bool const held = held_;
        long long const every_us = read_every_us_;
        if (!held && every_us == 0)
            return true;
        long long const pause_us = held ? 1000 : every_us;
        timespec const pause{static_cast<time_t>(pause_us / 1'000'000), static_cast<long>(pause_us % 1'000'000 * 1000)};
        pollfd stop{stop_pipe_[0], POLLIN, 0};
        if (::ppoll(&stop, 1, &pause, nullptr) > 0)
            return false;
        if (!held)
            return true;
    }
}

std::size_t log_socket_capacity(syslog_listener::socket_kind kind, std::size_t size)
{
    std::string const path = "/tmp/log-capacity-" + std::to_string(::getpid());
    syslog_listener daemon(path, syslog_listener::keep::count_only, kind);
    daemon.hold();
    int const type = kind == syslog_listener::socket_kind::stream ? SOCK_STREAM : SOCK_DGRAM;
    int const fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        fail("connect " + path);
    std::string const message(size, 'x');
    std::size_t held = 0;
    while (::send(fd, message.data(), size, MSG_NOSIGNAL) == static_cast<ssize_t>(size))
        ++held;
    ::close(fd);
    return held;
}

std::vector<syslog_record> syslog_listener::records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

void syslog_listener::clear()
{
    settle(20ms);
    std::lock_guard lock(mutex_);
    records_.clear();
}

bool syslog_listener::wait_for(std::function<bool(syslog_record const&)> const& pred,
                               std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            for (auto const& r : records_)
                if (pred(r))
                    return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool syslog_listener::wait_for_text(std::string const& text, std::chrono::milliseconds timeout) const
{
    return wait_for([&](syslog_record const& r) { return r.text == text; }, timeout);
}

std::vector<syslog_record> syslog_listener::with_text(std::string const& text) const
{
    std::vector<syslog_record> out;
    std::lock_guard lock(mutex_);
    for (auto const& r : records_)
        if (r.text == text)
            out.push_back(r);
    return out;
}

bool syslog_listener::has(int priority, std::string const& text, std::chrono::milliseconds timeout) const
{
    return wait_for([&](syslog_record const& r) { return r.priority == priority && r.text == text; },
                    timeout);
}

std::size_t syslog_listener::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void syslog_listener::settle(std::chrono::milliseconds quiet) const
{
    // Quiet means: nothing queued on the socket, nothing being received, and
    // nothing arrived for a while.
    for (;;) {
        int queued = 0;
        ::ioctl(fd_, FIONREAD, &queued);
        std::chrono::steady_clock::time_point last;
        bool busy;
        {
            std::lock_guard lock(mutex_);
            last = last_arrival_;
            busy = busy_;
        }
        auto since = std::chrono::steady_clock::now() - last;
        if (queued == 0 && !busy && since >= quiet)
            return;
        std::this_thread::sleep_for(queued || busy ? std::chrono::milliseconds(2) : quiet - since);
    }
}

child_process::child_process(std::vector<std::string> argv, std::vector<std::string> extra_env)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0)
        fail("pipe");

    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e)
        env_store.emplace_back(*e);
    for (auto& e : extra_env) {
        // Without "=" there is no name to replace (an empty one would match every variable).
        if (auto const eq = e.find('='); eq != std::string::npos) {
            std::string const name = e.substr(0, eq + 1);
            std::erase_if(env_store, [&name](std::string const& inherited) { return inherited.rfind(name, 0) == 0; });
        }
        env_store.push_back(e);
    }
    std::vector<char*> envp;
    for (auto& e : env_store)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGTERM})
            ::signal(sig, SIG_DFL);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        // Nothing open but 0, 1 and 2, whatever the test's runner left open
        // without close-on-exec: a descriptor limit counts from there.
        ::close_range(3, ~0U, 0);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
}

child_process::~child_process()
{
    if (in_ >= 0)
        ::close(in_);
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
}

void child_process::write(std::string const& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(in_, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write to child");
        }
        done += static_cast<size_t>(n);
    }
}

void child_process::close_stdin()
{
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

std::optional<std::string> child_process::read_line(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        char buf[4096];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            return std::nullopt;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

std::string child_process::read_all(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{out_, POLLIN, 0};
        int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[4096];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0)
            break;
        pending_.append(buf, static_cast<size_t>(n));
    }
    return std::exchange(pending_, std::string());
}

void child_process::signal(int sig)
{
    ::kill(pid_, sig);
}

namespace {

// The first line of /proc/PID/<name>, empty when it cannot be read.
std::string proc_line(pid_t pid, char const* name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

void child_process::stop()
{
    ::kill(pid_, SIGSTOP);
    // kill returns before the target has stopped; the state field says when.
    bool const stopped = eventually(
        [this] {
            auto const stat = proc_line(pid_, "stat");
            auto const close = stat.rfind(')');
            return close != std::string::npos && stat.compare(close + 1, 3, " T ") == 0;
        },
        10s);
    if (!stopped)
        throw std::runtime_error("child did not stop");
}

void child_process::resume()
{
    ::kill(pid_, SIGCONT);
}

bool child_process::wait_until_blocked_writing(std::chrono::milliseconds timeout) const
{
    // /proc/PID/syscall: the number of the call it waits in (1 is write on
    // x86-64), then its arguments (the first is the descriptor).
    // A write that merely passes by is not caught twice, 50 ms apart.
    auto in_write = [this] { return proc_line(pid_, "syscall").starts_with("1 0x1 "); };
    return eventually(
        [&] {
            if (!in_write())
                return false;
            std::this_thread::sleep_for(50ms);
            return in_write();
        },
        timeout);
}

std::size_t child_process::unread_output() const
{
    int queued = 0;
    ::ioctl(out_, FIONREAD, &queued);
    return pending_.size() + static_cast<std::size_t>(queued);
}

std::optional<int> child_process::wait(std::chrono::milliseconds timeout)
{
    if (reaped_)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

silent_listener::silent_listener(int port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        fail("socket");
    int const one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 64) != 0)
        fail("silent_listener on port " + std::to_string(port));
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0)
        fail("pipe");
    thread_ = std::thread([this] { accept_loop(); });
}

silent_listener::~silent_listener()
{
    char const stop = 0;
    [[maybe_unused]] auto n = ::write(stop_pipe_[1], &stop, 1);
    thread_.join();
    for (int c : connections_)
        if (c >= 0)
            ::close(c);
    ::close(fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

void silent_listener::accept_loop()
{
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            int const c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard lock(mutex_);
                connections_.push_back(c);
            }
        }
    }
}

bool silent_listener::wait_for_connections(int n, std::chrono::milliseconds timeout) const
{
    return eventually(
        [&] {
            std::lock_guard lock(mutex_);
            return static_cast<int>(connections_.size()) >= n;
        },
        timeout);
}

void silent_listener::hang_up()
{
    std::lock_guard lock(mutex_);
    for (int& c : connections_) {
        if (c < 0)
            continue;
        ::shutdown(c, SHUT_RDWR);
        ::close(c);
        c = -1;  // still counted as accepted
    }
}

int exit_status(child_process& p, std::chrono::milliseconds timeout)
{
    auto const status = p.wait(timeout);
    if (!status)
        return -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

signal_storm::signal_storm(child_process& p, std::vector<int> signals, std::chrono::microseconds max_pause,
                           unsigned seed)
    : thread_([this, &p, signals, max_pause, seed] {
          std::mt19937 rng(seed);
          while (!stop_) {
              p.signal(signals[rng() % signals.size()]);
              ++sent_;
              std::this_thread::sleep_for(std::chrono::microseconds(rng() % (max_pause.count() + 1)));
          }
      })
{
}

int signal_storm::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    return sent_;
}

bool wait_until_signals_taken(pid_t pid, std::chrono::milliseconds timeout)
{
    // "SigPnd:" (sent to the thread) and "ShdPnd:" (sent to the process) in
    // /proc/PID/status are hexadecimal masks.
    auto none_pending = [pid] {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        int masks = 0;
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) {
                if (std::strtoull(line.c_str() + 7, nullptr, 16) != 0)
                    return false;
                ++masks;
            }
        return masks == 2;
    };
    return eventually(none_pending, timeout);
}

redis_client::redis_client(int port, int db)
{
    c_ = redisConnect("127.0.0.1", port);
    if (!c_ || c_->err)
        throw std::runtime_error("test redis client cannot connect to port " + std::to_string(port));
    if (db != 0)
        command({"SELECT", std::to_string(db)});
}

redis_client::~redis_client()
{
    if (c_)
        redisFree(c_);
}

namespace {

std::optional<std::string> reply_to_text(redisReply const* r)
{
    switch (r->type) {
    case REDIS_REPLY_NIL:
        return std::nullopt;
    case REDIS_REPLY_INTEGER:
        return std::to_string(r->integer);
    case REDIS_REPLY_ARRAY: {
        std::string out;
        for (size_t i = 0; i < r->elements; ++i) {
            if (i)
                out += "\n";
            out += reply_to_text(r->element[i]).value_or("");
        }
        return out;
    }
    default:
        return std::string(r->str, r->len);
    }
}

}  // namespace

std::optional<std::string> redis_client::command(std::vector<std::string> const& args)
{
    std::vector<char const*> argv;
    std::vector<size_t> lens;
    for (auto const& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    auto* r = static_cast<redisReply*>(
        redisCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lens.data()));
    if (!r)
        throw std::runtime_error("test redis client lost its connection");
    auto text = reply_to_text(r);
    freeReplyObject(r);
    return text;
}

void redis_client::flushall()
{
    command({"FLUSHALL"});
}

}  // namespace testing_support

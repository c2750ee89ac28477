// Throughput of the policy_gate helper over pipes, beside a null helper fed
// the same request lines, plus the time of one rule fetch and peak RSS.
//
//   policy_gate_bench generate FILE DEVICES RULES [category]
//       writes a "devices" rule document: per device, RULES rules of which
//       the one matching the benchmark's requests stands late in the list.
//       With "category" that rule is a website-category rule for "bench",
//       which the requests' domain match.example.com has in the category
//       cache (the caller stores it there).
//   policy_gate_bench run POLICY_GATE NULL_HELPER DEVICES REQUESTS WINDOW [TARGET]
//       runs both helpers (inside the sandbox: it owns /dev/log) with up to
//       WINDOW requests in flight, as Squid does with concurrency, at log
//       level "info" (the settings file must say so). Prints requests per
//       second and CPU time per request of each, the time of one rule fetch
//       and the helper's resident set size.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(std::string const& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string device_address(int device)
{
    return "172.16." + std::to_string(device / 250) + "." + std::to_string(device % 250 + 1);
}

// ---------------------------------------------------------------------------
// The rule document.

constexpr char const* ip_list_types[] = {"ip", "site", "tag", "user", "group", "device", "network"};

// Rules that the benchmark's requests never match: IP lists of 100 subnets
// (the destination is outside all of them), websites and keywords of the
// three comparing modes. Rule `match_at` is the website (or the website
// category) that matches.
std::string device_rules(int device, int rules, bool category)
{
    int const match_at = rules - 5 > 0 ? rules - 5 : 0;
    std::string out = "[";
    for (int i = 0; i < rules; ++i) {
        std::string const id = std::to_string(device * 100 + i);
        if (i)
            out += ",";
        if (i == match_at) {
            out += category ? R"({"type":"website_category","match_condition":"bench","action":"deny","id":)"
                            : R"({"type":"website","match_condition":"match.example.com","action":"deny","id":)";
            out += id + "}";
            continue;
        }
        switch (i % 3) {
        case 0: {
            out += R"({"type":")" + std::string(ip_list_types[i % 7]) + R"(","match_condition":[)";
            for (int k = 0; k < 100; ++k)
                out += (k ? ",\"10." : "\"10.") + std::to_string(i) + "." + std::to_string(k) + ".0/24\"";
            out += R"(],"action":"deny","id":)" + id + "}";
            break;
        }
        case 1:
            out += R"({"type":"website","match_condition":"www.site)" + std::to_string(i) +
                   R"(.example.org","action":"deny","id":)" + id + "}";
            break;
        default: {
            std::string const keyword = "kw" + std::to_string(i);
            std::string const condition = i % 9 == 2 ? keyword : i % 9 == 5 ? "*." + keyword + ".net" : keyword + "*";
            out += R"({"type":"keyword","match_condition":")" + condition + R"(","action":"allow","id":)" + id + "}";
        }
        }
    }
    return out + "]";
}

int generate(std::string const& file, int devices, int rules, bool category)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "{";
    for (int d = 0; d < devices; ++d)
        out << (d ? ",\"" : "\"") << device_address(d) << "\":" << device_rules(d, rules, category);
    out << "}";
    return out ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Syslog: drains /dev/log so that logging costs what it costs in production.

class syslog_sink {
public:
    syslog_sink()
    {
        ::unlink("/dev/log");
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            fail("socket");
        int size = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "/dev/log");
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
            fail("bind /dev/log");
        // The receiver looks at stop_ at least this often.
        timeval tv{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread_ = std::thread([this] { receive(); });
    }

    ~syslog_sink()
    {
        stop_ = true;
        thread_.join();  // before the descriptor goes: the receiver still uses it
        ::close(fd_);
    }

    std::size_t records() const { return records_; }

    // Waits until a line containing text arrived after the last call.
    bool wait_for(std::string const& text, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock lock(mutex_);
        bool const seen = cv_.wait_for(lock, timeout, [&] {
            return std::any_of(lines_.begin(), lines_.end(),
                               [&](std::string const& l) { return l.find(text) != std::string::npos; });
        });
        lines_.clear();
        return seen;
    }

private:
    void receive()
    {
        std::vector<char> buf(1 << 17);
        while (!stop_) {
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0)
                continue;
            std::string_view text(buf.data(), static_cast<std::size_t>(n));
            if (text.find("{\"tracking_id\"") != std::string_view::npos) {
                ++records_;
                continue;
            }
            std::lock_guard lock(mutex_);
            lines_.emplace_back(text);
            cv_.notify_all();
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> records_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// A helper over pipes.

class helper_process {
public:
    explicit helper_process(std::string const& path)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0)
            fail("pipe");
        pid_ = ::fork();
        if (pid_ < 0)
            fail("fork");
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }

    ~helper_process()
    {
        if (in_ >= 0)
            ::close(in_);
        ::close(out_);
        ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }

    void write(std::string_view data)
    {
        while (!data.empty()) {
            ssize_t n = ::write(in_, data.data(), data.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail("write to helper");
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Waits for output; the number of answer lines that came with it.
    std::size_t read_answers()
    {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw std::runtime_error("helper closed its output");
            return static_cast<std::size_t>(std::count(buf, buf + n, '\n'));
        }
    }

    int input_fd() const { return in_; }
    int output_fd() const { return out_; }

    // CPU time used so far (user and system, or user only), in seconds.
    double cpu_seconds(bool user_only = false) const
    {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        auto fields = text.substr(text.rfind(')') + 2);  // after the command name
        std::vector<std::string> parts;
        for (std::size_t start = 0, end; start < fields.size(); start = end + 1) {
            end = fields.find(' ', start);
            if (end == std::string::npos)
                end = fields.size();
            parts.push_back(fields.substr(start, end - start));
        }
        // utime and stime are fields 14 and 15 of the whole line.
        double const ticks = std::stod(parts[11]) + (user_only ? 0.0 : std::stod(parts[12]));
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // Resident set size in KiB, now and at its peak.
    long rss_kib() const { return status_kib("VmRSS:"); }
    long peak_rss_kib() const { return status_kib("VmHWM:"); }

    void close_input()
    {
        ::close(in_);
        in_ = -1;
    }

private:
    long status_kib(std::string const& field) const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(field, 0) == 0)
                return std::strtol(line.c_str() + field.size(), nullptr, 10);
        return -1;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

std::vector<std::string> request_lines(int devices, std::size_t count)
{
    std::vector<std::string> lines;
    lines.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        lines.push_back(std::to_string(i + 1) + " " + device_address(static_cast<int>(i % devices)) +
                        " http://www.match.example.com/path/to/page?q=1 192.168.1.1 www.match.example.com " +
                        std::to_string(1700000000 + i) + "\n");
    return lines;
}

struct stream_result {
    double rate;          // requests per second
    double cpu_seconds;   // of the helper, per request
    double user_seconds;  // the part of it spent outside the kernel
};

// Sends every line with up to `window` requests in flight, writing while
// answers come back so that neither pipe can fill up and stall both sides.
stream_result stream(helper_process& helper, std::vector<std::string> const& lines, std::size_t window)
{
    ::fcntl(helper.input_fd(), F_SETFL, ::fcntl(helper.input_fd(), F_GETFL) | O_NONBLOCK);
    double const cpu_before = helper.cpu_seconds();
    double const user_before = helper.cpu_seconds(true);
    auto const start = clock_type::now();
    std::size_t sent = 0;
    std::size_t answered = 0;
    std::string pending;
    std::size_t written = 0;
    while (answered < lines.size()) {
        for (; sent < lines.size() && sent - answered < window; ++sent)
            pending += lines[sent];
        pollfd fds[2] = {{helper.input_fd(), static_cast<short>(written < pending.size() ? POLLOUT : 0), 0},
                         {helper.output_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            fail("poll");
        if (fds[0].revents & POLLOUT) {
            ssize_t n = ::write(helper.input_fd(), pending.data() + written, pending.size() - written);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if (written == pending.size()) {
                pending.clear();
                written = 0;
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP))
            answered += helper.read_answers();
    }
    std::chrono::duration<double> const took = clock_type::now() - start;
    ::fcntl(helper.input_fd(), F_SETFL, ::fcntl(helper.input_fd(), F_GETFL) & ~O_NONBLOCK);
    auto const n = static_cast<double>(lines.size());
    return {n / took.count(), (helper.cpu_seconds() - cpu_before) / n, (helper.cpu_seconds(true) - user_before) / n};
}

double one_request_seconds(helper_process& helper, std::string const& line)
{
    auto const start = clock_type::now();
    helper.write(line);
    helper.read_answers();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int run(std::string const& policy_gate, std::string const& null_helper, int devices, std::size_t requests,
        std::size_t window, double target)
{
    int const rounds = 5;
    syslog_sink sink;
    auto const lines = request_lines(devices, requests);

    helper_process gate(policy_gate);
    // Every priority is logged from start; measure at "info".
    if (!sink.wait_for("async_io_handler initialized"))
        throw std::runtime_error("policy_gate did not start");
    ::kill(gate.pid(), SIGUSR1);
    if (!sink.wait_for("Configured syslog loglevel as info"))
        throw std::runtime_error("log level not applied");

    double const first = one_request_seconds(gate, lines[0]);  // loads the rules
    long const loaded_rss = gate.rss_kib();
    std::vector<double> plain, fetch;
    for (int i = 0; i < 9; ++i)
        plain.push_back(one_request_seconds(gate, lines[i + 1]));
    for (int i = 0; i < 5; ++i) {
        ::kill(gate.pid(), SIGUSR2);
        if (!sink.wait_for("signal_handler signal: 12"))
            throw std::runtime_error("renewal signal not handled");
        fetch.push_back(one_request_seconds(gate, lines[i + 1]));
    }
    double const fetch_time = median(fetch) - median(plain);
    // A fetch is what a request after SIGUSR2 costs beyond a plain one.
    // Then rounds of both helpers in turn: the machine's load changes
    // under us.
    std::size_t const records_before = sink.records();
    helper_process null(null_helper);
    std::vector<double> gate_rates, null_rates, gate_cpu, gate_user, null_cpu;
    for (int round = 0; round < rounds; ++round) {
        auto const g = stream(gate, lines, window);
        auto const z = stream(null, lines, window);
        gate_rates.push_back(g.rate);
        gate_cpu.push_back(g.cpu_seconds);
        gate_user.push_back(g.user_seconds);
        null_rates.push_back(z.rate);
        null_cpu.push_back(z.cpu_seconds);
    }
    long const rss = gate.peak_rss_kib();
    gate.close_input();
    null.close_input();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::size_t const records = sink.records() - records_before;

    double const gate_rate = median(gate_rates);
    double const null_rate = median(null_rates);
    std::printf("requests: %zu over %d devices, up to %zu in flight, median of %d rounds\n", requests, devices, window,
                rounds);
    std::printf("policy_gate:  %10.0f requests/s, %6.2f us CPU per request, %.2f us of it in user space "
                "(%zu tracking records)\n",
                gate_rate, median(gate_cpu) * 1e6, median(gate_user) * 1e6, records);
    std::printf("null_helper:  %10.0f requests/s, %6.2f us CPU per request\n", null_rate, median(null_cpu) * 1e6);
    std::printf("ratio:        %10.3f (target >= %.2f)\n", gate_rate / null_rate, target);
    std::printf("fetch_rules:  %10.3f s median of 5 (first request with the fetch: %.3f s; target < 0.5 s)\n",
                fetch_time, first);
    std::printf("RSS:          %10.1f MiB with the rules loaded, %.1f MiB at peak (target < 128 MiB)\n",
                static_cast<double>(loaded_rss) / 1024.0, static_cast<double>(rss) / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        std::vector<std::string> const args(argv + 1, argv + argc);
        if ((args.size() == 4 || (args.size() == 5 && args[4] == "category")) && args[0] == "generate")
            return generate(args[1], std::stoi(args[2]), std::stoi(args[3]), args.size() == 5);
        if ((args.size() == 6 || args.size() == 7) && args[0] == "run")
            return run(args[1], args[2], std::stoi(args[3]), std::stoul(args[4]), std::stoul(args[5]),
                       args.size() == 7 ? std::stod(args[6]) : 0.25);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "policy_gate_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: policy_gate_bench generate FILE DEVICES RULES [category]\n"
                 "       policy_gate_bench run POLICY_GATE NULL_HELPER DEVICES REQUESTS WINDOW [TARGET]\n");
    return 2;
}

// Soak run of the helper programs: each one answers a million requests or
// more while what it answers from keeps changing and signals keep arriving.
// Every answer is checked; the helper's resident memory is printed as the run
// goes, so that growth shows.
//
//   soak exempt EXEMPT_GATE [REQUESTS]
//   soak policy POLICY_GATE [REQUESTS]
//
// Inside the sandbox only (bench/soak.sh starts it there): it owns /dev/log,
// the kernel set "noinspection", the Redis data and ports 80 and 443.
// Exit status 0 when every answer was right, 1 otherwise.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "soak.hpp"

namespace soak {

// Requests in flight, as Squid's concurrency keeps them.
constexpr std::size_t window_of_requests = 32;

[[noreturn]] void fail(std::string const& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void shell(std::string const& command)
{
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

// ---------------------------------------------------------------------------

helper::helper(std::string const& program) : process_({program})
{
    // stream() writes what the pipe takes and reads answers meanwhile.
    ::fcntl(process_.stdin_fd(), F_SETFL, O_NONBLOCK);
}

std::size_t helper::stream(std::vector<request> const& requests, std::size_t window)
{
    std::size_t written = 0, answered = 0, wrong = 0;
    std::string out;  // bytes of requests not yet taken by the pipe
    // Counts a wrong answer; the first ten are shown.
    auto check = [&wrong](request const& r, std::string const& answer) {
        if (std::find(r.answers.begin(), r.answers.end(), answer) == r.answers.end() && wrong++ < 10)
            std::printf("  WRONG: %s -> %s (expected %s)\n", r.line.c_str(), answer.c_str(),
                        r.answers.empty() ? "?" : r.answers[0].c_str());
    };
    while (answered < requests.size()) {
        while (out.size() < 4096 && written < requests.size() && written - answered < window)
            out += requests[written++].line + "\n";
        int const in = process_.stdin_fd();
        pollfd fds[2] = {{process_.stdout_fd(), POLLIN, 0}, {in, static_cast<short>(out.empty() ? 0 : POLLOUT), 0}};
        int r = ::poll(fds, 2, 30000);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            throw std::runtime_error("no answer for 30 s to: " + requests[answered].line);
        if (fds[1].revents & (POLLOUT | POLLERR)) {
            ssize_t n = ::write(in, out.data(), out.size());
            if (n < 0 && errno != EAGAIN)
                fail("write to helper");
            if (n > 0)
                out.erase(0, static_cast<std::size_t>(n));
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            std::string line;
            if (!read_line(line, 30000))
                throw std::runtime_error("helper ended; last request: " + requests[answered].line);
            check(requests[answered++], line);
            // Lines already read come out without waiting.
            while (answered < requests.size() && read_line(line, -1))
                check(requests[answered++], line);
        }
    }
    return wrong;
}

bool helper::read_line(std::string& line, int timeout_ms)
{
    for (;;) {
        auto nl = pending_.find('\n', begin_);
        if (nl != std::string::npos) {
            line.assign(pending_, begin_, nl - begin_);
            begin_ = nl + 1;
            return true;
        }
        if (timeout_ms < 0)
            return false;  // only what was already read
        pending_.erase(0, begin_);
        begin_ = 0;
        pollfd p{process_.stdout_fd(), POLLIN, 0};
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[1 << 16];
        ssize_t n = ::read(process_.stdout_fd(), buf, sizeof buf);
        if (n <= 0)
            return false;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string helper::ask(std::string const& line)
{
    std::string data = line + "\n";
    for (std::size_t done = 0; done < data.size();) {
        pollfd p{process_.stdin_fd(), POLLOUT, 0};
        ::poll(&p, 1, 30000);
        ssize_t n = ::write(process_.stdin_fd(), data.data() + done, data.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            fail("write to helper");
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    std::string answer;
    if (!read_line(answer, 30000))
        throw std::runtime_error("no answer to: " + line);
    return answer;
}

void helper::ask_until(std::string const& line, std::string const& answer, char const* what)
{
    for (int tries = 0; ask(line) != answer; ++tries) {
        if (tries == 5000)
            throw std::runtime_error(what);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

long helper::rss_kib() const
{
    std::ifstream status("/proc/" + std::to_string(process_.pid()) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int helper::finish()
{
    process_.close_stdin();
    return testing_support::exit_status(process_, std::chrono::minutes(1));
}

// ---------------------------------------------------------------------------

void run_report::phase(helper& h, std::vector<request> const& batch, std::chrono::milliseconds max_pause,
                       unsigned seed)
{
    testing_support::signal_storm storm(h.process(), {SIGUSR1, SIGUSR2}, max_pause, seed);
    wrong_ += h.stream(batch, window_of_requests);
    signals_ += static_cast<std::size_t>(storm.stop());
    done_ += batch.size();

    long rss = h.rss_kib();
    if (first_ < 0)
        first_ = rss;
    last_ = rss;
    max_ = std::max(max_, rss);
    std::printf("  %9zu requests  RSS %6ld KiB\n", done_, rss);
    std::fflush(stdout);
}

bool run_report::flat() const
{
    // Allocators keep some slack: growth within 1 MiB or 5 % is no trend.
    return last_ - first_ <= std::max(1024L, first_ / 20);
}

bool run_report::finish(helper& h, std::string const& note)
{
    int status = h.finish();
    std::printf("%s: %zu requests, %zu answers right, %zu wrong; RSS after warm-up %ld KiB, at the end %ld KiB, "
                "highest %ld KiB: %s\n",
                name_, done_, done_ - wrong_, wrong_, first_, last_, max_, flat() ? "flat" : "GROWING");
    std::printf("%s: %zu signals sent during the phases, %sexit status %d\n", name_, signals_, note.c_str(), status);
    return wrong_ == 0 && status == 0 && flat();
}

}  // namespace soak

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s exempt|policy PROGRAM [REQUESTS]\n", argv[0]);
        return 2;
    }
    std::string what = argv[1];
    std::size_t requests = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1000000;
    ::signal(SIGPIPE, SIG_IGN);
    try {
        testing_support::syslog_listener sink("/dev/log", testing_support::syslog_listener::keep::count_only);
        bool ok = what == "exempt" ? soak::exempt_soak(argv[2], requests) : soak::policy_soak(argv[2], requests);
        std::printf("syslog lines received: %zu\n", sink.received());
        return ok ? 0 : 1;
    } catch (std::exception const& e) {
        std::fprintf(stderr, "soak: %s\n", e.what());
        return 1;
    }
}

// Pipes request lines through a helper program and reports its answers per
// second and its peak RSS.
//
//   exempt_bench_driver REQUESTS_FILE PROGRAM
//
// The first line warms the helper up: its start-up and first load are not
// timed. The other lines are written at once while the answers are read.
// Prints one line: requests=N seconds=S rps=R peak_rss_kib=K ok=A err=B bh=C

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

[[noreturn]] void die(char const* what)
{
    std::perror(what);
    std::exit(2);
}

void write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("write to helper");
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
}

struct answer_counts {
    size_t lines = 0, ok = 0, err = 0, bh = 0;
};

// Reads answers until `wanted` lines have come; false at end of output.
bool read_answers(int fd, size_t wanted, answer_counts& counts)
{
    std::string partial;
    char buf[1 << 16];
    while (counts.lines < wanted) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        partial.append(buf, static_cast<size_t>(n));
        size_t begin = 0;
        for (size_t nl; (nl = partial.find('\n', begin)) != std::string::npos; begin = nl + 1) {
            std::string_view line(partial.data() + begin, nl - begin);
            ++counts.lines;
            if (line.ends_with("OK"))
                ++counts.ok;
            else if (line.ends_with("ERR"))
                ++counts.err;
            else if (line.ends_with("BH"))
                ++counts.bh;
        }
        partial.erase(0, begin);
    }
    return true;
}

long peak_rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s REQUESTS_FILE PROGRAM\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << file.rdbuf();
    std::string requests = ss.str();
    size_t first_end = requests.find('\n');
    if (first_end == std::string::npos)
        die("requests file needs lines");
    std::string_view warm_up(requests.data(), first_end + 1);
    std::string_view timed(requests.data() + first_end + 1, requests.size() - first_end - 1);
    size_t timed_lines = 0;
    for (char c : timed)
        timed_lines += c == '\n';

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0)
        die("pipe");
    pid_t pid = ::fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execv(argv[2], argv + 2);
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::signal(SIGPIPE, SIG_IGN);

    answer_counts counts;
    write_all(in[1], warm_up);
    if (!read_answers(out[0], 1, counts))
        die("helper gave no answer");

    counts = {};
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { write_all(in[1], timed); });
    bool complete = read_answers(out[0], timed_lines, counts);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    long rss = peak_rss_kib(pid);

    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::printf("requests=%zu seconds=%.3f rps=%.0f peak_rss_kib=%ld ok=%zu err=%zu bh=%zu\n", counts.lines,
                seconds, static_cast<double>(counts.lines) / seconds, rss, counts.ok, counts.err, counts.bh);
    return complete ? 0 : 1;
}

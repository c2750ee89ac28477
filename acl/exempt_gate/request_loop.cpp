// The request loop: Squid's lines from standard input, one answer per line on
// standard output. The signal handler only queues its signal and wakes the
// loop through a pipe; the loop does the work of the queued signals on this
// thread before it answers the next line, while it waits for input, and
// before it returns.

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "exempt_gate.hpp"
#include "noinspection_internal.hpp"
#include "signal_queue.hpp"

namespace {

constexpr std::size_t max_line = 64 * 1024;  // longer lines are cut here
constexpr std::size_t max_channel = 20;      // digits of a 64-bit request number
constexpr std::size_t max_client = 15;       // "255.255.255.255"

signal_queue received;
void (*signal_work)(int) = nullptr;

extern "C" void queue_signal(int signal_number)
{
    received.push(signal_number);
}

// Does the work of the signals queued since the last time, in arrival
// order, with the outcome of doing it for each of them. The whole round is
// served after its last signal came, so a signal of a kind already served in
// it is skipped: that reload, level or exit already answers it. Except a
// SIGUSR2 that came after the reload: its listing must show the reloaded
// sets. So a storm of signals costs at most one reload and two listings per
// round, and a stream faster than the work slows the answers down but never
// stops them.
void dispatch_signals()
{
    static std::vector<int> signals;
    signals.clear();
    received.drain([](int signal_number) { signals.push_back(signal_number); });
    bool served[NSIG] = {};
    bool reloaded_since_listing = false;
    for (int signal_number : signals) {
        if (signal_number <= 0 || signal_number >= NSIG)
            continue;
        bool const listing_behind = signal_number == SIGUSR2 && reloaded_since_listing;
        if (served[signal_number] && !listing_behind)
            continue;
        served[signal_number] = true;
        if (signal_number == SIGUSR1)
            reloaded_since_listing = true;
        else if (signal_number == SIGUSR2)
            reloaded_since_listing = false;
        signal_work(signal_number);
    }
}

// The loop is over: the signals that came until now are still served, with
// the same work as at any other time. Later ones stay blocked and pending
// until the process ends, as nothing would serve them.
void serve_last_signals()
{
    if (!signal_work)
        return;
    sigset_t caught;
    sigemptyset(&caught);
    for (int signal_number : {SIGUSR1, SIGUSR2, SIGTERM})
        sigaddset(&caught, signal_number);
    ::sigprocmask(SIG_BLOCK, &caught, nullptr);
    if (received.pending())
        dispatch_signals();
}

bool is_whitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Keeps the first two fields of a line that is too long to hold, each cut
// to a length that still tells an over-long field from a usable one.
class field_scanner {
public:
    void reset()
    {
        fields_[0].clear();
        fields_[1].clear();
        count_ = 0;
        in_field_ = false;
        done_ = false;
    }

    void feed(std::string_view bytes)
    {
        for (char c : bytes) {
            if (done_)
                return;
            if (c == '\0') {  // the line ends here, as a C text
                done_ = true;
            } else if (is_whitespace(c)) {
                in_field_ = false;
            } else {
                if (!in_field_) {
                    if (count_ == 2) {
                        done_ = true;
                        continue;
                    }
                    ++count_;
                    in_field_ = true;
                }
                if (auto& field = fields_[count_ - 1]; field.size() < max_field)
                    field += c;
            }
        }
    }

    // A short line with the same answer as the long one.
    std::string summary() const { return fields_[0] + " " + fields_[1]; }

private:
    static constexpr std::size_t max_field = 64;
    std::string fields_[2];
    int count_ = 0;
    bool in_field_ = false;
    bool done_ = false;
};

// Lines of a descriptor, read with read(2) so that poll(2) sees exactly what
// is still unread. A line longer than max_line is not kept: only its first
// two fields are, which is all that its answer depends on.
class line_reader {
public:
    enum class status { line, end, exit_requested };

    explicit line_reader(int fd) : fd_(fd), buffer_(2 * max_line) {}

    status next(std::string_view& line)
    {
        for (;;) {
            auto* newline = static_cast<char*>(std::memchr(data() + begin_, '\n', end_ - begin_));
            std::size_t length = newline ? static_cast<std::size_t>(newline - (data() + begin_)) : end_ - begin_;
            if (cutting_) {
                long_line_.feed(std::string_view(data() + begin_, length));
                if (newline) {
                    begin_ += length + 1;
                    cutting_ = false;
                    summary_ = long_line_.summary();
                    line = summary_;
                    return status::line;
                }
                begin_ = end_ = 0;
            } else if (newline) {
                line = std::string_view(data() + begin_, length);
                begin_ += length + 1;
                return status::line;
            } else if (length >= max_line) {
                syslog(LOG_WARNING, "Request line longer than %zu bytes, ignoring the rest of it", max_line);
                cutting_ = true;
                long_line_.reset();
                continue;
            }
            if (auto s = fill(); s != status::line)
                return s;
        }
    }

private:
    char* data() { return buffer_.data(); }

    // Waits for input or a signal; status::line when more input was read.
    status fill()
    {
        if (begin_ > 0) {
            std::memmove(data(), data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        for (;;) {
            if (is_exit_graceful)
                return status::exit_requested;
            if (received.pending()) {
                dispatch_signals();
                if (is_exit_graceful)
                    return status::exit_requested;
            }
            pollfd fds[2] = {{fd_, POLLIN, 0}, {received.wake_descriptor(), POLLIN, 0}};
            if (::poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                syslog(LOG_ERR, "Error while waiting for lines: %m");
                return status::end;
            }
            if (fds[1].fd >= 0 && (fds[1].revents & POLLIN))
                received.clear_wake();  // the signals themselves are served above
            if (fds[0].revents == 0)
                continue;
            ssize_t n = ::read(fd_, data() + end_, buffer_.size() - end_);
            if (n > 0) {
                end_ += static_cast<std::size_t>(n);
                return status::line;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0)
                syslog(LOG_ERR, "Error while reading lines: %m");
            return status::end;  // an unterminated last line is dropped
        }
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool cutting_ = false;
    field_scanner long_line_;
    std::string summary_;
};

// The next blank-separated token of text, which it consumes.
std::string_view next_token(std::string_view& text)
{
    std::size_t begin = 0;
    while (begin < text.size() && is_whitespace(text[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < text.size() && !is_whitespace(text[end]))
        ++end;
    std::string_view token = text.substr(begin, end - begin);
    text.remove_prefix(end);
    return token;
}

bool is_channel(std::string_view token)
{
    if (token.empty() || token.size() > max_channel)
        return false;
    for (char c : token)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// "<channel> <client> [anything]": at most one answer, written to stdout.
void answer_line(std::string_view line)
{
    line = line.substr(0, line.find('\0'));  // the line ends at a NUL byte, as a C text
    std::string_view channel_token = next_token(line);
    std::string_view client_token = next_token(line);
    if (client_token.empty())
        return;  // fewer than two fields: no answer

    if (!is_channel(channel_token)) {
        syslog(LOG_ERR, "channel id : (%s) is not supported!", std::string(channel_token).c_str());
        std::fputs("BH\n", stdout);
        return;
    }
    char channel[max_channel + 1];
    channel_token.copy(channel, channel_token.size());
    channel[channel_token.size()] = '\0';

    char client[max_client + 1];
    in_addr parsed;
    bool fits = client_token.size() <= max_client;
    if (fits) {
        client_token.copy(client, client_token.size());
        client[client_token.size()] = '\0';
    }
    if (!fits || inet_pton(AF_INET, client, &parsed) != 1) {
        syslog(LOG_ERR, "client ip: (%s) is not supported!", std::string(client_token).c_str());
        std::printf("%s BH\n", channel);
        return;
    }
    check_ssl_inspection(channel, client);
}

int answer(char const* channel_id, char const* word, int result)
{
    std::printf("%s %s\n", channel_id, word);
    return result;
}

constexpr int answered_err = 0;
constexpr int answered_bh = 1;
constexpr int answered_ok = 2;

}  // namespace

int install_signal_handler(void (*handler)(int))
{
    if (!received.open_wake_pipe())
        return -1;
    signal_work = handler;
    // A reload talks to the kernel over netlink and answers go to Squid's
    // pipe: the handler restarts what it interrupts.
    return catch_signals({SIGUSR1, SIGUSR2, SIGTERM}, queue_signal);
}

void handle_lines_from_stdin()
{
    syslog(LOG_INFO, "Starting reading lines");
    line_reader reader(STDIN_FILENO);
    bool first = true;
    for (;;) {
        std::string_view line;
        auto status = reader.next(line);
        if (status == line_reader::status::end)
            break;
        if (status == line_reader::status::line && first) {
            syslog(LOG_INFO, "Started reading the first line");
            first = false;
        }
        // Signals that came since the last line take effect before this one.
        if (received.pending())
            dispatch_signals();
        if (is_exit_graceful) {
            syslog(LOG_INFO, "existed reading lines");
            break;
        }
        answer_line(line);
        std::fflush(stdout);
    }
    serve_last_signals();
}

int check_ssl_inspection(char* channel_id, char* client)
{
    syslog(LOG_DEBUG, "Checking ssl inspection channel_id: %s, client: %s", channel_id, client);
    if (!noinspection_set_exist) {
        syslog(LOG_DEBUG, "noinspection set not found. Assuming client is in noinpection set: %s", client);
        return answer(channel_id, "ERR", answered_err);
    }
    if (noinspection_single_ipset.count(client) != 0) {
        syslog(LOG_DEBUG, "Client IP %s has been found in noinspection_single_ipset", client);
        return answer(channel_id, "ERR", answered_err);
    }
    syslog(LOG_DEBUG,
           "Client IP %s has not been found in noinspection_single_ipset, checking noinspection_cidr_ipset", client);

    auto found = noinspection_cidr_index().find(client);
    switch (found.answer) {
    case cidr_index::verdict::exempt:
        syslog(LOG_DEBUG, "Client IP %s has been found in noinspection_cidr_ipset by using lpm_lookup", client);
        return answer(channel_id, "ERR", answered_err);
    case cidr_index::verdict::failure:
        syslog(LOG_DEBUG, "Failed while searching %s in noinspection_cidr_ipset by using %s is returned %d",
               found.failed_text, found.failed_step, found.failed_result);
        return answer(channel_id, "BH", answered_bh);
    case cidr_index::verdict::inspect:
        break;
    }
    if (!noinspection_cidr_ipset.empty())
        syslog(LOG_DEBUG,
               "Client IP %s has not been found in noinspection_cidr_ipset by using lpm_lookup returned value is %p",
               client, static_cast<void*>(nullptr));
    return answer(channel_id, "OK", answered_ok);
}

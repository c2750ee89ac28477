#include "signal_handling.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "policy_gate.hpp"
#include "remote_store.hpp"
#include "signal_queue.hpp"
#include "syslog_level.hpp"

namespace {

constexpr char log_socket_path[] = "/dev/log";
// How long the SIGTERM handler may spend writing before the process ends:
// the lines still owed may begin until owed_lines_ns, and the rest of
// sigterm_budget_ns is kept for its own line. After a storm of signals
// there may be very many owed, and the process must end all the same.
constexpr long long sigterm_budget_ns = 300'000'000;
constexpr long long owed_lines_ns = 250'000'000;
// How long, in all, the handler may wait for the syslog daemon for the lines
// it writes once the main thread serves no more signals: a storm at exit
// cannot hold the exit up by more.
constexpr long long late_lines_wait_ns = 100'000'000;

signal_queue received;

// What the handler needs to write its lines as syslog(3) would. The main
// thread keeps the mask and the clock offset up to date here, where the
// handler may read them; the socket is the handler's alone once installed.
char const* log_ident = "";
int log_facility = LOG_USER;
int log_socket = -1;
bool log_socket_is_stream = false;
std::atomic<int> log_mask{0xff};  // every priority until a level is set
std::atomic<long> utc_offset{0};  // seconds east of UTC
// Set once the main thread serves no more signals (the process is ending):
// the handler then logs each signal itself.
std::atomic<bool> logging_in_handler{false};
// What is left of late_lines_wait_ns; the handler's alone.
long long late_wait_left_ns = late_lines_wait_ns;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free &&
              decltype(g_rules_renewed_flag)::is_always_lock_free);

// A fixed buffer that formats without allocating or locking; a NUL always
// follows the text.
class line_buffer {
public:
    void text(char const* s)
    {
        while (*s)
            put(*s++);
    }

    void number(unsigned long value)
    {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        while (n > 0)
            put(digits[--n]);
    }

    void timestamp()
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        char stamp[program_signals::timestamp_size];
        program_signals::format_timestamp(now.tv_sec, utc_offset.load(std::memory_order_relaxed), stamp);
        for (char c : stamp)
            put(c);
        put(' ');
    }

    char const* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void put(char c)
    {
        if (size_ + 1 < sizeof data_)
            data_[size_++] = c;
    }

    char data_[512] = {};
    std::size_t size_ = 0;
};

long long monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Connects to the syslog daemon as syslog(3) does: a datagram socket, or a
// stream socket when the daemon listens on one. Non-blocking, so that every
// wait for the daemon is one of ours, with its own bound.
int connect_log_socket()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, log_socket_path, sizeof log_socket_path);
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int const fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            log_socket_is_stream = type == SOCK_STREAM;
            return fd;
        }
        int const error = errno;
        close(fd);
        if (error != EPROTOTYPE)
            return -1;
    }
    return -1;
}

// Lets the daemon make room before the send is tried again: a millisecond
// at most. When its queue was full (EAGAIN), POLLOUT ends the wait sooner,
// but only as an early wake: on a unix socket the kernel reports it once the
// sender's queue has fallen to a quarter of its buffer, long after a send
// would succeed again. When kernel memory was short (ENOBUFS) there is no
// readiness to wait for, and the millisecond passes. An error on the socket
// ends the wait and shows in the next send. poll(2) is async-signal-safe.
// False once the deadline (monotonic) has passed.
bool wait_to_retry(long long deadline, bool queue_full)
{
    if (monotonic_ns() >= deadline)
        return false;
    pollfd p{log_socket, static_cast<short>(queue_full ? POLLOUT : 0), 0};
    poll(&p, 1, 1);
    return true;
}

enum class delivery { sent, lost, no_daemon };

// Sends the line, waiting for room while the daemon's queue is full: a line
// may begin until begin_by, and one that began on a stream is finished until
// end_by. A stream line cut at end_by closes the socket, so that the next
// line does not run into it; that one connects anew.
delivery send_line(line_buffer const& line, long long begin_by, long long end_by)
{
    if (log_socket < 0)
        return delivery::no_daemon;
    // On a stream the NUL that follows the text ends the line, as syslog(3)
    // ends it.
    std::size_t const size = line.size() + (log_socket_is_stream ? 1 : 0);
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t const n = send(log_socket, line.data() + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == ENOBUFS)) {
            long long const deadline = sent > 0 ? end_by : begin_by;
            if (wait_to_retry(deadline, errno == EAGAIN))
                continue;
            if (sent > 0) {
                close(log_socket);
                log_socket = -1;
            }
            return delivery::lost;
        }
        return delivery::no_daemon;  // the daemon is gone
    }
    return delivery::sent;
}

// "signal_handler signal: %d" at LOG_INFO, in syslog(3)'s own format, from
// signal context, within send_line's bounds.
delivery log_from_handler(int signal_number, long long begin_by, long long end_by)
{
    if ((log_mask.load(std::memory_order_relaxed) & LOG_MASK(LOG_INFO)) == 0)
        return delivery::sent;
    line_buffer line;
    line.text("<");
    line.number(static_cast<unsigned long>(log_facility | LOG_INFO));
    line.text(">");
    line.timestamp();
    line.text(log_ident);
    line.text("[");
    line.number(static_cast<unsigned long>(getpid()));
    line.text("]: signal_handler signal: ");
    line.number(static_cast<unsigned long>(signal_number));

    delivery const first = send_line(line, begin_by, end_by);
    if (first != delivery::no_daemon)
        return first;
    // The syslog daemon may have been restarted since: connect anew, once.
    if (log_socket >= 0)
        close(log_socket);
    log_socket = connect_log_socket();
    return send_line(line, begin_by, end_by);
}

// SIGTERM: the lines still owed, in arrival order, then its own, within its
// budget; then the process ends. The signals are taken by the main thread
// only and are blocked while this runs, so it runs once.
[[noreturn]] void end_process()
{
    long long const began = monotonic_ns();
    long long const owed_until = began + owed_lines_ns;
    long long const until = began + sigterm_budget_ns;
    received.peek([owed_until, until](int signal_number) {
        // Out of time, or no daemon to write to: the rest are dropped.
        return monotonic_ns() < owed_until &&
               log_from_handler(signal_number, owed_until, until) == delivery::sent;
    });
    log_from_handler(SIGTERM, until, until);
    remote_store::stop_authentication_script();  // it has a process group of its own
    _exit(15);
}

// A signal that comes once the main thread serves no more: logged here,
// waiting for the daemon only while late_lines_wait_ns lasts.
void log_late_signal(int signal_number)
{
    long long const began = monotonic_ns();
    log_from_handler(signal_number, began + late_wait_left_ns, began + late_wait_left_ns);
    late_wait_left_ns = std::max(0LL, late_wait_left_ns - (monotonic_ns() - began));
}

extern "C" void on_signal(int signal_number)
{
    if (signal_number == SIGTERM)
        end_process();
    if (signal_number == SIGUSR2)
        g_rules_renewed_flag.store(true);
    if (logging_in_handler.load()) {
        int const saved_errno = errno;
        log_late_signal(signal_number);
        errno = saved_errno;
    } else {
        received.push(signal_number);
    }
}

// At exit, however the process ends (main returning, a failed start-up):
// serves what is queued, then leaves the logging of every later signal to
// the handler. The signals wait meanwhile, so that none falls in between.
void stop_serving()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &signals, &before);
    program_signals::serve();
    logging_in_handler.store(true);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

namespace program_signals {

bool install(char const* ident, int facility)
{
    log_ident = ident;
    log_facility = facility;
    refresh_clock();
    if (!received.open_wake_pipe() || std::atexit(stop_serving) != 0)
        return false;
    log_socket = connect_log_socket();  // no syslog daemon yet: the handler tries again
    // SIGUSR1 and SIGUSR2 must not fail what they interrupt: a Redis
    // exchange, the cloud's, a write to Squid.
    return catch_signals({SIGUSR1, SIGUSR2, SIGTERM}, on_signal) == 0;
}

int wake_descriptor()
{
    return received.wake_descriptor();
}

void clear_wake_descriptor()
{
    received.clear_wake();
}

std::atomic<bool> const& pending()
{
    return received.pending_flag();
}

void serve()
{
    bool level_asked = false;
    received.drain([&level_asked](int signal_number) {
        syslog(LOG_INFO, "signal_handler signal: %d", signal_number);
        level_asked |= signal_number == SIGUSR1;
    });
    if (level_asked) {
        configure_syslog();
        log_mask.store(setlogmask(0), std::memory_order_relaxed);
    }
}

void refresh_clock()
{
    time_t const now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
}

}  // namespace program_signals

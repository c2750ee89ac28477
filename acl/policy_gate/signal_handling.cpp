#include "signal_handling.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "policy_gate.hpp"
#include "remote_store.hpp"
#include "signal_queue.hpp"
#include "syslog_level.hpp"

namespace {

constexpr char log_socket_path[] = "/dev/log";

signal_queue received;

// What the SIGTERM handler needs to write its line as syslog(3) would. The
// main thread keeps the mask and the clock offset up to date here, where the
// handler may read them; the socket is the handler's alone once installed.
char const* log_ident = "";
int log_facility = LOG_USER;
int log_socket = -1;
std::atomic<int> log_mask{0xff};  // every priority until a level is set
std::atomic<long> utc_offset{0};  // seconds east of UTC

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free &&
              decltype(g_rules_renewed_flag)::is_always_lock_free);

// A fixed buffer that formats without allocating or locking.
class line_buffer {
public:
    void text(char const* s)
    {
        while (*s && size_ < sizeof data_)
            data_[size_++] = *s++;
    }

    // Decimal, padded on the left with pad to at least width characters.
    void number(unsigned long value, int width = 0, char pad = ' ')
    {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        for (int i = n; i < width; ++i)
            put(pad);
        while (n > 0)
            put(digits[--n]);
    }

    char const* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void put(char c)
    {
        if (size_ < sizeof data_)
            data_[size_++] = c;
    }

    char data_[512];
    std::size_t size_ = 0;
};

// "Mmm dd hh:mm:ss " in local time, as syslog(3) stamps its lines; worked
// out by hand because localtime_r is not async-signal-safe.
void append_timestamp(line_buffer& line)
{
    static constexpr char const* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long const local = now.tv_sec + utc_offset.load(std::memory_order_relaxed);
    long long days = local / 86400;
    long long seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Civil date of a day count since 1970-01-01 (proleptic Gregorian).
    long long const z = days + 719468;
    long long const era = (z >= 0 ? z : z - 146096) / 146097;
    long long const day_of_era = z - era * 146097;
    long long const year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    long long const day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    long long const shifted_month = (5 * day_of_year + 2) / 153;  // from March
    long long const day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    long long const month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;

    line.text(months[month - 1]);
    line.text(" ");
    line.number(day, 2, ' ');
    line.text(" ");
    line.number(seconds / 3600, 2, '0');
    line.text(":");
    line.number(seconds / 60 % 60, 2, '0');
    line.text(":");
    line.number(seconds % 60, 2, '0');
    line.text(" ");
}

int connect_log_socket()
{
    int const fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, log_socket_path, sizeof log_socket_path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// "signal_handler signal: %d" at LOG_INFO, in syslog(3)'s own datagram
// format, from signal context. Never waits: a full log socket loses the line.
void log_from_handler(int signal_number)
{
    if ((log_mask.load(std::memory_order_relaxed) & LOG_MASK(LOG_INFO)) == 0)
        return;
    line_buffer line;
    line.text("<");
    line.number(log_facility | LOG_INFO);
    line.text(">");
    append_timestamp(line);
    line.text(log_ident);
    line.text("[");
    line.number(getpid());
    line.text("]: signal_handler signal: ");
    line.number(signal_number);

    int const flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    if (log_socket >= 0 && send(log_socket, line.data(), line.size(), flags) >= 0)
        return;
    // The syslog daemon may have been restarted since: connect anew, once.
    if (log_socket >= 0)
        close(log_socket);
    log_socket = connect_log_socket();
    if (log_socket >= 0)
        send(log_socket, line.data(), line.size(), flags);
}

[[noreturn]] void end_process()
{
    // Another thread may take a second SIGTERM meanwhile: one ending is enough.
    static std::atomic<bool> ending{false};
    if (ending.exchange(true))
        for (;;)
            pause();
    received.peek(log_from_handler);  // lines still owed, in arrival order
    log_from_handler(SIGTERM);
    remote_store::stop_authentication_script();  // it has a process group of its own
    _exit(15);
}

extern "C" void on_signal(int signal_number)
{
    if (signal_number == SIGTERM)
        end_process();
    if (signal_number == SIGUSR2)
        g_rules_renewed_flag.store(true);
    received.push(signal_number);
}

void refresh_utc_offset()
{
    time_t const now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
}

}  // namespace

namespace program_signals {

bool install(char const* ident, int facility)
{
    log_ident = ident;
    log_facility = facility;
    refresh_utc_offset();
    if (!received.open_wake_pipe())
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
    received.drain([](int signal_number) {
        syslog(LOG_INFO, "signal_handler signal: %d", signal_number);
        if (signal_number == SIGUSR1) {
            configure_syslog();
            log_mask.store(setlogmask(0), std::memory_order_relaxed);
        }
    });
    refresh_utc_offset();
}

}  // namespace program_signals

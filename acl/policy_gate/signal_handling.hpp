#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// SIGUSR1, SIGUSR2 and SIGTERM of the policy_gate program.
//
// The handler does only async-signal-safe work. SIGUSR2 sets
// g_rules_renewed_flag at once, so the next request evaluated fetches the
// rules, even one already read. SIGUSR1 and SIGUSR2 are queued in arrival
// order for the main thread, which logs them and re-reads the log level for
// SIGUSR1 before the next request and while it waits for input. SIGTERM
// writes the lines still owed, then its own, straight to /dev/log, waiting
// for room in the daemon's queue for at most 0.3 s in all, and ends the
// process with status 15 wherever the main thread is (a Redis or cloud
// exchange, the authentication script, a write to Squid): nothing more is
// answered. Once the main thread serves no more signals (at exit), the
// handler logs each one itself, waiting for the daemon for at most 0.1 s
// over all those lines. Only the main thread takes these signals: every
// other thread blocks them from its start.
namespace program_signals {

// Installs the handler. ident and facility are those the program gives
// openlog. False, with errno set, when it could not be set up. From then on
// every signal is logged until the process ends, however it ends.
bool install(char const* ident, int facility);

// Readable once a signal has been queued; clear_wake_descriptor empties it.
int wake_descriptor();
void clear_wake_descriptor();

// Set while queued signals wait to be served.
std::atomic<bool> const& pending();
// Serves the queued signals on the main thread, in arrival order:
// "signal_handler signal: %d" for each. When SIGUSR1 was among them, the
// log level is read once, after the last line: a burst costs one read.
void serve();

// Looks up the UTC offset that the handler stamps its lines with, which it
// cannot do itself; the loop calls it once a minute, so that a change of
// summer time shows within a minute.
void refresh_clock();

// "Mmm dd hh:mm:ss" (day padded with a blank), the time stamp syslog(3)
// gives its lines, of utc_seconds since the epoch at utc_offset seconds east
// of UTC. Worked out by hand because localtime_r is not async-signal-safe.
// Writes exactly timestamp_size characters to out, no NUL.
constexpr std::size_t timestamp_size = 15;
inline void format_timestamp(std::int64_t utc_seconds, long utc_offset, char* out) noexcept
{
    constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::int64_t const local = utc_seconds + utc_offset;
    std::int64_t days = local / 86400;
    std::int64_t seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Civil date of a day count since 1970-01-01 (proleptic Gregorian).
    std::int64_t const z = days + 719468;
    std::int64_t const era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t const day_of_era = z - era * 146097;
    std::int64_t const year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    std::int64_t const day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    std::int64_t const shifted_month = (5 * day_of_year + 2) / 153;  // from March
    std::int64_t const day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    std::int64_t const month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;

    auto const two_digits = [out](std::size_t at, std::int64_t value, char pad) {
        out[at] = value < 10 ? pad : static_cast<char>('0' + value / 10);
        out[at + 1] = static_cast<char>('0' + value % 10);
    };
    for (std::size_t i = 0; i < 3; ++i)
        out[i] = months[3 * (month - 1) + i];
    out[3] = ' ';
    two_digits(4, day, ' ');
    out[6] = ' ';
    two_digits(7, seconds / 3600, '0');
    out[9] = ':';
    two_digits(10, seconds / 60 % 60, '0');
    out[12] = ':';
    two_digits(13, seconds % 60, '0');
}

}  // namespace program_signals

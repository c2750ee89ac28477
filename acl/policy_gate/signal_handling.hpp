#pragma once

#include <atomic>

// SIGUSR1, SIGUSR2 and SIGTERM of the policy_gate program.
//
// The handler does only async-signal-safe work. SIGUSR2 sets
// g_rules_renewed_flag at once, so the next request evaluated fetches the
// rules, even one already read. SIGUSR1 and SIGUSR2 are queued in arrival
// order for the main thread, which logs them and re-reads the log level for
// SIGUSR1 before the next request and while it waits for input. SIGTERM
// writes its log line straight to /dev/log and ends the process with status
// 15 wherever the main thread is (a Redis or cloud exchange, the
// authentication script, a write to Squid): nothing more is answered.
namespace program_signals {

// Installs the handler. ident and facility are those the program gives
// openlog. False, with errno set, when it could not be set up.
bool install(char const* ident, int facility);

// Readable once a signal has been queued; clear_wake_descriptor empties it.
int wake_descriptor();
void clear_wake_descriptor();

// Set while queued signals wait to be served.
std::atomic<bool> const& pending();
// Serves the queued signals on the main thread, in arrival order:
// "signal_handler signal: %d" for each, and configure_syslog() for SIGUSR1.
void serve();

}  // namespace program_signals

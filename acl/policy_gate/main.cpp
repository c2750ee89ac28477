// The policy_gate program: Squid's external ACL helper that decides from the
// per-device rules whether a request is dropped.

#include <malloc.h>
#include <signal.h>
#include <syslog.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <exception>

#include <boost/asio/signal_set.hpp>

#include "policy_gate.hpp"
#include "syslog_level.hpp"

namespace {

constexpr std::array<int, 3> handled_signals = {SIGUSR1, SIGUSR2, SIGTERM};

// Signals that came while the helper was being built, before the loop could
// take them. Only counted here; they are handled once the loop owns them.
volatile std::sig_atomic_t early_signals[handled_signals.size()];

extern "C" void count_early_signal(int signal_number)
{
    for (std::size_t i = 0; i < handled_signals.size(); ++i)
        if (handled_signals[i] == signal_number)
            early_signals[i] = early_signals[i] + 1;  // the handler is not re-entered for its own signal
}

void catch_early_signals()
{
    struct sigaction action = {};
    action.sa_handler = count_early_signal;
    action.sa_flags = SA_RESTART;  // construction talks to Redis; no EINTR there
    sigemptyset(&action.sa_mask);
    for (int signal_number : handled_signals)
        sigaction(signal_number, &action, nullptr);
}

// Runs on the main thread, between requests.
void signal_handler(int signal_number)
{
    syslog(LOG_INFO, "signal_handler signal: %d", signal_number);
    switch (signal_number) {
    case SIGUSR1:
        configure_syslog();
        break;
    case SIGUSR2:
        g_rules_renewed_flag = true;
        break;
    case SIGTERM:
        std::exit(15);
    default:
        break;
    }
}

void wait_for_signals(boost::asio::signal_set& signals)
{
    signals.async_wait([&signals](boost::system::error_code const& ec, int signal_number) {
        if (ec)
            return;  // the set is going away
        signal_handler(signal_number);
        wait_for_signals(signals);
    });
}

void handle_early_signals()
{
    for (std::size_t i = 0; i < handled_signals.size(); ++i)
        for (std::sig_atomic_t n = early_signals[i]; n > 0; --n)
            signal_handler(handled_signals[i]);
}

}  // namespace

int main()
{
    // The rule document and its copies are tens of megabytes and are replaced
    // now and then: keep such blocks out of the heap so that they go back to
    // the system when freed (a fixed threshold also stops malloc raising it).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    catch_early_signals();

    openlog("zelto-squid-external-policy-gate", LOG_PID, LOG_LOCAL0);
    syslog(LOG_INFO, "Policy gate process started");

    policy_gate gate;
    // The set replaces the early handlers; from here on signals are queued
    // to the helper's own loop and handled between requests.
    boost::asio::signal_set signals(gate.io_context(), SIGUSR1, SIGUSR2, SIGTERM);
    wait_for_signals(signals);
    gate.on_end_of_input([&signals] { signals.cancel(); });
    handle_early_signals();

    try {
        gate.run();
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Exception while policy gate running: %s", e.what());
        return EXIT_FAILURE;
    }
    return 0;
}

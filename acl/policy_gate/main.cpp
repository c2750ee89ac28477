// The policy_gate program: Squid's external ACL helper that decides from the
// per-device rules whether a request is dropped.

#include <errno.h>
#include <malloc.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "policy_gate.hpp"
#include "signal_handling.hpp"

namespace {

constexpr char ident[] = "zelto-squid-external-policy-gate";

// Serves signals that come while the loop waits for input.
void watch_signals(boost::asio::posix::stream_descriptor& wake)
{
    wake.async_wait(boost::asio::posix::descriptor_base::wait_read,
                    [&wake](boost::system::error_code const& ec) {
                        if (ec)
                            return;  // input is over
                        program_signals::clear_wake_descriptor();
                        program_signals::serve();
                        watch_signals(wake);
                    });
}

// The SIGTERM handler stamps its line with a UTC offset that it cannot look
// up itself: a change of summer time must show within a minute.
void refresh_clock_every_minute(boost::asio::steady_timer& timer)
{
    timer.expires_after(std::chrono::minutes(1));
    timer.async_wait([&timer](boost::system::error_code const& ec) {
        if (ec)
            return;  // input is over
        program_signals::refresh_clock();
        refresh_clock_every_minute(timer);
    });
}

}  // namespace

int main()
{
    // The rule document and its copies are tens of megabytes and are replaced
    // now and then: keep such blocks out of the heap so that they go back to
    // the system when freed (a fixed threshold also stops malloc raising it).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    // First of all: until then these signals would end the helper by their
    // default action.
    bool const handled = program_signals::install(ident, LOG_LOCAL0);
    int const install_error = errno;
    openlog(ident, LOG_PID, LOG_LOCAL0);
    if (!handled) {
        errno = install_error;
        syslog(LOG_ERR, "Cannot install signal handler, aborting: %m");
        return EXIT_FAILURE;
    }
    syslog(LOG_INFO, "Policy gate process started");

    policy_gate gate;
    // A copy of the pipe's end: the handler keeps writing to the pipe after
    // this descriptor is gone, and a pipe without a reader raises SIGPIPE.
    boost::asio::posix::stream_descriptor wake(gate.io_context(), dup(program_signals::wake_descriptor()));
    watch_signals(wake);
    boost::asio::steady_timer clock_timer(gate.io_context());
    refresh_clock_every_minute(clock_timer);
    gate.before_each_request(program_signals::pending(), program_signals::serve);
    gate.on_end_of_input([&wake, &clock_timer] {
        wake.cancel();
        clock_timer.cancel();
    });

    try {
        gate.run();
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Exception while policy gate running: %s", e.what());
        return EXIT_FAILURE;
    }
    program_signals::serve();  // those that came with the end of input
    return 0;  // those that come from here on are logged at exit and by the handler
}

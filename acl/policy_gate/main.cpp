// The policy_gate program: Squid's external ACL helper that decides from the
// per-device rules whether a request is dropped.

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "policy_gate.hpp"
#include "signal_handling.hpp"
#include "standard_descriptors.hpp"

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

// The loop with its signal watch and clock: start-up ends here, once the
// loop's descriptors are made (a failure throws); what run() throws is a
// failure of the running helper.
int serve_requests(policy_gate& gate)
{
    // A copy of the pipe's end: the handler keeps writing to the pipe after
    // this descriptor is gone, and a pipe without a reader raises SIGPIPE.
    boost::asio::posix::stream_descriptor wake(gate.io_context());
    int const wake_copy = fcntl(program_signals::wake_descriptor(), F_DUPFD_CLOEXEC, 0);
    if (wake_copy < 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "dup");
    boost::system::error_code ec;
    wake.assign(wake_copy, ec);
    if (ec) {
        close(wake_copy);
        throw boost::system::system_error(ec, "assign");
    }
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

}  // namespace

int main()
{
    // The rule document's arena and the copies of its text are blocks of
    // megabytes, replaced at every reload. Served by mmap they go back to
    // the system when freed; glibc's threshold is dynamic, though, and the
    // first such block freed would raise it so that later ones come from the
    // heap and stay. A fixed threshold keeps them mmapped.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    // Before anything takes a descriptor: a closed 0, 1 or 2 would be taken
    // by one of the helper's own.
    bool const standard_open = open_standard_descriptors();
    int const standard_error = errno;

    // First of all: until then these signals would end the helper by their
    // default action.
    bool const handled = standard_open && program_signals::install(ident, LOG_LOCAL0);
    int const install_error = errno;
    openlog(ident, LOG_PID, LOG_LOCAL0);
    if (!standard_open) {
        errno = standard_error;
        syslog(LOG_ERR, "Cannot open /dev/null for a closed standard descriptor, aborting: %m");
        return EXIT_FAILURE;
    }
    if (!handled) {
        errno = install_error;
        syslog(LOG_ERR, "Cannot install signal handler, aborting: %m");
        return EXIT_FAILURE;
    }
    syslog(LOG_INFO, "Policy gate process started");

    // The stores' failures end the process inside the constructor; the
    // loop's own descriptors (epoll, eventfd, the wake copy) may run out too.
    try {
        policy_gate gate;
        return serve_requests(gate);
    } catch (std::exception const& e) {
        policy_gate::start_up_failed(e.what());
    }
}

// exempt_gate: Squid external ACL helper that tells whether a client is
// exempt from SSL inspection, from the kernel IP set "noinspection".

#include <libipset/ipset.h>
#include <malloc.h>
#include <syslog.h>

#include <cerrno>
#include <ios>
#include <string>

#include "exempt_gate.hpp"
#include "standard_descriptors.hpp"

struct ipset* ipset_instance = nullptr;
std::string code_version = "1.0.0";
std::string ipset_version = "7.10";

int main()
{
    // The listing of a large set is a block of megabytes, made anew at every
    // reload. Served by mmap it goes back to the system when freed; glibc's
    // threshold is dynamic, though, and the first such block freed would
    // raise it so that later ones come from the heap and stay. A fixed
    // threshold keeps them mmapped.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    // Before anything takes a descriptor: a closed 0, 1 or 2 would be taken
    // by one of the helper's own.
    bool const standard_open = open_standard_descriptors();
    int const standard_errno = errno;

    // First of all: until the handler is in place, SIGUSR1 and SIGUSR2 end
    // the process, and Squid starts helpers (and pkill reaches them) at any
    // time. From here on the three signals wait for the request loop, which
    // does their work, in arrival order, after the first load.
    int const installed = standard_open ? install_signal_handler(signal_handler) : -1;
    int const install_errno = errno;

    std::ios_base::sync_with_stdio(true);
    openlog("zelto-squid-external-exempt-gate", LOG_PID, LOG_LOCAL0);
    if (!standard_open) {
        errno = standard_errno;
        syslog(LOG_ERR, "Cannot open /dev/null for a closed standard descriptor, aborting: %m");
        return 1;
    }
    if (installed != 0) {
        errno = install_errno;
        syslog(LOG_ERR, "Cannot install signal handler, aborting: %m");
        return 1;
    }
    configure_syslog();
    syslog(LOG_INFO, "Version %s, An External Exempt Gate Service is being started.", code_version.c_str());

    if (!start_ipset_library())
        return 1;

    if (refresh_noinspection_set() == IPSET_SESSION_PROBLEM) {
        syslog(LOG_ERR, "noinspection set not found. Create noinspection set please.");
        noinspection_set_exist = false;
    } else {
        noinspection_set_exist = true;
    }

    syslog(LOG_DEBUG, "Ready to handle lines from stdin");
    handle_lines_from_stdin();
    syslog(LOG_DEBUG, "Stopped reading lines from stdin");

    ipset_fini(ipset_instance);
    syslog(LOG_DEBUG, "Ipset instance finished");
    return 0;
}

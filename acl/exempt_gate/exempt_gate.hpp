#pragma once

// libexempt_gate: decides per Squid request whether a client is exempt from
// SSL inspection, from the kernel IP set "noinspection".

#include <mutex>
#include <set>
#include <string>

#include "lpm.h"
#include "syslog_level.hpp"

struct ipset;
struct ipset_session;

// Defined by the program; the library works on the program's objects.
extern struct ipset* ipset_instance;  // libipset handle, renewed after a failed listing
extern std::string code_version;
extern std::string ipset_version;     // quoted in libipset error messages

// Members of the kernel set: addresses, and lines holding a "/" (networks).
// Filled by refresh_noinspection_set, which also prepares the index that
// the CIDR look-up uses: change them only through it.
extern std::set<std::string> noinspection_single_ipset;
extern std::set<std::string> noinspection_cidr_ipset;
extern std::mutex noinspection_ipset_mutex;  // held for a whole reload
extern std::mutex noinspection_print_mutex;  // held while the sets are logged; after the reload mutex
extern bool noinspection_set_exist;          // the kernel set was found at the last load
extern bool is_exit_graceful;                // SIGTERM came: the request loop stops

// Empties both sets and lists the kernel set into them. The list command's
// result (0 or more), else the standard-error callback's status (4 when
// libipset reported an error, -1 otherwise).
int refresh_noinspection_set();
// refresh_noinspection_set, then noinspection_set_exist unless the set is missing.
void refresh_noinspection_set_by_signal();
// Logs the union of both sets, in lines short enough for one datagram each;
// nothing when LOG_INFO is masked.
void print_noinspection_set_by_signal();

// Loads libipset's set types, makes ipset_instance and registers the
// callbacks below on it. False, after logging why, when there is no handle.
bool start_ipset_library();

// libipset callbacks, registered with ipset_custom_printf.
int default_print_outfn(struct ipset_session* session, void* p, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int default_custom_error(struct ipset* ipset, void* p, int status, const char* msg, ...)
    __attribute__((format(printf, 4, 5)));
int default_standard_error(struct ipset* ipset, void* p);

// The work of SIGUSR1 (reload), SIGUSR2 (log level and sets) and SIGTERM
// (graceful exit). Runs on the main thread, never in signal context.
void signal_handler(int signal);
void exit_graceful();

// Catches SIGUSR1, SIGUSR2 and SIGTERM; the request loop hands each to
// handler, in arrival order, before it answers the next line and while it
// waits for input. Logs nothing, so it can come first in main. 0, or -1
// with errno set.
int install_signal_handler(void (*handler)(int));

// Answers request lines from standard input until it ends or SIGTERM comes.
// Signals that came before it returns are served; with the handler above
// installed, it returns with the three signals blocked, as nothing would
// serve them any more.
void handle_lines_from_stdin();
// Writes the answer for one checked request: returns 0 for ERR, 1 for BH, 2 for OK.
int check_ssl_inspection(char* channel_id, char* client);

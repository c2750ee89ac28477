// The two in-memory copies of the kernel set "noinspection", their loading
// through libipset, and the work of the three signals.

#include <libipset/ipset.h>
#include <libipset/parse.h>
#include <malloc.h>
#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <boost/iterator/function_output_iterator.hpp>

#include "exempt_gate.hpp"
#include "noinspection_internal.hpp"

std::set<std::string> noinspection_single_ipset;
std::set<std::string> noinspection_cidr_ipset;
std::mutex noinspection_ipset_mutex;
std::mutex noinspection_print_mutex;
bool noinspection_set_exist = false;
bool is_exit_graceful = false;

namespace {

constexpr char set_name[] = "noinspection";
constexpr std::size_t header_lines = 8;  // Name .. Members
// A syslog line travels as one datagram, which may not exceed the sender's
// socket buffer (about 208 KiB by default): a longer listing is logged in
// lines of at most this many bytes of members.
constexpr std::size_t max_listing_text = 60 * 1024;

std::string listing;  // pieces of the list command in progress
cidr_index prepared_index;

std::string vformat(char const* fmt, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

void store_member(std::string_view line)
{
    // The whole line is the member, whatever follows the address on it.
    if (!line.empty() && line.find('/') != std::string_view::npos)
        noinspection_cidr_ipset.emplace(line);
    else
        noinspection_single_ipset.emplace(line);
}

// A failed list command leaves libipset's handle in an unknown state: start
// with a fresh one. Without one the helper cannot work at all.
void reload_ipset_library()
{
    syslog(LOG_DEBUG, "Reloading ipset library.");
    if (ipset_instance)
        ipset_fini(ipset_instance);
    if (!start_ipset_library())
        std::exit(1);
}

// The status that the standard-error callback makes of libipset's report.
int failure_status(char const* step, int rc)
{
    syslog(LOG_DEBUG, "Failed while processing %s, return code: %d", step, rc);
    return default_standard_error(ipset_instance, nullptr);
}

// Logs "Noinspection IPs: " lines that together list the members given, in
// that order, each followed by ", ". One line while they fit in it.
class listing_lines {
public:
    void add(std::string const& member)
    {
        if (!text_.empty() && text_.size() + member.size() + 2 > max_listing_text)
            log();
        text_ += member;
        text_ += ", ";
    }

    // The last line; an empty listing is one line too.
    void finish()
    {
        if (!text_.empty() || !logged_)
            log();
    }

private:
    void log()
    {
        syslog(LOG_INFO, "Noinspection IPs: %s", text_.c_str());
        text_.clear();
        logged_ = true;
    }

    std::string text_;
    bool logged_ = false;
};

}  // namespace

bool start_ipset_library()
{
    ipset_load_types();
    syslog(LOG_DEBUG, "Loaded ipset types");
    ipset_instance = ipset_init();
    if (!ipset_instance) {
        syslog(LOG_ERR, "Cannot initialize ipset, aborting.");
        return false;
    }
    syslog(LOG_DEBUG, "Initialized ipset library");
    ipset_custom_printf(ipset_instance, default_custom_error, default_standard_error, default_print_outfn,
                        nullptr);
    syslog(LOG_DEBUG, "Registered callback functions");
    return true;
}

cidr_index const& noinspection_cidr_index()
{
    return prepared_index;
}

void begin_noinspection_listing()
{
    listing.clear();
}

void end_noinspection_listing()
{
    std::string_view text = listing;
    std::size_t line_number = 0;
    bool stored = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t newline = text.find('\n', pos);
        std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        if (line_number++ >= header_lines) {
            store_member(text.substr(pos, end - pos));
            stored = true;
        }
        pos = end + 1;
    }
    if (stored)
        syslog(LOG_INFO, "The Noinspection Ipset has been updated.");
    std::string().swap(listing);
    prepared_index = cidr_index(noinspection_cidr_ipset);
}

int default_print_outfn(struct ipset_session*, void*, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string piece = vformat(fmt, args);
    va_end(args);
    listing += piece;
    return static_cast<int>(piece.size()) + 1;
}

int default_custom_error(struct ipset* ipset, void*, int status, const char* msg, ...)
{
    syslog(LOG_INFO, "An error message has been received by default_custom_error");
    struct ipset_session* session = ipset ? ipset_session(ipset) : nullptr;
    if (status == 0) {
        syslog(LOG_ERR, "An unexpected status code (%u) has been received by custom error.", 0U);
        return 0;
    }
    if (msg) {
        va_list args;
        va_start(args, msg);
        std::string text = vformat(msg, args);
        va_end(args);
        syslog(LOG_ERR, "ipset v%s: %s", ipset_version.c_str(), text.c_str());
        if (status == IPSET_PARAMETER_PROBLEM)
            syslog(LOG_ERR, "Try `ipset help' for more information.\n");
    }
    if (session)
        ipset_session_report_reset(session);
    return status;
}

int default_standard_error(struct ipset* ipset, void* p)
{
    syslog(LOG_INFO, "An error message has been received by default_standard_error");
    struct ipset_session* session = ipset ? ipset_session(ipset) : nullptr;
    if (!session)
        return -1;
    ipset_err_type type = ipset_session_report_type(session);
    switch (type) {
    case IPSET_WARNING:
    case IPSET_NOTICE:
        if (!ipset_envopt_test(session, IPSET_ENV_QUIET))
            syslog(LOG_ERR, "%s%s", type == IPSET_WARNING ? "Warning: " : "", ipset_session_report_msg(session));
        ipset_session_report_reset(session);
        return -1;
    case IPSET_ERROR:
        return default_custom_error(ipset, p, IPSET_SESSION_PROBLEM, "%s", ipset_session_report_msg(session));
    default:
        ipset_session_report_reset(session);
        return -1;
    }
}

namespace {

// The reload itself, under noinspection_ipset_mutex.
int load_noinspection_set()
{
    noinspection_single_ipset.clear();
    syslog(LOG_DEBUG, "Noinspection Single IP Set cleared.");
    print_noinspection_set_by_signal();
    noinspection_cidr_ipset.clear();
    syslog(LOG_DEBUG, "Noinspection Single CIDR IP Set cleared.");
    print_noinspection_set_by_signal();
    prepared_index = cidr_index();
    syslog(LOG_INFO, "The Noinspection Ipset has been cleared.");

    if (!ipset_instance)
        reload_ipset_library();
    struct ipset_session* session = ipset_session(ipset_instance);
    int rc = ipset_parse_setname(session, IPSET_SETNAME, set_name);
    if (rc < 0) {
        int status = failure_status("ipset_parse_setname with IPSET_SETNAME", rc);
        syslog(LOG_ERR, "Error while parsing setname, status: %d", status);
        return status;
    }
    syslog(LOG_DEBUG, "Processing ipset_parse_setname with IPSET_SETNAME completed successfully, return code: %d",
           rc);

    begin_noinspection_listing();
    rc = ipset_cmd(session, IPSET_CMD_LIST, 0);
    if (rc >= 0) {
        end_noinspection_listing();
        syslog(LOG_DEBUG, "Processing ipset_cmd with IPSET_CMD_LIST completed successfully, return code: %d", rc);
        return rc;
    }
    // A listing cut short is not a set: the sets stay empty.
    begin_noinspection_listing();
    int status = failure_status("ipset_cmd with IPSET_CMD_LIST", rc);
    syslog(LOG_ERR, "Error while getting ipset list, status: %d", status);
    reload_ipset_library();
    return status;
}

}  // namespace

int refresh_noinspection_set()
{
    std::lock_guard reload(noinspection_ipset_mutex);
    int const result = load_noinspection_set();
    // The members replaced were freed in many small blocks, which glibc
    // keeps in the heap: hand them back, or a helper that once held a large
    // set keeps its size. It costs milliseconds beside the reload.
    malloc_trim(0);
    return result;
}

void refresh_noinspection_set_by_signal()
{
    if (refresh_noinspection_set() == IPSET_SESSION_PROBLEM) {
        syslog(LOG_ERR, "noinspection set not found. Create noinspection set please.");
        noinspection_set_exist = false;
    } else {
        syslog(LOG_INFO, "Noinspection Set refreshed successfully");
        noinspection_set_exist = true;
    }
}

void print_noinspection_set_by_signal()
{
    std::lock_guard print(noinspection_print_mutex);
    if ((setlogmask(0) & LOG_MASK(LOG_INFO)) == 0)
        return;  // the lines would be dropped: a large set is not worth walking
    // The union in byte order, merged from the two ordered sets as it is
    // logged, not copied: a member of both is listed once.
    listing_lines lines;
    std::set_union(noinspection_single_ipset.begin(), noinspection_single_ipset.end(),
                   noinspection_cidr_ipset.begin(), noinspection_cidr_ipset.end(),
                   boost::make_function_output_iterator([&lines](std::string const& member) { lines.add(member); }));
    lines.finish();
}

void exit_graceful()
{
    syslog(LOG_INFO, "Exit Gracefully");
    is_exit_graceful = true;
}

void signal_handler(int signal)
{
    switch (signal) {
    case SIGUSR1:
        syslog(LOG_INFO, "Interrupt signal ( SIGUSR1 ) handled.");
        refresh_noinspection_set_by_signal();
        break;
    case SIGUSR2:
        syslog(LOG_INFO, "Interrupt signal ( SIGUSR2 ) handled.");
        configure_syslog();
        print_noinspection_set_by_signal();
        break;
    case SIGTERM:
        syslog(LOG_INFO, "Interrupt signal ( SIGTERM ) handled.");
        exit_graceful();
        break;
    default:
        break;
    }
}

#pragma once

// Matching of loaded rules against one request; internal to libpolicy_gate.

#include <syslog.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/json/array.hpp>

#include "policy_gate.hpp"

// A LOG_DEBUG line of the rule walk; its arguments are only evaluated when
// such lines are logged.
#define rule_debug(request, ...)                   \
    do {                                           \
        if ((request).debug_enabled())             \
            syslog(LOG_DEBUG, __VA_ARGS__);        \
    } while (0)

namespace rule_match {

// A request text reduced for comparison with a website: its host (when it is
// a URL) and the text without its scheme, both without a "www." prefix.
struct reduced_text {
    std::string host;
    std::string rest;
};

// A value worked out from a request text, or the text of the exception that
// stopped it.
template <typename T>
struct outcome {
    std::optional<T> value;
    std::string error;
};

// One request as the matchers see it. What they derive from its fields is
// worked out once, when the first rule needs it, and then reused by every
// rule of the walk: the results do not depend on the rule.
class request_context {
public:
    explicit request_context(policy_gate_input const& input_);

    // Whether LOG_DEBUG lines are logged, read once per request: most lines
    // of a rule walk are debug lines, a masked syslog call still takes a
    // lock, and their arguments reach into rule data that is otherwise not
    // touched (see rule_debug).
    bool debug_enabled() const { return debug_logged; }

    // The destination field as an address; null when it is none.
    boost::asio::ip::address const* destination();
    // The url and sni fields reduced for website rules.
    outcome<reduced_text> const& website_url();
    outcome<reduced_text> const& website_sni();
    // The url and sni fields as starts-with keywords compare them.
    outcome<std::string> const& prefix_url();
    outcome<std::string> const& prefix_sni();

    policy_gate_input const& input;

private:
    bool const debug_logged;
    std::optional<std::optional<boost::asio::ip::address>> destination_;
    std::optional<outcome<reduced_text>> website_url_;
    std::optional<outcome<reduced_text>> website_sni_;
    std::optional<outcome<std::string>> prefix_url_;
    std::optional<outcome<std::string>> prefix_sni_;
};

bool is_ip_list_type(std::string_view type);

// The scheme prefix ("http://" or "https://", lower case) that makes a text
// a URL here, or nothing.
std::string_view url_scheme(std::string_view text);
// Percent-decoded host of a URI; throws boost::system::system_error when the
// text is not a URI.
std::string uri_host(std::string const& text);

// Every element of an IP list, parsed.
subnet_list parse_subnets(boost::json::array const& list);
keyword_mode mode_of(std::string_view keyword);
std::string without_stars(std::string_view keyword);

// list and subnets describe the same list; text is the rule's condition as
// written, site and keyword what load made of it.
bool match_subnets(request_context& request, boost::json::array const& list, subnet_list const& subnets);
bool match_website(request_context& request, boost::json::string const& text, std::string const& site);
bool match_keyword(request_context& request, boost::json::string const& text, keyword_mode mode,
                   std::string const& keyword);

}  // namespace rule_match

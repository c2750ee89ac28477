// The rule matchers: IP lists, websites and keywords. Each logs its steps at
// LOG_DEBUG and answers whether one rule matches one request.

#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/network_v4.hpp>
#include <boost/url/parse.hpp>

#include "policy_gate.hpp"
#include "rule_match.hpp"

namespace rule_match {

namespace {

constexpr std::string_view http_scheme = "http://";
constexpr std::string_view https_scheme = "https://";

}  // namespace

std::string_view url_scheme(std::string_view text)
{
    if (text.starts_with(http_scheme))
        return http_scheme;
    if (text.starts_with(https_scheme))
        return https_scheme;
    return {};
}

std::string uri_host(std::string const& text)
{
    return boost::urls::parse_uri(text).value().host();
}

namespace {

std::string_view without_trailing_slash(std::string_view text)
{
    if (text.ends_with('/'))
        text.remove_suffix(1);
    return text;
}

reduced_text reduce(std::string const& text)
{
    reduced_text r{text, text};
    if (auto const scheme = url_scheme(text); !scheme.empty()) {
        r.host = uri_host(text);
        r.rest.erase(0, scheme.size());
    }
    r.host = policy_gate::purify_domain(std::move(r.host));
    r.rest = policy_gate::purify_domain(std::move(r.rest));
    return r;
}

// The text that a starts-with keyword is compared with: the host when the
// text is a URL, without a "www." prefix.
std::string starts_with_subject(std::string const& text)
{
    std::string subject(without_trailing_slash(text));
    if (!url_scheme(subject).empty())
        subject = uri_host(subject);
    return policy_gate::purify_domain(std::move(subject));
}

// The value derived from text, worked out on the first call only; a failure
// is kept as its message, for every rule that asks to log it.
template <typename T, typename Derive>
outcome<T> const& derive_once(std::optional<outcome<T>>& slot, std::string const& text, Derive derive)
{
    if (!slot) {
        slot.emplace();
        try {
            slot->value = derive(text);
        } catch (std::exception const& e) {
            slot->error = e.what();
        }
    }
    return *slot;
}

}  // namespace

request_context::request_context(policy_gate_input const& input_)
    : input(input_), debug_logged((setlogmask(0) & LOG_MASK(LOG_DEBUG)) != 0)
{
}

boost::asio::ip::address const* request_context::destination()
{
    if (!destination_) {
        boost::system::error_code ec;
        auto const address = boost::asio::ip::make_address(input.destination, ec);
        destination_.emplace(ec ? std::nullopt : std::optional(address));
    }
    return *destination_ ? &**destination_ : nullptr;
}

outcome<reduced_text> const& request_context::website_url()
{
    return derive_once(website_url_, input.url, reduce);
}

outcome<reduced_text> const& request_context::website_sni()
{
    return derive_once(website_sni_, input.sni, reduce);
}

outcome<std::string> const& request_context::prefix_url()
{
    return derive_once(prefix_url_, input.url, starts_with_subject);
}

outcome<std::string> const& request_context::prefix_sni()
{
    return derive_once(prefix_sni_, input.sni, starts_with_subject);
}

bool is_ip_list_type(std::string_view type)
{
    return type == "ip" || type == "site" || type == "tag" || type == "user" || type == "group" ||
           type == "device" || type == "network";
}

subnet_list parse_subnets(boost::json::array const& list)
{
    using element = subnet_list::element;
    subnet_list subnets;
    subnets.ranges.resize(list.size());
    std::vector<element> elements(list.size(), element::network);
    bool all_networks = true;
    for (std::size_t i = 0; i < list.size(); ++i) {
        auto const* text = list[i].if_string();
        boost::system::error_code ec;
        auto const network = text ? boost::asio::ip::make_network_v4(std::string(*text), ec) : boost::asio::ip::network_v4();
        if (!text || ec) {
            elements[i] = text ? element::not_network : element::not_string;
            all_networks = false;
            continue;
        }
        // 255.255.255.255/32 wraps round to an end of 0: it holds nothing.
        auto const hosts = network.hosts();
        std::uint32_t const first = hosts.begin()->to_uint();
        std::uint32_t const end = hosts.end()->to_uint();
        subnets.ranges[i] = {first, first <= end ? end - first : 0};
    }
    if (!all_networks)
        subnets.elements = std::move(elements);

    std::uint64_t low = UINT32_MAX, high = 0;
    for (auto const& r : subnets.ranges) {
        if (r.size == 0)
            continue;
        low = std::min<std::uint64_t>(low, r.first);
        high = std::max<std::uint64_t>(high, std::uint64_t(r.first) + r.size);
    }
    if (low < high)
        subnets.hull = {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(high - low)};
    return subnets;
}

bool match_subnets(request_context& request, boost::json::array const& list, subnet_list const& subnets)
{
    using element = subnet_list::element;
    auto const& ranges = subnets.ranges;
    auto const& elements = subnets.elements;
    char const* const destination_text = request.input.destination.c_str();
    auto const* destination = request.destination();
    if (!destination) {
        // Only the catch-all network can match what is not an address.
        syslog(LOG_WARNING, "Input destination is not an ip address: %s", destination_text);
        for (auto const& value : list)
            if (value.as_string() == "0.0.0.0/0")
                return true;
        return false;
    }

    // An IPv6 destination lies in no IPv4 network.
    bool const v4 = destination->is_v4();
    std::uint32_t const address = v4 ? destination->to_v4().to_uint() : 0;
    auto const contains = [&](std::size_t i) { return v4 && address - ranges[i].first < ranges[i].size; };
    auto const matched = [&](std::size_t i) {
        rule_debug(request, "Ip address: %s matched with %s.", destination_text, list[i].get_string().c_str());
        return true;
    };
    if (elements.empty()) {
        bool const in_hull = v4 && address - subnets.hull.first < subnets.hull.size;
        for (std::size_t i = 0; in_hull && i < ranges.size(); ++i)
            if (contains(i))
                return matched(i);
    } else {
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            switch (elements[i]) {
            case element::network:
                if (contains(i))
                    return matched(i);
                break;
            case element::not_network:
                syslog(LOG_WARNING, "Address is not a subnet address: %s", list[i].get_string().c_str());
                break;
            case element::not_string:
                list[i].as_string();  // throws
            }
        }
    }
    rule_debug(request, "Ip address: %s not matched with any ip in list.", destination_text);
    return false;
}

namespace {

// The log lines of one request field (url or sni) in a website rule.
struct website_field_lines {
    char const* error;
    char const* checked;
    char const* matched;
};

constexpr website_field_lines url_lines = {
    "Input url parsing exception while process website: %s",
    "Checked if the input url: %s matches website: %s",
    "Input url: %s matched website: %s",
};
constexpr website_field_lines sni_lines = {
    "Input sni parsing exception while process website: %s",
    "Checked if the input sni: %s matches website: %s",
    "Input sni: %s matched website: %s",
};

// One field against a website: the rule's result when this field decides it
// (a match, or a field that cannot be parsed), nothing when the next may.
std::optional<bool> website_field(request_context const& request, outcome<reduced_text> const& reduced,
                                  std::string const& field, boost::json::string const& text, std::string const& site,
                                  website_field_lines const& lines)
{
    if (!reduced.value) {
        syslog(LOG_ERR, lines.error, reduced.error.c_str());
        return false;
    }
    rule_debug(request, lines.checked, field.c_str(), text.c_str());
    if (reduced.value->host != site && reduced.value->rest != site)
        return std::nullopt;
    rule_debug(request, lines.matched, field.c_str(), text.c_str());
    return true;
}

}  // namespace

bool match_website(request_context& request, boost::json::string const& text, std::string const& site)
{
    auto const& input = request.input;
    rule_debug(request, "Website: %s processing started", text.c_str());
    if (auto const decided = website_field(request, request.website_url(), input.url, text, site, url_lines))
        return *decided;
    if (auto const decided = website_field(request, request.website_sni(), input.sni, text, site, sni_lines))
        return *decided;
    rule_debug(request, "Input url: %s or input sni: %s not matched website: %s", input.url.c_str(), input.sni.c_str(),
               text.c_str());
    return false;
}

keyword_mode mode_of(std::string_view keyword)
{
    if (keyword.find('*') == std::string_view::npos)
        return keyword_mode::contains;
    bool const first = keyword.front() == '*';
    bool const last = keyword.back() == '*';
    if (first && last)
        return keyword_mode::contains;
    if (first)
        return keyword_mode::ends_with;
    if (last)
        return keyword_mode::starts_with;
    return keyword_mode::none;
}

std::string without_stars(std::string_view keyword)
{
    std::string out;
    for (char c : keyword)
        if (c != '*')
            out.push_back(c);
    return out;
}

namespace {

// One field (url or sni) against a keyword: logs the check of subject (the
// field as compared) and, on a match, the field as received.
bool keyword_check(request_context const& request, char const* checked_format, char const* matched_format,
                   std::string const& field, std::string_view subject, std::string const& keyword, bool matched)
{
    rule_debug(request, checked_format, std::string(subject).c_str(), keyword.c_str());
    if (matched)
        rule_debug(request, matched_format, field.c_str(), keyword.c_str());
    return matched;
}

// A starts-with keyword against one field: the rule's result when this field
// decides it (a match, or a field that cannot be parsed), nothing when the
// next may.
std::optional<bool> starts_with_field(request_context const& request, outcome<std::string> const& subject,
                                      std::string const& field, std::string const& keyword, char const* checked_format,
                                      char const* matched_format)
{
    if (!subject.value) {
        syslog(LOG_ERR, "Exception while process keyword: %s exception: %s", keyword.c_str(), subject.error.c_str());
        return false;
    }
    if (keyword_check(request, checked_format, matched_format, field, *subject.value, keyword,
                      subject.value->starts_with(keyword)))
        return true;
    return std::nullopt;
}

}  // namespace

bool match_keyword(request_context& request, boost::json::string const& text, keyword_mode mode,
                   std::string const& keyword)
{
    auto const& input = request.input;
    rule_debug(request, "Keyword: %s processing started.", text.c_str());
    char const* const k = keyword.c_str();
    char const* const url = input.url.c_str();
    char const* const sni = input.sni.c_str();

    switch (mode) {
    case keyword_mode::none:
        return false;

    case keyword_mode::contains:
        if (keyword_check(request, "Checked if the input url: %s contains keyword: %s", "Input url: %s contains keyword: %s",
                          input.url, input.url, keyword, input.url.find(keyword) != std::string::npos) ||
            keyword_check(request, "Checked if the input sni: %s contains keyword: %s", "Input sni: %s contains keyword: %s",
                          input.sni, input.sni, keyword, input.sni.find(keyword) != std::string::npos))
            return true;
        rule_debug(request, "Input url: %s or input sni: %s not contains with keyword: %s", url, sni, k);
        return false;

    case keyword_mode::ends_with: {
        auto const u = without_trailing_slash(input.url);
        if (keyword_check(request, "Checked if the input url: %s ends with keyword: %s", "Input url: %s ends with keyword: %s",
                          input.url, u, keyword, u.ends_with(keyword)))
            return true;
        auto const s = without_trailing_slash(input.sni);
        if (keyword_check(request, "Checked if the input sni: %s ends with keyword: %s", "Input sni: %s ends with keyword: %s",
                          input.sni, s, keyword, s.ends_with(keyword)))
            return true;
        rule_debug(request, "Input url: %s or input sni: %s not ends with keyword: %s", url, sni, k);
        return false;
    }

    case keyword_mode::starts_with:
        if (auto const decided = starts_with_field(request, request.prefix_url(), input.url, keyword,
                                                   "Checked if the input url: %s starts with keyword: %s",
                                                   "Input url: %s starts with keyword: %s"))
            return *decided;
        if (auto const decided = starts_with_field(request, request.prefix_sni(), input.sni, keyword,
                                                   "Checked if the input sni: %s starts with keyword: %s",
                                                   "Input sni: %s starts with keyword: %s"))
            return *decided;
        rule_debug(request, "Input url: %s or input sni: %s not starts with keyword: %s", url, sni, k);
        return false;
    }
    return false;
}

}  // namespace rule_match

std::string policy_gate::purify_domain(std::string domain)
{
    std::string_view const d(domain);
    if (d.starts_with("www."))
        return domain.substr(4);
    if (d.size() >= 5 && d.starts_with("www") && d[3] >= '1' && d[3] <= '9' && d[4] == '.')
        return domain.substr(5);
    if (d.starts_with("*."))
        return domain.substr(2);
    return domain;
}

bool policy_gate::process_ip_adresses(policy_gate_input const& input, boost::json::array const& list)
{
    rule_match::request_context request(input);
    return rule_match::match_subnets(request, list, rule_match::parse_subnets(list));
}

bool policy_gate::process_website(policy_gate_input const& input, boost::json::string const& website)
{
    rule_match::request_context request(input);
    return rule_match::match_website(request, website, purify_domain(std::string(website)));
}

bool policy_gate::process_keyword(policy_gate_input const& input, boost::json::string const& keyword)
{
    rule_match::request_context request(input);
    return rule_match::match_keyword(request, keyword, rule_match::mode_of(keyword),
                                     rule_match::without_stars(keyword));
}

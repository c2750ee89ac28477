// Website-category rules: the domain of a request, its categories from the
// category cache (Redis 6378 db 1) or, on a miss, from the cloud, and the
// cloud's answer written back to the cache.

#include <syslog.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include "kv_store.hpp"
#include "policy_gate.hpp"
#include "remote_store.hpp"
#include "rule_match.hpp"

namespace {

// kv_store::get's answer when it has no connection or Redis gave no reply.
constexpr std::string_view store_failure = "FAILURE";
// The categories text of a domain known to have none.
constexpr char no_category[] = "EMPTY";

// The domain that a request goes to: the host of the sni or the url field
// when one is a URL, else the sni or the url field as it stands; "-" is no
// value. Nothing when neither field has one. Throws when a field that starts
// like a URL is not a URI.
std::optional<std::string> request_domain(policy_gate_input const& input)
{
    if (!rule_match::url_scheme(input.sni).empty())
        return rule_match::uri_host(input.sni);
    if (!rule_match::url_scheme(input.url).empty())
        return rule_match::uri_host(input.url);
    if (input.sni != "-")
        return input.sni;
    if (input.url != "-")
        return input.url;
    return std::nullopt;
}

bool has_nul(std::string_view text)
{
    return text.find('\0') != std::string_view::npos;
}

bool contains(std::string const& categories, boost::json::string const& category)
{
    return categories.find(std::string_view(category.data(), category.size())) != std::string::npos;
}

}  // namespace

bool policy_gate::process_website_category(policy_gate_input const& input, boost::json::string const& category)
{
    syslog(LOG_DEBUG, "Website category: %s processing started.", category.c_str());

    std::optional<std::string> found;
    try {
        found = request_domain(input);
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Input sni parsing exception while process website category: %s", e.what());
        return false;
    }
    if (!found) {
        syslog(LOG_DEBUG, "input.url: %s or input.sni: %s no provided by input provider. skipping website category rule...",
               input.url.c_str(), input.sni.c_str());
        return false;
    }
    std::string domain = purify_domain(std::move(*found));
    if (auto const slash = domain.find('/'); slash != std::string::npos && slash >= 2)
        domain.resize(slash);
    // Cache keys travel as C strings: a NUL byte would look up, and write,
    // the entry of a shorter domain.
    if (has_nul(domain)) {
        syslog(LOG_WARNING, "Domain %s holds a NUL byte. skipping website category rule...", domain.c_str());
        return false;
    }

    // Every rule reads the cache: what the cloud told an earlier rule of
    // this request is read back from there.
    try {
        syslog(LOG_DEBUG, "Category of %s asked the cache", domain.c_str());
        std::string categories = cache_request(domain);
        syslog(LOG_DEBUG, "cache repsonse: %s", categories.c_str());
        if (!categories.empty()) {
            if (categories == no_category) {
                syslog(LOG_DEBUG, "%s found in cache. But it has not category.", domain.c_str());
                return false;
            }
            if (contains(categories, category)) {
                syslog(LOG_DEBUG, "Rule category: %s matched one of the categories in cache", category.c_str());
                return true;
            }
        } else {
            syslog(LOG_DEBUG, "%s not found in cache. Asked the cloud", domain.c_str());
            categories = cloud_request(domain);
            // "EMPTY" from the cloud is searched as text, like any other.
            if (!categories.empty() && contains(categories, category)) {
                syslog(LOG_DEBUG, "Rule category: %s matched one of the categories coming from cloud",
                       category.c_str());
                return true;
            }
            // Without a token the cloud could not be asked: process() lets
            // the request through rather than trying the next rule.
            if (categories.empty() && !remote->token_present)
                token_missing = true;
        }
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Exception while cloud response parse in process website: %s", e.what());
        return false;
    }
    syslog(LOG_DEBUG, "Rule category: %s not matched one of the categories coming from cloud or in chache",
           category.c_str());
    return false;
}

std::string policy_gate::cache_request(std::string domain)
{
    syslog(LOG_DEBUG, "Category of %s asked the redis cache", domain.c_str());
    if (failed.cache && failed.domain == domain)
        throw std::runtime_error(*failed.cache);
    auto value = category_store->get(domain);
    if (!value)
        return {};
    if (*value == store_failure) {
        renew_category_store(domain);
        value = category_store->get(domain);
        if (!value)
            return {};
        if (*value == store_failure) {
            syslog(LOG_ERR, "Redis cache connection failed.");
            return {};
        }
    }
    syslog(LOG_DEBUG, "Redis cache repsonse: %s", value->c_str());
    return std::move(*value);
}

// Renews the cache connection after a failure. A connect that throws may
// leave a half-open connection behind (no database selected); drop it, so
// that the next use renews again rather than reading another database.
void policy_gate::renew_category_store(std::string const& domain)
{
    category_store->disconnect();
    syslog(LOG_DEBUG, "Trying to connect redis cache");
    try {
        category_store->connect();
    } catch (std::exception const& e) {
        category_store->disconnect();
        failed.domain = domain;
        failed.cache = e.what();
        throw;
    }
}

std::optional<std::pair<unsigned int, std::string>> policy_gate::ask_cloud(std::string const& path,
                                                                           std::string const& domain)
{
    if (failed.cloud && failed.domain == domain) {
        syslog(LOG_ERR, "%s", failed.cloud->c_str());
        return std::nullopt;
    }
    auto response = remote->request_response(path, "config");
    if (!response && !remote->exchange_failure().empty()) {
        failed.domain = domain;
        failed.cloud = remote->exchange_failure();
    }
    return response;
}

std::optional<std::string> policy_gate::categories_from_cloud_body(std::string_view body,
                                                                   boost::system::error_code& ec)
{
    ec.clear();
    // Both mean the cloud knows nothing of the domain.
    if (body.empty() || body == "false")
        return std::nullopt;
    boost::json::value const document = boost::json::parse(body, ec);
    if (ec)
        return std::nullopt;

    std::string categories;
    for (auto const& element : document.as_object().at("results").as_array()) {
        if (auto const* name = element.as_object().if_contains("category")) {
            categories += name->as_string();
            categories += ',';
        }
    }
    if (categories.empty())
        return std::nullopt;
    categories.pop_back();
    return categories;
}

std::string policy_gate::cloud_request(std::string const& domain)
{
    // Letters, digits and "-._~" as they are, every other byte as "%XX": the
    // domain may come from a client's sni, which must neither add parameters
    // nor break the request line.
    std::string const path = "/firewall/blacklist?url=" + boost::urls::encode(domain, boost::urls::unreserved_chars);
    if (!remote->token_present) {
        syslog(LOG_DEBUG, "Trying to get authentication token. Because authentication token not found.");
        try {
            if (!remote->get_auth_token()) {
                syslog(LOG_WARNING, "Authentication token not received.");
                return {};
            }
        } catch (std::exception const& e) {
            syslog(LOG_WARNING, "Exception occured while authentication token getting: %s", e.what());
            return {};
        }
        syslog(LOG_DEBUG, "Authentication token received.");
    }

    // Only an answer of the cloud is cached: after a failed exchange, or a
    // status that is no answer, the next request for the domain asks again.
    auto const response = ask_cloud(path, domain);
    if (!response) {
        syslog(LOG_WARNING, "No response from cloud for %s. Nothing cached.", domain.c_str());
        return {};
    }
    auto const& [status, body] = *response;
    if (status < 200 || status > 299) {
        syslog(LOG_WARNING, "Cloud answered with status %u for %s. Nothing cached.", status, domain.c_str());
        return {};
    }

    std::string categories;
    if (body.empty() || body == "false") {
        syslog(LOG_DEBUG, "Response not taken from cloud for %s", domain.c_str());
        categories = no_category;
    } else {
        syslog(LOG_DEBUG, "cloud response: %s for %s", body.c_str(), domain.c_str());
        boost::system::error_code ec;
        auto names = categories_from_cloud_body(body, ec);
        if (ec) {
            syslog(LOG_ERR, "Error while parse cloud response in process website: %s", ec.message().c_str());
            return {};
        }
        if (names) {
            categories = std::move(*names);
            syslog(LOG_DEBUG, "There is a valid cloud response for %s Retrieved categories %s", domain.c_str(),
                   categories.c_str());
        } else {
            syslog(LOG_DEBUG, "There is not a valid cloud response for %s", domain.c_str());
            categories = no_category;
        }
    }

    if (add_category_to_cache(domain, categories))
        syslog(LOG_DEBUG, "Cloud respone added to cache for %s", domain.c_str());
    else
        syslog(LOG_DEBUG, "Cloud respone not added to cache for %s", domain.c_str());
    return categories;
}

bool policy_gate::add_category_to_cache(std::string domain, std::string categories)
{
    // Keys and values travel as C strings: a NUL byte would store a shorter,
    // wrong entry.
    if (has_nul(domain) || has_nul(categories)) {
        syslog(LOG_ERR, "Redis SET failed: set %s %s", domain.c_str(), categories.c_str());
        return false;
    }
    if (!category_store->set(domain, categories)) {
        renew_category_store(domain);
        if (!category_store->set(domain, categories)) {
            syslog(LOG_ERR, "Redis SET failed: set %s %s", domain.c_str(), categories.c_str());
            return false;
        }
    }
    syslog(LOG_DEBUG, "Redis SET operation successful: set %s %s", domain.c_str(), categories.c_str());

    // One set per item, empty items included; what SADD answers is not
    // looked at: nothing here reads the sets.
    for (std::string::size_type start = 0;;) {
        auto const comma = categories.find(',', start);
        std::string const item = categories.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        category_store->sadd(item, domain);
        syslog(LOG_DEBUG, "Redis SADD operation successful: sadd %s %s", item.c_str(), domain.c_str());
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

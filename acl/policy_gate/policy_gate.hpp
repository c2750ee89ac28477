#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/system/error_code.hpp>

#include "acl_base.hpp"

class kv_store;
class remote_store;

// One request line of Squid: id, source, url, destination, sni and time,
// separated by blanks (runs of blanks count as one). The line's "\n", and a
// "\r" before it, belong to no field; missing fields are empty, extra ones
// are ignored.
struct policy_gate_input {
    explicit policy_gate_input(std::string const& line);

    std::string id;           // Squid's channel number
    std::string source;       // client address; selects the device's rules
    std::string url;
    std::string destination;  // destination address, or whatever Squid knows
    std::string sni;
    std::string time;
};

// One entry of "cache_chain" in the ACL configuration file.
struct cache_config {
    std::string name;
    std::int32_t volume = 0;
    std::string mode;
    std::int32_t eviction_size = 0;
    std::string special_config_url;
};

// Set when the rules in Redis have changed; the next request fetches them
// again and clears it. Starts set, so the first request loads the rules.
extern std::atomic<bool> g_rules_renewed_flag;

// An IP list parsed when the rules are loaded, so that requests only compare
// numbers: per element the host range [first, first + size) of its network.
struct subnet_list {
    enum class element : std::uint8_t { network, not_network, not_string };
    struct range {
        std::uint32_t first = 0;
        std::uint32_t size = 0;
    };

    std::vector<range> ranges;      // empty for an element that is no network
    std::vector<element> elements;  // per element; left empty when all are networks
    range hull;                     // holds every range: what lies outside matches none
};

// How a keyword rule compares, from where the "*" marks of its keyword stand.
enum class keyword_mode : std::uint8_t { contains, ends_with, starts_with, none };

// One rule object of the "devices" document. The object is kept as it came;
// what evaluation needs of it is worked out once, when it is loaded.
struct policy_rule {
    enum class kind : std::uint8_t {
        ip_list,
        any,
        website,
        keyword,
        website_category,
        unhandled,  // a "type" text of no rule kind: skipped
        malformed,  // reading "type" or "match_condition" fails
    };

    explicit policy_rule(boost::json::object object);
    // Moving keeps the pointers into fields valid (the object's elements
    // stay where they are); a copy would not.
    policy_rule(policy_rule&&) = default;

    // Reads the fields as evaluation does, so that a malformed rule fails
    // with the JSON library's own exception.
    [[noreturn]] void raise_malformed() const;

    boost::json::object fields;
    kind type = kind::malformed;
    boost::json::string const* type_text = nullptr;       // "type", inside fields
    boost::json::string const* condition_text = nullptr;  // a string "match_condition", inside fields
    boost::json::array const* list = nullptr;             // ip_list: "match_condition", inside fields
    std::string condition;       // website: the site without "www."; keyword: without "*"
    bool every_request = false;  // website: "-1", which every request matches
    keyword_mode mode = keyword_mode::none;
    subnet_list subnets;  // ip_list: the list, parsed
};

// The rule-evaluating helper: answers each Squid request from the per-device
// rules in Redis and sends a JSON tracking record of it to syslog.
class policy_gate : public acl_base<policy_gate_input, std::string> {
public:
    // Exits the process (status 1, through start_up_failed) when a store
    // cannot be set up. Throws when the loop's own descriptors cannot be
    // made (the framework part, built first).
    policy_gate();
    // Ends a start-up that failed: "Exception while policy gate
    // initializing: <what>" at LOG_ERR, then a full second's pause, which
    // keeps Squid from restarting a broken helper in a tight loop (a signal
    // handler that runs meanwhile does not end it), then exit status 1.
    [[noreturn]] static void start_up_failed(char const* what);
    // For tests and fuzzing: a helper over the given category cache and
    // remote store, without configuration file, token request or rules
    // store. Its rules come from use_rules alone: a renewal fetches nothing.
    policy_gate(std::shared_ptr<kv_store> category_cache, std::shared_ptr<remote_store> remote_store);
    // Replaces the rule map with the devices of a parsed "devices" document,
    // as a fetch does.
    void use_rules(boost::json::object document);

    void run() override;
    void process(policy_gate_input input, std::string& answer) override;
    // A line too long to hold: the failure answer ("BH") with its id prefix,
    // and the tracking record of a failed request with the fields known.
    void process_overlong(policy_gate_input input, std::string& answer) override;

    // Reads "/etc/squid/zelto/external_acl.json"; throws on a missing key or
    // a bad number, logs and keeps going when the file is missing or not JSON.
    void load_configuration();
    // Reloads the rule map from the Redis key "devices". Never throws.
    void fetch_rules();

    // The matchers, for one rule and one request. Each returns true when the
    // rule matches and logs its steps; the first three keep no state.
    static bool process_ip_adresses(policy_gate_input const& input, boost::json::array const& list);
    static bool process_website(policy_gate_input const& input, boost::json::string const& website);
    static bool process_keyword(policy_gate_input const& input, boost::json::string const& keyword);
    bool process_website_category(policy_gate_input const& input, boost::json::string const& category);

    // Drops one leading "www.", "wwwN." (N from 1 to 9) or "*.".
    static std::string purify_domain(std::string domain);

    // The category cache (Redis 6378 db 1: domain to its categories text,
    // and per category a set of domains) and the cloud behind it. A
    // categories text is the names joined with ",", or "EMPTY" for a domain
    // known to have none; the empty text means nothing is known.
    //
    // The cached categories of domain; empty on a miss or when the cache
    // cannot be read. Throws std::runtime_error when reconnecting fails.
    std::string cache_request(std::string domain);
    // Asks the cloud and caches what it answered; empty when it could not be
    // asked or gave no usable answer, in which case nothing is cached. Throws
    // when the request fails or the answer has the wrong shape.
    std::string cloud_request(std::string const& domain);
    // SET of domain, then one SADD per ","-separated item. False when the SET
    // was not stored. Throws std::runtime_error when reconnecting fails.
    bool add_category_to_cache(std::string domain, std::string categories);

    // The categories named by a cloud answer body, without logging: the
    // "category" strings of the objects in "results", joined with ",".
    // Nothing when the body names none (empty, "false", or no element with
    // "category") or is not JSON (ec then tells why); JSON of another shape
    // throws the JSON library's std::exception.
    static std::optional<std::string> categories_from_cloud_body(std::string_view body,
                                                                 boost::system::error_code& ec);

private:
    struct decision;
    // Steps of the category look-up that got no answer during the current
    // request. Squid waits for every answer without a time-out, so the later
    // category rules of the request end as that step ended instead of
    // waiting on it again: a silent cache or cloud costs one time-out per
    // request, not one per rule.
    struct failed_steps {
        std::string domain;
        std::optional<std::string> cache;  // renewing the cache connection threw this
        std::optional<std::string> cloud;  // the exchange got no response: its LOG_ERR text
    };

    // Reconnects the category cache; a failure is kept in failed.
    void renew_category_store(std::string const& domain);
    // The cloud's response for domain (remote_store::request_response), or
    // nothing when it gave none.
    std::optional<std::pair<unsigned int, std::string>> ask_cloud(std::string const& path,
                                                                   std::string const& domain);

    decision evaluate(policy_gate_input const& input);
    // The steps of every answer around the evaluation of the request: the
    // rules' renewal, the id prefix, the verdict ("BH" when the evaluation
    // throws), the log lines and the tracking record.
    template <typename Evaluation>
    void respond(policy_gate_input const& input, std::string& answer, Evaluation&& evaluation);
    void load_rules(boost::json::object& document);

    std::vector<cache_config> cache_chain;
    std::shared_ptr<kv_store> rules_store;     // Redis 6379 db 11, connected while fetching
    std::shared_ptr<kv_store> category_store;  // Redis 6378 db 1, connected for good
    std::shared_ptr<remote_store> remote;
    std::unordered_map<std::string, std::vector<policy_rule>> rules;  // by device address
    bool token_missing = false;  // a category look-up found no cloud token
    failed_steps failed;         // of the current request
};

// Loading of the per-device rules from the Redis key "devices".

#include <malloc.h>
#include <syslog.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "kv_store.hpp"
#include "policy_gate.hpp"
#include "rule_match.hpp"

namespace {

// Serialising every rule only to have syslog discard the line is the bulk of
// a large fetch; skip it when debug lines are masked.
bool debug_logged()
{
    return (setlogmask(0) & LOG_MASK(LOG_DEBUG)) != 0;
}

}  // namespace

policy_rule::policy_rule(boost::json::object object) : fields(std::move(object))
{
    auto const* type_value = fields.if_contains("type");
    if (!type_value || !type_value->is_string())
        return;
    type_text = &type_value->get_string();
    auto const& type_name = *type_text;
    auto const* condition_value = fields.if_contains("match_condition");

    if (rule_match::is_ip_list_type(type_name)) {
        if (condition_value && condition_value->is_array()) {
            list = &condition_value->get_array();
            subnets = rule_match::parse_subnets(*list);
            type = kind::ip_list;
        }
        return;
    }
    if (type_name == "any") {
        type = kind::any;
        return;
    }
    if (type_name != "website" && type_name != "keyword" && type_name != "website_category") {
        type = kind::unhandled;
        return;
    }
    if (!condition_value || !condition_value->is_string())
        return;
    condition_text = &condition_value->get_string();
    if (type_name == "website") {
        condition = policy_gate::purify_domain(std::string(*condition_text));
        every_request = *condition_text == "-1";
        type = kind::website;
    } else if (type_name == "keyword") {
        mode = rule_match::mode_of(*condition_text);
        condition = rule_match::without_stars(*condition_text);
        type = kind::keyword;
    } else {
        type = kind::website_category;
    }
}

void policy_rule::raise_malformed() const
{
    auto const& type_value = fields.at("type").as_string();
    auto const& condition_value = fields.at("match_condition");
    if (rule_match::is_ip_list_type(type_value))
        condition_value.as_array();
    else
        condition_value.as_string();
    throw std::logic_error("rule is not malformed");
}

void policy_gate::fetch_rules()
{
    if (!rules_store)
        return;  // a helper built over given rules: nothing to fetch them from
    syslog(LOG_DEBUG, "Rules fetching was started. ");
    try {
        rules_store->connect();
        std::optional<std::string> text = rules_store->get_with_type("devices", "JSON");
        if (!text) {
            rules.clear();
            syslog(LOG_INFO, "Rules not found in redis.");
        } else {
            // No reply at all is no document: the rules in force stay.
            if (*text == "FAILURE")
                throw std::runtime_error("No reply from redis");
            syslog(LOG_DEBUG, "Rules: %s", text->c_str());
            rules.clear();
            // The rules keep their part of the document; one arena for all
            // of it costs less memory than a heap block per node, and goes
            // back whole when the rules are replaced.
            boost::json::value document =
                boost::json::parse(*text, boost::json::make_shared_resource<boost::json::monotonic_resource>());
            text.reset();
            load_rules(document.as_object());
        }
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Exception while fetching rules: %s", e.what());
    }
    rules_store->disconnect();
    // The rules replaced were freed in many small blocks, which glibc keeps
    // in the heap: hand them back, or a helper that once held a large
    // document keeps its size. It costs milliseconds beside the fetch.
    malloc_trim(0);
}

// Fills the rule map from the document; a device whose value is not an array
// of objects is logged and left out, the others load.
void policy_gate::load_rules(boost::json::object& document)
{
    bool const debug = debug_logged();
    for (auto& member : document) {
        std::string const device(member.key());
        try {
            auto& list = member.value().as_array();
            syslog(LOG_DEBUG, "Rules of device: %s  were successfuly parsed.", device.c_str());
            for (auto& element : list) {
                auto const& rule = element.as_object();
                if (debug)
                    syslog(LOG_DEBUG, "Rule: %s", boost::json::serialize(rule).c_str());
            }
            // Every element is an object: move them over rather than copy.
            std::vector<policy_rule> device_rules;
            device_rules.reserve(list.size());
            for (auto& element : list)
                device_rules.emplace_back(std::move(element.get_object()));
            rules[device] = std::move(device_rules);
        } catch (std::exception const& e) {
            syslog(LOG_INFO, "Exception while fetching rules. Exception: %s", e.what());
            syslog(LOG_INFO, "Entry key: %s value: %s", boost::json::serialize(boost::json::string(device)).c_str(),
                   boost::json::serialize(member.value()).c_str());
        }
    }
}

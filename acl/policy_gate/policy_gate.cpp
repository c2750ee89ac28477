#include "policy_gate.hpp"

#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "datastore_config.hpp"
#include "kv_store.hpp"
#include "remote_store.hpp"
#include "rule_match.hpp"

std::atomic<bool> g_rules_renewed_flag{true};

namespace {

constexpr char acl_configuration_file[] = "/etc/squid/zelto/external_acl.json";

}  // namespace

policy_gate::policy_gate()
{
    try {
        load_configuration();
        remote = std::make_shared<remote_store>(datastore_config());
        category_store = std::make_shared<kv_store>(datastore_config("redis://127.0.0.1:6378/1"));
        category_store->connect();
        rules_store = std::make_shared<kv_store>(datastore_config("redis://127.0.0.1:6379/11"));
    } catch (std::exception const& e) {
        start_up_failed(e.what());
    }

    // Without a token the helper still serves every rule but the category
    // ones, which ask again later.
    try {
        if (remote->get_auth_token())
            syslog(LOG_DEBUG, "Authentication token received.");
        else
            syslog(LOG_WARNING, "Authentication token not received.");
    } catch (std::exception const& e) {
        syslog(LOG_ERR, "Exception occured while authentication token getting: %s", e.what());
    }
}

void policy_gate::start_up_failed(char const* what)
{
    syslog(LOG_ERR, "Exception while policy gate initializing: %s", what);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    ++until.tv_sec;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    std::exit(EXIT_FAILURE);
}

policy_gate::policy_gate(std::shared_ptr<kv_store> category_cache, std::shared_ptr<remote_store> remote_store)
    : category_store(std::move(category_cache)), remote(std::move(remote_store))
{
}

void policy_gate::use_rules(boost::json::object document)
{
    rules.clear();
    load_rules(document);
}

void policy_gate::load_configuration()
{
    namespace pt = boost::property_tree;
    try {
        pt::ptree tree;
        pt::read_json(acl_configuration_file, tree);
        for (auto const& [key, entry] : tree.get_child("cache_chain")) {
            cache_config config;
            config.name = entry.get_child("name").data();
            config.volume = entry.get_child("volume").get_value<int>();
            config.mode = entry.get_child("mode").data();
            config.eviction_size = entry.get_child("eviction_size").get_value<int>();
            if (entry.find("special_config") != entry.not_found())
                config.special_config_url = entry.get<std::string>("special_config.url", "");
            cache_chain.push_back(config);
        }
    } catch (pt::json_parser::json_parser_error const& e) {
        syslog(LOG_ERR, "Exception while parsing configuration: %s", e.what());
    }
}

void policy_gate::run()
{
    io_handler.reschedule();
    io_handler.context.run();
}

// The outcome of one request: the answer's verdict word, the rule id that the
// answer names (" message=") and the one the tracking record names.
struct policy_gate::decision {
    char const* verdict;
    std::optional<std::int64_t> message_id;   // set exactly when a rule matched
    std::optional<std::int64_t> tracking_id;  // blank in the record when unset

    // "OK" tells Squid to drop the request.
    bool drop() const { return std::string_view(verdict) == "OK"; }

    static decision no_match() { return {"OK", std::nullopt, std::nullopt}; }
    static decision failure() { return {"BH", std::nullopt, std::nullopt}; }
};

namespace {

// The id field as the answer's channel prefix: the id and a blank, nothing
// for "-1" or for an id that is no number.
std::string answer_prefix(std::string const& id)
{
    try {
        if (std::stoll(id) == -1)
            return {};
        return id + " ";
    } catch (std::exception const&) {
        syslog(LOG_DEBUG, "Rule id not found");
        return {};
    }
}

// Length of the well-formed UTF-8 sequence at the start of s, 0 if there is
// none.
std::size_t utf8_sequence_length(std::string_view s)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto continuation = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xbf) {
        return i < s.size() && byte(i) >= lo && byte(i) <= hi;
    };
    unsigned const lead = byte(0);
    if (lead >= 0xc2 && lead <= 0xdf)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        unsigned const lo = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        unsigned const hi = lead == 0xed ? 0x9f : 0xbf;  // no surrogates
        return continuation(1, lo, hi) && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        unsigned const lo = lead == 0xf0 ? 0x90 : 0x80;
        unsigned const hi = lead == 0xf4 ? 0x8f : 0xbf;  // nothing above U+10FFFF
        return continuation(1, lo, hi) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

// Appends text as a JSON string. Request fields come from clients, so quotes,
// backslashes and control characters are escaped and bytes that are not
// UTF-8 become U+FFFD: the record stays one line of valid JSON.
void append_json_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        auto const c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (auto const n = utf8_sequence_length(text.substr(i)); n > 0) {
                out.append(text, i, n);
                i += n;
            } else {
                out += "\\ufffd";
                ++i;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// One line of JSON for syslog that tells what became of a request.
std::string tracking_record(std::optional<std::int64_t> tracking_id, bool drop, policy_gate_input const& input)
{
    std::string record = "{\"tracking_id\": \"";
    record += tracking_id ? std::to_string(*tracking_id) : " ";
    record += drop ? "\", \"action\": \"DROP\", " : "\", \"action\": \"ACCEPT\", ";
    std::pair<char const*, std::string const*> const members[] = {
        {"\"client_ip\": ", &input.source}, {", \"destination_ip\": ", &input.destination},
        {", \"time\": ", &input.time},      {", \"url\": ", &input.url},
        {", \"sni\": ", &input.sni},
    };
    for (auto const& [key, value] : members) {
        record += key;
        append_json_string(record, *value);
    }
    record += "}\n";
    return record;
}

}  // namespace

policy_gate::decision policy_gate::evaluate(policy_gate_input const& input)
{
    auto const entry = rules.find(input.source);
    if (entry == rules.end()) {
        syslog(LOG_DEBUG, "Rule not found for %s", input.source.c_str());
        return decision::no_match();
    }
    syslog(LOG_DEBUG, "Rules found for ip address %s", input.source.c_str());

    rule_match::request_context request(input);
    bool ip_list_tried = false;
    for (auto const& rule : entry->second) {
        bool matched = false;
        switch (rule.type) {
        case policy_rule::kind::ip_list:
            rule_debug(request, "Ip address: %s %s processing started.", input.destination.c_str(),
                       rule.type_text->c_str());
            matched = rule_match::match_subnets(request, *rule.list, rule.subnets);
            ip_list_tried = true;
            break;
        case policy_rule::kind::any:
            matched = true;
            break;
        case policy_rule::kind::website:
            matched = rule.every_request || rule_match::match_website(request, *rule.condition_text, rule.condition);
            break;
        case policy_rule::kind::keyword:
            matched = rule_match::match_keyword(request, *rule.condition_text, rule.mode, rule.condition);
            break;
        case policy_rule::kind::website_category:
            matched = process_website_category(input, *rule.condition_text);
            if (!matched && !remote->token_present && token_missing) {
                // Without a token the category cannot be known: let the request through.
                syslog(LOG_WARNING, "Cannot lookup the category for %s due to missing token", input.source.c_str());
                return {"ERR", std::nullopt, rule.fields.at("id").as_int64()};
            }
            break;
        case policy_rule::kind::unhandled:
            rule_debug(request, "Invalid/unhandeled rule type: %s", rule.type_text->c_str());
            break;
        case policy_rule::kind::malformed:
            rule.raise_malformed();
        }
        if (!matched)
            continue;

        auto const& action = rule.fields.at("action").as_string();
        auto const id = rule.fields.at("id").as_int64();
        if (id == 0 && !request.destination() && ip_list_tried)
            return {"ERR", 0, std::nullopt};
        if (action == "deny")
            return {"OK", id, id};
        if (action == "allow")
            return {"ERR", id, id};
        return {"BH", id, id};
    }
    return decision::no_match();
}

void policy_gate::process(policy_gate_input input, std::string& answer)
{
    respond(input, answer, [&] { return evaluate(input); });
}

void policy_gate::process_overlong(policy_gate_input input, std::string& answer)
{
    constexpr auto limit = async_io_handler<policy_gate_input, std::string&>::max_line_size;
    respond(input, answer, []() -> decision {
        throw std::length_error("Request line longer than " + std::to_string(limit) + " bytes");
    });
}

template <typename Evaluation>
void policy_gate::respond(policy_gate_input const& input, std::string& answer, Evaluation&& evaluation)
{
    token_missing = false;
    failed = {};
    syslog(LOG_DEBUG, "Input acl rule processing started");
    syslog(LOG_DEBUG, "input -> url: %s sni: %s destination: %s source: %s id: %s", input.url.c_str(),
           input.sni.c_str(), input.destination.c_str(), input.source.c_str(), input.id.c_str());

    // Cleared before the fetch: a renewal asked for meanwhile is served next time.
    if (g_rules_renewed_flag.exchange(false)) {
        syslog(LOG_DEBUG, "Signal received. Rules will be fetched.");
        fetch_rules();
    }

    answer = answer_prefix(input.id);

    // Built whole on either path, never assigned over. With
    // `d = failure(); try { d = evaluation(); } catch ...`, GCC 12's dead-store
    // pass counts the throwing call as writing d and drops the stores before
    // it, so the catch path read garbage: a rule without "type" crashed the
    // -O2 build (the -O0 sanitized build does not run that pass).
    decision const outcome = [&] {
        try {
            return evaluation();
        } catch (std::exception const& e) {
            syslog(LOG_ERR, "Exception is occur while process input: %s", e.what());
            return decision::failure();
        }
    }();

    answer += outcome.verdict;
    if (outcome.message_id)
        answer += " message=" + std::to_string(*outcome.message_id);
    answer += '\n';
    syslog(LOG_DEBUG, outcome.message_id ? "Result of input processing: %s " : "Result of input processing: %s",
           answer.c_str());

    syslog(LOG_INFO, "%s", tracking_record(outcome.tracking_id, outcome.drop(), input).c_str());
}

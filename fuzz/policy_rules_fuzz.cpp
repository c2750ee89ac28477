// Fuzz target: a "devices" rule document through rule loading and the
// evaluation of a few fixed requests from each device it names. Nothing may
// crash, every answer and tracking record must be well formed, and a device
// whose first rule is "any" must be answered by that rule.
//
// Input: the document text, as Redis would hold it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "policy_fixture.hpp"

namespace {

// Requests without their source, which each device in turn provides.
char const* const requests[] = {
    "1 - http://www.example.com/path?q=1 10.0.0.1 example.com 1700000000",
    "2 - example.com:443 192.168.1.1 - 1700000000",
    "3 - https://shop.example/ 2001:db8::1 www3.shop.example 1700000000",
    "4 - - host.example - 1700000000",
    "5 - http://exa%20mple.com/ 0.0.0.0 https://*.example.com/ 1700000000",
    "6 - http://bad.example/a 255.255.255.255 bad.example/ 1700000000",
    "-1 - http://[::1]:8080/ - - -",
};

// The answer a device's first rule gives when it is an "any" rule: that
// rule decides, or fails the request when its action or id is unusable.
// Nothing when the device has no entry or another first rule.
std::optional<std::string> any_rule_answer(boost::json::value const& rules)
{
    if (!rules.is_array() || rules.get_array().empty())
        return std::nullopt;
    for (auto const& rule : rules.get_array())
        if (!rule.is_object())
            return std::nullopt;  // the device is not loaded at all
    auto const& first = rules.get_array()[0].get_object();
    auto const* type = first.if_contains("type");
    if (!type || !type->is_string() || type->get_string() != "any")
        return std::nullopt;
    auto const* action = first.if_contains("action");
    auto const* id = first.if_contains("id");
    if (!action || !action->is_string() || !id || !id->is_int64())
        return std::string("BH\n");
    std::string const message = " message=" + std::to_string(id->get_int64()) + "\n";
    if (action->get_string() == "deny")
        return "OK" + message;
    if (action->get_string() == "allow")
        return "ERR" + message;
    return "BH" + message;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    policy_fixture::gate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<char const*>(data), size);
    boost::system::error_code ec;
    // As a fetch parses it.
    boost::json::value document =
        boost::json::parse(text, ec, boost::json::make_shared_resource<boost::json::monotonic_resource>());
    if (ec || !document.is_object())
        return 0;  // a fetch logs it and leaves no rules: nothing to evaluate

    // What to ask, taken before loading moves the rules out of the document.
    struct device {
        std::string name;
        std::optional<std::string> any_answer;
    };
    std::vector<device> devices;
    for (auto const& member : document.get_object()) {
        if (devices.size() == 8)
            break;
        devices.push_back({std::string(member.key()), any_rule_answer(member.value())});
    }
    devices.push_back({"192.0.2.99", std::nullopt});  // in no document of the corpus

    policy_fixture::gate().use_rules(std::move(document.get_object()));

    for (auto const& d : devices) {
        for (char const* request : requests) {
            policy_gate_input input(std::string(request) + "\n");
            input.source = d.name;
            auto const out = policy_fixture::process(input);
            std::string const answer = policy_fixture::check(input, out, policy_fixture::expected_prefix(input.id));
            if (d.any_answer && answer != *d.any_answer) {
                std::fprintf(stderr, "device [%s]: answer [%s], its \"any\" rule gives [%s]\n", d.name.c_str(),
                             answer.c_str(), d.any_answer->c_str());
                std::abort();
            }
        }
    }
    return 0;
}

// Fuzz target: a policy_gate request line through the request record, the
// evaluation against a fixed rule document, the answer and the tracking
// record. The record must always be one line of JSON whose values are the
// request's fields; the answer must carry the id's prefix.
//
// Input: the request line, up to its first "\n" (the framework hands each
// line over with its "\n").

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>

#include "policy_fixture.hpp"

namespace {

// Every kind of rule, in front of the devices' fallbacks.
constexpr char document[] = R"({
  "10.0.0.1": [{"type": "ip", "match_condition": ["192.168.0.0/16", "10.1.0.1/32", "0.0.0.0/0x", "bad"],
                "action": "deny", "id": 11},
               {"type": "website", "match_condition": "www.allowed.test", "action": "allow", "id": 12},
               {"type": "keyword", "match_condition": "*bad*", "action": "deny", "id": 13},
               {"type": "keyword", "match_condition": "shop*", "action": "allow", "id": 14},
               {"type": "keyword", "match_condition": "*.example", "action": "deny", "id": 15},
               {"type": "website_category", "match_condition": "gambling", "action": "deny", "id": 16},
               {"type": "Website", "match_condition": "x", "action": "deny", "id": 17},
               {"type": "site", "match_condition": ["0.0.0.0/0"], "action": "allow", "id": 0}],
  "10.0.0.2": [{"type": "any", "action": "allow", "id": 21}],
  "10.0.0.3": [{"type": "website", "match_condition": "-1", "action": "block", "id": -3}],
  "10.0.0.4": [{"type": "network", "match_condition": [5], "action": "deny", "id": 41}],
  "10.0.0.5": []
})";

// The fields as the record splits the line: the line end dropped, runs of
// blanks separating, a leading or trailing run making an empty field.
std::vector<std::string> split(std::string line)
{
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != ' ') {
            out.back() += line[i];
        } else if (i == 0 || line[i - 1] != ' ') {
            out.emplace_back();
        }
    }
    out.resize(6);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    policy_fixture::gate().use_rules(boost::json::parse(document).as_object());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string line(reinterpret_cast<char const*>(data), size);
    line = line.substr(0, line.find('\n')) + "\n";

    policy_gate_input const input(line);
    auto const want = split(line);
    std::string const* const got[] = {&input.id,          &input.source, &input.url,
                                      &input.destination, &input.sni,    &input.time};
    for (std::size_t i = 0; i < 6; ++i) {
        if (*got[i] != want[i]) {
            std::fprintf(stderr, "field %zu: [%s], expected [%s]\n", i, got[i]->c_str(), want[i].c_str());
            std::abort();
        }
    }

    auto const out = policy_fixture::process(input);
    std::string const answer = policy_fixture::check(input, out, policy_fixture::expected_prefix(input.id));
    // Devices whose answer does not depend on the rest of the request.
    char const* fixed = input.source == "10.0.0.2" ? "ERR message=21\n"
                        : input.source == "10.0.0.3" ? "BH message=-3\n"
                        : input.source == "10.0.0.4" ? "BH\n"
                        : input.source == "10.0.0.1" ? nullptr
                                                     : "OK\n";
    if (fixed && answer != fixed) {
        std::fprintf(stderr, "source [%s]: answer [%s], expected [%s]\n", input.source.c_str(), answer.c_str(), fixed);
        std::abort();
    }
    return 0;
}

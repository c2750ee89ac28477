// Fuzz target: a cloud answer body through the category parsing. The
// categories must be the "category" strings of the objects in "results",
// joined with ","; a body that is not JSON must be told by the error code;
// JSON of another shape must fail with an exception, never anything worse.
//
// Input: the response body.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "policy_gate.hpp"

namespace {

struct expected {
    bool fails = false;  // an exception
    bool not_json = false;
    std::optional<std::string> categories;
};

expected reference(std::string_view body)
{
    expected e;
    if (body.empty() || body == "false")
        return e;
    boost::system::error_code ec;
    boost::json::value const document = boost::json::parse(body, ec);
    if (ec) {
        e.not_json = true;
        return e;
    }
    auto const* object = document.if_object();
    auto const* results = object ? object->if_contains("results") : nullptr;
    if (!results || !results->is_array()) {
        e.fails = true;
        return e;
    }
    std::string joined;
    bool any = false;
    for (auto const& element : results->get_array()) {
        if (!element.is_object()) {
            e.fails = true;
            return e;
        }
        if (auto const* category = element.get_object().if_contains("category")) {
            if (!category->is_string()) {
                e.fails = true;
                return e;
            }
            joined += (any ? "," : "") + std::string(category->get_string());
            any = true;
        }
    }
    if (any)
        e.categories = joined;
    return e;
}

[[noreturn]] void mismatch(char const* what, std::string_view body)
{
    std::fprintf(stderr, "%s\nbody: %.*s\n", what, static_cast<int>(body.size()), body.data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string_view const body(reinterpret_cast<char const*>(data), size);
    expected const want = reference(body);
    boost::system::error_code ec;
    std::optional<std::string> got;
    try {
        got = policy_gate::categories_from_cloud_body(body, ec);
    } catch (std::exception const&) {
        if (!want.fails)
            mismatch("an exception for a body of the right shape", body);
        return 0;
    }
    if (want.fails)
        mismatch("no exception for a body of the wrong shape", body);
    if (static_cast<bool>(ec) != want.not_json)
        mismatch("error code", body);
    if (got != want.categories)
        mismatch("categories", body);
    return 0;
}

#include "policy_fixture.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "datastore_config.hpp"
#include "kv_store.hpp"
#include "quiet_syslog.hpp"
#include "remote_store.hpp"

namespace policy_fixture {

namespace {

[[noreturn]] void fail(std::string const& what, policy_gate_input const& input, outcome const& out)
{
    std::fprintf(stderr,
                 "%s\nid [%s] source [%s] url [%s] destination [%s] sni [%s] time [%s]\nanswer [%s]\nrecord [%s] "
                 "(%d records)\n",
                 what.c_str(), input.id.c_str(), input.source.c_str(), input.url.c_str(), input.destination.c_str(),
                 input.sni.c_str(), input.time.c_str(), out.answer.c_str(), out.record.c_str(), out.records);
    std::abort();
}

policy_gate* make_gate()
{
    if (!std::getenv("ZELTO_SANDBOX")) {
        std::fprintf(stderr, "this fuzz target runs inside tests/sandbox/sandbox --no-redis (fuzz/run-all does)\n");
        std::exit(2);
    }
    // Endpoints that nothing answers; no request gets that far anyway.
    std::filesystem::create_directories("/etc/zelto/cloud");
    std::string urls = "{";
    for (char const* key : {"accounts", "auth", "config", "device", "gate", "log", "socket", "user"})
        urls += std::string(urls.size() > 1 ? "," : "") + "\"" + key + "\":[\"http://127.0.0.1:9\"]";
    std::ofstream(remote_store::service_urls_file) << urls << "}";

    // Kept for the life of the process, like the helper itself.
    std::shared_ptr<remote_store> remote(new remote_store(datastore_config()), [](remote_store*) {});
    // Never connected, and nothing listens on its port in the sandbox.
    auto cache = std::make_shared<kv_store>(datastore_config("redis://127.0.0.1:6378/1"));
    g_rules_renewed_flag = false;
    return new policy_gate(cache, remote);
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

bool space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Length of the well-formed UTF-8 character at the start of text, or 0.
std::size_t utf8_char(std::string_view text)
{
    auto const b = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    unsigned const lead = b(0);
    std::size_t length;
    unsigned low = 0x80, high = 0xbf;  // range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;  // overlong below
        if (lead == 0xed)
            high = 0x9f;  // surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        if (lead == 0xf4)
            high = 0x8f;  // above U+10FFFF
    } else {
        return 0;
    }
    if (b(1) < low || b(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (b(i) < 0x80 || b(i) > 0xbf)
            return 0;
    return length;
}

}  // namespace

policy_gate& gate()
{
    static policy_gate* const made = make_gate();
    return *made;
}

outcome process(policy_gate_input const& input)
{
    outcome out;
    quiet_syslog::capture log;
    gate().process(input, out.answer);
    for (auto const& [priority, text] : log.messages()) {
        if (priority == 6 && text.rfind("{\"tracking_id\"", 0) == 0) {  // LOG_INFO
            out.record = text;
            ++out.records;
        }
    }
    return out;
}

std::string expected_prefix(std::string const& id)
{
    std::size_t i = 0;
    while (i < id.size() && space(id[i]))
        ++i;
    bool negative = false;
    if (i < id.size() && (id[i] == '+' || id[i] == '-'))
        negative = id[i++] == '-';
    if (i >= id.size() || !digit(id[i]))
        return "";  // no number
    // Magnitude up to 2^63 (the most negative number).
    unsigned long long value = 0;
    unsigned long long const limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    for (; i < id.size() && digit(id[i]); ++i) {
        unsigned d = static_cast<unsigned>(id[i] - '0');
        if (value > (limit - d) / 10)
            return "";  // out of range
        value = value * 10 + d;
    }
    if (negative && value == 1)
        return "";  // -1: no channel
    return id + " ";
}

std::string as_utf8(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (std::size_t n = utf8_char(text.substr(i)); n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

std::string check(policy_gate_input const& input, outcome const& out, std::string const& prefix)
{
    // The answer line: prefix, verdict, optional " message=" and id, "\n".
    std::string const& answer = out.answer;
    if (answer.compare(0, prefix.size(), prefix) != 0 || answer.size() < prefix.size() + 3 || answer.back() != '\n')
        fail("answer prefix or line end", input, out);
    std::string rest = answer.substr(prefix.size(), answer.size() - prefix.size() - 1);
    std::string verdict = rest.substr(0, rest.find(' '));
    if (verdict != "OK" && verdict != "ERR" && verdict != "BH")
        fail("answer verdict", input, out);
    std::string message;
    if (rest.size() > verdict.size()) {
        std::string const tag = " message=";
        message = rest.substr(verdict.size() + tag.size());
        if (rest.compare(verdict.size(), tag.size(), tag) != 0 || message.empty() ||
            message.find_first_not_of("-0123456789") != std::string::npos ||
            std::to_string(std::stoll(message)) != message)
            fail("answer message", input, out);
    }

    // The tracking record: one line of JSON, seven members in order.
    if (out.records != 1)
        fail("not one tracking record", input, out);
    std::string const& record = out.record;
    if (record.size() < 2 || record.back() != '\n' || record.find('\n') != record.size() - 1)
        fail("record is not one line", input, out);
    boost::system::error_code ec;
    boost::json::value const parsed = boost::json::parse(record, ec);
    if (ec || !parsed.is_object())
        fail("record is not a JSON object: " + ec.message(), input, out);
    auto const& object = parsed.get_object();
    std::pair<char const*, std::string> const members[] = {
        {"tracking_id", ""},
        {"action", ""},
        {"client_ip", as_utf8(input.source)},
        {"destination_ip", as_utf8(input.destination)},
        {"time", as_utf8(input.time)},
        {"url", as_utf8(input.url)},
        {"sni", as_utf8(input.sni)},
    };
    if (object.size() != std::size(members))
        fail("record members", input, out);
    auto it = object.begin();
    for (auto const& [key, value] : members) {
        if (it->key() != key || !it->value().is_string())
            fail(std::string("record member ") + key, input, out);
        if (!value.empty() || it - object.begin() >= 2) {
            if (it->value().get_string() != value)
                fail(std::string("record value of ") + key, input, out);
        }
        ++it;
    }

    // The record tells what the answer tells.
    auto const& action = object.at("action").get_string();
    if (action != (verdict == "OK" ? "DROP" : "ACCEPT"))
        fail("record action", input, out);
    auto const& tracking = object.at("tracking_id").get_string();
    bool const id_zero_case = verdict == "ERR" && message == "0" && tracking == " ";
    if (!id_zero_case && tracking != (message.empty() ? std::string(" ") : message)) {
        // Only the missing-token outcome names a rule without a message.
        if (!(verdict == "ERR" && message.empty() && tracking != " "))
            fail("record tracking_id", input, out);
    }
    return rest + "\n";
}

}  // namespace policy_fixture

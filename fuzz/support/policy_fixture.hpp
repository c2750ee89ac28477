#pragma once

// A policy_gate for the fuzz targets: no configuration file, no Redis, no
// cloud. Its category cache is a store that cannot connect, so a category
// rule fails its look-up and does not match, and its remote store holds no
// token. Inside the sandbox only: the remote store reads its endpoint URLs
// from the service URL file, which this writes.

#include <string>
#include <string_view>

#include "policy_gate.hpp"

namespace policy_fixture {

// The one helper of the process (built at first use, never destroyed: it
// holds descriptors 0 and 1).
policy_gate& gate();

// process() on a request record: the answer and the tracking record that it
// sent to syslog (nothing if it sent none, or more than one).
struct outcome {
    std::string answer;
    std::string record;
    int records = 0;
};
outcome process(policy_gate_input const& input);

// The id field's prefix of the answer: the id and a blank when the field
// reads as a signed 64-bit number other than -1, as std::stoll reads it.
std::string expected_prefix(std::string const& id);

// text with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD: what the tracking record holds for a request field.
std::string as_utf8(std::string_view text);

// Aborts unless outcome is one well-formed answer line, after prefix, and
// one tracking record that parses as JSON with the request's fields as its
// values and agrees with the answer. Returns the answer without the prefix.
std::string check(policy_gate_input const& input, outcome const& out, std::string const& prefix);

}  // namespace policy_fixture

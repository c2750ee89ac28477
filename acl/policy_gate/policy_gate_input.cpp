#include <string_view>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "policy_gate.hpp"

policy_gate_input::policy_gate_input(std::string const& line)
{
    // The line ending is no part of the last field.
    std::string_view text(line);
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
        if (text.ends_with('\r'))
            text.remove_suffix(1);
    }

    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, text, boost::algorithm::is_any_of(" "), boost::algorithm::token_compress_on);

    std::string* const fields[] = {&id, &source, &url, &destination, &sni, &time};
    for (std::size_t i = 0; i < std::size(fields) && i < tokens.size(); ++i)
        *fields[i] = std::move(tokens[i]);
}

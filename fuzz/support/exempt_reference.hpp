#pragma once

// What exempt_gate must answer, worked out the plain way, for the fuzz
// targets to hold the library's answers against.

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace exempt_reference {

enum class verdict { exempt, failure, inspect };  // ERR, BH, OK

// The CIDR check as one fresh table per request: members inserted in set
// order, the client looked up after each insert; the first hit exempts, an
// unusable member or client before it is a failure.
verdict check_cidr(std::set<std::string> const& members, std::string const& client);

struct sets {
    std::set<std::string> singles;
    std::set<std::string> cidrs;
    bool exist = true;  // the kernel set was found
};

// The answer to one request line (without its "\n"), or "" for none.
std::string answer(std::string_view line, sets const& members);

// The members a listing holds: its lines after the 8 header lines, each
// whole; a non-empty line with a "/" is a network, any other an address.
sets parse_listing(std::string_view text);

// The listing of these members as libipset prints it.
std::string listing_of(std::vector<std::string> const& members);

}  // namespace exempt_reference

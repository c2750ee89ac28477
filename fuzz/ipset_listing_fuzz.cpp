// Fuzz target: the listing of the kernel set as libipset hands it to the
// print callback, cut into pieces anywhere and formatted in several ways.
// The members found must be those of the whole text, wherever it was cut,
// and the CIDR index made of them must answer like a per-request table.
//
// Input: a count of cuts (first byte, up to 7), two bytes per cut position,
// one byte choosing how the pieces are formatted, then the listing text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "cidr_index.hpp"
#include "exempt_gate.hpp"
#include "exempt_reference.hpp"
#include "noinspection_internal.hpp"

struct ipset* ipset_instance = nullptr;
std::string code_version = "1.0.0";
std::string ipset_version = "7.10";

namespace {

static_assert(static_cast<int>(cidr_index::verdict::exempt) == static_cast<int>(exempt_reference::verdict::exempt) &&
              static_cast<int>(cidr_index::verdict::failure) == static_cast<int>(exempt_reference::verdict::failure) &&
              static_cast<int>(cidr_index::verdict::inspect) == static_cast<int>(exempt_reference::verdict::inspect));

[[noreturn]] void mismatch(char const* what, std::string const& text)
{
    std::fprintf(stderr, "%s\nlisting:\n%s\n", what, text.c_str());
    std::abort();
}

// One piece through the callback; its result is the formatted length + 1.
void print_piece(std::string const& piece, unsigned style, std::string const& text)
{
    int want = static_cast<int>(piece.size()) + 1;
    switch (style % 4) {
    case 0:
        if (default_print_outfn(nullptr, nullptr, "%s", piece.c_str()) != want)
            mismatch("result of a %s piece", text);
        break;
    case 1:
        if (default_print_outfn(nullptr, nullptr, "%.*s", static_cast<int>(piece.size()), piece.data()) != want)
            mismatch("result of a %.*s piece", text);
        break;
    case 2: {
        std::size_t half = piece.size() / 2;
        std::string a = piece.substr(0, half), b = piece.substr(half);
        if (default_print_outfn(nullptr, nullptr, "%s%s", a.c_str(), b.c_str()) != want)
            mismatch("result of a %s%s piece", text);
        break;
    }
    case 3:
        for (char c : piece)
            if (default_print_outfn(nullptr, nullptr, "%c", c) != 2)
                mismatch("result of a %c piece", text);
        break;
    }
}

// Clients to ask the index about: the IPv4 addresses its members start
// with, and a few others.
std::vector<std::string> probes(std::set<std::string> const& cidrs)
{
    std::vector<std::string> out = {"10.1.2.3", "0.0.0.0", "255.255.255.255", "host"};
    for (auto const& m : cidrs) {
        if (out.size() >= 12)
            break;
        std::string address = m.substr(0, m.find('/'));
        in_addr parsed;
        if (address.size() <= 15 && inet_pton(AF_INET, address.c_str(), &parsed) == 1)
            out.push_back(address);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size < 2)
        return -1;
    std::size_t cuts = data[0] % 8;
    if (size < 2 + 2 * cuts)
        return -1;
    std::uint8_t const* positions = data + 1;
    unsigned style = data[1 + 2 * cuts];
    std::string text;
    for (std::size_t i = 2 + 2 * cuts; i < size; ++i)
        if (data[i] != 0)  // libipset's text holds no NUL
            text += static_cast<char>(data[i]);

    std::vector<std::size_t> at = {0, text.size()};
    for (std::size_t i = 0; i < cuts; ++i)
        at.push_back((positions[2 * i] << 8 | positions[2 * i + 1]) % (text.size() + 1));
    std::sort(at.begin(), at.end());

    noinspection_single_ipset.clear();
    noinspection_cidr_ipset.clear();
    begin_noinspection_listing();
    for (std::size_t i = 0; i + 1 < at.size(); ++i)
        print_piece(text.substr(at[i], at[i + 1] - at[i]), style >> (i % 4), text);
    default_print_outfn(nullptr, nullptr, "%s", "");  // libipset ends with an empty text
    end_noinspection_listing();

    auto want = exempt_reference::parse_listing(text);
    if (noinspection_single_ipset != want.singles)
        mismatch("addresses differ from those of the whole text", text);
    if (noinspection_cidr_ipset != want.cidrs)
        mismatch("networks differ from those of the whole text", text);

    auto const& index = noinspection_cidr_index();
    if (index.member_count() != want.cidrs.size())
        mismatch("index size", text);
    for (auto const& client : probes(want.cidrs)) {
        auto got = index.find(client.c_str());
        auto expected = exempt_reference::check_cidr(want.cidrs, client);
        if (static_cast<int>(got.answer) != static_cast<int>(expected)) {
            std::fprintf(stderr, "client %s: index %d, table %d\n", client.c_str(), static_cast<int>(got.answer),
                         static_cast<int>(expected));
            mismatch("index and per-request table disagree", text);
        }
    }
    return 0;
}

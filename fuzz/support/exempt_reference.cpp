#include "exempt_reference.hpp"

#include <arpa/inet.h>

#include <memory>

#include "lpm.h"

namespace exempt_reference {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string_view> tokens(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i]))
            ++i;
        std::size_t begin = i;
        while (i < line.size() && !is_space(line[i]))
            ++i;
        if (i > begin)
            out.push_back(line.substr(begin, i - begin));
    }
    return out;
}

// Squid numbers its requests with 64-bit counters: up to 20 digits.
bool is_channel(std::string_view token)
{
    if (token.empty() || token.size() > 20)
        return false;
    for (char c : token)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool is_ipv4(std::string_view token)
{
    if (token.size() > 15)
        return false;
    std::string text(token);
    in_addr parsed;
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace

verdict check_cidr(std::set<std::string> const& members, std::string const& client)
{
    if (members.empty())
        return verdict::inspect;
    std::unique_ptr<lpm_table, decltype(&lpm_destroy)> table(lpm_create(), &lpm_destroy);
    void* const found = reinterpret_cast<void*>(0x100);
    unsigned char addr[16];
    std::size_t len;
    unsigned preflen;
    for (auto const& m : members) {
        if (lpm_strtobin(m.c_str(), addr, &len, &preflen) != 0)
            return verdict::failure;
        if (lpm_insert(table.get(), addr, len, preflen, found) != 0)
            return verdict::failure;
        if (lpm_strtobin(client.c_str(), addr, &len, &preflen) != 0)
            return verdict::failure;
        if (lpm_lookup(table.get(), addr, len) == found)
            return verdict::exempt;
    }
    return verdict::inspect;
}

std::string answer(std::string_view line, sets const& members)
{
    line = line.substr(0, line.find('\0'));  // a C text ends at its NUL
    auto fields = tokens(line);
    if (fields.size() < 2)
        return "";
    if (!is_channel(fields[0]))
        return "BH\n";
    std::string channel(fields[0]);
    if (!is_ipv4(fields[1]))
        return channel + " BH\n";
    std::string client(fields[1]);
    if (!members.exist || members.singles.count(client))
        return channel + " ERR\n";
    switch (check_cidr(members.cidrs, client)) {
    case verdict::exempt:
        return channel + " ERR\n";
    case verdict::failure:
        return channel + " BH\n";
    case verdict::inspect:
        break;
    }
    return channel + " OK\n";
}

sets parse_listing(std::string_view text)
{
    sets out;
    std::size_t number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string line(text.substr(pos, end - pos));
        if (number++ >= 8) {
            if (!line.empty() && line.find('/') != std::string::npos)
                out.cidrs.insert(line);
            else
                out.singles.insert(line);
        }
        pos = end + 1;
    }
    return out;
}

std::string listing_of(std::vector<std::string> const& members)
{
    std::string text =
        "Name: noinspection\nType: hash:net\nRevision: 7\n"
        "Header: family inet hashsize 1024 maxelem 65536 bucketsize 12 initval 0x5c4a1f3e\n"
        "Size in memory: 1000\nReferences: 0\nNumber of entries: " +
        std::to_string(members.size()) + "\nMembers:\n";
    for (auto const& m : members)
        text += m + "\n";
    return text;
}

}  // namespace exempt_reference

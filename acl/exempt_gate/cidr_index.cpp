#include "cidr_index.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

constexpr unsigned max_prefix = 128;
constexpr unsigned block_bits = 16;  // IPv4 blocks of the probe filter

struct parsed_member {
    unsigned char addr[16];
    std::size_t len;
    unsigned preflen;
    std::size_t index;  // position in set order
    std::string const* text;
};

// Values stored in the table: set-order index + 1, so that NULL means none.
void* rank_value(std::uintptr_t rank)
{
    return reinterpret_cast<void*>(rank);
}

std::uintptr_t rank_of(void* value)
{
    return reinterpret_cast<std::uintptr_t>(value);
}

}  // namespace

cidr_index::cidr_index(std::set<std::string> const& members)
{
    build(members);
}

cidr_index::~cidr_index()
{
    lpm_destroy(table_);
}

cidr_index::cidr_index(cidr_index&& other) noexcept
{
    swap(other);
}

cidr_index& cidr_index::operator=(cidr_index&& other) noexcept
{
    swap(other);  // other takes the old table along
    return *this;
}

void cidr_index::swap(cidr_index& other) noexcept
{
    std::swap(table_, other.table_);
    std::swap(block_lengths_, other.block_lengths_);
    std::swap(member_count_, other.member_count_);
    std::swap(first_unusable_, other.first_unusable_);
    std::swap(unusable_member_, other.unusable_member_);
    std::swap(unusable_step_, other.unusable_step_);
    std::swap(unusable_result_, other.unusable_result_);
}

void cidr_index::note_unusable(std::size_t index, std::string const& member, char const* step, int rc)
{
    if (index >= first_unusable_)
        return;
    first_unusable_ = index;
    unusable_member_ = member;
    unusable_step_ = step;
    unusable_result_ = rc;
}

void cidr_index::build(std::set<std::string> const& members)
{
    member_count_ = members.size();
    if (members.empty())
        return;

    std::vector<parsed_member> usable;
    std::size_t index = 0;
    for (auto const& text : members) {
        parsed_member m{};
        m.index = index++;
        m.text = &text;
        if (int rc = lpm_strtobin(text.c_str(), m.addr, &m.len, &m.preflen); rc != 0)
            note_unusable(m.index, text, "lpm_strtobin", rc);
        else if (m.preflen > max_prefix)  // the table refuses it
            note_unusable(m.index, text, "lpm_insert", -1);
        else
            usable.push_back(m);
    }

    table_ = lpm_create();
    if (!table_) {
        note_unusable(0, *members.begin(), "lpm_insert", -1);
        return;
    }

    // Shorter prefixes first: when a prefix is stored, every stored prefix
    // containing it is final, and its rank is folded into this one. So the
    // longest match gives the first containing member in set order, which
    // decides against the first unusable member.
    std::stable_sort(usable.begin(), usable.end(),
                     [](parsed_member const& a, parsed_member const& b) { return a.preflen < b.preflen; });
    for (auto const& m : usable) {
        std::uintptr_t rank = m.index + 1;
        void* same = lpm_lookup_prefix(table_, m.addr, m.len, m.preflen);
        if (same)
            rank = std::min(rank, rank_of(same));
        else if (void* outer = m.preflen ? lpm_lookup(table_, m.addr, m.len) : nullptr)
            rank = std::min(rank, rank_of(outer));
        if (int rc = lpm_insert(table_, m.addr, m.len, m.preflen, rank_value(rank)); rc != 0)
            note_unusable(m.index, *m.text, "lpm_insert", rc);
        else if (!same && m.len == 4)
            mark_block_lengths(m.addr, m.preflen);
    }
}

void cidr_index::mark_block_lengths(unsigned char const* addr, unsigned preflen)
{
    if (preflen == 0 || preflen > 32)
        return;  // the default value is probed anyway; longer ones never match
    if (block_lengths_.empty())
        block_lengths_.resize(std::size_t{1} << block_bits);
    // A short prefix spans 2^(16 - preflen) blocks. Each distinct prefix is
    // marked once, so all of them together mark each block once per length.
    std::size_t span = preflen >= block_bits ? 1 : std::size_t{1} << (block_bits - preflen);
    std::size_t first = (std::size_t{addr[0]} << 8 | addr[1]) & ~(span - 1);
    for (std::size_t block = first; block < first + span; ++block)
        block_lengths_[block] |= std::uint32_t{1} << (preflen - 1);
}

// The rank of the longest stored prefix holding the IPv4 address, else of the
// IPv4 default value; 0 for none.
std::uintptr_t cidr_index::find_ipv4(unsigned char const* addr) const
{
    if (!block_lengths_.empty()) {
        std::uint32_t lengths = block_lengths_[std::size_t{addr[0]} << 8 | addr[1]];
        while (lengths) {
            unsigned top = 31 - static_cast<unsigned>(__builtin_clz(lengths));
            if (void* found = lpm_lookup_prefix(table_, addr, 4, top + 1))
                return rank_of(found);
            lengths &= ~(std::uint32_t{1} << top);
        }
    }
    return rank_of(lpm_lookup_prefix(table_, addr, 4, 0));
}

cidr_index::result cidr_index::find(char const* client) const
{
    if (member_count_ == 0)
        return {};

    auto unusable = [this] {
        return result{verdict::failure, unusable_member_.c_str(), unusable_step_, unusable_result_};
    };

    unsigned char addr[16];
    std::size_t len = 0;
    unsigned preflen = 0;
    // The first member is tried before the client is parsed.
    if (int rc = lpm_strtobin(client, addr, &len, &preflen); rc != 0)
        return first_unusable_ == 0 ? unusable() : result{verdict::failure, client, "lpm_strtobin", rc};

    std::uintptr_t rank = len == 4 ? find_ipv4(addr) : rank_of(lpm_lookup(table_, addr, len));
    if (rank != 0 && rank - 1 < first_unusable_)
        return {verdict::exempt};
    if (first_unusable_ != none)
        return unusable();
    return {};
}

#pragma once

// The CIDR members of the noinspection set, prepared once per load so that a
// request costs one longest-prefix look-up instead of a table built per request.
//
// Answers follow set order: the first member (in the set's byte order) that
// contains the client exempts it, unless an unusable member (not an address,
// or a prefix length the table cannot hold) sorts before it; an unusable
// member with no containing member before it makes the answer a failure.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "lpm.h"

class cidr_index {
public:
    enum class verdict { exempt, failure, inspect };  // ERR, BH, OK

    struct result {
        verdict answer = verdict::inspect;
        // For a failure: the text that could not be used (a member or the
        // client), the lpm_ step that refused it and its result.
        char const* failed_text = nullptr;
        char const* failed_step = nullptr;
        int failed_result = 0;
    };

    cidr_index() = default;
    explicit cidr_index(std::set<std::string> const& members);
    ~cidr_index();
    cidr_index(cidr_index&& other) noexcept;
    cidr_index& operator=(cidr_index&& other) noexcept;
    cidr_index(cidr_index const&) = delete;
    cidr_index& operator=(cidr_index const&) = delete;

    // client: as the request gave it (an IPv4 address after the loop's check).
    // A failure's text points into this index or at client.
    result find(char const* client) const;

    std::size_t member_count() const { return member_count_; }

private:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    void swap(cidr_index& other) noexcept;
    void note_unusable(std::size_t index, std::string const& member, char const* step, int rc);
    void build(std::set<std::string> const& members);
    void mark_block_lengths(unsigned char const* addr, unsigned preflen);
    std::uintptr_t find_ipv4(unsigned char const* addr) const;

    // Each stored prefix holds 1 + the smallest set-order index among the
    // members with that prefix and all stored prefixes containing it.
    lpm_table* table_ = nullptr;
    // For each /16 block of the IPv4 space, the lengths (bit p - 1 for
    // length p) of the stored IPv4 prefixes that overlap it: an IPv4 client
    // is probed at those lengths only, longest first. Empty without IPv4 prefixes.
    std::vector<std::uint32_t> block_lengths_;
    std::size_t member_count_ = 0;
    std::size_t first_unusable_ = none;
    std::string unusable_member_;
    char const* unusable_step_ = nullptr;
    int unusable_result_ = 0;
};

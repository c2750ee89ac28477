#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "lpm.h"

namespace {

using table_ptr = std::unique_ptr<lpm_table, decltype(&lpm_destroy)>;

table_ptr make_table()
{
    return table_ptr(lpm_create(), &lpm_destroy);
}

struct address {
    std::array<unsigned char, 16> bytes{};
    size_t len = 0;
    unsigned preflen = 0;
};

address parse(char const* text)
{
    address a;
    EXPECT_EQ(lpm_strtobin(text, a.bytes.data(), &a.len, &a.preflen), 0) << text;
    return a;
}

void* value(uintptr_t v)
{
    return reinterpret_cast<void*>(v);
}

void* lookup(lpm_table* t, char const* text)
{
    address a = parse(text);
    return lpm_lookup(t, a.bytes.data(), a.len);
}

void insert(lpm_table* t, char const* cidr, uintptr_t v)
{
    address a = parse(cidr);
    ASSERT_EQ(lpm_insert(t, a.bytes.data(), a.len, a.preflen, value(v)), 0) << cidr;
}

TEST(lpm_test, longest_prefix_wins_within_its_family)
{
    auto t = make_table();
    insert(t.get(), "10.0.0.0/8", 1);
    insert(t.get(), "10.1.0.0/16", 2);
    insert(t.get(), "2001:db8::/32", 3);
    insert(t.get(), "2001:db8:1::/48", 4);
    insert(t.get(), "a00::/8", 5);  // the bytes of 10/8 in the other family

    struct {
        char const* client;
        uintptr_t expected;
    } const cases[] = {
        {"10.1.2.3", 2},          {"10.2.0.1", 1},      {"11.0.0.1", 0},        {"10.255.255.255", 1},
        {"2001:db8:1::5", 4},     {"2001:db8:2::5", 3}, {"2001:db9::1", 0},     {"::a01:203", 0},
        {"a01:203::", 5},         {"b00::", 0},
    };
    for (auto const& c : cases)
        EXPECT_EQ(lookup(t.get(), c.client), value(c.expected)) << c.client;
}

TEST(lpm_test, prefix_zero_is_the_default_of_its_family_only)
{
    auto t = make_table();
    insert(t.get(), "0.0.0.0/0", 7);
    EXPECT_EQ(lookup(t.get(), "192.0.2.1"), value(7));
    EXPECT_EQ(lookup(t.get(), "2001:db8::1"), nullptr);
    insert(t.get(), "::/0", 8);
    insert(t.get(), "192.0.2.0/24", 9);
    EXPECT_EQ(lookup(t.get(), "192.0.2.1"), value(9));
    EXPECT_EQ(lookup(t.get(), "192.0.3.1"), value(7));
    EXPECT_EQ(lookup(t.get(), "2001:db8::1"), value(8));

    address v4 = parse("1.2.3.4");
    EXPECT_EQ(lpm_remove(t.get(), v4.bytes.data(), 4, 0), 0);
    EXPECT_EQ(lookup(t.get(), "192.0.3.1"), nullptr);
    EXPECT_EQ(lookup(t.get(), "2001:db8::1"), value(8));
}

TEST(lpm_test, equal_prefix_replaces_the_value)
{
    auto t = make_table();
    insert(t.get(), "10.0.0.0/8", 1);
    insert(t.get(), "10.1.2.3/8", 2);  // host bits do not make another key
    EXPECT_EQ(lookup(t.get(), "10.9.9.9"), value(2));

    int entries = 0;
    lpm_clear(
        t.get(), [](void* arg, const void*, size_t, void*) { ++*static_cast<int*>(arg); }, &entries);
    EXPECT_EQ(entries, 1 + 2);  // one entry and the two default values
}

TEST(lpm_test, ipv4_prefix_longer_than_the_address_is_only_found_exactly)
{
    auto t = make_table();
    address a = parse("10.0.0.0/40");
    ASSERT_EQ(a.preflen, 40u);
    ASSERT_EQ(lpm_insert(t.get(), a.bytes.data(), a.len, a.preflen, value(1)), 0);
    EXPECT_EQ(lpm_lookup(t.get(), a.bytes.data(), 4), nullptr);
    EXPECT_EQ(lpm_lookup_prefix(t.get(), a.bytes.data(), 4, 40), value(1));
    EXPECT_EQ(lpm_lookup_prefix(t.get(), a.bytes.data(), 4, 39), nullptr);
    // The 16-byte look-up probes length 40 but never meets a 4-byte key.
    EXPECT_EQ(lookup(t.get(), "a00::"), nullptr);
}

TEST(lpm_test, strtobin_reads_address_and_prefix)
{
    struct {
        char const* text;
        int rc;
        size_t len;
        unsigned preflen;
    } const cases[] = {
        {"10.0.0.1", 0, 4, 32},        {"::1", 0, 16, 128},           {"10.0.0.0/24", 0, 4, 24},
        {"10.0.0.0/128", 0, 4, 32},    {"10.0.0.0/abc", 0, 4, 0},     {"fe80::/10", 0, 16, 10},
        {"10.0.0.0/ 7x", 0, 4, 7},     {"10.0.0.0/-1", 0, 4, 0xffffffffu}, {"10.0.0.0/40", 0, 4, 40},
        {"::ffff:10.0.0.1", 0, 16, 128}, {"host", -1, 0, 0},           {"0abc/8", -1, 0, 0},
        {"", -1, 0, 0},                {"10.0.0.1 timeout 300", -1, 0, 0}, {"10.0.0.256", -1, 0, 0},
    };
    for (auto const& c : cases) {
        unsigned char addr[16];
        size_t len = 0;
        unsigned preflen = 0;
        int rc = lpm_strtobin(c.text, addr, &len, &preflen);
        EXPECT_EQ(rc, c.rc) << c.text;
        if (rc == 0) {
            EXPECT_EQ(len, c.len) << c.text;
            EXPECT_EQ(preflen, c.preflen) << c.text;
        }
    }

    // Only the first 45 characters are read: a long tail cannot overflow.
    std::string long_text = "10.0.0.0/8" + std::string(1000, ' ');
    unsigned char addr[16];
    size_t len;
    unsigned preflen;
    EXPECT_EQ(lpm_strtobin(long_text.c_str(), addr, &len, &preflen), 0);
    EXPECT_EQ(preflen, 8u);
    EXPECT_EQ(lpm_strtobin(std::string(1000, '1').c_str(), addr, &len, &preflen), -1);
}

TEST(lpm_test, input_beyond_the_limits_is_refused)
{
    auto t = make_table();
    address a = parse("10.0.0.0");
    for (unsigned preflen : {129u, 1000u, 0xffffffffu}) {
        EXPECT_EQ(lpm_insert(t.get(), a.bytes.data(), 4, preflen, value(1)), -1) << preflen;
        EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), 4, preflen), -1) << preflen;
        EXPECT_EQ(lpm_lookup_prefix(t.get(), a.bytes.data(), 4, preflen), nullptr) << preflen;
    }
    for (size_t len : {0u, 1u, 5u, 8u, 15u, 17u, 32u}) {
        EXPECT_EQ(lpm_insert(t.get(), a.bytes.data(), len, 0, value(1)), -1) << len;
        EXPECT_EQ(lpm_insert(t.get(), a.bytes.data(), len, 8, value(1)), -1) << len;
        EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), len, 0), -1) << len;
        EXPECT_EQ(lpm_lookup(t.get(), a.bytes.data(), len), nullptr) << len;
        EXPECT_EQ(lpm_lookup_prefix(t.get(), a.bytes.data(), len, 0), nullptr) << len;
    }
    EXPECT_EQ(lpm_insert(nullptr, a.bytes.data(), 4, 8, value(1)), -1);
    EXPECT_EQ(lpm_lookup(nullptr, a.bytes.data(), 4), nullptr);
    EXPECT_EQ(lpm_strtobin(nullptr, a.bytes.data(), &a.len, &a.preflen), -1);
    lpm_clear(nullptr, nullptr, nullptr);
    lpm_destroy(nullptr);

    // Nothing of the refused calls was stored.
    EXPECT_EQ(lookup(t.get(), "10.0.0.0"), nullptr);
}

TEST(lpm_test, remove_and_clear)
{
    auto t = make_table();
    address a = parse("10.1.0.0/16");
    EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), a.len, a.preflen), -1);  // no map yet
    insert(t.get(), "10.0.0.0/8", 1);
    insert(t.get(), "10.1.0.0/16", 2);
    insert(t.get(), "0.0.0.0/0", 3);
    insert(t.get(), "2001:db8::/32", 4);
    EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), a.len, 24), -1);  // never stored
    EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), a.len, a.preflen), 0);
    EXPECT_EQ(lpm_remove(t.get(), a.bytes.data(), a.len, a.preflen), -1);
    EXPECT_EQ(lookup(t.get(), "10.1.2.3"), value(1));
    EXPECT_EQ(lpm_lookup_prefix(t.get(), a.bytes.data(), a.len, a.preflen), nullptr);

    struct call {
        size_t len;
        uintptr_t value;
        bool zero_key;
    };
    std::vector<call> calls;
    lpm_clear(
        t.get(),
        [](void* arg, const void* key, size_t len, void* v) {
            static const unsigned char zero[16] = {};
            static_cast<std::vector<call>*>(arg)->push_back(
                {len, reinterpret_cast<uintptr_t>(v), std::memcmp(key, zero, len) == 0});
        },
        &calls);
    ASSERT_EQ(calls.size(), 4u);  // 10/8, 2001:db8::/32 and the two defaults
    EXPECT_EQ(calls[2].len, 4u);
    EXPECT_EQ(calls[2].value, 3u);
    EXPECT_TRUE(calls[2].zero_key);
    EXPECT_EQ(calls[3].len, 16u);
    EXPECT_EQ(calls[3].value, 0u);  // a NULL default is handed over too
    EXPECT_TRUE(calls[3].zero_key);

    EXPECT_EQ(lookup(t.get(), "10.1.2.3"), nullptr);
    insert(t.get(), "10.0.0.0/8", 5);  // still usable
    EXPECT_EQ(lookup(t.get(), "10.1.2.3"), value(5));
}

// A plain model of the table: every stored prefix in a map, a look-up tries
// every length from the longest.
class model {
public:
    void insert(address const& a, uintptr_t v) { entries_[key(a.bytes, a.len, a.preflen)] = v; }
    bool remove(address const& a) { return entries_.erase(key(a.bytes, a.len, a.preflen)) == 1; }
    uintptr_t lookup(address const& a) const
    {
        for (unsigned p = static_cast<unsigned>(a.len) * 8 + 1; p-- > 0;) {
            auto it = entries_.find(key(a.bytes, a.len, p));
            if (it != entries_.end())
                return it->second;
        }
        return 0;
    }

private:
    using key_type = std::tuple<size_t, unsigned, std::array<unsigned char, 16>>;
    static key_type key(std::array<unsigned char, 16> bytes, size_t len, unsigned preflen)
    {
        for (unsigned bit = preflen; bit < 128; ++bit)
            bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
        return {len, preflen, bytes};
    }
    std::map<key_type, uintptr_t> entries_;
};

// Many prefixes in a small address space, so that they nest and collide,
// and maps grow many times.
TEST(lpm_test, agrees_with_a_plain_model)
{
    std::mt19937 rng(20240611);
    auto random_address = [&](bool v6) {
        address a;
        a.len = v6 ? 16 : 4;
        for (size_t i = 0; i < a.len; ++i)
            a.bytes[i] = static_cast<unsigned char>(i < 2 ? rng() % 4 : rng());
        return a;
    };

    auto t = make_table();
    model m;
    std::vector<address> stored;
    for (int i = 0; i < 20000; ++i) {
        address a = random_address(rng() % 4 == 0);
        a.preflen = static_cast<unsigned>(rng() % (a.len * 8 + 1));
        if (a.len == 4 && a.preflen > 24 && rng() % 2)
            a.preflen = 8 + rng() % 17;  // more nesting among short prefixes
        ASSERT_EQ(lpm_insert(t.get(), a.bytes.data(), a.len, a.preflen, value(static_cast<uintptr_t>(i + 1))), 0);
        m.insert(a, static_cast<uintptr_t>(i + 1));
        stored.push_back(a);
    }
    auto check = [&] {
        for (int i = 0; i < 20000; ++i) {
            address a = random_address(rng() % 4 == 0);
            ASSERT_EQ(reinterpret_cast<uintptr_t>(lpm_lookup(t.get(), a.bytes.data(), a.len)), m.lookup(a));
        }
        for (auto const& a : stored)
            ASSERT_EQ(reinterpret_cast<uintptr_t>(lpm_lookup(t.get(), a.bytes.data(), a.len)), m.lookup(a));
    };
    check();
    for (size_t i = 0; i < stored.size(); i += 2) {
        bool present = m.remove(stored[i]);
        // Removing a default value always succeeds, even one already gone.
        EXPECT_EQ(lpm_remove(t.get(), stored[i].bytes.data(), stored[i].len, stored[i].preflen),
                  present || stored[i].preflen == 0 ? 0 : -1);
    }
    check();
}

}  // namespace

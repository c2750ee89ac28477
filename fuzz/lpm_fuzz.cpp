// Fuzz target: the longest-prefix-match table. Texts go through lpm_strtobin
// and then into insert, look-up, look-up of a prefix, remove and clear on one
// table, which is held against a plain list of its entries after every step.
//
// Input: a sequence of operations, each an operation byte followed by its
// argument: a text up to "\n" for the parsed operations, or a length byte, a
// prefix length byte and 16 address bytes for the raw ones, which give the
// table lengths it must refuse.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "lpm.h"

namespace {

using key_bytes = std::array<std::uint8_t, 16>;

key_bytes key_of(std::uint8_t const* addr, std::size_t len, unsigned preflen)
{
    key_bytes key{};
    for (std::size_t bit = 0; bit < 8 * len && bit < preflen; ++bit)
        key[bit / 8] |= addr[bit / 8] & (0x80 >> (bit % 8));
    return key;
}

bool refused(std::size_t len, unsigned preflen)
{
    return (len != 4 && len != 16) || preflen > 128;
}

// The table as a list: what each operation must give.
class model {
public:
    struct entry {
        key_bytes key;
        std::size_t len;
        unsigned preflen;
        void* value;
    };

    int insert(std::uint8_t const* addr, std::size_t len, unsigned preflen, void* value)
    {
        if (refused(len, preflen))
            return -1;
        if (preflen == 0) {
            defaults_[len / 16] = value;
            return 0;
        }
        if (auto* e = find(addr, len, preflen))
            e->value = value;
        else
            entries_.push_back({key_of(addr, len, preflen), len, preflen, value});
        return 0;
    }

    int remove(std::uint8_t const* addr, std::size_t len, unsigned preflen)
    {
        if (refused(len, preflen))
            return -1;
        if (preflen == 0) {
            defaults_[len / 16] = nullptr;
            return 0;
        }
        auto* e = find(addr, len, preflen);
        if (!e)
            return -1;
        entries_.erase(entries_.begin() + (e - entries_.data()));
        return 0;
    }

    // A 4-byte address is looked up at prefix lengths 1 to 32 only.
    void* lookup(std::uint8_t const* addr, std::size_t len) const
    {
        if (refused(len, 0))
            return nullptr;
        entry const* best = nullptr;
        for (auto const& e : entries_)
            if (e.len == len && e.preflen <= 8 * len && e.key == key_of(addr, len, e.preflen) &&
                (!best || e.preflen > best->preflen))
                best = &e;
        return best ? best->value : defaults_[len / 16];
    }

    void* lookup_prefix(std::uint8_t const* addr, std::size_t len, unsigned preflen)
    {
        if (refused(len, preflen))
            return nullptr;
        if (preflen == 0)
            return defaults_[len / 16];
        auto* e = find(addr, len, preflen);
        return e ? e->value : nullptr;
    }

    std::vector<entry> const& entries() const { return entries_; }
    void* default_value(std::size_t len) const { return defaults_[len / 16]; }

    void clear()
    {
        entries_.clear();
        defaults_[0] = defaults_[1] = nullptr;
    }

private:
    entry* find(std::uint8_t const* addr, std::size_t len, unsigned preflen)
    {
        auto key = key_of(addr, len, preflen);
        for (auto& e : entries_)
            if (e.len == len && e.preflen == preflen && e.key == key)
                return &e;
        return nullptr;
    }

    std::vector<entry> entries_;
    void* defaults_[2] = {nullptr, nullptr};
};

[[noreturn]] void mismatch(char const* what)
{
    std::fprintf(stderr, "lpm table and list disagree: %s\n", what);
    std::abort();
}

void expect(bool ok, char const* what)
{
    if (!ok)
        mismatch(what);
}

struct cleared {
    std::size_t len;
    key_bytes key;
    void* value;
    bool operator<(cleared const& o) const
    {
        return std::tie(len, key, value) < std::tie(o.len, o.key, o.value);
    }
    bool operator==(cleared const& o) const = default;
};

void collect(void* arg, void const* key, std::size_t len, void* value)
{
    auto* out = static_cast<std::vector<cleared>*>(arg);
    cleared c{len, {}, value};
    std::memcpy(c.key.data(), key, std::min<std::size_t>(len, 16));
    out->push_back(c);
}

void check_clear(lpm_table* table, model& m)
{
    std::vector<cleared> want;
    for (auto const& e : m.entries())
        want.push_back({e.len, e.key, e.value});
    std::sort(want.begin(), want.end());
    want.push_back({4, {}, m.default_value(4)});
    want.push_back({16, {}, m.default_value(16)});

    std::vector<cleared> got;
    lpm_clear(table, collect, &got);
    // Entries in any order, then the two default values.
    expect(got.size() == want.size(), "number of destructor calls");
    std::sort(got.begin(), got.end() - 2);
    expect(got == want, "entries handed to the destructor");
    m.clear();
}

// Every stored prefix is found again, and an address just past it is not.
void check_all(lpm_table const* table, model const& m)
{
    for (auto const& e : m.entries()) {
        expect(lpm_lookup(table, e.key.data(), e.len) == m.lookup(e.key.data(), e.len), "look-up of an entry");
        key_bytes past = e.key;
        if (e.preflen > 0 && e.preflen <= 8 * e.len) {
            unsigned bit = e.preflen - 1;
            past[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            expect(lpm_lookup(table, past.data(), e.len) == m.lookup(past.data(), e.len),
                   "look-up next to an entry");
        }
    }
}

class reader {
public:
    reader(std::uint8_t const* data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    std::uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::string line()
    {
        auto* nl = static_cast<std::uint8_t const*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
        auto* stop = nl ? nl : end_;
        std::string text(reinterpret_cast<char const*>(p_), static_cast<std::size_t>(stop - p_));
        p_ = nl ? nl + 1 : end_;
        return text;
    }

private:
    std::uint8_t const* p_;
    std::uint8_t const* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::unique_ptr<lpm_table, decltype(&lpm_destroy)> table(lpm_create(), &lpm_destroy);
    model m;
    reader in(data, size);
    std::uintptr_t next_value = 1;

    while (!in.done()) {
        std::uint8_t op = in.byte();
        // A heap block of exactly 16 bytes, so that reading past an address is found.
        auto addr = std::make_unique<std::uint8_t[]>(16);
        std::size_t len = 0;
        unsigned preflen = 0;

        if (op & 0x80) {  // raw: any length, any prefix length
            len = in.byte() % 20;
            preflen = in.byte();
            for (int i = 0; i < 16; ++i)
                addr[i] = in.byte();
            if (op & 0x40) {  // no table at all: refused everywhere
                expect(lpm_insert(nullptr, addr.get(), 4, 8, nullptr) == -1, "insert without table");
                expect(lpm_remove(nullptr, addr.get(), 4, 8) == -1, "remove without table");
                expect(lpm_lookup(nullptr, addr.get(), 4) == nullptr, "look-up without table");
                expect(lpm_lookup_prefix(nullptr, addr.get(), 4, 8) == nullptr, "prefix without table");
                lpm_clear(nullptr, nullptr, nullptr);
                continue;
            }
        } else {
            std::string text = in.line();
            std::size_t len_out = 99;
            unsigned preflen_out = 999;
            if (lpm_strtobin(text.c_str(), addr.get(), &len_out, &preflen_out) != 0)
                continue;
            expect(len_out == 4 || len_out == 16, "parsed address length");
            if (text.substr(0, 45).find('/') == std::string::npos)
                expect(preflen_out == 8 * len_out, "prefix length of a bare address");
            len = len_out;
            preflen = preflen_out;
        }

        switch (op % 8) {
        case 0:
        case 1: {
            void* value = (op % 8) == 1 ? nullptr : reinterpret_cast<void*>(next_value++);
            expect(lpm_insert(table.get(), addr.get(), len, preflen, value) ==
                       m.insert(addr.get(), len, preflen, value),
                   "insert");
            break;
        }
        case 2:
        case 3:
            expect(lpm_lookup(table.get(), addr.get(), len) == m.lookup(addr.get(), len), "look-up");
            break;
        case 4:
            expect(lpm_lookup_prefix(table.get(), addr.get(), len, preflen) ==
                       m.lookup_prefix(addr.get(), len, preflen),
                   "look-up of a prefix");
            break;
        case 5:
            expect(lpm_remove(table.get(), addr.get(), len, preflen) == m.remove(addr.get(), len, preflen),
                   "remove");
            break;
        case 6:
            check_clear(table.get(), m);
            break;
        case 7:
            check_all(table.get(), m);
            break;
        }
        // The table's answer for this address always agrees with the list.
        expect(lpm_lookup(table.get(), addr.get(), len) == m.lookup(addr.get(), len), "look-up after the step");
    }
    check_all(table.get(), m);
    check_clear(table.get(), m);
    expect(lpm_lookup(table.get(), data, 0) == nullptr, "look-up of length 0");
    return 0;
}

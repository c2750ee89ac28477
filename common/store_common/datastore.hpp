#pragma once

#include <optional>

// Abstract store interfaces. Concrete stores derive from them non-publicly and
// are always held and destroyed as their own class, so the read-only interface
// needs no virtual destructor.

template <typename K, typename V>
class datastore_readonly {
public:
    virtual std::optional<V> get(K const& key) = 0;

protected:
    datastore_readonly() = default;
    datastore_readonly(datastore_readonly const&) = default;
    datastore_readonly& operator=(datastore_readonly const&) = default;
    ~datastore_readonly() = default;
};

template <typename K, typename V>
class datastore : public datastore_readonly<K, V> {
public:
    std::optional<V> get(K const& key) override = 0;
    virtual bool set(K const& key, V const& value) = 0;
    virtual bool remove(K const& key) = 0;
    virtual bool clear() = 0;
    virtual ~datastore() = default;
};

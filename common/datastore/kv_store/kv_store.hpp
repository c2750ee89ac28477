#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datastore.hpp"
#include "datastore_config.hpp"

struct redisContext;

// A store of string keys and values over one database of a Redis server,
// through hiredis (connect, command format, reply parser) on a non-blocking
// socket whose waits are the store's own; each command still blocks its
// caller until the reply. One connection per object, opened by connect()
// and closed by disconnect(). Only connect() throws; every command reports
// through its result. Not thread-safe.
//
// No wait for Redis is longer than `timeout`, however many signals come: a
// server that accepts and never answers fails the step as a server that is
// down does. A connection that failed stays failed until disconnect() and
// connect().
class kv_store : datastore<std::string, std::string> {
public:
    // Bounds the connect and each wait for a reply, counted from the start
    // of that wait; not a whole reply: a large value takes as long as it
    // keeps coming.
    static constexpr std::chrono::seconds timeout{2};

    explicit kv_store(datastore_config const& config);
    ~kv_store() override;

    kv_store(kv_store const&) = delete;
    kv_store& operator=(kv_store const&) = delete;

    // Throws std::runtime_error when the server cannot be reached or the
    // database cannot be selected.
    void connect();
    void disconnect();

    // The value; no value for an absent or empty one; "FAILURE" without a
    // connection or a reply.
    std::optional<std::string> get(std::string const& key) override;
    bool set(std::string const& key, std::string const& value) override;
    bool remove(std::string const& key) override;
    // Empties this store's own database only.
    bool clear() override;

    // Values held by a Redis module type, e.g. type "JSON" sends "JSON.GET key".
    virtual std::optional<std::string> get_with_type(std::string const& key, std::string type);
    bool set_with_type(std::string const& key, std::string const& value, std::string type);

    bool sadd(std::string const& key, std::string const& member);
    std::string hget(std::string const& key, std::string const& field);
    bool hmset(std::string const& key, std::vector<std::string> const& fields,
               std::vector<std::string> const& values);

private:
    std::int32_t db = 0;
    std::int32_t port = 0;
    std::string host;
    struct context_deleter {
        void operator()(redisContext* c) const noexcept;
    };
    std::unique_ptr<redisContext, context_deleter> connection;  // null when not connected
};

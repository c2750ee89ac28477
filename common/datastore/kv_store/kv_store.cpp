#include "kv_store.hpp"

#include <hiredis/hiredis.h>
#include <sys/time.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <boost/url/decode_view.hpp>

namespace {

constexpr char failure[] = "FAILURE";

struct reply_deleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

// redisCommand returns void*; a null reply means the connection failed.
template <typename... Args>
reply_ptr command(redisContext* c, char const* format, Args... args)
{
    return reply_ptr(static_cast<redisReply*>(redisCommand(c, format, args...)));
}

std::string reply_text(redisReply const* reply)
{
    return reply && reply->str ? std::string(reply->str) : std::string();
}

bool is_status_ok(redisReply const* reply)
{
    return reply->type == REDIS_REPLY_STATUS && reply_text(reply) == "OK";
}

std::string percent_decode(boost::core::string_view encoded)
{
    // Redis URLs never use form encoding, so "+" stays "+".
    boost::urls::encoding_opts opts;
    opts.space_as_plus = false;
    std::string out;
    for (char ch : boost::urls::decode_view(encoded, opts))
        out.push_back(ch);
    return out;
}

// The database number is every digit of the path once all "/" are gone, read
// like strtol: "/11" is 11, "/1/1" is 11, "/x" or no path is 0.
std::int32_t database_from_path(boost::core::string_view encoded_path)
{
    std::string path = percent_decode(encoded_path);
    path.erase(std::remove(path.begin(), path.end(), '/'), path.end());
    return static_cast<std::int32_t>(std::strtol(path.c_str(), nullptr, 10));
}

timeval as_timeval(std::chrono::microseconds d)
{
    return {static_cast<time_t>(d.count() / 1000000), static_cast<suseconds_t>(d.count() % 1000000)};
}

// hiredis gives a connect up when a signal interrupts its poll(2), which
// SA_RESTART does not restart.
bool interrupted(redisContext const* c)
{
    static std::string const text = std::string("poll(2): ") + std::strerror(EINTR);
    return c->err == REDIS_ERR_IO && c->errstr == text;
}

// redisConnectWithTimeout, tried again for what is left of the time-out
// when a signal cut it short. A try interrupted past the deadline ends the
// connect as the time-out it is, so a stream of signals can neither hold it
// nor change the error it reports.
redisContext* connect_within(std::string const& host, int port, std::chrono::microseconds limit)
{
    using namespace std::chrono;
    auto const deadline = steady_clock::now() + limit;
    for (;;) {
        auto const left = duration_cast<microseconds>(deadline - steady_clock::now());
        redisContext* c = redisConnectWithTimeout(host.c_str(), port, as_timeval(std::max(left, microseconds(1000))));
        if (!c || !interrupted(c))
            return c;
        if (steady_clock::now() >= deadline) {
            std::snprintf(c->errstr, sizeof c->errstr, "%s", std::strerror(ETIMEDOUT));
            return c;
        }
        redisFree(c);
    }
}

}  // namespace

kv_store::kv_store(datastore_config const& config)
{
    syslog(LOG_INFO, "Redis url was parsed: %s", config.text.c_str());
    host = percent_decode(config.url.encoded_host());
    port = config.url.port_number();
    db = database_from_path(config.url.encoded_path());
}

kv_store::~kv_store()
{
    syslog(LOG_INFO, "Destructing kv store");
    disconnect();
}

void kv_store::connect()
{
    syslog(LOG_INFO, "Connecting redis with host: %s port: %d db: %d", host.c_str(), port, db);
    connection = connect_within(host, port, timeout);
    if (!connection)
        throw std::runtime_error("Cannot connect to the Redis server.");
    // A reply that does not come fails the command (hiredis then keeps the
    // context failed); a signal does not: hiredis reads again on EINTR.
    if (!connection->err)
        redisSetTimeout(connection, as_timeval(timeout));
    if (connection->err)
        throw std::runtime_error(std::string("Redis connection error: ") + connection->errstr);
    if (db == 0)
        return;

    syslog(LOG_INFO, "selecting db: %d", db);
    reply_ptr reply = command(connection, "SELECT %d", db);
    if (reply && is_status_ok(reply.get()))
        return;
    throw std::runtime_error("Redis database not selected. DB:" + std::to_string(db));
}

void kv_store::disconnect()
{
    syslog(LOG_INFO, "Disonnecting redis");
    if (connection)
        redisFree(connection);
    connection = nullptr;
}

namespace {

// Steps shared by get and get_with_type once a reply came: an empty reply
// (nil, empty text, integer, array) is no value, anything else its bytes.
std::optional<std::string> value_of(redisReply const* reply)
{
    if (reply->len == 0)
        return std::nullopt;
    return std::string(reply->str, reply->len);
}

}  // namespace

std::optional<std::string> kv_store::get(std::string const& key)
{
    if (!connection)
        return failure;
    reply_ptr reply = command(connection, "GET %s", key.c_str());
    if (!reply)
        return failure;
    return value_of(reply.get());
}

std::optional<std::string> kv_store::get_with_type(std::string const& key, std::string type)
{
    if (!connection)
        return failure;
    reply_ptr reply = command(connection, "%s.GET %s", type.c_str(), key.c_str());
    if (!reply)
        return failure;
    if (reply->type == REDIS_REPLY_STATUS && reply_text(reply.get()) != "OK")
        syslog(LOG_ERR, "Redis get with type command error. Status: %s", reply_text(reply.get()).c_str());
    return value_of(reply.get());
}

namespace {

bool set_result(reply_ptr const& reply, std::string const& key, std::string const& value)
{
    if (!reply) {
        syslog(LOG_ERR, "Redis set command error. reply is null. key: %s value: %s", key.c_str(),
               value.c_str());
        return false;
    }
    if (is_status_ok(reply.get()))
        return true;
    syslog(LOG_ERR, "Redis set command error: %s key: %s value: %s", reply_text(reply.get()).c_str(),
           key.c_str(), value.c_str());
    return false;
}

}  // namespace

bool kv_store::set(std::string const& key, std::string const& value)
{
    if (!connection)
        return false;
    return set_result(command(connection, "SET %s %s", key.c_str(), value.c_str()), key, value);
}

bool kv_store::set_with_type(std::string const& key, std::string const& value, std::string type)
{
    if (!connection)
        return false;
    return set_result(command(connection, "%s.SET %s . %s", type.c_str(), key.c_str(), value.c_str()),
                      key, value);
}

bool kv_store::remove(std::string const& key)
{
    if (!connection)
        return false;
    command(connection, "DEL %s", key.c_str());
    return true;
}

bool kv_store::clear()
{
    if (!connection)
        return false;
    // FLUSHDB, not FLUSHALL: other databases of the server hold other
    // parties' data (the token and endpoints live beside the rules).
    command(connection, "FLUSHDB");
    return true;
}

bool kv_store::sadd(std::string const& key, std::string const& member)
{
    if (!connection)
        return false;
    command(connection, "SADD %s %s", key.c_str(), member.c_str());
    return true;
}

std::string kv_store::hget(std::string const& key, std::string const& field)
{
    if (!connection)
        return "";
    reply_ptr reply = command(connection, "HGET %s %s", key.c_str(), field.c_str());
    if (!reply || reply->type != REDIS_REPLY_STRING)
        return "";
    return reply_text(reply.get());
}

bool kv_store::hmset(std::string const& key, std::vector<std::string> const& fields,
                     std::vector<std::string> const& values)
{
    if (!connection)
        return false;
    if (fields.size() != values.size()) {
        syslog(LOG_ERR, "Number of fields and values do not match.");
        return false;
    }

    std::vector<char const*> argv{"HMSET", key.c_str()};
    std::vector<size_t> argvlen{5, key.size()};
    for (size_t i = 0; i < fields.size(); ++i) {
        argv.push_back(fields[i].c_str());
        argvlen.push_back(fields[i].size());
        argv.push_back(values[i].c_str());
        argvlen.push_back(values[i].size());
    }
    reply_ptr reply(static_cast<redisReply*>(
        redisCommandArgv(connection, static_cast<int>(argv.size()), argv.data(), argvlen.data())));
    if (!reply) {
        syslog(LOG_ERR, "Redis HMSET command error.");
        return false;
    }
    if (is_status_ok(reply.get()))
        return true;
    syslog(LOG_ERR, "Redis set command error: %s key: %s", reply_text(reply.get()).c_str(), key.c_str());
    return false;
}

#include "kv_store.hpp"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <boost/url/decode_view.hpp>

namespace {

using std::chrono::steady_clock;

constexpr char failure[] = "FAILURE";

struct reply_deleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

struct command_deleter {
    void operator()(char* command) const { redisFreeCommand(command); }
};

// Marks the connection failed, as hiredis does: every later command on it
// fails at once.
void set_error(redisContext* c, int type, char const* text)
{
    c->err = type;
    std::snprintf(c->errstr, sizeof c->errstr, "%s", text);
}

// The same from errno, for a failed system call.
void set_error_from_errno(redisContext* c)
{
    set_error(c, REDIS_ERR_IO, std::strerror(errno));
}

// Waits until fd is ready for events, or the deadline has passed. A signal
// interrupts poll(2), not the wait: it goes on for what is left of it. False
// with errno set when the time is up (ETIMEDOUT) or poll fails.
bool ready_by(int fd, short events, steady_clock::time_point deadline)
{
    using namespace std::chrono;
    for (;;) {
        auto const left = ceil<milliseconds>(deadline - steady_clock::now());
        if (left <= milliseconds::zero()) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        int const n = poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;  // an error or hang-up shows in the next call
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// hiredis starts the connect without blocking; the wait for it is ours. A
// connect that fails, or does not end in time, leaves its error in the
// context ("Connection refused", "Connection timed out").
redisContext* connect_within(std::string const& host, int port, steady_clock::duration limit)
{
    redisContext* c = redisConnectNonBlock(host.c_str(), port);
    if (!c || c->err)
        return c;
    int error = 0;
    socklen_t size = sizeof error;
    if (!ready_by(c->fd, POLLOUT, steady_clock::now() + limit) ||
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error) {
        errno = error;
        set_error_from_errno(c);
    }
    return c;
}

// The connection's socket is non-blocking and every wait on it is one of
// ours, bounded by kv_store::timeout from its start: data that comes starts
// the next wait, a signal starts none.
bool send_all(redisContext* c, char const* data, std::size_t size)
{
    auto deadline = steady_clock::now() + kv_store::timeout;
    while (size > 0) {
        ssize_t const n = send(c->fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            deadline = steady_clock::now() + kv_store::timeout;
        } else if (errno == EINTR || (errno == EAGAIN && ready_by(c->fd, POLLOUT, deadline))) {
            continue;
        } else {
            set_error_from_errno(c);
            return false;
        }
    }
    return true;
}

reply_ptr receive_reply(redisContext* c)
{
    char buffer[16 * 1024];
    auto deadline = steady_clock::now() + kv_store::timeout;
    bool wait = true;  // nothing can have come yet
    for (;;) {
        if (wait && !ready_by(c->fd, POLLIN, deadline)) {
            set_error_from_errno(c);
            return nullptr;
        }
        ssize_t const n = recv(c->fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            void* reply = nullptr;
            if (redisReaderFeed(c->reader, buffer, static_cast<std::size_t>(n)) != REDIS_OK ||
                redisReaderGetReply(c->reader, &reply) != REDIS_OK) {
                set_error(c, c->reader->err, c->reader->errstr);
                return nullptr;
            }
            if (reply)
                return reply_ptr(static_cast<redisReply*>(reply));
            deadline = steady_clock::now() + kv_store::timeout;
            wait = false;  // the rest may be there already
        } else if (n == 0) {
            set_error(c, REDIS_ERR_EOF, "Server closed the connection");
            return nullptr;
        } else if (errno == EAGAIN) {
            wait = true;
        } else if (errno != EINTR) {
            set_error_from_errno(c);
            return nullptr;
        }
    }
}

// One command and its reply. Null, as from redisCommand, when the
// connection has failed before or fails now.
reply_ptr exchange(redisContext* c, char* formatted, int length)
{
    std::unique_ptr<char, command_deleter> const command(formatted);
    if (c->err)
        return nullptr;
    if (length < 0) {
        set_error(c, REDIS_ERR_OOM, "Out of memory");
        return nullptr;
    }
    if (!send_all(c, formatted, static_cast<std::size_t>(length)))
        return nullptr;
    return receive_reply(c);
}

template <typename... Args>
reply_ptr command(redisContext* c, char const* format, Args... args)
{
    char* formatted = nullptr;
    int const length = redisFormatCommand(&formatted, format, args...);
    return exchange(c, formatted, length);
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

void kv_store::context_deleter::operator()(redisContext* c) const noexcept
{
    redisFree(c);
}

void kv_store::connect()
{
    syslog(LOG_INFO, "Connecting redis with host: %s port: %d db: %d", host.c_str(), port, db);
    connection.reset(connect_within(host, port, timeout));
    if (!connection)
        throw std::runtime_error("Cannot connect to the Redis server.");
    if (connection->err)
        throw std::runtime_error(std::string("Redis connection error: ") + connection->errstr);
    if (db == 0)
        return;

    syslog(LOG_INFO, "selecting db: %d", db);
    reply_ptr reply = command(connection.get(), "SELECT %d", db);
    if (reply && is_status_ok(reply.get()))
        return;
    throw std::runtime_error("Redis database not selected. DB:" + std::to_string(db));
}

void kv_store::disconnect()
{
    syslog(LOG_INFO, "Disonnecting redis");
    connection.reset();
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
    reply_ptr reply = command(connection.get(), "GET %s", key.c_str());
    if (!reply)
        return failure;
    return value_of(reply.get());
}

std::optional<std::string> kv_store::get_with_type(std::string const& key, std::string type)
{
    if (!connection)
        return failure;
    reply_ptr reply = command(connection.get(), "%s.GET %s", type.c_str(), key.c_str());
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
    return set_result(command(connection.get(), "SET %s %s", key.c_str(), value.c_str()), key, value);
}

bool kv_store::set_with_type(std::string const& key, std::string const& value, std::string type)
{
    if (!connection)
        return false;
    return set_result(command(connection.get(), "%s.SET %s . %s", type.c_str(), key.c_str(), value.c_str()),
                      key, value);
}

bool kv_store::remove(std::string const& key)
{
    if (!connection)
        return false;
    command(connection.get(), "DEL %s", key.c_str());
    return true;
}

bool kv_store::clear()
{
    if (!connection)
        return false;
    // FLUSHDB, not FLUSHALL: other databases of the server hold other
    // parties' data (the token and endpoints live beside the rules).
    command(connection.get(), "FLUSHDB");
    return true;
}

bool kv_store::sadd(std::string const& key, std::string const& member)
{
    if (!connection)
        return false;
    command(connection.get(), "SADD %s %s", key.c_str(), member.c_str());
    return true;
}

std::string kv_store::hget(std::string const& key, std::string const& field)
{
    if (!connection)
        return "";
    reply_ptr reply = command(connection.get(), "HGET %s %s", key.c_str(), field.c_str());
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
    char* formatted = nullptr;
    int const length = redisFormatCommandArgv(&formatted, static_cast<int>(argv.size()), argv.data(), argvlen.data());
    reply_ptr reply = exchange(connection.get(), formatted, length);
    if (!reply) {
        syslog(LOG_ERR, "Redis HMSET command error.");
        return false;
    }
    if (is_status_ok(reply.get()))
        return true;
    syslog(LOG_ERR, "Redis set command error: %s key: %s", reply_text(reply.get()).c_str(), key.c_str());
    return false;
}

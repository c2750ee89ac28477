#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/verb.hpp>
#include <boost/url/url.hpp>

#include "datastore.hpp"
#include "datastore_config.hpp"
#include "kv_store.hpp"

// Client of the cloud API: endpoint URLs from Redis or the service URL file,
// a bearer token from Redis or the authentication script, and one HTTP(S)
// request at a time with a read time-out. Used by one thread at a time.
class remote_store : datastore_readonly<std::string, std::string> {
public:
    // The config is not read; throws std::runtime_error when the endpoint
    // URLs cannot be loaded.
    explicit remote_store(datastore_config const& config);

    // The store interface yields nothing.
    std::optional<std::string> get(std::string const& key) override;

    // URL of an endpoint by name ("auth", "config", "user", "captive",
    // "device", "log"); empty for any other name.
    std::string get_endpoint(std::string const& name);

    // Loads the token from Redis, running the authentication script once when
    // Redis holds none. True when a token is held. Throws std::runtime_error.
    bool get_auth_token();

    // The response body of path on the named endpoint; renews the token once
    // when the cloud refuses it. Empty when no usable response came.
    std::string request(std::string const& path, std::string const& endpoint_name);

    std::pair<unsigned int, std::string> make_request(boost::urls::url const& url, std::string const& body,
                                                      boost::beast::http::verb verb);
    boost::asio::awaitable<std::pair<unsigned int, std::string>> make_request_ssl(
        boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb,
        boost::asio::ssl::context& ctx);
    boost::asio::awaitable<std::pair<unsigned int, std::string>> make_request_http(
        boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb);

    static std::string const service_urls_file;        // "/etc/zelto/cloud/service_urls.json"
    static std::string const fetch_auth_token_script;  // "/opt/control.setvesk/library/cloud/auth.sh"

    bool token_present = false;       // token holds a token from the last get_auth_token
    std::int64_t timeout_seconds = 2;  // limit of the response read

private:
    void set_config_endpoints();

    std::string token;
    std::string accounts_url;
    std::string auth_url;
    std::string config_url;
    std::string user_url;
    std::string captive_url;  // loaded from the key "gate"
    std::string device_url;
    std::string log_url;
    std::string socket_url;
    std::shared_ptr<kv_store> store;  // Redis 127.0.0.1:6379 database 1
};

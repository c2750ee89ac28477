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
// request at a time, every step of it under a time-out. Used by one thread at
// a time.
class remote_store final : datastore_readonly<std::string, std::string> {
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
    // when the cloud refuses it. Empty when no usable response came. Throws
    // std::runtime_error (no endpoint URL, renewal failed) and the URL
    // parser's boost::system::system_error.
    std::string request(std::string const& path, std::string const& endpoint_name);
    // The same request, telling a response from none: its status and body,
    // or nothing when no response came (the exchange failed or timed out,
    // and exchange_failure() says how) or the cloud refused the renewed token
    // as well (exchange_failure() is empty). Throws as request does.
    std::optional<std::pair<unsigned int, std::string>> request_response(std::string const& path,
                                                                         std::string const& endpoint_name);

    // One exchange on a private io_context driven by the calling thread:
    // (status, body), or (0, "") when it failed or timed out (already logged).
    // HTTPS for the scheme "https", plain HTTP for "http"; any other scheme,
    // or a token holding a control character, fails before a connection.
    std::pair<unsigned int, std::string> make_request(boost::urls::url const& url, std::string const& body,
                                                      boost::beast::http::verb verb);
    // The two exchanges; they log every failure and never throw a
    // std::exception. url, body and ctx must outlive the awaitable.
    boost::asio::awaitable<std::pair<unsigned int, std::string>> make_request_ssl(
        boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb,
        boost::asio::ssl::context& ctx);
    boost::asio::awaitable<std::pair<unsigned int, std::string>> make_request_http(
        boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb);

    // The LOG_ERR text of the last exchange when it got no response at all
    // (time-out, refused, reset, not sent); empty when it got one.
    std::string const& exchange_failure() const { return exchange_failure_; }

    // Kills the running authentication script's process group, if any; async-signal-safe.
    static void stop_authentication_script() noexcept;

    static std::string const service_urls_file;        // "/etc/zelto/cloud/service_urls.json"
    static std::string const fetch_auth_token_script;  // "/opt/control.setvesk/library/cloud/auth.sh"

    bool token_present = false;       // token holds a token from the last get_auth_token
    std::int64_t timeout_seconds = 2;  // limit of each step of an exchange
    std::int64_t script_timeout_seconds = 10;  // limit of one run of the authentication script

private:
    struct endpoint_key;
    static endpoint_key const endpoint_keys[8];

    void set_config_endpoints();
    void load_endpoints_from_redis();
    void load_endpoints_from_file();
    bool fetch_token();
    std::optional<std::string> read_token();
    // TLS 1.2 client context that verifies the server against the system's
    // trust store (SSL_CERT_FILE and SSL_CERT_DIR are honoured).
    static boost::asio::ssl::context make_tls_context();

    std::string token;
    std::string exchange_failure_;
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

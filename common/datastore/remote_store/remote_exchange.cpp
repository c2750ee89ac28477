// One request to the cloud API over HTTPS or HTTP: resolve, connect, (TLS
// handshake), write, read against a timer, shut down. Every step but the name
// look-up has a deadline, so a silent server cannot hold the caller. Once the
// response is read it is the result, whatever the shutdown does.

#include "remote_store.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <syslog.h>

#include <chrono>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "signal_queue.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using asio::use_awaitable;
using error_code = boost::system::error_code;
using system_error = boost::system::system_error;
using tcp = asio::ip::tcp;
using result = std::pair<unsigned int, std::string>;

system_error last_openssl_error()
{
    return system_error(error_code(static_cast<int>(ERR_get_error()), asio::error::get_ssl_category()));
}

// The resolver starts a thread of its own on its first look-up, and a new
// thread takes the signal mask of the one that starts it. Started with every
// signal blocked, that thread never takes a signal meant for the program's
// main thread; the caller's own signals wait only while the look-up starts.
template <class Token>
auto async_resolve_without_signals(tcp::resolver& resolver, std::string host, std::string service, Token&& token)
{
    return asio::async_initiate<Token, void(error_code, tcp::resolver::results_type)>(
        [&resolver](auto handler, std::string const& host, std::string const& service) {
            signals_blocked const blocked;
            resolver.async_resolve(host, service, tcp::resolver::flags(), std::move(handler));
        },
        token, std::move(host), std::move(service));
}

// Host for the resolver, SNI and the certificate check: an IPv6 literal
// without its brackets.
std::string host_of(boost::urls::url const& url)
{
    return url.host_address();
}

// The URL's own port when it names one, else the exchange's service.
std::string service_of(boost::urls::url const& url, char const* default_service)
{
    if (url.has_port() && !url.port().empty())
        return std::string(url.port());
    return default_service;
}

// The Host field names the port only when it is not the scheme's default.
std::string host_field(boost::urls::url const& url, std::uint16_t default_port)
{
    std::string host = url.host();
    if (url.has_port() && !url.port().empty() && url.port_number() != default_port)
        host += ":" + std::string(url.port());
    return host;
}

// The decoded path goes out as the target, "?" and all. Blanks and control
// characters would break the request line, so those alone are escaped.
std::string target_of(boost::urls::url const& url)
{
    static char const hex[] = "0123456789ABCDEF";
    std::string target;
    for (unsigned char ch : std::string(url.path())) {
        if (ch <= 0x20 || ch == 0x7f) {
            target += '%';
            target += hex[ch >> 4];
            target += hex[ch & 0xf];
        } else {
            target += static_cast<char>(ch);
        }
    }
    return target;
}

http::request<http::string_body> build_request(boost::urls::url const& url, std::string const& body,
                                               http::verb verb, std::string const& token,
                                               std::uint16_t default_port)
{
    http::request<http::string_body> req{verb, target_of(url), 11};
    req.set(http::field::host, host_field(url, default_port));
    req.set(http::field::user_agent, "VESK-CONTROL");
    req.set(http::field::content_type, "application/json");
    req.set(http::field::authorization, "Bearer " + token);
    // Only a caller's body gets a length; without one the request ends at
    // the empty line.
    if (!body.empty()) {
        req.body() = body;
        req.prepare_payload();
    }
    return req;
}

// Check the certificate against the host: IP-address hosts against the
// certificate's IP entries, names against its DNS names.
void expect_peer(SSL* ssl, std::string const& host)
{
    error_code ec;
    asio::ip::make_address(host, ec);
    int const ok = ec ? SSL_set1_host(ssl, host.c_str())
                      : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    if (ok != 1)
        throw last_openssl_error();
}

struct tls_transport {
    static constexpr char const* service = "https";
    static constexpr std::uint16_t default_port = 443;
    static constexpr char const* timeout_message = "SSL request timeout";

    beast::ssl_stream<beast::tcp_stream> stream;

    tls_transport(asio::any_io_executor const& ex, ssl::context& ctx) : stream(ex, ctx) {}

    beast::tcp_stream& tcp_layer() { return beast::get_lowest_layer(stream); }

    // Before any network activity: the server name to present and to verify.
    void prepare(std::string const& host)
    {
        if (!SSL_set_tlsext_host_name(stream.native_handle(), host.c_str()))
            throw last_openssl_error();
        expect_peer(stream.native_handle(), host);
    }

    asio::awaitable<void> start()
    {
        auto [ec] = co_await stream.async_handshake(ssl::stream_base::client, asio::as_tuple(use_awaitable));
        if (!ec)
            co_return;
        // Name the reason when the certificate was refused.
        long const verify = SSL_get_verify_result(stream.native_handle());
        if (verify != X509_V_OK)
            throw system_error(ec, X509_verify_cert_error_string(verify));
        throw system_error(ec);
    }

    // A server that ends the connection without close_notify has still
    // delivered its whole response.
    asio::awaitable<error_code> finish()
    {
        auto [ec] = co_await stream.async_shutdown(asio::as_tuple(use_awaitable));
        if (ec == asio::error::eof || ec == ssl::error::stream_truncated)
            ec = {};
        co_return ec;
    }
};

struct plain_transport {
    static constexpr char const* service = "http";
    static constexpr std::uint16_t default_port = 80;
    static constexpr char const* timeout_message = "HTTP request timeout";

    beast::tcp_stream stream;

    explicit plain_transport(asio::any_io_executor const& ex) : stream(ex) {}

    beast::tcp_stream& tcp_layer() { return stream; }
    void prepare(std::string const&) {}
    asio::awaitable<void> start() { co_return; }

    asio::awaitable<error_code> finish()
    {
        error_code ec;
        stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        if (ec == boost::system::errc::not_connected)
            ec = {};
        co_return ec;
    }
};

bool is_timeout(error_code const& ec)
{
    return ec == beast::error::timeout || ec == asio::error::operation_aborted;
}

// Reads one response raced against a timer started now. Nothing when the
// deadline has passed by the time the race ends, whichever side won: a read
// that fails early (reset, malformed response) therefore ends at the
// deadline too.
template <class Stream>
asio::awaitable<std::optional<http::response<http::string_body>>> read_response(Stream& stream,
                                                                               std::chrono::seconds limit)
{
    using namespace asio::experimental::awaitable_operators;

    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(limit);
    try {
        co_await (http::async_read(stream, buffer, response, use_awaitable) || timer.async_wait(use_awaitable));
    } catch (asio::multiple_exceptions const& e) {
        // Both sides failed; report the first failure itself.
        std::rethrow_exception(e.first_exception());
    }
    if (std::chrono::steady_clock::now() >= timer.expiry())
        co_return std::nullopt;
    co_return response;
}

// The steps shared by both exchanges. Nothing when a step ran out of time.
template <class Transport>
asio::awaitable<std::optional<result>> exchange(Transport& t, boost::urls::url const& url, std::string const& body,
                                                http::verb verb, std::string const& token,
                                                std::chrono::seconds limit)
{
    try {
        auto const ex = co_await asio::this_coro::executor;
        std::string const host = host_of(url);
        t.prepare(host);

        tcp::resolver resolver(ex);
        auto const endpoints =
            co_await async_resolve_without_signals(resolver, host, service_of(url, Transport::service), use_awaitable);
        t.tcp_layer().expires_after(limit);
        co_await t.tcp_layer().async_connect(endpoints, use_awaitable);
        t.tcp_layer().expires_after(limit);
        co_await t.start();

        auto const req = build_request(url, body, verb, token, Transport::default_port);
        t.tcp_layer().expires_after(limit);
        co_await http::async_write(t.stream, req, use_awaitable);
        t.tcp_layer().expires_never();

        auto response = co_await read_response(t.stream, limit);
        if (!response)
            co_return std::nullopt;

        // The response is whole: how the connection then ends (a reset of a
        // server that skips close_notify, a time-out) cannot change it.
        t.tcp_layer().expires_after(limit);
        if (error_code const ec = co_await t.finish())
            syslog(LOG_DEBUG, "Shutdown after the response: %s", ec.message().c_str());
        co_return result(response->result_int(), std::move(response->body()));
    } catch (system_error const& e) {
        if (is_timeout(e.code()))
            co_return std::nullopt;
        throw;
    }
}

// Every failure, building the stream included, is logged, kept in failure
// and gives (0, "").
template <class Transport, class... Args>
asio::awaitable<result> logged_exchange(boost::urls::url const& url, std::string const& body, http::verb verb,
                                        std::string const& token, std::int64_t seconds, std::string& failure,
                                        Args&... args)
{
    try {
        Transport t(co_await asio::this_coro::executor, args...);
        auto r = co_await exchange(t, url, body, verb, token, std::chrono::seconds(seconds));
        if (r)
            co_return std::move(*r);
        failure = Transport::timeout_message;
    } catch (std::exception const& e) {
        failure = e.what();
    }
    syslog(LOG_ERR, "%s", failure.c_str());
    co_return result(0, "");
}

}  // namespace

boost::asio::ssl::context remote_store::make_tls_context()
{
    ssl::context ctx(ssl::context::tlsv12_client);
    ctx.set_default_verify_paths();
    ctx.set_verify_mode(ssl::verify_peer);
    return ctx;
}

boost::asio::awaitable<std::pair<unsigned int, std::string>> remote_store::make_request_ssl(
    boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb,
    boost::asio::ssl::context& ctx)
{
    co_return co_await logged_exchange<tls_transport>(url, body, verb, token, timeout_seconds, exchange_failure_, ctx);
}

boost::asio::awaitable<std::pair<unsigned int, std::string>> remote_store::make_request_http(
    boost::urls::url const& url, std::string const& body, boost::beast::http::verb verb)
{
    co_return co_await logged_exchange<plain_transport>(url, body, verb, token, timeout_seconds, exchange_failure_);
}

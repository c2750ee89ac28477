#pragma once

// A stand-in for the cloud API in tests and benchmarks: an in-process HTTPS
// (TLS 1.2) and plain HTTP server on loopback, scripted per connection and
// recording every request as received. Certificates come from a test CA made
// with the openssl command. Inside the sandbox only: it binds ports 443 and 80
// by default and may write /etc/hosts.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace cloud_test {

// Certificates for one run, all made by make_test_pki in one directory.
struct test_pki {
    std::string ca_cert;      // the test CA; trust it through SSL_CERT_FILE
    std::string server_cert;  // signed by the CA for DNS cloud.test, localhost and IP 127.0.0.1
    std::string server_key;
    std::string other_cert;   // signed by the CA for DNS other.test and IP 127.0.0.2 only
    std::string other_key;
    std::string rogue_cert;   // for cloud.test and 127.0.0.1, signed by a CA nobody trusts
    std::string rogue_key;
};

// Runs the openssl command; throws std::runtime_error when it fails.
test_pki make_test_pki(std::string const& dir);

// Appends "address name" to /etc/hosts. Refuses outside the sandbox.
void add_hosts_entry(std::string const& name, std::string const& address);

// What the server does on one connection.
struct response {
    enum class kind {
        answer,                  // status, fields and body; then close_notify (TLS) and close
        answer_no_close_notify,  // the answer, then close TCP without close_notify
        answer_then_silent,      // the answer, then nothing until the client leaves
        answer_then_reset,       // the answer; reset when the client starts to shut down
        raw,                     // body bytes as the whole answer, then close
        no_answer,               // read the request, then nothing until the client leaves
        close,                   // read the request, close without an answer
        reset,                   // read the request, reset the connection
        silent,                  // accept, then nothing at all (no TLS handshake, no read)
        no_read,                 // TLS handshake (HTTPS), then never read
    };

    kind what = kind::answer;
    unsigned status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> fields;  // extra header fields
    std::chrono::milliseconds delay{0};                       // before the answer

    static response answer(unsigned status, std::string body, std::chrono::milliseconds delay = {});
    static response raw_bytes(std::string bytes);
    static response of(kind what);
};

// One request as the server read it.
struct recorded_request {
    bool tls = false;
    std::string sni;         // server name the client sent (TLS)
    std::uint16_t port = 0;  // local port it came in on
    std::string head;        // every byte up to and including the empty line
    std::string method;
    std::string target;
    std::string version;     // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> fields;  // in order, names as sent
    std::string body;

    // First value of a field, compared without case; nothing when absent.
    std::optional<std::string> field(std::string const& name) const;
};

class cloud_server {
public:
    struct options {
        std::string address = "127.0.0.1";
        std::uint16_t https_port = 443;  // 0: any free port
        std::uint16_t http_port = 80;    // 0: any free port
        std::string cert;                // PEM chain and key served over HTTPS
        std::string key;
    };

    explicit cloud_server(options opts);
    ~cloud_server();
    cloud_server(cloud_server const&) = delete;
    cloud_server& operator=(cloud_server const&) = delete;

    std::uint16_t https_port() const { return https_port_; }
    std::uint16_t http_port() const { return http_port_; }

    // Certificate for connections accepted from now on.
    void use_certificate(std::string const& cert, std::string const& key);

    // Scripts for the next connections, in order. When none is queued, the
    // handler (if set) answers by the request, else the default answer
    // (200 with an empty body).
    void push(response r);
    void set_handler(std::function<response(recorded_request const&)> handler);
    void set_default(response r);

    std::vector<recorded_request> requests() const;
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    std::size_t connections() const;
    // Forgets the recorded requests, the connection count and queued scripts.
    void clear();

private:
    struct listener {
        int fd = -1;
        bool tls = false;
        std::uint16_t port = 0;
        std::thread thread;
    };
    struct worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    class connection;

    void accept_loop(listener& l);
    void serve(int fd, bool tls, std::uint16_t port);
    std::optional<response> next_script();
    response answer_for(recorded_request const& req);
    void record(recorded_request req);
    SSL_CTX* current_tls_context();
    void reap_finished_workers();

    std::uint16_t https_port_ = 0;
    std::uint16_t http_port_ = 0;
    int stop_fd_ = -1;  // eventfd, readable once the server stops
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    SSL_CTX* tls_ = nullptr;
    std::deque<response> scripts_;
    std::function<response(recorded_request const&)> handler_;
    response default_;
    std::vector<recorded_request> requests_;
    std::size_t connections_ = 0;
    std::set<int> open_fds_;
    std::list<worker> workers_;

    listener https_;
    listener http_;
};

}  // namespace cloud_test

#include "cloud_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <strings.h>

namespace cloud_test {

namespace {

using namespace std::chrono_literals;

// How long a finished connection waits for the client to leave before it
// closes on its own.
constexpr auto linger_for_client = 5s;

void run_or_throw(std::string const& command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("command failed: " + command);
}

void write_text(std::string const& path, std::string const& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string new_key_request(std::string const& dir, std::string const& name, std::string const& cn)
{
    return "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + cn +
           "' -keyout '" + dir + "/" + name + ".key' -out '" + dir + "/" + name + ".csr'";
}

void make_ca(std::string const& dir, std::string const& name, std::string const& cn)
{
    run_or_throw("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=" +
                 cn + "' -keyout '" + dir + "/" + name + ".key' -out '" + dir + "/" + name + ".pem'");
}

void make_leaf(std::string const& dir, std::string const& name, std::string const& ca, std::string const& san,
               int serial)
{
    std::string const ext = dir + "/" + name + ".ext";
    write_text(ext,
               "basicConstraints=critical,CA:FALSE\n"
               "keyUsage=critical,digitalSignature\n"
               "extendedKeyUsage=serverAuth\n"
               "subjectAltName=" + san + "\n");
    run_or_throw(new_key_request(dir, name, name));
    run_or_throw("openssl x509 -req -days 2 -set_serial " + std::to_string(serial) + " -in '" + dir + "/" + name +
                 ".csr' -CA '" + dir + "/" + ca + ".pem' -CAkey '" + dir + "/" + ca + ".key' -extfile '" + ext +
                 "' -out '" + dir + "/" + name + ".pem'");
}

bool iequals(std::string const& a, std::string const& b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string trim(std::string const& s)
{
    auto const first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

char const* reason(unsigned status)
{
    switch (status) {
    case 200: return "OK";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string answer_text(response const& r)
{
    std::string text = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    bool framed = false;
    for (auto const& [name, value] : r.fields) {
        text += name + ": " + value + "\r\n";
        framed = framed || iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding");
    }
    if (!framed)
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(r.body.size()) + "\r\n";
    return text + "\r\n" + r.body;
}

// Splits a request head into start line and fields.
bool parse_head(recorded_request& req)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    for (;;) {
        auto const end = req.head.find("\r\n", pos);
        if (end == std::string::npos || end == pos)
            break;
        lines.push_back(req.head.substr(pos, end - pos));
        pos = end + 2;
    }
    if (lines.empty())
        return false;
    auto const sp1 = lines[0].find(' ');
    auto const sp2 = lines[0].rfind(' ');
    if (sp1 == std::string::npos || sp1 == sp2)
        return false;
    req.method = lines[0].substr(0, sp1);
    req.target = lines[0].substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = lines[0].substr(sp2 + 1);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto const colon = lines[i].find(':');
        if (colon == std::string::npos)
            return false;
        req.fields.emplace_back(lines[i].substr(0, colon), trim(lines[i].substr(colon + 1)));
    }
    return true;
}

// Waits until the peer has closed or reset the connection (data it sends is
// left unread), the server stops, or the time-out passes (-1: none).
void wait_until_peer_gone(int fd, int stop_fd, int timeout_ms = -1)
{
    pollfd fds[2] = {{fd, POLLRDHUP, 0}, {stop_fd, POLLIN, 0}};
    poll(fds, 2, timeout_ms);
}

// Reads and drops what the peer sends until it closes (or the time-out), so
// that the close that follows sends no reset.
void drain_until_peer_gone(int fd, int stop_fd, std::chrono::milliseconds timeout)
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0 || fds[1].revents)
            return;
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return;
    }
}

// Waits until the peer sends something or leaves.
void wait_until_readable(int fd, int stop_fd, int timeout_ms)
{
    pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {stop_fd, POLLIN, 0}};
    poll(fds, 2, timeout_ms);
}

// Sleeps unless the server stops first.
void pause_for(std::chrono::milliseconds delay, int stop_fd)
{
    if (delay.count() <= 0)
        return;
    pollfd fds[1] = {{stop_fd, POLLIN, 0}};
    poll(fds, 1, static_cast<int>(delay.count()));
}

void reset_and_close(int fd)
{
    linger const l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int listen_on(std::string const& address, std::uint16_t& port)
{
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("cloud_server: socket failed");
    int const one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        close(fd);
        throw std::runtime_error("cloud_server: cannot listen on " + address + ":" + std::to_string(port));
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

SSL_CTX* make_server_context(std::string const& cert, std::string const& key)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) ||
        SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("cloud_server: cannot load " + cert + " and " + key);
    }
    return ctx;
}

}  // namespace

test_pki make_test_pki(std::string const& dir)
{
    run_or_throw("mkdir -p '" + dir + "'");
    make_ca(dir, "ca", "Zelto Test CA");
    make_ca(dir, "rogue-ca", "Untrusted Test CA");
    make_leaf(dir, "server", "ca", "DNS:cloud.test,DNS:localhost,IP:127.0.0.1", 1);
    make_leaf(dir, "other", "ca", "DNS:other.test,IP:127.0.0.2", 2);
    make_leaf(dir, "rogue", "rogue-ca", "DNS:cloud.test,DNS:localhost,IP:127.0.0.1", 3);
    return {dir + "/ca.pem",    dir + "/server.pem", dir + "/server.key", dir + "/other.pem",
            dir + "/other.key", dir + "/rogue.pem",  dir + "/rogue.key"};
}

void add_hosts_entry(std::string const& name, std::string const& address)
{
    if (!std::getenv("ZELTO_SANDBOX"))
        throw std::runtime_error("add_hosts_entry: only inside the sandbox");
    std::ofstream out("/etc/hosts", std::ios::app);
    out << address << " " << name << "\n";
    if (!out)
        throw std::runtime_error("add_hosts_entry: cannot write /etc/hosts");
}

response response::answer(unsigned status, std::string body, std::chrono::milliseconds delay)
{
    response r;
    r.status = status;
    r.body = std::move(body);
    r.delay = delay;
    return r;
}

response response::raw_bytes(std::string bytes)
{
    response r;
    r.what = kind::raw;
    r.body = std::move(bytes);
    return r;
}

response response::of(kind what)
{
    response r;
    r.what = what;
    return r;
}

std::optional<std::string> recorded_request::field(std::string const& name) const
{
    for (auto const& [n, v] : fields) {
        if (iequals(n, name))
            return v;
    }
    return std::nullopt;
}

// One accepted connection, plain or TLS, with blocking I/O.
class cloud_server::connection {
public:
    connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl)
    {
        if (ssl_)
            SSL_set_fd(ssl_, fd_);
    }
    ~connection()
    {
        if (ssl_)
            SSL_free(ssl_);
    }
    connection(connection const&) = delete;
    connection& operator=(connection const&) = delete;

    bool handshake() { return !ssl_ || SSL_accept(ssl_) == 1; }

    std::string server_name() const
    {
        char const* name = ssl_ ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
        return name ? name : "";
    }

    // Bytes read; 0 at the end of the stream or on an error.
    std::size_t read_some(char* buf, std::size_t size)
    {
        if (ssl_) {
            int const n = SSL_read(ssl_, buf, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        ssize_t const n = recv(fd_, buf, size, 0);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    bool write_all(std::string const& data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            std::size_t const left = data.size() - done;
            long n;
            if (ssl_)
                n = SSL_write(ssl_, data.data() + done, static_cast<int>(std::min<std::size_t>(left, 1 << 20)));
            else
                n = send(fd_, data.data() + done, left, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    void close_notify()
    {
        if (ssl_)
            SSL_shutdown(ssl_);
    }

    // Reads one request: the head up to the empty line, then a body of
    // Content-Length bytes.
    bool read_request(recorded_request& req)
    {
        std::string data;
        char buf[16384];
        std::size_t end;
        while ((end = data.find("\r\n\r\n")) == std::string::npos) {
            std::size_t const n = read_some(buf, sizeof buf);
            if (n == 0)
                return false;
            data.append(buf, n);
        }
        req.head = data.substr(0, end + 4);
        req.body = data.substr(end + 4);
        if (!parse_head(req))
            return false;
        std::size_t const length = std::strtoul(req.field("Content-Length").value_or("0").c_str(), nullptr, 10);
        while (req.body.size() < length) {
            std::size_t const n = read_some(buf, sizeof buf);
            if (n == 0)
                return false;
            req.body.append(buf, n);
        }
        req.body.resize(length);
        return true;
    }

private:
    int fd_;
    SSL* ssl_;
};

cloud_server::cloud_server(options opts)
{
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    if (stop_fd_ < 0)
        throw std::runtime_error("cloud_server: eventfd failed");
    try {
        tls_ = make_server_context(opts.cert, opts.key);
        https_port_ = opts.https_port;
        http_port_ = opts.http_port;
        https_.fd = listen_on(opts.address, https_port_);
        http_.fd = listen_on(opts.address, http_port_);
    } catch (...) {
        if (https_.fd >= 0)
            close(https_.fd);
        SSL_CTX_free(tls_);
        close(stop_fd_);
        throw;
    }
    https_.tls = true;
    https_.port = https_port_;
    http_.port = http_port_;
    https_.thread = std::thread([this] { accept_loop(https_); });
    http_.thread = std::thread([this] { accept_loop(http_); });
}

cloud_server::~cloud_server()
{
    stopping_ = true;
    std::uint64_t const one = 1;
    [[maybe_unused]] auto n = write(stop_fd_, &one, sizeof one);
    https_.thread.join();
    http_.thread.join();
    {
        // Wake connections blocked in a read or a handshake.
        std::lock_guard lock(mutex_);
        for (int fd : open_fds_)
            shutdown(fd, SHUT_RDWR);
    }
    for (auto& w : workers_)
        w.thread.join();
    close(https_.fd);
    close(http_.fd);
    close(stop_fd_);
    SSL_CTX_free(tls_);
}

void cloud_server::use_certificate(std::string const& cert, std::string const& key)
{
    SSL_CTX* ctx = make_server_context(cert, key);
    std::lock_guard lock(mutex_);
    SSL_CTX_free(tls_);  // connections in progress hold their own reference
    tls_ = ctx;
}

void cloud_server::push(response r)
{
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(r));
}

void cloud_server::set_handler(std::function<response(recorded_request const&)> handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void cloud_server::set_default(response r)
{
    std::lock_guard lock(mutex_);
    default_ = std::move(r);
}

std::vector<recorded_request> cloud_server::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

bool cloud_server::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t cloud_server::connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

void cloud_server::clear()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
    scripts_.clear();
    connections_ = 0;
}

void cloud_server::accept_loop(listener& l)
{
    for (;;) {
        pollfd fds[2] = {{l.fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
            return;
        int const fd = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        reap_finished_workers();
        open_fds_.insert(fd);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([this, fd, tls = l.tls, port = l.port, finished] {
                                serve(fd, tls, port);
                                *finished = true;
                            }),
                            finished});
    }
}

void cloud_server::reap_finished_workers()
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (*it->finished) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<response> cloud_server::next_script()
{
    std::lock_guard lock(mutex_);
    ++connections_;
    if (scripts_.empty())
        return std::nullopt;
    response r = std::move(scripts_.front());
    scripts_.pop_front();
    return r;
}

response cloud_server::answer_for(recorded_request const& req)
{
    std::function<response(recorded_request const&)> handler;
    {
        std::lock_guard lock(mutex_);
        if (!handler_)
            return default_;
        handler = handler_;
    }
    return handler(req);
}

void cloud_server::record(recorded_request req)
{
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(req));
    changed_.notify_all();
}

SSL_CTX* cloud_server::current_tls_context()
{
    std::lock_guard lock(mutex_);
    SSL_CTX_up_ref(tls_);
    return tls_;
}

void cloud_server::serve(int fd, bool tls, std::uint16_t port)
{
    // A write to a client that has gone must fail, not kill the test.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    using kind = response::kind;
    std::optional<response> script = next_script();
    bool reset = false;
    [&] {
        if (script && script->what == kind::silent) {
            wait_until_peer_gone(fd, stop_fd_);
            return;
        }
        SSL* ssl = nullptr;
        if (tls) {
            SSL_CTX* ctx = current_tls_context();
            ssl = SSL_new(ctx);
            SSL_CTX_free(ctx);
        }
        connection conn(fd, ssl);
        if (!conn.handshake())
            return;
        if (script && script->what == kind::no_read) {
            wait_until_peer_gone(fd, stop_fd_);
            return;
        }
        recorded_request req;
        req.tls = tls;
        req.port = port;
        req.sni = conn.server_name();
        if (!conn.read_request(req))
            return;
        record(req);
        response const r = script ? *script : answer_for(req);

        switch (r.what) {
        case kind::no_answer:
            wait_until_peer_gone(fd, stop_fd_);
            return;
        case kind::close:
            return;
        case kind::reset:
            reset = true;
            return;
        default:
            break;
        }
        pause_for(r.delay, stop_fd_);
        if (!conn.write_all(r.what == kind::raw ? r.body : answer_text(r)))
            return;
        switch (r.what) {
        case kind::answer_no_close_notify:
            // End the TCP stream under TLS; what the client says then is read
            // and dropped.
            shutdown(fd, SHUT_WR);
            drain_until_peer_gone(fd, stop_fd_, linger_for_client);
            return;
        case kind::answer_then_silent:
            wait_until_peer_gone(fd, stop_fd_);
            return;
        case kind::answer_then_reset:
            // The client's close_notify (or its FIN) is the sign that it has
            // read the answer and begun to shut down.
            wait_until_readable(fd, stop_fd_, std::chrono::milliseconds(linger_for_client).count());
            reset = true;
            return;
        default:
            conn.close_notify();
            drain_until_peer_gone(fd, stop_fd_, linger_for_client);
            return;
        }
    }();

    if (reset)
        reset_and_close(fd);
    {
        std::lock_guard lock(mutex_);
        open_fds_.erase(fd);
    }
    close(fd);
}

}  // namespace cloud_test

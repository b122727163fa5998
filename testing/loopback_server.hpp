#pragma once
// The tests' and benches' HTTP peer: a cpp-httplib server on 127.0.0.1 at an ephemeral port, plain
// or TLS, serving from construction to stop() or destruction with the routes its owner installs.

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <tessaro/sandbox/listen_backlog.hpp>

namespace tessaro::testing {

class LoopbackServer {
public:
    // Installs the handlers and any settings before the server listens.
    using Routes = std::function<void(httplib::Server&)>;
    // The server's certificate and key for HTTPS (borrowed: they must outlive the constructor).
    struct Certificate {
        X509* certificate;
        EVP_PKEY* key;
    };

    explicit LoopbackServer(const Routes& routes, std::optional<Certificate> tls = std::nullopt)
        : server_(tls ? std::unique_ptr<httplib::Server>(new httplib::SSLServer(tls->certificate, tls->key))
                      : std::make_unique<httplib::Server>()),
          scheme_(tls ? "https://" : "http://") {
        // Without TCP_NODELAY each request on a reused connection waits for the delayed ACK; a
        // connection stays open for as many requests as its client sends.
        server_->set_tcp_nodelay(true);
        server_->set_keep_alive_max_count(1000000);
        routes(*server_);
        port_ = server_->is_valid() ? server_->bind_to_any_port("127.0.0.1") : -1;
        if (port_ <= 0) throw std::runtime_error("the loopback server cannot listen on 127.0.0.1");
        // Many callers connecting at once would overflow cpp-httplib's backlog of 5.
        sandbox::widenListenBacklog(port_);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        // stop() reaches only a server that has started listening: wait for it (bounded).
        for (int i = 0; i < 2000 && !server_->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~LoopbackServer() { stop(); }

    int port() const { return port_; }
    // "http://<host>:<port>", https with a certificate.
    std::string origin(const std::string& host = "127.0.0.1") const {
        return scheme_ + host + ":" + std::to_string(port_);
    }
    // Stops listening and waits for the handlers to return: connections are refused from then on.
    // Not to be called from two threads at once.
    void stop() {
        if (!thread_.joinable()) return;
        server_->stop();
        thread_.join();
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = -1;
    std::thread thread_;
};

}  // namespace tessaro::testing

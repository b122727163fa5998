#pragma once
// Loopback peers for the API and client tests: a server that records every request as it arrived,
// and a socket that accepts but never answers.

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <testing/loopback_server.hpp>

namespace tessaro::testing {

struct RecordedRequest {
    std::string method;
    std::string target;  // the request target exactly as sent (path and query, not decoded)
    httplib::Headers headers;
    std::string body;
    int remotePort = -1;

    bool has(const std::string& name) const { return headers.find(name) != headers.end(); }
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// A loopback server (plain, or HTTPS with a certificate) that records every request, then answers
// it with the current handler (by default 200 with "{}").
class TestServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit TestServer(std::optional<LoopbackServer::Certificate> tls = std::nullopt)
        : server_([this](httplib::Server& server) { install(server); }, tls) {}

    int port() const { return server_.port(); }
    std::string origin(const std::string& host = "127.0.0.1") const { return server_.origin(host); }

    void respond(Handler handler) {
        std::lock_guard guard(mutex_);
        handler_ = std::move(handler);
    }
    // Answers every request with `status`, `body` and `contentType`.
    void respond(int status, std::string body, std::string contentType = "application/json") {
        respond([=](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, contentType.c_str());
        });
    }

    std::vector<RecordedRequest> requests() const {
        std::lock_guard guard(mutex_);
        return recorded_;
    }
    RecordedRequest last() const {
        std::lock_guard guard(mutex_);
        if (recorded_.empty()) throw std::runtime_error("the test server received no request");
        return recorded_.back();
    }

private:
    void install(httplib::Server& server) {
        server.new_task_queue = [] { return new httplib::ThreadPool(16); };
        const auto record = [this](const httplib::Request& request) {
            std::lock_guard guard(mutex_);
            recorded_.push_back({request.method, request.target, request.headers, request.body, request.remote_port});
            return handler_;
        };
        const auto route = [record](const httplib::Request& request, httplib::Response& response) {
            record(request)(request, response);
        };
        server.Get(".*", route).Post(".*", route).Put(".*", route).Delete(".*", route);
        // A proxy's CONNECT has no route: recorded and refused.
        server.set_pre_routing_handler([record](const httplib::Request& request, httplib::Response& response) {
            if (request.method != "CONNECT") return httplib::Server::HandlerResponse::Unhandled;
            record(request);
            response.status = 403;
            return httplib::Server::HandlerResponse::Handled;
        });
    }

    mutable std::mutex mutex_;
    std::vector<RecordedRequest> recorded_;
    Handler handler_ = [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    };
    LoopbackServer server_;  // last: it stops before the members its handlers use go
};

// A socket listening on an ephemeral loopback port that never accepts: connections complete in the
// kernel's backlog, requests are sent, and no answer ever comes. Closed on destruction.
class SilentServer {
public:
    SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("could not bind a loopback socket");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    int port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    int port_ = 0;
};

// A loopback port on which nothing listens (listened on once, then closed).
inline int closedPort() { return SilentServer().port(); }

// Runs `call` and returns the exception of type E it throws; fails the test on any other outcome
// (returning `otherwise`).
template <typename E, typename F>
E thrown(F&& call, E otherwise) {
    try {
        call();
    } catch (const E& error) {
        return error;
    }
    ADD_FAILURE() << "expected an exception of type " << typeid(E).name();
    return otherwise;
}

}  // namespace tessaro::testing

#pragma once
// Loopback servers for the API tests: a cpp-httplib server that records every request as it
// arrived, and a socket that accepts connections but never answers.

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

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

// Serves on 127.0.0.1 at an ephemeral port from construction to destruction. Every request is
// recorded, then answered by the current handler (by default 200 with "{}").
class TestServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    TestServer() {
        server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
        server_.set_keep_alive_max_count(100000);
        server_.set_tcp_nodelay(true);
        const auto route = [this](const httplib::Request& request, httplib::Response& response) {
            Handler handler;
            {
                std::lock_guard guard(mutex_);
                recorded_.push_back({request.method, request.target, request.headers, request.body, request.remote_port});
                handler = handler_;
            }
            handler(request, response);
        };
        server_.Get(".*", route);
        server_.Post(".*", route);
        server_.Put(".*", route);
        server_.Delete(".*", route);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) throw std::runtime_error("test server could not bind");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() only reaches a server that has started listening: wait for it (bounded).
        for (int i = 0; i < 2000 && !server_.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    ~TestServer() {
        server_.stop();
        thread_.join();
    }

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

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
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> recorded_;
    Handler handler_ = [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    };
};

// A TCP socket bound to an ephemeral loopback port, listening when asked; closed on destruction.
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool listening) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            (listening && ::listen(fd_, 16) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("could not bind a loopback socket");
        }
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int port() const { return port_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    int port_ = 0;
};

// A listening socket that never accepts: connections complete in the kernel's backlog, requests
// are sent, and no answer ever comes.
struct SilentServer : LoopbackSocket {
    SilentServer() : LoopbackSocket(true) {}
};

// A loopback port on which nothing listens (bound once, then released).
inline int closedPort() { return LoopbackSocket(false).port(); }

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

#pragma once
// Loopback servers for the API and client tests: one that records every request as it arrived, one
// whose every answer is scripted down to the bytes, and a socket that accepts but never answers.

#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
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
        const auto route = [this](const httplib::Request& request, httplib::Response& response) {
            Handler handler;
            {
                std::lock_guard guard(mutex_);
                recorded_.push_back(
                    {request.method, request.target, request.headers, request.body, request.remote_port});
                handler = handler_;
            }
            handler(request, response);
        };
        server.Get(".*", route);
        server.Post(".*", route);
        server.Put(".*", route);
        server.Delete(".*", route);
    }

    mutable std::mutex mutex_;
    std::vector<RecordedRequest> recorded_;
    Handler handler_ = [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    };
    LoopbackServer server_;  // last: it stops before the members its handlers use go
};

// A TCP socket bound to an ephemeral loopback port, listening by default; closed on destruction.
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool listening = true) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
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
    int fd() const { return fd_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    int port_ = 0;
};

// A listening socket that never accepts: connections complete in the kernel's backlog, requests
// are sent, and no answer ever comes.
using SilentServer = LoopbackSocket;

// A loopback port on which nothing listens (bound once, then released).
inline int closedPort() { return LoopbackSocket(false).port(); }

// An HTTP/1.1 server on a raw loopback socket whose every answer is scripted, down to closing the
// connection without one: for the transport's connection handling and for a proxy's CONNECT.
// Each connection has a thread of its own; reads give up after 10 s, and the destructor shuts
// every socket and joins.
class RawServer {
public:
    struct Request {
        int connection = 0;       // 1 for the first connection accepted, 2 for the next, ...
        int index = 0;            // 1 for the first request on its connection, 2 for the next, ...
        std::string requestLine;  // "POST /api/oauth/token HTTP/1.1"
        std::string body;
    };
    // The raw answer to send, or nothing to close the connection without answering.
    using Script = std::function<std::optional<std::string>(const Request&)>;

    explicit RawServer(Script script) : listener_(true), script_(std::move(script)) {
        accepter_ = std::thread([this] { acceptLoop(); });
    }
    ~RawServer() {
        stopping_ = true;
        ::shutdown(listener_.fd(), SHUT_RDWR);
        accepter_.join();
        std::vector<std::thread> workers;
        {
            std::lock_guard guard(mutex_);
            for (int fd : open_)
                ::shutdown(fd, SHUT_RDWR);
            workers.swap(workers_);
        }
        for (auto& worker : workers)
            worker.join();
        for (int fd : open_)
            ::close(fd);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return listener_.port(); }
    std::string origin() const { return listener_.origin(); }
    std::vector<Request> requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }

private:
    void acceptLoop() {
        for (int connection = 1; !stopping_ && connection <= 64; ++connection) {
            const int fd = ::accept(listener_.fd(), nullptr, nullptr);
            if (fd < 0) return;
            timeval timeout{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            std::lock_guard guard(mutex_);
            open_.push_back(fd);
            workers_.emplace_back([this, fd, connection] { serve(fd, connection); });
        }
    }

    void serve(int fd, int connection) {
        std::string buffer;
        for (int index = 1;; ++index) {
            Request request{connection, index, {}, {}};
            if (!readRequest(fd, buffer, request)) break;
            {
                std::lock_guard guard(mutex_);
                requests_.push_back(request);
            }
            const std::optional<std::string> reply = script_(request);
            if (!reply || ::send(fd, reply->data(), reply->size(), MSG_NOSIGNAL) < 0) break;
        }
        ::shutdown(fd, SHUT_RDWR);  // closed by the destructor
    }

    static bool readRequest(int fd, std::string& buffer, Request& request) {
        auto fill = [&] {
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        };
        std::size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > 65536 || !fill()) return false;
        }
        const std::string head = buffer.substr(0, end);
        request.requestLine = head.substr(0, head.find("\r\n"));
        std::size_t length = 0;
        for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
            const std::string line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
            if (line.size() > 15 && strncasecmp(line.c_str(), "content-length:", 15) == 0) {
                length = std::stoul(line.substr(15));
            }
        }
        buffer.erase(0, end + 4);
        while (buffer.size() < length) {
            if (!fill()) return false;
        }
        request.body = buffer.substr(0, length);
        buffer.erase(0, length);
        return true;
    }

    LoopbackSocket listener_;
    Script script_;
    std::atomic<bool> stopping_{false};
    std::thread accepter_;
    mutable std::mutex mutex_;
    std::vector<int> open_;
    std::vector<std::thread> workers_;
    std::vector<Request> requests_;
};

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

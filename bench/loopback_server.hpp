#pragma once
// The benches' HTTP peer: a cpp-httplib server on 127.0.0.1, serving from construction to
// destruction with the routes its owner installs. (The tests' TestServer pulls in GoogleTest.)

#include <httplib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <tessaro/sandbox/internal/listen_backlog.hpp>

namespace tessaro::bench {

class LoopbackServer {
public:
    // `routes` installs the handlers and any server settings before the server listens.
    explicit LoopbackServer(const std::function<void(httplib::Server&)>& routes) {
        server_.set_keep_alive_max_count(1000000);
        server_.set_tcp_nodelay(true);  // otherwise Nagle and delayed ACKs add 40 ms to each reused connection
        routes(server_);
        port_ = server_.bind_to_any_port("127.0.0.1");
        // 64 callers connect at once; cpp-httplib's backlog of 5 would drop most of their SYNs.
        sandbox::detail::widenListenBacklog(port_);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 2000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~LoopbackServer() {
        server_.stop();
        thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace tessaro::bench

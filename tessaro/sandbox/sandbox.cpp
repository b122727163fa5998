#include <tessaro/sandbox/sandbox.hpp>

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <tessaro/sandbox/internal/application.hpp>
#include <tessaro/sandbox/internal/backend.hpp>
#include <tessaro/sandbox/internal/http_api.hpp>
#include <tessaro/sandbox/listen_backlog.hpp>

namespace tessaro::sandbox {

struct Sandbox::Impl {
    explicit Impl(Options options)
        : log(options.log),
          backend(detail::Settings{options.accessTokenLifetime, options.refreshTokenLifetime, options.codeLifetime,
                                   options.requestLifetime, std::chrono::seconds(300), options.clock},
                  Account::seed()),
          application(backend, options.policy, makeDeliver(options), options.log) {
        backend.registerClient(std::string(demoClientID), demoRedirectURIs());
        for (const ClientRegistration& client : options.clients) {
            backend.registerClient(client.clientID, client.redirectURIs);
        }
        application.setPolicy(options.policy);

        // Without TCP_NODELAY each request on a reused connection waits for the delayed ACK.
        server.set_tcp_nodelay(true);
        // A worker per open connection (keep-alive holds one until the client lets go).
        if (options.workers > 0) {
            server.new_task_queue = [workers = options.workers] { return new httplib::ThreadPool(workers); };
        }
        server.set_keep_alive_timeout(1);
        server.set_read_timeout(5, 0);
        server.set_write_timeout(5, 0);
        server.set_payload_max_length(1024 * 1024);
        detail::installRoutes(server, backend, application, log, [this] { return origin(); });
        port = options.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                 : (server.bind_to_port("127.0.0.1", options.port) ? options.port : -1);
        if (port <= 0) {
            application.stop();
            throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port));
        }
        listener = std::thread([this] {
            server.listen_after_bind();
            listenerDone = true;
        });
        // stop() only reaches a server that has started listening; the socket is bound already,
        // so this takes a moment at most.
        for (int i = 0; i < 5000 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        widenListenBacklog(port);
    }

    static detail::Application::Deliver makeDeliver(const Options& options) {
        if (options.deliver) return options.deliver;
        auto log = options.log;
        return [log](const std::string& url) { detail::deliverToHost(url, log); };
    }

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }

    void stop() {
        std::lock_guard lock(stopMutex);
        application.stop();
        if (listener.joinable()) {
            // httplib's stop() reaches only a server already marked running, which the listener
            // thread does first thing; stopping earlier would leave the join below waiting forever.
            while (!server.is_running() && !listenerDone) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            server.stop();
            listener.join();
        }
    }

    std::function<void(const std::string&)> log;
    detail::Backend backend;
    detail::Application application;
    httplib::Server server;
    int port = -1;
    std::atomic<bool> listenerDone{false};
    std::thread listener;
    std::mutex stopMutex;
};

const std::vector<std::string>& Sandbox::demoRedirectURIs() {
    static const std::vector<std::string> uris = {
        "tessarodemo://tessaro/callback",
        "http://127.0.0.1/*",
        "http://[::1]/*",
    };
    return uris;
}

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Sandbox::~Sandbox() { stop(); }

int Sandbox::port() const { return impl_->port; }
std::string Sandbox::origin() const { return impl_->origin(); }
OpenResult Sandbox::open(std::string_view launchURL) { return impl_->application.open(launchURL); }
Policy Sandbox::policy() const { return impl_->application.policy(); }
void Sandbox::setPolicy(const Policy& policy) { impl_->application.setPolicy(policy); }
void Sandbox::registerClient(const ClientRegistration& client) {
    impl_->backend.registerClient(client.clientID, client.redirectURIs);
}
std::optional<Item> Sandbox::item(const std::string& itemID) const { return impl_->backend.item(itemID); }
std::vector<Item> Sandbox::items() const { return impl_->backend.items(); }
std::vector<Vault> Sandbox::vaults() const { return impl_->backend.vaults(); }
std::string Sandbox::identityPublicKey() const { return impl_->backend.identityPublicKey(); }
std::chrono::system_clock::time_point Sandbox::now() const { return impl_->backend.now(); }
void Sandbox::stop() { impl_->stop(); }

}  // namespace tessaro::sandbox

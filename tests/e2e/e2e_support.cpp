#include "e2e_support.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>

#include <tessaro/client/internal/session.hpp>
#include <tessaro/crypto/keys.hpp>

#include <nlohmann/json.hpp>

#include <testing/loopback_server.hpp>

namespace tessaro::e2e {

// ---- the proxy ----

struct Proxy::Impl {
    std::string upstreamHost;
    int upstreamPort = 0;
    std::mutex mutex;
    Intercept intercept;
    std::vector<Seen> seen;
    std::optional<testing::LoopbackServer> server;  // last: it stops before what its handler uses

    void handle(const httplib::Request& request, httplib::Response& response) {
        Seen seen{request.method, request.target.substr(0, request.target.find('?')),
                  request.get_header_value("Authorization"), "", 0};
        const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_object()) seen.grantType = body.value("grant_type", "");
        Intercept hook;
        {
            std::lock_guard guard(mutex);
            hook = intercept;
        }
        if (hook) hook(seen);
        forward(request, response);
        seen.status = response.status;
        std::lock_guard guard(mutex);
        this->seen.push_back(std::move(seen));
    }

    void forward(const httplib::Request& request, httplib::Response& response) const {
        httplib::Client client(upstreamHost, upstreamPort);
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(60, 0);
        client.set_keep_alive(false);
        httplib::Headers headers;
        for (const char* name : {"Authorization", "x-pm-timestamp", "x-pm-nonce", "x-pm-signature"}) {
            if (request.has_header(name)) headers.emplace(name, request.get_header_value(name));
        }
        const std::string type = request.get_header_value("Content-Type");
        httplib::Result result = request.method == "GET"    ? client.Get(request.target, headers)
                                 : request.method == "POST" ? client.Post(request.target, headers, request.body, type)
                                                            : client.Put(request.target, headers, request.body, type);
        if (!result) {
            response.status = 502;
            return;
        }
        response.status = result->status;
        response.set_content(result->body, result->get_header_value("Content-Type"));
    }
};

Proxy::Proxy(const std::string& upstreamOrigin) : impl_(std::make_unique<Impl>()) {
    const URL url = *URL::parse(upstreamOrigin);
    impl_->upstreamHost = url.host();
    impl_->upstreamPort = url.port().value();
    impl_->server.emplace([impl = impl_.get()](httplib::Server& server) {
        const auto handler = std::bind_front(&Impl::handle, impl);
        // The kit sends nothing but GET, POST and PUT.
        server.Get(".*", handler);
        server.Post(".*", handler);
        server.Put(".*", handler);
        server.set_keep_alive_timeout(1);
    });
}

Proxy::~Proxy() { stop(); }

std::string Proxy::origin() const { return impl_->server->origin(); }

void Proxy::setIntercept(Intercept intercept) {
    std::lock_guard guard(impl_->mutex);
    impl_->intercept = std::move(intercept);
}

std::vector<Seen> Proxy::seen() {
    std::lock_guard guard(impl_->mutex);
    return impl_->seen;
}

std::size_t Proxy::count(const std::string& method, const std::string& path, const std::string& grantType) {
    std::lock_guard guard(impl_->mutex);
    return static_cast<std::size_t>(std::count_if(impl_->seen.begin(), impl_->seen.end(), [&](const Seen& seen) {
        return seen.method == method && seen.path == path && (grantType.empty() || seen.grantType == grantType);
    }));
}

void Proxy::stop() { impl_->server->stop(); }

// ---- stores ----

Snapshot snapshot(TessaroSecretStore& store) {
    Snapshot contents;
    for (const auto& [key, value] : store.readMany(detail::sessionKeys()))
        contents[key] = std::string(value.begin(), value.end());
    return contents;
}

void expireAccessToken(TessaroSecretStore& store) {
    // An hour ago: far past the client's margin, whatever the clocks say.
    const auto anHourAgo =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 3600;
    store.writeString("access_expires_at", std::to_string(static_cast<long long>(anHourAgo)) + ".0");
}

TessaroAPI::Credentials credentialsOf(const Snapshot& contents) {
    const std::string& seed = contents.at("approval_seed");
    return {contents.at("access_token"),
            TessaroCrypto::ApprovalKeypair(std::span(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()))};
}

// ---- Environment ----

Environment::Environment()
    : fixture_([this] {
          sandbox::Options options;
          options.deliver = [this](const std::string& url) { deliver(url); };
          return options;
      }()),
      proxy_(std::make_unique<Proxy>(fixture_.origin())) {}

void Environment::deliver(const std::string& text) {
    std::vector<std::shared_ptr<TessaroClient>> clients;
    {
        std::lock_guard guard(mutex_);
        for (const auto& weak : clients_) {
            if (auto client = weak.lock()) clients.push_back(std::move(client));
        }
    }
    const auto url = URL::parse(text);
    for (const auto& client : clients) {
        if (url && client->handleCallback(*url)) return;
    }
}

Environment::~Environment() {
    proxy_->stop();
    fixture_.stop();
}

std::shared_ptr<TessaroClient> Environment::client(std::shared_ptr<TessaroSecretStore> store, double pollInterval,
                                                   const std::string& clientID) {
    auto client = TessaroClient::create(
        {clientID, *URL::parse(demoRedirect), *URL::parse(proxy_->origin()), TessaroError::defaultDownloadURL()},
        {.store = std::move(store),
         .transport = nullptr,
         .switcher = fixture_.switcher(),
         .pollInterval = pollInterval,
         .authorizeTimeout = 60});
    std::lock_guard guard(mutex_);
    clients_.push_back(client);
    return client;
}

}  // namespace tessaro::e2e

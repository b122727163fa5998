#include "e2e_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>

#include <tessaro/client/internal/session.hpp>
#include <tessaro/crypto/keys.hpp>

namespace tessaro::e2e {

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

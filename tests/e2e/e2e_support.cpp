#include "e2e_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <thread>

#include <tessaro/client/internal/session.hpp>
#include <tessaro/crypto/keys.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro::e2e {

namespace {

std::string textOf(std::span<const std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

// ---- EventLog ----

void EventLog::add(const std::string& line) {
    std::lock_guard guard(mutex_);
    lines_.push_back(line);
}

std::vector<std::string> EventLog::lines() {
    std::lock_guard guard(mutex_);
    return lines_;
}

std::size_t EventLog::count(const std::string& needle) {
    std::lock_guard guard(mutex_);
    return static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

// ---- SandboxSwitcher ----

void SandboxSwitcher::open(const URL& url, const URL&, std::stop_token stop) {
    if (stop.stop_requested()) throw TessaroError::cancelled();
    const sandbox::OpenResult result = sandbox_.open(url.absoluteString());
    std::lock_guard guard(mutex_);
    if (!result.accepted) refusals_.push_back(result.error);
}

TessaroAppSwitching::Registration SandboxSwitcher::onForeground(std::function<void()> handler) {
    std::lock_guard guard(mutex_);
    const std::uint64_t id = nextHandler_++;
    handlers_.emplace(id, std::move(handler));
    // The switcher outlives its clients in these tests, so the registration may refer to it.
    return Registration([this, id] {
        std::lock_guard inner(mutex_);
        handlers_.erase(id);
    });
}

std::vector<std::string> SandboxSwitcher::refusals() {
    std::lock_guard guard(mutex_);
    return refusals_;
}

// ---- CallbackRouter ----

void CallbackRouter::add(const std::shared_ptr<TessaroClient>& client) {
    std::lock_guard guard(mutex_);
    clients_.push_back(client);
}

void CallbackRouter::deliver(const std::string& text) {
    std::vector<std::shared_ptr<TessaroClient>> clients;
    {
        std::lock_guard guard(mutex_);
        for (const auto& weak : clients_) {
            if (auto client = weak.lock()) clients.push_back(std::move(client));
        }
    }
    bool taken = false;
    if (const auto url = URL::parse(text)) {
        for (const auto& client : clients) {
            if (client->handleCallback(*url)) {
                taken = true;
                break;
            }
        }
    }
    std::lock_guard guard(mutex_);
    delivered_.emplace_back(text, taken);
}

std::vector<std::pair<std::string, bool>> CallbackRouter::delivered() {
    std::lock_guard guard(mutex_);
    return delivered_;
}

// ---- stores ----

Snapshot snapshot(TessaroSecretStore& store) {
    Snapshot contents;
    for (const auto& [key, value] : store.readMany(detail::sessionKeys()))
        contents[key] = textOf(value);
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

Environment::Environment(sandbox::Options options, bool routeCallbacks) {
    options.log = [log = log_](const std::string& line) { log->add(line); };
    if (routeCallbacks) options.deliver = [router = router_](const std::string& url) { router->deliver(url); };
    sandbox_ = std::make_unique<sandbox::Sandbox>(std::move(options));
    proxy_ = std::make_unique<Proxy>(sandbox_->origin());
    switcher_ = std::make_shared<SandboxSwitcher>(*sandbox_);
}

Environment::~Environment() {
    proxy_->stop();
    sandbox_->stop();
}

TessaroConfiguration Environment::configuration(const std::string& clientID) {
    return {clientID, *URL::parse(demoRedirect), *URL::parse(proxy_->origin()), TessaroError::defaultDownloadURL()};
}

std::shared_ptr<TessaroClient> Environment::client(std::shared_ptr<TessaroSecretStore> store, double authorizeTimeout,
                                                   const std::string& clientID, double pollInterval) {
    TessaroClient::Options options;
    options.store = std::move(store);
    options.switcher = switcher_;
    options.authorizeTimeout = authorizeTimeout;
    options.pollInterval = pollInterval;
    auto client = TessaroClient::create(configuration(clientID), std::move(options));
    router_->add(client);
    return client;
}

std::string Environment::registerUniqueClient() {
    const std::string id = testing::uniqueRegisteredClientID("e2e");
    sandbox_->registerClient({id, {demoRedirect}});
    return id;
}

// ---- child processes ----

namespace {

// Before main: a child started by the tests runs its mode and exits. The modes use nothing but
// function-local statics and what they build themselves, so the order of static initialisation
// does not matter to them.
const int childHooks = testing::runChildMode("desktop-authorize", childAuthorizeThroughDesktop) +
                       testing::runChildMode("revoke-shared-session", childRevokeSharedSession);

}  // namespace

}  // namespace tessaro::e2e

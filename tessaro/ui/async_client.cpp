#include <tessaro/ui/async_client.hpp>

#include <utility>
#include <vector>

namespace tessaro {

TessaroAsyncClient::TessaroAsyncClient(std::shared_ptr<TessaroClient> client, QObject* parent)
    : QObject(parent), client_(std::move(client)) {}

TessaroAsyncClient::~TessaroAsyncClient() {
    cancel();
    workers_->settleAllCancelled();
}

std::uint64_t TessaroAsyncClient::Workers::add(std::stop_source stop, std::function<void()> settleCancelled) {
    std::lock_guard guard(mutex_);
    running_.emplace(next_, Entry{std::move(stop), std::move(settleCancelled)});
    return next_++;
}

void TessaroAsyncClient::Workers::settleAllCancelled() {
    std::vector<std::function<void()>> settles;
    {
        std::lock_guard guard(mutex_);
        for (auto& [id, entry] : running_)
            settles.push_back(entry.settleCancelled);
    }
    for (const auto& settle : settles)
        settle();
}

void TessaroAsyncClient::Workers::remove(std::uint64_t id) {
    {
        std::lock_guard guard(mutex_);
        running_.erase(id);
    }
    changed_.notify_all();
}

void TessaroAsyncClient::Workers::stopAll() {
    std::lock_guard guard(mutex_);
    for (auto& [id, entry] : running_)
        entry.stop.request_stop();
}

std::size_t TessaroAsyncClient::Workers::running() const {
    std::lock_guard guard(mutex_);
    return running_.size();
}

bool TessaroAsyncClient::Workers::waitUntilNone(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return running_.empty(); });
}

void TessaroAsyncClient::cancel() {
    client_->cancelPending();
    workers_->stopAll();
}

QFuture<bool> TessaroAsyncClient::isAuthorized() {
    return run<bool>([](TessaroClient& c, std::stop_token) { return c.isAuthorized(); });
}

QFuture<std::optional<TessaroGrant>> TessaroAsyncClient::grant() {
    return run<std::optional<TessaroGrant>>([](TessaroClient& c, std::stop_token) { return c.grant(); });
}

QFuture<TessaroGrant> TessaroAsyncClient::authorize() {
    return run<TessaroGrant>([](TessaroClient& c, std::stop_token stop) { return c.authorize(stop); });
}

QFuture<TessaroItem> TessaroAsyncClient::pickItem(TessaroHint hint, std::optional<std::string> reason,
                                                  std::optional<std::string> vaultID) {
    return run<TessaroItem>(
        [=](TessaroClient& c, std::stop_token stop) { return c.pickItem(hint, reason, vaultID, stop); });
}

QFuture<TessaroItem> TessaroAsyncClient::getItem(std::string id, std::string vaultID) {
    return run<TessaroItem>([=](TessaroClient& c, std::stop_token stop) { return c.getItem(id, vaultID, stop); });
}

QFuture<TessaroCreated> TessaroAsyncClient::createItem(TessaroItemKind kind, TessaroPrefill prefill,
                                                       std::optional<std::string> reason,
                                                       std::optional<std::string> vaultID) {
    return run<TessaroCreated>(
        [=](TessaroClient& c, std::stop_token stop) { return c.createItem(kind, prefill, reason, vaultID, stop); });
}

QFuture<TessaroUpdated> TessaroAsyncClient::updateItem(std::string id, std::string vaultID, TessaroClient::Patch patch,
                                                       std::optional<std::string> reason) {
    return run<TessaroUpdated>(
        [=](TessaroClient& c, std::stop_token stop) { return c.updateItem(id, vaultID, patch, reason, stop); });
}

QFuture<void> TessaroAsyncClient::revoke() {
    return run<void>([](TessaroClient& c, std::stop_token stop) { c.revoke(stop); });
}

}  // namespace tessaro

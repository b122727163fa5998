#include <tessaro/ui/async_client.hpp>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace tessaro {

struct TESSARO_QT_NO_EXPORT TessaroAsyncClient::Workers::Impl {
    struct Entry {
        std::stop_source stop;
        std::function<void()> settleCancelled;
    };

    std::uint64_t add(std::stop_source stop, std::function<void()> settleCancelled) {
        std::lock_guard guard(mutex);
        running.emplace(next, Entry{std::move(stop), std::move(settleCancelled)});
        return next++;
    }

    void remove(std::uint64_t id) {
        {
            std::lock_guard guard(mutex);
            running.erase(id);
        }
        changed.notify_all();
    }

    void stopAll() {
        std::lock_guard guard(mutex);
        for (auto& [id, entry] : running)
            entry.stop.request_stop();
    }

    // Outside the lock: a settle runs the future's continuations' bookkeeping.
    void settleAllCancelled() {
        std::vector<std::function<void()>> settles;
        {
            std::lock_guard guard(mutex);
            for (auto& [id, entry] : running)
                settles.push_back(entry.settleCancelled);
        }
        for (const auto& settle : settles)
            settle();
    }

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::map<std::uint64_t, Entry> running;
    std::uint64_t next = 0;
};

TessaroAsyncClient::Workers::Workers() : impl_(std::make_unique<Impl>()) {}

TessaroAsyncClient::Workers::~Workers() = default;

std::size_t TessaroAsyncClient::Workers::running() const {
    std::lock_guard guard(impl_->mutex);
    return impl_->running.size();
}

bool TessaroAsyncClient::Workers::waitUntilNone(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(impl_->mutex);
    return impl_->changed.wait_for(guard, timeout, [&] { return impl_->running.empty(); });
}

struct TESSARO_QT_NO_EXPORT TessaroAsyncClient::Impl {
    std::shared_ptr<TessaroClient> client;
    std::shared_ptr<Workers> workers;
};

TessaroAsyncClient::TessaroAsyncClient(std::shared_ptr<TessaroClient> client, QObject* parent)
    : QObject(parent), impl_(new Impl{std::move(client), std::shared_ptr<Workers>(new Workers)}) {}

TessaroAsyncClient::~TessaroAsyncClient() {
    cancel();
    impl_->workers->impl_->settleAllCancelled();
}

const std::shared_ptr<TessaroClient>& TessaroAsyncClient::client() const noexcept { return impl_->client; }

std::shared_ptr<const TessaroAsyncClient::Workers> TessaroAsyncClient::workers() const { return impl_->workers; }

void TessaroAsyncClient::cancel() {
    impl_->client->cancelPending();
    impl_->workers->impl_->stopAll();
}

void TessaroAsyncClient::launch(std::function<void(TessaroClient&, std::stop_token)> work,
                                std::function<void()> settleCancelled) {
    std::stop_source stop;
    const std::shared_ptr<Workers>& workers = impl_->workers;
    const std::uint64_t id = workers->impl_->add(stop, std::move(settleCancelled));
    try {
        std::thread([workers, work = std::move(work), client = impl_->client, token = stop.get_token(), id]() mutable {
            work(*client, token);
            work = nullptr;  // the operation's captures go before the client
            client.reset();  // let go of the client before counting as ended
            workers->impl_->remove(id);
        }).detach();
    } catch (...) {
        workers->impl_->remove(id);
        throw;
    }
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

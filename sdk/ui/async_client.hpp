#pragma once
// TessaroAsyncClient: the client's blocking operations as QFutures, off the GUI thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThreadPool>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/qt_export.hpp>

namespace tessaro {

// Runs each operation of a TessaroClient on a worker of its own pool, with a stop source of its
// own, and returns a QFuture. Deliver results on the GUI thread with the future's continuations:
//     async.pickItem(hint).then(window, [](const TessaroItem& item) { ... })
//                         .onFailed(window, [](const TessaroError& error) { ... });
// A failed operation's future holds the exception it threw (TessaroError, the store's error, ...),
// which onFailed receives as that type. The GUI thread never blocks on the store or the network.
//
// cancel() ends the client's current wait (cancelPending) and requests the stop of every operation
// in progress; each then fails, usually with TessaroError::cancelled. The destructor does the same
// and waits for the workers. Thread-safe; throws only std::bad_alloc.
class TESSARO_QT_EXPORT TessaroAsyncClient : public QObject {
    Q_OBJECT

public:
    explicit TessaroAsyncClient(std::shared_ptr<TessaroClient> client, QObject* parent = nullptr);
    ~TessaroAsyncClient() override;

    const std::shared_ptr<TessaroClient>& client() const noexcept { return client_; }

    QFuture<bool> isAuthorized();
    QFuture<std::optional<TessaroGrant>> grant();
    QFuture<TessaroGrant> authorize();
    QFuture<TessaroItem> pickItem(TessaroHint hint = {}, std::optional<std::string> reason = std::nullopt,
                                  std::optional<std::string> vaultID = std::nullopt);
    QFuture<TessaroItem> getItem(std::string id, std::string vaultID);
    QFuture<TessaroCreated> createItem(TessaroItemKind kind, TessaroPrefill prefill = {},
                                       std::optional<std::string> reason = std::nullopt,
                                       std::optional<std::string> vaultID = std::nullopt);
    QFuture<TessaroUpdated> updateItem(std::string id, std::string vaultID, TessaroClient::Patch patch,
                                       std::optional<std::string> reason = std::nullopt);
    QFuture<void> revoke();

    void cancel();

    // Runs any call on a worker, like the operations above.
    template <typename T>
    QFuture<T> run(std::function<T(TessaroClient&, std::stop_token)> operation);

private:
    std::uint64_t track(std::stop_source source);
    void untrack(std::uint64_t id);

    std::shared_ptr<TessaroClient> client_;
    QThreadPool pool_;
    std::mutex mutex_;
    std::map<std::uint64_t, std::stop_source> running_;
    std::uint64_t next_ = 0;
};

template <typename T>
QFuture<T> TessaroAsyncClient::run(std::function<T(TessaroClient&, std::stop_token)> operation) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    std::stop_source stop;
    const std::uint64_t id = track(stop);
    pool_.start([this, promise, operation = std::move(operation), client = client_, token = stop.get_token(), id] {
        try {
            if constexpr (std::is_void_v<T>) {
                operation(*client, token);
            } else {
                promise->addResult(operation(*client, token));
            }
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
        untrack(id);
    });
    return future;
}

}  // namespace tessaro

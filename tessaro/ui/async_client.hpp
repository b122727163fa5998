#pragma once
// TessaroAsyncClient: the client's blocking operations as QFutures, off the GUI thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <exception>
#include <utility>
#include <type_traits>

#include <QFuture>
#include <QObject>
#include <QPromise>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/qt_export.hpp>

namespace tessaro {

// Runs each operation of a TessaroClient on a worker thread of its own (so a wait for the user never
// holds up another call: a retry, a cancel, a reading), with a stop source of its own, and returns
// a QFuture. Deliver results on the GUI thread with the future's continuations:
//     async.pickItem(hint).then(window, [](const TessaroItem& item) { ... })
//                         .onFailed(window, [](const TessaroError& error) { ... });
// A failed operation's future holds the exception it threw (TessaroError, the store's error, ...),
// which onFailed receives as that type. The GUI thread never blocks on the store or the network.
//
// cancel() ends the client's current wait (cancelPending) and requests the stop of every operation
// in progress; each then fails, usually with TessaroError::cancelled. The destructor does the same
// and returns at once, without waiting for the workers: the futures of operations still running end
// with TessaroError::cancelled there and then (their continuations never outlive their context
// objects), and they share their bookkeeping (workers())
// with the wrapper, which outlives it until the last worker ends, and each lets go of the client
// when it ends. A worker may still be in a store call then (those take no stop); a host about to
// exit waits for them with workers()->waitUntilNone(). Thread-safe; throws only std::bad_alloc and,
// when no thread can be started, std::system_error.
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

    // The workers of one wrapper and their stop sources, shared with them. Thread-safe.
    class TESSARO_QT_EXPORT Workers {
    public:
        // How many have not ended yet.
        std::size_t running() const;
        // Waits up to `timeout` until none is left; whether none is. Blocks: not for a GUI thread
        // that must stay responsive (a host about to exit, or a test).
        bool waitUntilNone(std::chrono::milliseconds timeout) const;

    private:
        friend class TessaroAsyncClient;
        struct Entry {
            std::stop_source stop;
            std::function<void()> settleCancelled;
        };
        std::uint64_t add(std::stop_source stop, std::function<void()> settleCancelled);
        void remove(std::uint64_t id);
        void stopAll();
        void settleAllCancelled();

        mutable std::mutex mutex_;
        mutable std::condition_variable changed_;
        std::map<std::uint64_t, Entry> running_;
        std::uint64_t next_ = 0;
    };
    // This wrapper's workers; the object lives on after the wrapper while workers run.
    std::shared_ptr<const Workers> workers() const { return workers_; }

private:
    std::shared_ptr<TessaroClient> client_;
    std::shared_ptr<Workers> workers_ = std::make_shared<Workers>();
};

template <typename T>
QFuture<T> TessaroAsyncClient::run(std::function<T(TessaroClient&, std::stop_token)> operation) {
    // Settled once: by the worker with its outcome, or by the wrapper's end with cancelled (so that
    // no continuation runs after its context object is gone).
    struct Outcome {
        std::mutex mutex;
        bool settled = false;
        QPromise<T> promise;
    };
    auto outcome = std::make_shared<Outcome>();
    QFuture<T> future = outcome->promise.future();
    outcome->promise.start();
    std::stop_source stop;
    const std::uint64_t id = workers_->add(stop, [outcome] {
        std::lock_guard guard(outcome->mutex);
        if (std::exchange(outcome->settled, true)) return;
        outcome->promise.setException(std::make_exception_ptr(TessaroError::cancelled()));
        outcome->promise.finish();
    });
    try {
        std::thread([workers = workers_, outcome, operation = std::move(operation), client = client_,
                     token = stop.get_token(), id]() mutable {
            std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
            std::exception_ptr error;
            try {
                if constexpr (std::is_void_v<T>) {
                    operation(*client, token);
                    value = true;
                } else {
                    value.emplace(operation(*client, token));
                }
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard guard(outcome->mutex);
                if (!std::exchange(outcome->settled, true)) {
                    if (error) {
                        outcome->promise.setException(error);
                    } else if constexpr (!std::is_void_v<T>) {
                        outcome->promise.addResult(std::move(*value));
                    }
                    outcome->promise.finish();
                }
            }
            error = nullptr;
            value.reset();
            client.reset();  // let go of the client before counting as ended
            operation = nullptr;
            workers->remove(id);
        }).detach();
    } catch (...) {
        workers_->remove(id);
        throw;
    }
    return future;
}

}  // namespace tessaro

#pragma once
/// @file
/// TessaroAsyncClient: the client's blocking operations as QFutures, off the GUI thread.

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>

#include <QFuture>
#include <QObject>
#include <QPromise>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/qt_export.hpp>

namespace tessaro {

/// Runs each operation of a TessaroClient on a worker thread of its own (so a wait for the user
/// never holds up another call: a retry, a cancel, a reading), with a stop source of its own, and
/// returns a QFuture. Deliver results on the GUI thread with the future's continuations:
///
///     async.pickItem(hint).then(window, [](const TessaroItem& item) { ... })
///                         .onFailed(window, [](const TessaroError& error) { ... });
///
/// A failed operation's future holds the exception it threw (TessaroError, the store's error, ...),
/// which onFailed receives as that type. The GUI thread never blocks on the store or the network.
///
/// cancel() ends the client's current wait (cancelPending) and requests the stop of every
/// operation in progress; each then fails, usually with TessaroError::cancelled. The destructor
/// does the same and returns at once, without waiting for the workers: the futures of operations
/// still running end with TessaroError::cancelled there and then (their continuations never
/// outlive their context objects). The workers share their bookkeeping (workers()) with the
/// wrapper, which outlives it until the last worker ends, and each lets go of the client when it
/// ends. A worker may still be in a store call then (those take no stop); a host about to exit
/// waits for them with workers()->waitUntilNone().
///
/// Thread safety: every member may be called from any thread. Every member that starts an
/// operation throws only std::bad_alloc and, when no thread can be started, std::system_error; no
/// member blocks.
class TESSARO_QT_EXPORT TessaroAsyncClient : public QObject {
    Q_OBJECT

public:
    /// Wraps `client`, which the wrapper and its workers share. Throws only std::bad_alloc.
    explicit TessaroAsyncClient(std::shared_ptr<TessaroClient> client, QObject* parent = nullptr);
    /// Cancels as cancel() does, settles every unfinished future with TessaroError::cancelled, and
    /// returns at once (the workers end on their own).
    ~TessaroAsyncClient() override;

    /// The wrapped client, the same for the wrapper's whole life.
    const std::shared_ptr<TessaroClient>& client() const noexcept;

    /// TessaroClient::isAuthorized on a worker.
    QFuture<bool> isAuthorized();
    /// TessaroClient::grant on a worker.
    QFuture<std::optional<TessaroGrant>> grant();
    /// TessaroClient::authorize on a worker, stopped by cancel().
    QFuture<TessaroGrant> authorize();
    /// TessaroClient::pickItem on a worker, stopped by cancel().
    QFuture<TessaroItem> pickItem(TessaroHint hint = {}, std::optional<std::string> reason = std::nullopt,
                                  std::optional<std::string> vaultID = std::nullopt);
    /// TessaroClient::getItem on a worker, stopped by cancel().
    QFuture<TessaroItem> getItem(std::string id, std::string vaultID);
    /// TessaroClient::createItem on a worker, stopped by cancel().
    QFuture<TessaroCreated> createItem(TessaroItemKind kind, TessaroPrefill prefill = {},
                                       std::optional<std::string> reason = std::nullopt,
                                       std::optional<std::string> vaultID = std::nullopt);
    /// TessaroClient::updateItem on a worker, stopped by cancel().
    QFuture<TessaroUpdated> updateItem(std::string id, std::string vaultID, TessaroClient::Patch patch,
                                       std::optional<std::string> reason = std::nullopt);
    /// TessaroClient::revoke on a worker, stopped by cancel().
    QFuture<void> revoke();

    /// Ends the client's current wait (TessaroClient::cancelPending) and requests the stop of every
    /// operation in progress. Returns at once; throws nothing the client's cancelPending does not.
    void cancel();

    /// Runs any call on a worker, like the operations above: `operation` gets the client and the
    /// operation's stop token (stopped by cancel() and by the wrapper's end); what it returns or
    /// throws settles the future.
    template <typename T>
    QFuture<T> run(std::function<T(TessaroClient&, std::stop_token)> operation);

    /// The workers of one wrapper, shared with them: the object lives on after the wrapper while
    /// workers run. Thread-safe; only the wrapper makes one.
    class TESSARO_QT_EXPORT Workers {
    public:
        /// Frees the bookkeeping once the wrapper and the last worker let go of it.
        ~Workers();
        Workers(const Workers&) = delete;
        Workers& operator=(const Workers&) = delete;

        /// How many workers have not ended yet. Never blocks.
        std::size_t running() const;
        /// Waits up to `timeout` until no worker is left; whether none is. Blocks: not for a GUI
        /// thread that must stay responsive (a host about to exit, or a test).
        bool waitUntilNone(std::chrono::milliseconds timeout) const;

    private:
        friend class TessaroAsyncClient;
        struct Impl;
        Workers();
        std::unique_ptr<Impl> impl_;
    };
    /// This wrapper's workers, for a host that waits for them after the wrapper's end.
    std::shared_ptr<const Workers> workers() const;

private:
    // Starts a worker that runs `work` with the client and its stop token; `settleCancelled`
    // settles the operation's future as cancelled when the wrapper ends first.
    void launch(std::function<void(TessaroClient&, std::stop_token)> work, std::function<void()> settleCancelled);

    struct Impl;
    std::unique_ptr<Impl> impl_;
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
    launch(
        [outcome, operation = std::move(operation)](TessaroClient& client, std::stop_token token) {
            std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
            std::exception_ptr error;
            try {
                if constexpr (std::is_void_v<T>) {
                    operation(client, token);
                    value = true;
                } else {
                    value.emplace(operation(client, token));
                }
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard guard(outcome->mutex);
            if (std::exchange(outcome->settled, true)) return;
            if (error) {
                outcome->promise.setException(error);
            } else if constexpr (!std::is_void_v<T>) {
                outcome->promise.addResult(std::move(*value));
            }
            outcome->promise.finish();
        },
        [outcome] {
            std::lock_guard guard(outcome->mutex);
            if (std::exchange(outcome->settled, true)) return;
            outcome->promise.setException(std::make_exception_ptr(TessaroError::cancelled()));
            outcome->promise.finish();
        });
    return future;
}

}  // namespace tessaro

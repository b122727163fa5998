#pragma once
// The state of a TessaroClient and its private operations, shared by tessaro_client.cpp and
// requests.cpp.

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
#include <utility>
#include <vector>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/callback.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/internal/session_keeper.hpp>
#include <tessaro/client/poll_signal.hpp>
#include <tessaro/client/tessaro_client.hpp>

namespace tessaro {

// Held by the client alone: background threads hold the whole client (a launch, which may then
// destroy it as its last step) or only the pieces they captured (the API, the session keeper, the
// launch tracker), never this object, so the destructor's waits stay the client's own.
struct TESSARO_NO_EXPORT TessaroClient::Impl {
    Impl(TessaroClient& owner, TessaroConfiguration configuration, Options options);

    struct CurrentFlow {
        std::string state;
        URL url;
        std::optional<std::string> requestID;
        std::shared_ptr<PollSignal> signal;
        std::function<void(const TessaroError&)> abort;
    };
    using CallbackHandler = std::function<void(const TessaroCallback&)>;

    // What a background thread keeps alive: the client (it may destroy it as its last step), or
    // nothing of it (the destructor waits for such a thread, up to a bound for server cancels).
    enum class Holds { client, nothing };

    // The request runner's hook between creating a request and waiting for it (an update's
    // upload): the status to wait from.
    using AfterCreate =
        std::function<TessaroAPI::RequestStatus(const TessaroAPI::RequestStatus&, const std::string& grantID)>;
    class RequestFlow;  // a request's registrations with the client, for the length of its wait

    void notifyWaiting(const std::optional<TessaroWaiting>& value);
    TessaroCallback awaitCallback(const std::string& state, const URL& url, double timeout, std::stop_token stop);
    TessaroGrant authorizeOnce(std::stop_token stop);
    TessaroAPI::TokenResponse exchangeCode(const std::string& code, const std::string& verifier,
                                           const TessaroCrypto::ApprovalKeypair& approval, std::stop_token stop);
    void clearCurrent(const std::string& state);
    void fireForeground();
    void startOpen(const URL& url, std::function<void(const TessaroError&)> onFailure);
    // The switcher's open; any failure other than a TessaroError (or bad_alloc) is notInstalled.
    void openApplication(const URL& url, std::stop_token stop);
    // Runs `work` on a thread of its own, tracked until it ends (drain, the destructor). `work`
    // is destroyed before the thread reports its end, so a client it holds is let go first.
    void startBackground(std::function<void()> work, Holds holds);

    // Create, switch, poll. The result: the final ("completed") status and the session as loaded
    // at the start.
    std::pair<TessaroAPI::RequestStatus, detail::Session> runRequest(const nlohmann::json& body,
                                                                     const AfterCreate& afterCreate,
                                                                     std::stop_token stop);
    TessaroAPI::RequestStatus waitForTerminal(const TessaroAPI::RequestStatus& initial, const std::string& state,
                                              const URL& url, std::stop_token stop);
    [[noreturn]] void abandon(const std::string& requestID, const TessaroError& error);
    TessaroCreated createItemOnce(TessaroItemKind kind, const TessaroPrefill& prefill,
                                  const std::optional<std::string>& reason, const std::optional<std::string>& vaultID,
                                  std::stop_token stop);
    TessaroUpdated updateItemOnce(const std::string& id, const std::string& vaultID, const Patch& patch,
                                  const std::optional<std::string>& reason, std::stop_token stop);
    TessaroItem openItemResult(const TessaroAPI::RequestStatus& status, const detail::Session& session);

    std::optional<detail::Session> loadSession();
    // Runs `body` with usable credentials: refreshes a token that is missing or about to expire,
    // retries once after a 401 "token_expired"/"invalid_token", maps server errors to
    // TessaroError and wipes the session for a revocation code.
    void withCredentials(const std::function<void(const TessaroAPI::Credentials&)>& body, std::stop_token stop);
    detail::Session refreshSession(const detail::Session& stale, std::stop_token stop);

    TessaroClient& owner;  // for the launches and callbacks that hold the client
    const TessaroConfiguration configuration;
    const std::shared_ptr<TessaroSecretStore> store;
    const std::shared_ptr<TessaroAPI> api;
    const std::shared_ptr<TessaroAppSwitching> switcher;
    const double pollInterval;
    const double authorizeTimeout;

    mutable std::mutex handlerLock;  // onWaiting and executor
    WaitingHandler onWaiting;
    std::shared_ptr<TessaroExecutor> executor;

    std::mutex lock;  // pending, foregroundHandlers, currentFlow
    std::map<std::string, CallbackHandler> pending;
    std::map<std::uint64_t, std::function<void()>> foregroundHandlers;
    std::uint64_t nextForegroundID = 0;
    std::optional<CurrentFlow> currentFlow;
    TessaroAppSwitching::Registration foregroundRegistration;

    // The store's refresh gate and session-write lock, shared by the clients of this process built
    // on the same store object; across processes, the store's lockName() adds file locks.
    const std::shared_ptr<detail::SessionKeeper> sessions;

    std::mutex threadsLock;  // threads
    std::map<std::thread::id, std::thread> threads;
    // Background threads in progress and those that are over (joined by the next one). Shared with
    // the background threads, which report to it after they let go of the client.
    struct LaunchTracker {
        std::mutex mutex;
        std::condition_variable done;
        int running = 0;
        int independent = 0;  // of `running`, the threads that do not hold the client
        std::vector<std::thread::id> finished;
    };
    const std::shared_ptr<LaunchTracker> launches = std::make_shared<LaunchTracker>();
    // Requested by the destructor once the bounded wait for background cancels is over.
    std::stop_source backgroundStop;
};

}  // namespace tessaro

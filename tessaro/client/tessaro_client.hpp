#pragma once
// TessaroClient: the one object a host application talks to.

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
#include <vector>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/callback.hpp>
#include <tessaro/client/poll_signal.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/records/tessaro_waiting.hpp>
#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro {

namespace detail {
struct Session;
class ClientInternals;
class SessionKeeper;
}  // namespace detail

// Where the client delivers onWaiting: the host's main (GUI) thread, or any queue of its own.
// isCurrent() tells whether the calling thread is that thread; post() queues a call there and
// returns without waiting. Both may be called from any thread.
class TESSARO_EXPORT TessaroExecutor {
public:
    virtual ~TessaroExecutor() = default;
    virtual bool isCurrent() const = 0;
    virtual void post(std::function<void()> call) = 0;
};

// The client of one host application: authorization, the stored session, signed calls with
// serialised token refresh, callback URLs, and revocation. Built once with create() and kept as a
// std::shared_ptr; not copyable.
//
// The session is never cached: every operation reads it from the store and writes changes back at
// once, so the store (the desktop secret store by default) is the one source of truth, shared by
// every client built on it, in this process or another.
//
// Thread safety: every member may be called from any thread, several at once. Operations block the
// calling thread: run them on a worker, never on a GUI thread (even isAuthorized and grant read
// the store, which may wait for an unlock prompt). A stop request on the trailing std::stop_token
// cancels the operation: an operation whose stop was requested throws TessaroError::cancelled,
// whichever step it was in (a server call, a wait for the user, a wait for a lock), and returns at
// once. A token request already sent (a refresh, the authorization's code exchange) is still
// finished on a background thread: a refreshed token is stored, so the session stays usable; an
// exchanged grant is revoked instead, since the user gave up.
//
// The stored session is never lost or mixed: every write of it is serialised with the other
// clients of the store, in this process and in others, and a write on behalf of a grant is skipped
// when another grant (or none) is stored by then. A failed authorization keeps the earlier session.
//
// Errors: the flows throw TessaroError (its message is the Chinese text to show); where a flow
// passes a lower layer's error on unchanged, the host sees that error: the store's
// TessaroKeychain::KeychainError, and TessaroCrypto::CryptoError for stored keys that cannot be
// rebuilt. Every operation may also throw std::bad_alloc.
class TESSARO_EXPORT TessaroClient : public std::enable_shared_from_this<TessaroClient> {
    struct CreateKey {};

public:
    // What create() takes besides the configuration; every member has the default a desktop host
    // wants.
    struct Options {
        // Where the session lives; null: a TessaroKeychain for the configuration's client ID.
        std::shared_ptr<TessaroSecretStore> store;
        // The HTTP transport of the client's TessaroAPI; null: a CurlTransport of its own.
        std::shared_ptr<HTTPTransport> transport;
        // How the password-manager application is opened; null: a TessaroSystemAppSwitcher.
        std::shared_ptr<TessaroAppSwitching> switcher;
        // Seconds between two status reads of a request.
        double pollInterval = 2.0;
        // Seconds the user has to answer an authorization; finite, 0 or more.
        double authorizeTimeout = 600.0;
    };

    // Registers with the switcher for foreground notices (held weakly: the registration never
    // keeps the client alive). Throws std::invalid_argument for a negative or non-finite timeout
    // or interval.
    static std::shared_ptr<TessaroClient> create(TessaroConfiguration configuration, Options options);
    static std::shared_ptr<TessaroClient> create(TessaroConfiguration configuration);
    TessaroClient(CreateKey, TessaroConfiguration configuration, Options options);
    // Drops the foreground registration (no handler of this client runs after that), then waits
    // for the client's own background threads: an application launch in progress, server cancels
    // still under way (up to 3 seconds, then they are stopped), and a token request in flight,
    // which is never stopped: its answer is stored first (the transport's request timeout, 60
    // seconds by default, bounds that wait).
    ~TessaroClient();
    TessaroClient(const TessaroClient&) = delete;
    TessaroClient& operator=(const TessaroClient&) = delete;

    const TessaroConfiguration& configuration() const noexcept { return configuration_; }
    const std::shared_ptr<TessaroSecretStore>& store() const noexcept { return store_; }
    const std::shared_ptr<TessaroAPI>& api() const noexcept { return api_; }
    const std::shared_ptr<TessaroAppSwitching>& switcher() const noexcept { return switcher_; }

    // What the client waits for, reported while the user acts (none when the wait ends). Read and
    // replaced from any thread. Called through the executor when one is set (at once when the
    // reporting thread is the executor's, queued otherwise); without an executor, on the
    // reporting thread. The handler must not block.
    using WaitingHandler = std::function<void(const std::optional<TessaroWaiting>&)>;
    void setOnWaiting(WaitingHandler handler);
    WaitingHandler onWaiting() const;
    void setExecutor(std::shared_ptr<TessaroExecutor> executor);

    // Whether a session with an access or a refresh token is stored (expiry not considered).
    // Blocks on the store; a store failure counts as no session.
    bool isAuthorized();
    // The stored grant, or none. Blocks on the store; a store failure counts as none.
    std::optional<TessaroGrant> grant();
    // Wipes the stored session, whatever grant it holds; a store failure is ignored. Blocks on the
    // store, never behind a token refresh's network call (it waits up to a few seconds for another
    // write of the session to end, then wipes regardless).
    void reset();

    // Hands a URL the platform opened in the host to the flow waiting for it: true when it was a
    // callback of this client and a waiting flow took it. Never throws (bad_alloc aside).
    bool handleCallback(const URL& url);

    // Authorizes: opens the password-manager application with a fresh PKCE pair and key pairs,
    // waits for the callback (up to the authorization timeout), exchanges the code and stores the
    // new session, replacing any earlier one; a failure keeps the earlier one whole. Blocks on the
    // user, the network and the store. Throws TessaroError (notInstalled, expired, cancelled,
    // denied, notSignedIn, protocol, revoked, network), the store's error, or a cryptography error.
    // A stop after the user approved: cancelled at once, and the grant the server issued is
    // revoked in the background, never stored.
    TessaroGrant authorize(std::stop_token stop = {});
    // Opens the current flow's URL again. Throws protocol("nothing_pending") without a flow, or
    // the switcher's error (the flow keeps waiting). Blocks on the switcher.
    void retryOpen(std::stop_token stop = {});
    // Ends the current flow's wait with cancelled; nothing when there is none. Does not block.
    void cancelPending();
    // Revokes the grant on the server and wipes the stored session whatever the server says (only
    // that grant: one authorized meanwhile stays). Throws notAuthorized without a session (nothing
    // changed), or the server call's error (network, protocol; cancelled after a stop) after the
    // wipe; a grant the server already revoked is no error.
    // Blocks on the store and the network.
    void revoke(std::stop_token stop = {});

    // The item operations. Each creates a request on the server, opens the password-manager
    // application for the user's decision (unless the server answered it at once) and waits until
    // the request ends: it reads the status every poll interval and at once when a callback of the
    // request arrives, the host returns to the foreground, or cancelPending or retryOpen is called.
    // onWaiting reports the wait and, when it ends, none. Results arrive sealed to the grant's seal
    // key and are opened here; an update's new values are sealed to the account's identity key.
    // Block on the store, the network and the user (up to the request's expiry). Throw
    // TessaroError: notAuthorized, notInstalled, denied, conflict, cancelled (cancelPending or a
    // stop request; the server is told in the background), expired, notSignedIn, revoked,
    // network, protocol ("result_missing", "result_open_failed", "result_malformed", ...); the
    // store's error unchanged; update: the sealing error (TessaroCrypto) for an unusable identity
    // key. Every text argument (hint, reason, prefill, item and vault IDs) must be UTF-8: any
    // other throws protocol("invalid_input") before anything is read or sent (a patch:
    // "invalid_patch"). A request ID from the server that no path can carry is protocol
    // ("invalid_path"), before the application is opened.

    // Lets the user pick an item. No vault: any granted vault; the hint is sent only when it names
    // something; a reason (also an empty one) is shown to the user.
    TessaroItem pickItem(const TessaroHint& hint = {}, const std::optional<std::string>& reason = std::nullopt,
                         const std::optional<std::string>& vaultID = std::nullopt, std::stop_token stop = {});
    // Reads a known item.
    TessaroItem getItem(const std::string& id, const std::string& vaultID, std::stop_token stop = {});
    // Creates an item from the user's input, prefilled as proposed. No vault: the first vault the
    // grant may write (protocol "no_granted_vault" when there is none; nothing is sent). An item
    // saved into a vault outside the grant comes back without contents (savedOutOfScope).
    TessaroCreated createItem(TessaroItemKind kind, const TessaroPrefill& prefill = {},
                              const std::optional<std::string>& reason = std::nullopt,
                              const std::optional<std::string>& vaultID = std::nullopt, std::stop_token stop = {});
    // Changes fields of an item once the user approves. The new values never reach the server in
    // plain text. Before anything is read or sent: an empty patch throws protocol("empty_patch"),
    // a field name or value that is not UTF-8 protocol("invalid_patch"). A revision conflict
    // throws conflict.
    using Patch = std::map<TessaroField, std::string>;
    TessaroUpdated updateItem(const std::string& id, const std::string& vaultID, const Patch& patch,
                              const std::optional<std::string>& reason = std::nullopt, std::stop_token stop = {});

    // Waits up to `timeout` for the client's background threads (application launches, the server
    // cancels of cancelled requests, token requests whose caller stopped); true when none is left.
    // For a host about to exit.
    bool drain(std::chrono::milliseconds timeout);

    // Server error codes that mean the grant or its refresh token can no longer be used.
    static const std::vector<std::string>& revocationCodes();

private:
    friend class detail::ClientInternals;  // the kit's own flows and tests (client/internal/)

    struct CurrentFlow {
        std::string state;
        URL url;
        std::optional<std::string> requestID;
        std::shared_ptr<PollSignal> signal;
        std::function<void(const TessaroError&)> abort;
    };
    using CallbackHandler = std::function<void(const TessaroCallback&)>;

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
    // `holdsClient` false: the thread never touches the client, and the destructor waits for it.
    void startBackground(std::function<void()> work, bool holdsClient);

    // The request runner: create, switch, poll. The result: the final ("completed") status and
    // the session as loaded at the start.
    using AfterCreate =
        std::function<TessaroAPI::RequestStatus(const TessaroAPI::RequestStatus&, const std::string& grantID)>;
    TESSARO_NO_EXPORT std::pair<TessaroAPI::RequestStatus, detail::Session> runRequest(const nlohmann::json& body,
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
    TESSARO_NO_EXPORT TessaroItem openItemResult(const TessaroAPI::RequestStatus& status,
                                                 const detail::Session& session);

    // Members whose signatures name the kit's internal types are not exported.
    TESSARO_NO_EXPORT std::optional<detail::Session> loadSession();
    void withCredentials(const std::function<void(const TessaroAPI::Credentials&)>& body, std::stop_token stop);
    TESSARO_NO_EXPORT detail::Session refreshSession(const detail::Session& stale, std::stop_token stop);

    const TessaroConfiguration configuration_;
    const std::shared_ptr<TessaroSecretStore> store_;
    const std::shared_ptr<TessaroAPI> api_;
    const std::shared_ptr<TessaroAppSwitching> switcher_;
    const double pollInterval_;
    const double authorizeTimeout_;

    mutable std::mutex handlerLock_;  // onWaiting_ and executor_
    WaitingHandler onWaiting_;
    std::shared_ptr<TessaroExecutor> executor_;

    std::mutex lock_;  // pending_, foregroundHandlers_, currentFlow_
    std::map<std::string, CallbackHandler> pending_;
    std::map<std::uint64_t, std::function<void()>> foregroundHandlers_;
    std::uint64_t nextForegroundID_ = 0;
    std::optional<CurrentFlow> currentFlow_;
    TessaroAppSwitching::Registration foregroundRegistration_;

    // The store's refresh gate and session-write lock, shared by the clients of this process built
    // on the same store object; across processes, the store's lockName() adds file locks.
    const std::shared_ptr<detail::SessionKeeper> sessions_;

    std::mutex threadsLock_;  // threads_
    std::map<std::thread::id, std::thread> threads_;
    // Background threads in progress and those that are over (joined by the next one). Shared with the
    // launch threads, which report to it after they let go of the client.
    struct LaunchTracker {
        std::mutex mutex;
        std::condition_variable done;
        int running = 0;
        int independent = 0;  // of `running`, the threads that do not hold the client
        std::vector<std::thread::id> finished;
    };
    const std::shared_ptr<LaunchTracker> launches_ = std::make_shared<LaunchTracker>();
    // Requested by the destructor once the bounded wait for background cancels is over.
    std::stop_source backgroundStop_;
};

}  // namespace tessaro

#pragma once
/// @file
/// TessaroClient: the one object a host application talks to, and TessaroExecutor, where it
/// delivers its waiting reports.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/callback.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/records/tessaro_waiting.hpp>
#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro {

namespace detail {
class ClientInternals;
}  // namespace detail

/// Where the client delivers onWaiting: the host's main (GUI) thread, or any queue of its own.
/// Implemented by the host and held by std::shared_ptr (TessaroClient::setExecutor).
///
/// Thread safety: both members may be called from any thread, several at once.
class TESSARO_EXPORT TessaroExecutor {
public:
    /// Destroys the executor; the client holds it no longer by then.
    virtual ~TessaroExecutor() = default;
    /// Whether the calling thread is the executor's thread. Must not block or throw.
    virtual bool isCurrent() const = 0;
    /// Queues `call` to run on the executor's thread and returns without waiting for it. May throw
    /// std::bad_alloc, which then leaves through the client's operation that reported.
    virtual void post(std::function<void()> call) = 0;
};

/// The client of one host application: authorization, the stored session, signed calls with
/// serialised token refresh, callback URLs, and revocation. Built once with create() and kept as a
/// std::shared_ptr; not copyable.
///
/// The session is never cached: every operation reads it from the store and writes changes back at
/// once, so the store (the desktop secret store by default) is the one source of truth, shared by
/// every client built on it, in this process or another.
///
/// Thread safety: every member may be called from any thread, several at once. Operations block the
/// calling thread: run them on a worker, never on a GUI thread (even isAuthorized and grant read
/// the store, which may wait for an unlock prompt). A stop request on the trailing std::stop_token
/// cancels the operation: an operation whose stop was requested throws TessaroError::cancelled,
/// whichever step it was in (a server call, a wait for the user, a wait for a lock), and returns at
/// once. A token request already sent (a refresh, the authorization's code exchange) is still
/// finished on a background thread: a refreshed token is stored, so the session stays usable; an
/// exchanged grant is revoked instead, since the user gave up.
///
/// The stored session is never lost or mixed: every write of it is serialised with the other
/// clients of the store, in this process and in others, and a write on behalf of a grant is skipped
/// when another grant (or none) is stored by then. A failed authorization keeps the earlier session.
///
/// Errors: the flows throw TessaroError (its message is the Chinese text to show); where a flow
/// passes a lower layer's error on unchanged, the host sees that error: the store's
/// TessaroKeychain::KeychainError, and TessaroCrypto::CryptoError for stored keys that cannot be
/// rebuilt. Every operation may also throw std::bad_alloc.
class TESSARO_EXPORT TessaroClient : public std::enable_shared_from_this<TessaroClient> {
    struct CreateKey {};

public:
    /// What create() takes besides the configuration; every member has the default a desktop host
    /// wants. A plain value, copied freely.
    struct Options {
        /// Where the session lives; null: a TessaroKeychain for the configuration's client ID.
        std::shared_ptr<TessaroSecretStore> store;
        /// The HTTP transport of the client's TessaroAPI; null: a CurlTransport of its own.
        std::shared_ptr<HTTPTransport> transport;
        /// How the password-manager application is opened; null: a TessaroSystemAppSwitcher.
        std::shared_ptr<TessaroAppSwitching> switcher;
        /// Seconds between two status reads of a request; finite, 0 or more (values below 10 ms
        /// wait 10 ms).
        double pollInterval = 2.0;
        /// Seconds the user has to answer an authorization; finite, 0 or more.
        double authorizeTimeout = 600.0;
    };

    /// Builds a client and registers it with the switcher for foreground notices (held weakly:
    /// the registration never keeps the client alive). Throws tessaro::InvalidArgument (a
    /// std::invalid_argument) for a negative or non-finite timeout or interval, before anything
    /// else is built; otherwise what building the default store, transport or switcher throws.
    /// Reads nothing from the store and sends nothing.
    static std::shared_ptr<TessaroClient> create(TessaroConfiguration configuration, Options options);
    /// create() with default Options.
    static std::shared_ptr<TessaroClient> create(TessaroConfiguration configuration);
    /// For create() alone (the key cannot be named outside the class); use create().
    TessaroClient(CreateKey, TessaroConfiguration configuration, Options options);
    /// Drops the foreground registration (no handler of this client runs after that), then waits
    /// for the client's own background threads: an application launch in progress, server cancels
    /// still under way (up to 3 seconds, then they are stopped), and a token request in flight,
    /// which is never stopped: its answer is stored first (the transport's request timeout, 60
    /// seconds by default, bounds that wait). May run on one of the client's own background
    /// threads, when a launch held the last reference; that thread is then not waited for.
    ~TessaroClient();
    /// Not copyable.
    TessaroClient(const TessaroClient&) = delete;
    /// Not copyable.
    TessaroClient& operator=(const TessaroClient&) = delete;

    /// The configuration given to create(). Constant for the client's life; never blocks.
    const TessaroConfiguration& configuration() const noexcept;
    /// The store the session lives in (the one given, or the default keychain). Never blocks.
    const std::shared_ptr<TessaroSecretStore>& store() const noexcept;
    /// The server API the client signs its calls with. Never blocks.
    const std::shared_ptr<TessaroAPI>& api() const noexcept;

    /// What the client waits for, reported while the user acts (none when the wait ends). Called
    /// through the executor when one is set (at once when the reporting thread is the executor's,
    /// queued otherwise); without an executor, on the reporting thread. The handler must neither
    /// block nor throw: an exception from it may leave through the operation that reported (in
    /// place of its result), or be dropped.
    using WaitingHandler = std::function<void(const std::optional<TessaroWaiting>&)>;
    /// Replaces the onWaiting handler (empty: no reports). Takes effect for the next report;
    /// blocks only on an internal lock.
    void setOnWaiting(WaitingHandler handler);
    /// The current onWaiting handler (a copy). Blocks only on an internal lock.
    WaitingHandler onWaiting() const;
    /// Replaces the executor onWaiting is delivered through (null: the reporting thread). Blocks
    /// only on an internal lock.
    void setExecutor(std::shared_ptr<TessaroExecutor> executor);

    /// Whether a session with an access or a refresh token is stored (expiry not considered).
    /// Blocks on the store; a store failure counts as no session.
    bool isAuthorized();
    /// The stored grant, or none. Blocks on the store; a store failure counts as none.
    std::optional<TessaroGrant> grant();
    /// Wipes the stored session, whatever grant it holds; a store failure is ignored. Blocks on the
    /// store, never behind a token refresh's network call (it waits up to a few seconds for another
    /// write of the session to end, then wipes regardless).
    void reset();

    /// Hands a URL the platform opened in the host to the flow waiting for it: true when it was a
    /// callback of this client (TessaroCallback::parse against the configuration's redirect URL)
    /// and a waiting flow took it. Never throws (bad_alloc aside); blocks only on an internal lock.
    bool handleCallback(const URL& url);

    /// Authorizes: opens the password-manager application with a fresh PKCE pair and key pairs,
    /// waits for the callback (up to the authorization timeout), exchanges the code and stores the
    /// new session, replacing any earlier one; a failure keeps the earlier one whole. Blocks on the
    /// user, the network and the store. Throws TessaroError (notInstalled, expired, cancelled,
    /// denied, notSignedIn, protocol, revoked, network), the store's error, or a cryptography error.
    /// A stop after the user approved: cancelled at once, and the grant the server issued is
    /// revoked in the background, never stored.
    TessaroGrant authorize(std::stop_token stop = {});
    /// Opens the current flow's URL again and makes a request's wait read the status at once.
    /// Throws protocol("nothing_pending") without a flow, cancelled after a stop, or the
    /// switcher's error (the flow keeps waiting). Blocks on the switcher.
    void retryOpen(std::stop_token stop = {});
    /// Ends the current flow's wait with cancelled; nothing when there is none. Does not block
    /// (a request's server is told on a background thread).
    void cancelPending();
    /// Revokes the grant on the server and wipes the stored session whatever the server says (only
    /// that grant: one authorized meanwhile stays). Throws notAuthorized without a session (nothing
    /// changed), or the server call's error (network, protocol; cancelled after a stop) after the
    /// wipe; a grant the server already revoked is no error.
    /// Blocks on the store and the network.
    void revoke(std::stop_token stop = {});

    /// Lets the user pick an item. No vault: any granted vault; the hint is sent only when it names
    /// something; a reason (also an empty one) is shown to the user.
    ///
    /// Like every item operation (pickItem, getItem, createItem, updateItem): creates a request on
    /// the server, opens the password-manager application for the user's decision (unless the
    /// server answered it at once) and waits until the request ends, reading its status every poll
    /// interval and at once when a callback of the request arrives, the host returns to the
    /// foreground, or cancelPending or retryOpen is called. onWaiting reports the wait and, when it
    /// ends, none. Results arrive sealed to the grant's seal key and are opened here.
    ///
    /// Blocks on the store, the network and the user (up to the request's expiry). Throws
    /// TessaroError: notAuthorized, notInstalled, denied, conflict, cancelled (cancelPending or a
    /// stop request; the server is told in the background), expired, notSignedIn, revoked,
    /// network, protocol ("result_missing", "result_open_failed", "result_malformed", ...); the
    /// store's error unchanged. Every text argument (hint, reason, prefill, item and vault IDs)
    /// must be UTF-8: any other throws protocol("invalid_input") before anything is read or sent.
    /// A request ID from the server that no path can carry is protocol("invalid_path"), before the
    /// application is opened.
    TessaroItem pickItem(const TessaroHint& hint = {}, const std::optional<std::string>& reason = std::nullopt,
                         const std::optional<std::string>& vaultID = std::nullopt, std::stop_token stop = {});
    /// Reads a known item. Blocks and throws as pickItem.
    TessaroItem getItem(const std::string& id, const std::string& vaultID, std::stop_token stop = {});
    /// Creates an item from the user's input, prefilled as proposed. No vault: the first vault the
    /// grant may write (protocol "no_granted_vault" when there is none; nothing is sent). An item
    /// saved into a vault outside the grant comes back without contents (savedOutOfScope).
    /// Blocks and throws as pickItem.
    TessaroCreated createItem(TessaroItemKind kind, const TessaroPrefill& prefill = {},
                              const std::optional<std::string>& reason = std::nullopt,
                              const std::optional<std::string>& vaultID = std::nullopt, std::stop_token stop = {});
    /// The fields an update changes, with their new values.
    using Patch = std::map<TessaroField, std::string>;
    /// Changes fields of an item once the user approves. The new values are sealed to the account's
    /// identity key and never reach the server in plain text. Before anything is read or sent: an
    /// empty patch throws protocol("empty_patch"), a field name or value that is not UTF-8
    /// protocol("invalid_patch"). A revision conflict throws conflict; an unusable identity key the
    /// sealing error (TessaroCrypto). Otherwise blocks and throws as pickItem.
    TessaroUpdated updateItem(const std::string& id, const std::string& vaultID, const Patch& patch,
                              const std::optional<std::string>& reason = std::nullopt, std::stop_token stop = {});

    /// Waits up to `timeout` for the client's background threads (application launches, the server
    /// cancels of cancelled requests, token requests whose caller stopped); true when none is left.
    /// For a host about to exit; blocks up to `timeout`.
    bool drain(std::chrono::milliseconds timeout);

    /// Server error codes that mean the grant or its refresh token can no longer be used. A
    /// constant list; never blocks.
    static const std::vector<std::string>& revocationCodes();

private:
    friend class detail::ClientInternals;  // the tests' view of the implementation
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro

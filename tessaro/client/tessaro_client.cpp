// Construction, the read-only views, callbacks, authorization, refresh and revocation.

#include <tessaro/client/tessaro_client.hpp>

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>
#include <variant>

#include <tessaro/client/internal/client_impl.hpp>
#include <tessaro/client/internal/handoff.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/internal/session_keeper.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/records/exception.hpp>
#include <tessaro/stores/keychain.hpp>

namespace tessaro {

using detail::Session;

namespace {

// Local waits and deadlines follow the steady clock, which a change of the wall clock leaves alone;
// only expiries the server states are compared with the wall clock.
using Clock = std::chrono::steady_clock;
constexpr double expiryMargin = 30.0;  // seconds an access token must still have to be used

Timestamp now() { return std::chrono::time_point_cast<Timestamp::duration>(std::chrono::system_clock::now()); }

bool usable(const Session& session) {
    return session.accessToken && secondsSince1970(session.accessExpiresAt) - secondsSince1970(now()) >= expiryMargin;
}

TessaroAPI::Credentials credentialsOf(const Session& session) {
    return {session.accessToken.value_or(""), session.approval};
}

void checkDuration(double seconds, const char* what) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) {
        throw InvalidArgument(std::string("TessaroClient: ") + what + " must be finite, 0 or more (seconds)");
    }
}

// The one result of a wait: a callback or an error, set once.
class Completion {
public:
    using Result = std::variant<TessaroCallback, TessaroError>;
    void set(Result result) {
        {
            std::lock_guard guard(mutex_);
            if (result_) return;
            result_ = std::move(result);
        }
        ready_.notify_all();
    }
    // Waits until a result is set, the deadline passes or `stop` is requested; the result if set.
    std::optional<Result> waitUntil(Clock::time_point deadline, std::stop_token stop) {
        std::unique_lock guard(mutex_);
        ready_.wait_until(guard, stop, deadline, [&] { return result_.has_value(); });
        return result_;
    }
    std::optional<Result> waitUntil(Clock::time_point deadline) {
        std::unique_lock guard(mutex_);
        ready_.wait_until(guard, deadline, [&] { return result_.has_value(); });
        return result_;
    }
    // Waits for a result that is sure to come (its setter already holds the flow's entry).
    Result wait() {
        std::unique_lock guard(mutex_);
        ready_.wait(guard, [&] { return result_.has_value(); });
        return *result_;
    }

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::optional<Result> result_;
};

}  // namespace

const std::vector<std::string>& TessaroClient::revocationCodes() {
    static const std::vector<std::string> codes = {"grant_revoked",         "client_disabled", "refresh_token_reused",
                                                   "invalid_refresh_token", "refresh_expired", "invalid_client",
                                                   "invalid_client_secret", "invalid_token"};
    return codes;
}

std::shared_ptr<TessaroClient> TessaroClient::create(TessaroConfiguration configuration, Options options) {
    checkDuration(options.pollInterval, "pollInterval");
    checkDuration(options.authorizeTimeout, "authorizeTimeout");
    auto client = std::make_shared<TessaroClient>(CreateKey{}, std::move(configuration), std::move(options));
    // The handler holds the client weakly: it neither keeps it alive nor runs once it is gone.
    client->impl_->foregroundRegistration = client->impl_->switcher->onForeground([weak = client->weak_from_this()] {
        if (auto self = weak.lock()) self->impl_->fireForeground();
    });
    return client;
}

std::shared_ptr<TessaroClient> TessaroClient::create(TessaroConfiguration configuration) {
    return create(std::move(configuration), Options{});
}

TessaroClient::TessaroClient(CreateKey, TessaroConfiguration configuration, Options options)
    : impl_(std::make_unique<Impl>(*this, std::move(configuration), std::move(options))) {}

TessaroClient::Impl::Impl(TessaroClient& client, TessaroConfiguration settings, Options options)
    : owner(client),
      configuration(std::move(settings)),
      store(options.store ? std::move(options.store) : std::make_shared<TessaroKeychain>(configuration.clientID)),
      api(TessaroAPI::create(configuration.origin, configuration.clientID, configuration.redirectURL,
                             std::move(options.transport))),
      switcher(options.switcher ? std::move(options.switcher) : std::make_shared<TessaroSystemAppSwitcher>()),
      pollInterval(options.pollInterval),
      authorizeTimeout(options.authorizeTimeout),
      sessions(detail::SessionKeeper::of(store)) {}

TessaroClient::~TessaroClient() {
    Impl& impl = *impl_;
    impl.foregroundRegistration = TessaroAppSwitching::Registration();
    {
        // Server cancels get a few seconds to arrive, then their transfers are stopped. Token
        // requests in flight are never stopped: joining their threads below waits until their
        // answers are stored (the transport's timeout bounds that).
        std::unique_lock guard(impl.launches->mutex);
        impl.launches->done.wait_for(guard, std::chrono::seconds(3), [&] { return impl.launches->independent == 0; });
    }
    impl.backgroundStop.request_stop();
    std::map<std::thread::id, std::thread> threads;
    {
        std::lock_guard guard(impl.threadsLock);
        threads.swap(impl.threads);
    }
    for (auto& [id, thread] : threads) {
        // The last reference may be dropped by a launch thread itself, as its final step.
        if (id == std::this_thread::get_id()) {
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
}

const TessaroConfiguration& TessaroClient::configuration() const noexcept { return impl_->configuration; }
const std::shared_ptr<TessaroSecretStore>& TessaroClient::store() const noexcept { return impl_->store; }
const std::shared_ptr<TessaroAPI>& TessaroClient::api() const noexcept { return impl_->api; }

// ---- onWaiting ----

void TessaroClient::setOnWaiting(WaitingHandler handler) {
    std::lock_guard guard(impl_->handlerLock);
    impl_->onWaiting = std::move(handler);
}

TessaroClient::WaitingHandler TessaroClient::onWaiting() const {
    std::lock_guard guard(impl_->handlerLock);
    return impl_->onWaiting;
}

void TessaroClient::setExecutor(std::shared_ptr<TessaroExecutor> executor) {
    std::lock_guard guard(impl_->handlerLock);
    impl_->executor = std::move(executor);
}

void TessaroClient::Impl::notifyWaiting(const std::optional<TessaroWaiting>& value) {
    WaitingHandler handler;
    std::shared_ptr<TessaroExecutor> target;
    {
        std::lock_guard guard(handlerLock);
        handler = onWaiting;
        target = executor;
    }
    if (!handler) return;
    if (!target || target->isCurrent()) {
        handler(value);
    } else {
        target->post([handler = std::move(handler), value] { handler(value); });
    }
}

// ---- session views ----

std::optional<Session> TessaroClient::Impl::loadSession() { return detail::loadSession(*store); }

bool TessaroClient::isAuthorized() {
    try {
        const auto session = impl_->loadSession();
        return session && (session->accessToken || session->refreshToken);
    } catch (...) {
        return false;
    }
}

std::optional<TessaroGrant> TessaroClient::grant() {
    try {
        const auto session = impl_->loadSession();
        if (!session) return std::nullopt;
        return TessaroGrant{session->grantID, session->accountID, session->vaults, session->approval.fingerprint()};
    } catch (...) {
        return std::nullopt;
    }
}

void TessaroClient::reset() { impl_->sessions->wipeAll(); }

// ---- callbacks and flows ----

bool TessaroClient::handleCallback(const URL& url) {
    const auto callback = TessaroCallback::parse(url, impl_->configuration.redirectURL);
    if (!callback) return false;
    Impl::CallbackHandler handler;
    {
        std::lock_guard guard(impl_->lock);
        const auto found = impl_->pending.find(callback->state);
        if (found == impl_->pending.end()) return false;
        handler = found->second;
    }
    handler(*callback);
    return true;
}

void TessaroClient::Impl::clearCurrent(const std::string& state) {
    std::lock_guard guard(lock);
    if (currentFlow && currentFlow->state == state) currentFlow.reset();
}

void TessaroClient::Impl::fireForeground() {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard guard(lock);
        for (const auto& [id, handler] : foregroundHandlers)
            handlers.push_back(handler);
    }
    for (const auto& handler : handlers)
        handler();
}

void TessaroClient::Impl::startOpen(const URL& url, std::function<void(const TessaroError&)> onFailure) {
    // The launch keeps the client alive until the switcher answers.
    startBackground(
        [self = owner.shared_from_this(), url, onFailure = std::move(onFailure)] {
            try {
                self->impl_->openApplication(url, {});
            } catch (const TessaroError& error) {
                onFailure(error);
            } catch (...) {
                onFailure(TessaroError::notInstalled(self->impl_->configuration.downloadURL));  // bad_alloc
            }
        },
        Holds::client);
}

void TessaroClient::Impl::openApplication(const URL& url, std::stop_token stop) {
    try {
        switcher->open(url, configuration.downloadURL, stop);
    } catch (const TessaroError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        // Any other failure of a switcher (a host's own may throw anything) still means the
        // application could not be opened.
        throw TessaroError::notInstalled(configuration.downloadURL);
    }
}

void TessaroClient::Impl::startBackground(std::function<void()> work, Holds holds) {
    const bool holdsClient = holds == Holds::client;
    std::vector<std::thread> ended;  // threads that are over, joined outside the locks
    {
        std::lock_guard tracking(launches->mutex);
        std::lock_guard guard(threadsLock);
        for (const auto id : launches->finished) {
            if (auto found = threads.find(id); found != threads.end()) {
                ended.push_back(std::move(found->second));
                threads.erase(found);
            }
        }
        launches->finished.clear();
        ++launches->running;
        if (!holdsClient) ++launches->independent;
    }
    std::thread thread;
    try {
        thread = std::thread([tracker = launches, work = std::move(work), holdsClient]() mutable {
            work();
            work = nullptr;  // may destroy the client: its destructor detaches this thread
            {
                std::lock_guard done(tracker->mutex);
                --tracker->running;
                if (!holdsClient) --tracker->independent;
                tracker->finished.push_back(std::this_thread::get_id());
            }
            tracker->done.notify_all();
        });
    } catch (...) {
        // No thread: it is not counted, so drain() and the destructor do not wait for it.
        {
            std::lock_guard tracking(launches->mutex);
            --launches->running;
            if (!holdsClient) --launches->independent;
        }
        launches->done.notify_all();
        for (auto& finished : ended)
            finished.join();
        throw;
    }
    {
        std::lock_guard guard(threadsLock);
        threads.emplace(thread.get_id(), std::move(thread));
    }
    for (auto& finished : ended)
        finished.join();
}

bool TessaroClient::drain(std::chrono::milliseconds timeout) {
    const auto& launches = impl_->launches;
    std::unique_lock guard(launches->mutex);
    return launches->done.wait_for(guard, timeout, [&] { return launches->running == 0; });
}

TessaroCallback TessaroClient::Impl::awaitCallback(const std::string& state, const URL& url, double timeout,
                                                   std::stop_token stop) {
    auto completion = std::make_shared<Completion>();
    // Removing the pending entry first is what makes the wait end exactly once.
    auto finish = [weak = owner.weak_from_this(), state, completion](Completion::Result result) {
        auto self = weak.lock();
        if (!self) return;
        bool removed = false;
        {
            std::lock_guard guard(self->impl_->lock);
            removed = self->impl_->pending.erase(state) > 0;
        }
        if (removed) completion->set(std::move(result));
    };
    {
        std::lock_guard guard(lock);
        pending[state] = [finish](const TessaroCallback& callback) { finish(callback); };
        currentFlow =
            CurrentFlow{state, url, std::nullopt, nullptr, [finish](const TessaroError& error) { finish(error); }};
    }
    try {
        startOpen(url, [finish](const TessaroError& error) { finish(error); });
    } catch (...) {
        // No launch (no thread to spare): nothing of this flow stays registered.
        {
            std::lock_guard guard(lock);
            pending.erase(state);
        }
        clearCurrent(state);
        throw;
    }

    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    auto result = completion->waitUntil(deadline, stop);
    if (!result && stop.stop_requested()) {
        // The caller's stop ends this wait at once, also when a later flow has become the current
        // one (cancelPending and retryOpen reach only that one).
        finish(TessaroError::cancelled());
        result = completion->waitUntil(deadline);
    }
    if (!result) {
        // Whoever removed the flow's entry (this expiry, or a finish racing it) sets the result.
        finish(TessaroError::expired());
        result = completion->wait();
    }
    if (auto* error = std::get_if<TessaroError>(&*result)) throw *error;
    return std::get<TessaroCallback>(*result);
}

TessaroGrant TessaroClient::authorize(std::stop_token stop) {
    const auto keepAlive = shared_from_this();  // the host may let go of the client meanwhile
    return detail::cancelledOnStop(stop, [&] { return impl_->authorizeOnce(stop); });
}

TessaroAPI::TokenResponse TessaroClient::Impl::exchangeCode(const std::string& code, const std::string& verifier,
                                                            const TessaroCrypto::ApprovalKeypair& approval,
                                                            std::stop_token stop) {
    // Once sent, the exchange is finished on a thread of its own: a caller who stops meanwhile
    // leaves with cancelled at once, and the grant the server issued for it is revoked there.
    using Handoff = detail::Handoff<TessaroAPI::TokenResponse>;
    auto handoff = std::make_shared<Handoff>();
    startBackground(
        [api = api, code, verifier, approval, handoff, cancels = backgroundStop.get_token()] {
            Handoff::Outcome outcome;
            try {
                outcome.value = api->exchangeCode(code, verifier, {});
            } catch (...) {
                outcome.error = std::current_exception();
            }
            if (handoff->offer(outcome) || !outcome.value) return;
            try {
                api->revoke(outcome.value->accessToken, {outcome.value->accessToken, approval}, cancels);
            } catch (...) {
                // Best effort: a grant the server keeps is unused, and its tokens were never stored.
            }
        },
        Holds::nothing);
    auto token = handoff->take(stop);
    if (!token) throw TessaroError::cancelled();
    return std::move(*token);
}

TessaroGrant TessaroClient::Impl::authorizeOnce(std::stop_token stop) {
    TessaroCrypto::SealKeypair seal;
    TessaroCrypto::ApprovalKeypair approval;
    const TessaroCrypto::PKCE pkce;
    const std::string state = TessaroCrypto::randomToken(24);
    const auto url = URL::parse("tessaro://authorize?" +
                                URL::buildQuery({{"client_id", configuration.clientID},
                                                 {"redirect_uri", configuration.redirectURL.absoluteString()},
                                                 {"state", state},
                                                 {"code_challenge", pkce.challenge},
                                                 {"code_challenge_method", pkce.method},
                                                 {"approval_key", approval.publicKeyBase64URL()},
                                                 {"seal_key", seal.publicKeyBase64URL()}}));
    if (!url) throw TessaroError::protocol("invalid_configuration");

    const double timeout = authorizeTimeout;
    notifyWaiting(TessaroWaiting(TessaroWaiting::Phase::authorize(), std::nullopt, "user", "consent",
                                 timestampFromSeconds(secondsSince1970(now()) + timeout)));
    try {
        const TessaroCallback callback = awaitCallback(state, *url, timeout, stop);
        if (callback.error) {
            if (*callback.error == "access_denied") throw TessaroError::denied();
            if (*callback.error == "not_signed_in") throw TessaroError::notSignedIn();
            throw TessaroError::protocol(*callback.error);
        }
        if (callback.kind != TessaroCallback::Kind::authorize || !callback.code || callback.code->empty()) {
            throw TessaroError::protocol("invalid_callback");
        }
        TessaroAPI::TokenResponse token;
        try {
            token = exchangeCode(*callback.code, pkce.verifier, approval, stop);
        } catch (const TessaroAPI::APIError& error) {
            if (error.kind() == TessaroAPI::APIError::Kind::decoding)
                throw TessaroError::protocol("malformed_response");
            if (detail::isRevocationCode(error.code())) throw TessaroError::revoked();
            throw TessaroError::protocol(error.code());
        }
        Session session(std::move(approval), std::move(seal));
        session.accessToken = token.accessToken;
        session.accessExpiresAt = timestampFromSeconds(secondsSince1970(now()) + static_cast<double>(token.expiresIn));
        session.refreshToken = token.refreshToken;
        session.grantID = token.grantID;
        session.accountID = token.accountID;
        session.vaults = token.vaults;
        session.identityPublicKey = token.accountIdentityPublicKey;
        // The one write that changes the grant; a failure keeps the earlier session.
        sessions->save(session);

        TessaroGrant grant{token.grantID, token.accountID, token.vaults, session.approval.fingerprint()};
        notifyWaiting(std::nullopt);
        clearCurrent(state);
        return grant;
    } catch (...) {
        notifyWaiting(std::nullopt);
        clearCurrent(state);
        throw;
    }
}

void TessaroClient::retryOpen(std::stop_token stop) {
    std::optional<Impl::CurrentFlow> flow;
    {
        std::lock_guard guard(impl_->lock);
        flow = impl_->currentFlow;
    }
    if (!flow) throw TessaroError::protocol("nothing_pending");
    detail::cancelledOnStop(stop, [&] { impl_->openApplication(flow->url, stop); });
    if (flow->signal) flow->signal->fire();
}

void TessaroClient::cancelPending() {
    std::optional<Impl::CurrentFlow> flow;
    {
        std::lock_guard guard(impl_->lock);
        flow = impl_->currentFlow;
    }
    if (flow) flow->abort(TessaroError::cancelled());
}

// ---- credentials and refresh ----

void TessaroClient::Impl::withCredentials(const std::function<void(const TessaroAPI::Credentials&)>& body,
                                          std::stop_token stop) {
    auto session = loadSession();
    if (!session) throw TessaroError::notAuthorized();
    if (!usable(*session)) {
        if (!session->accessToken && !session->refreshToken) throw TessaroError::notAuthorized();
        session = refreshSession(*session, stop);
    }
    try {
        body(credentialsOf(*session));
        return;
    } catch (const TessaroAPI::APIError& error) {
        const bool expired = error.kind() == TessaroAPI::APIError::Kind::http && error.status() == 401 &&
                             (error.code() == "token_expired" || error.code() == "invalid_token");
        if (!expired) throw detail::mapAndMaybeWipe(error, *sessions, session->grantID);
    }
    session = refreshSession(*session, stop);
    try {
        body(credentialsOf(*session));
    } catch (const TessaroAPI::APIError& error) {
        throw detail::mapAndMaybeWipe(error, *sessions, session->grantID);
    }
}

namespace {

// Sends the refresh, stores its answer for `base`'s grant and gives the refreshed session. Runs on
// a thread of its own, never stopped: a refresh token that was sent may already be spent.
Session refreshAndStore(const TessaroAPI& api, detail::SessionKeeper& sessions, const Session& base) {
    TessaroAPI::TokenResponse token;
    try {
        token = api.refresh(*base.refreshToken, {});
    } catch (const TessaroAPI::APIError& error) {
        throw detail::mapAndMaybeWipe(error, sessions, base.grantID);
    }
    Session refreshed = base;
    refreshed.accessToken = token.accessToken;
    refreshed.accessExpiresAt = timestampFromSeconds(secondsSince1970(now()) + static_cast<double>(token.expiresIn));
    if (token.refreshToken) refreshed.refreshToken = token.refreshToken;
    if (token.accountIdentityPublicKey) refreshed.identityPublicKey = token.accountIdentityPublicKey;
    // Stored only while the grant is still the one refreshed: after a new authorization, a reset
    // or a revocation these tokens belong to nothing stored.
    sessions.writeForGrant(base.grantID, [&](TessaroSecretStore& store) {
        detail::saveTokens(store, refreshed);
        if (token.accountIdentityPublicKey) {
            store.writeString(detail::sessionKey::identityPublicKey, *token.accountIdentityPublicKey);
        }
    });
    return refreshed;
}

}  // namespace

Session TessaroClient::Impl::refreshSession(const Session& stale, std::stop_token stop) {
    // One refresh at a time among this process's clients of the store (waiting stays cancellable)
    // and, for a store that other processes share, across processes too: a refresh token is
    // presented once.
    auto held = sessions->holdRefresh(stop);
    if (!held) throw TessaroError::cancelled();

    // Another caller refreshed meanwhile: the stored tokens are usable and not the ones the caller
    // saw. The expiry counts too: a caller may have read the new access token before its expiry
    // was written.
    auto stored = loadSession();
    if (stored && usable(*stored) &&
        (stored->accessToken != stale.accessToken || stored->accessExpiresAt != stale.accessExpiresAt)) {
        return std::move(*stored);
    }
    // Another caller may have rotated the refresh token (and then lost its access token, or let it
    // expire): presenting the stale one again would be answered "refresh_token_reused" and end the
    // grant, so the stored one of the same grant is used.
    const bool rotated = stored && stored->grantID == stale.grantID && stored->refreshToken &&
                         stored->refreshToken != stale.refreshToken;
    Session base = rotated ? std::move(*stored) : stale;
    if (!base.refreshToken) {
        sessions->wipeGrant(base.grantID);
        throw TessaroError::revoked();
    }

    // The request is finished and its answer stored on a thread of its own, which keeps the gate
    // until then; a caller whose stop is requested meanwhile leaves with cancelled at once.
    auto handoff = std::make_shared<detail::Handoff<Session>>();
    startBackground(
        [api = api, sessions = sessions, base = std::move(base), handoff,
         lock = std::make_shared<detail::SessionLock>(std::move(*held))] {
            detail::Handoff<Session>::Outcome outcome;
            try {
                outcome.value = refreshAndStore(*api, *sessions, base);
            } catch (...) {
                outcome.error = std::current_exception();
            }
            lock->release();
            handoff->offer(outcome);
        },
        Holds::nothing);
    auto refreshed = handoff->take(stop);
    if (!refreshed) throw TessaroError::cancelled();
    return std::move(*refreshed);
}

// ---- revocation ----

void TessaroClient::revoke(std::stop_token stop) {
    const auto keepAlive = shared_from_this();
    Impl& impl = *impl_;
    std::optional<Session> session;
    try {
        session = impl.loadSession();
    } catch (...) {
        throw TessaroError::notAuthorized();
    }
    if (!session) throw TessaroError::notAuthorized();
    // Only the grant read here is wiped: one authorized meanwhile stays.
    const std::string grantID = session->grantID;
    if (!session->accessToken && !session->refreshToken) {
        impl.sessions->wipeGrant(grantID);
        return;
    }
    detail::cancelledOnStop(stop, [&] {
        try {
            impl.withCredentials(
                [&](const TessaroAPI::Credentials& credentials) {
                    impl.api->revoke(credentials.accessToken, credentials, stop);
                },
                stop);
        } catch (const TessaroError& error) {
            impl.sessions->wipeGrant(grantID);
            if (error.code() == TessaroError::Code::revoked) return;
            throw;
        } catch (...) {
            impl.sessions->wipeGrant(grantID);
            throw;
        }
        impl.sessions->wipeGrant(grantID);
    });
}

}  // namespace tessaro

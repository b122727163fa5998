// The request runner (create, switch, poll) and the four item operations built on it.

#include <tessaro/client/tessaro_client.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <tessaro/client/internal/client_impl.hpp>
#include <tessaro/client/internal/handoff.hpp>
#include <tessaro/client/internal/item_payloads.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/internal/session_keeper.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/crypto/sealed_box.hpp>
#include <tessaro/records/internal/utf8.hpp>

namespace tessaro {

using detail::Session;
using Status = TessaroAPI::RequestStatus;

namespace {

constexpr double expiryGrace = 15.0;       // seconds past a request's expiry before the wait gives up
constexpr int networkFailureBudget = 150;  // consecutive failed status reads that are tolerated

// The wall clock: compared with the expiries the server states.
double nowSeconds() { return secondsSince1970(Timestamp(std::chrono::system_clock::now())); }

bool hasTokens(const std::optional<Session>& session) {
    return session && (session->accessToken || session->refreshToken);
}

// The first error that the handlers of one wait report; later ones are dropped.
class ErrorBox {
public:
    void set(const TessaroError& error) {
        std::lock_guard guard(lock);
        if (!error_) error_ = error;
    }
    std::optional<TessaroError> error() {
        std::lock_guard guard(lock);
        return error_;
    }

private:
    std::mutex lock;
    std::optional<TessaroError> error_;
};

TessaroWaiting waitingOf(const Status& status) {
    return TessaroWaiting(TessaroWaiting::Phase::request(status.op.value_or("")), status.requestID, status.waitingOn,
                          status.waitingReason, status.expiresAt);
}

// The error a terminal status other than "completed" ends with.
TessaroError refusalOf(const Status& status) {
    if (status.state == "denied") {
        return status.deniedReason == "conflict" ? TessaroError::conflict() : TessaroError::denied();
    }
    if (status.state == "cancelled") return TessaroError::cancelled();
    return TessaroError::expired();
}

// Text the kit puts into a request must be UTF-8 (JSON carries nothing else; a host may hand over
// raw bytes, such as a command line's): refused before anything is read or sent.
void requireText(std::initializer_list<const std::optional<std::string>*> texts) {
    for (const auto* text : texts) {
        if (*text && !detail::isValidUTF8(**text)) throw TessaroError::protocol("invalid_input");
    }
}

void requireText(const std::string& text) {
    if (!detail::isValidUTF8(text)) throw TessaroError::protocol("invalid_input");
}

TessaroError callbackError(const std::string& error) {
    if (error == "access_denied") return TessaroError::denied();
    if (error == "not_signed_in") return TessaroError::notSignedIn();
    return TessaroError::protocol(error);
}

}  // namespace

// ---- the runner ----

std::pair<Status, Session> TessaroClient::Impl::runRequest(const nlohmann::json& body, const AfterCreate& afterCreate,
                                                           std::stop_token stop) {
    auto session = loadSession();
    if (!hasTokens(session)) throw TessaroError::notAuthorized();

    Status status;
    withCredentials(
        [&](const TessaroAPI::Credentials& credentials) { status = api->createRequest(body, credentials, stop); },
        stop);
    if (afterCreate) status = afterCreate(status, session->grantID);

    // Answered at once: no switch, no wait, nothing registered or reported.
    if (status.isTerminal()) {
        if (status.state == "completed") return {std::move(status), std::move(*session)};
        throw refusalOf(status);
    }

    // A request the kit could never read the status of is not opened in the application either.
    if (!TessaroAPI::isValidRequestID(status.requestID)) throw TessaroError::protocol("invalid_path");
    const std::string state = TessaroCrypto::randomToken(24);
    const auto url =
        URL::parse("tessaro://request?" + URL::buildQuery({{"id", status.requestID},
                                                           {"client_id", configuration.clientID},
                                                           {"redirect_uri", configuration.redirectURL.absoluteString()},
                                                           {"state", state}}));
    if (!url) throw TessaroError::protocol("invalid_configuration");
    Status final = waitForTerminal(status, state, *url, stop);
    return {std::move(final), std::move(*session)};
}

// A request's registrations with the client, made together on construction and removed together
// on destruction, so that every way out of the wait leaves nothing behind: the callback handler of
// its state, a foreground handler, and the flow as the current one (for retryOpen and
// cancelPending). The destruction also reports that the wait is over.
class TessaroClient::Impl::RequestFlow {
public:
    RequestFlow(Impl& impl, CurrentFlow flow, CallbackHandler onCallback, std::function<void()> onForeground)
        : impl_(impl), state_(flow.state) {
        std::lock_guard guard(impl_.lock);
        try {
            impl_.pending[state_] = std::move(onCallback);
            callbackAdded_ = true;
            foregroundID_ = impl_.nextForegroundID++;
            impl_.foregroundHandlers[foregroundID_] = std::move(onForeground);
            foregroundAdded_ = true;
            impl_.currentFlow = std::move(flow);
        } catch (...) {
            // Nothing was reported yet: only the registrations made so far are taken back.
            unregister();
            throw;
        }
    }
    ~RequestFlow() {
        {
            std::lock_guard guard(impl_.lock);
            unregister();
        }
        try {
            impl_.notifyWaiting(std::nullopt);
        } catch (...) {
            // A host's handler that throws cannot replace the wait's own outcome.
        }
    }
    RequestFlow(const RequestFlow&) = delete;
    RequestFlow& operator=(const RequestFlow&) = delete;

private:
    // Under impl_.lock. The current flow is cleared only while it is still this one: a later
    // flow may have replaced it.
    void unregister() noexcept {
        if (callbackAdded_) impl_.pending.erase(state_);
        if (foregroundAdded_) impl_.foregroundHandlers.erase(foregroundID_);
        if (impl_.currentFlow && impl_.currentFlow->state == state_) impl_.currentFlow.reset();
    }

    Impl& impl_;
    const std::string state_;
    std::uint64_t foregroundID_ = 0;
    bool callbackAdded_ = false;
    bool foregroundAdded_ = false;
};

Status TessaroClient::Impl::waitForTerminal(const Status& initial, const std::string& state, const URL& url,
                                            std::stop_token stop) {
    const auto signal = std::make_shared<PollSignal>();
    const auto box = std::make_shared<ErrorBox>();
    const std::string& requestID = initial.requestID;

    // The handlers hold the signal and the box, never the client: they may outlive the wait in a
    // copy taken by handleCallback or cancelPending, and then touch only those two.
    const RequestFlow flow(
        *this,
        CurrentFlow{state, url, requestID, signal,
                    [signal, box](const TessaroError& error) {
                        box->set(error);
                        signal->fire();
                    }},
        [signal, box](const TessaroCallback& callback) {
            if (callback.error) box->set(callbackError(*callback.error));
            signal->fire();
        },
        [signal] { signal->fire(); });
    notifyWaiting(waitingOf(initial));
    try {
        openApplication(url, stop);
    } catch (const TessaroError& error) {
        // A stop that ends the launch ends the request too: the server is told, as for a stop
        // during the wait.
        if (error.code() == TessaroError::Code::cancelled) abandon(requestID, error);
        throw;
    }

    Status current = initial;
    int failures = 0;
    for (;;) {
        if (current.isTerminal()) {
            if (current.state != "completed") throw refusalOf(current);
            return current;
        }
        if (auto error = box->error()) abandon(requestID, *error);
        signal->wait(pollInterval, stop);
        if (stop.stop_requested()) abandon(requestID, TessaroError::cancelled());
        if (auto error = box->error()) abandon(requestID, *error);
        if (current.expiresAt && nowSeconds() > secondsSince1970(*current.expiresAt) + expiryGrace) {
            throw TessaroError::expired();
        }
        try {
            Status next;
            withCredentials(
                [&](const TessaroAPI::Credentials& credentials) {
                    next = api->getRequest(requestID, credentials, stop);
                },
                stop);
            current = std::move(next);
            notifyWaiting(current.isTerminal() ? std::nullopt : std::optional(waitingOf(current)));
            failures = 0;
        } catch (const TessaroError& error) {
            // A stopped transfer or lock wait is the caller's cancellation, not the network's
            // failure: the server is told.
            if (stop.stop_requested()) abandon(requestID, TessaroError::cancelled());
            if (error.code() != TessaroError::Code::network) throw;
            if (failures >= networkFailureBudget) throw TessaroError::expired();
            ++failures;
        }
    }
}

void TessaroClient::Impl::abandon(const std::string& requestID, const TessaroError& error) {
    if (error.code() == TessaroError::Code::cancelled) {
        // Tells the server on a thread of its own, which also reads the stored credentials (the
        // store may take seconds): the cancel never delays the caller, and never keeps the client
        // alive. The stored access token is used as it is; an expired one is refused, and that
        // changes nothing.
        try {
            startBackground(
                [sessions = sessions, api = api, requestID, stop = backgroundStop.get_token()] {
                    try {
                        const auto session = sessions->load();
                        if (!session || !session->accessToken) return;
                        api->cancelRequest(requestID, {*session->accessToken, session->approval}, stop);
                    } catch (...) {
                        // Best effort: an unreadable store or an unreachable server changes nothing.
                    }
                },
                Holds::nothing);
        } catch (...) {
            // No thread to spare: the cancel stands locally, the server lets the request expire.
        }
    }
    throw error;
}

// ---- item operations ----

TessaroItem TessaroClient::Impl::openItemResult(const Status& status, const Session& session) {
    if (!status.resultEnc) throw TessaroError::protocol("result_missing");
    SecureBytes plaintext;
    try {
        plaintext = TessaroCrypto::open(*status.resultEnc, TessaroCrypto::resultAAD(session.grantID, status.requestID),
                                        session.seal);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw TessaroError::protocol("result_open_failed");
    }
    return detail::readItemResult(plaintext);  // the plaintext is wiped when it goes out of scope
}

TessaroItem TessaroClient::pickItem(const TessaroHint& hint, const std::optional<std::string>& reason,
                                    const std::optional<std::string>& vaultID, std::stop_token stop) {
    const auto keepAlive = shared_from_this();
    requireText({&hint.url, &hint.title, &reason, &vaultID});
    return detail::cancelledOnStop(stop, [&] {
        const auto [status, session] =
            impl_->runRequest(TessaroAPI::pickItemBody(hint, reason, vaultID), nullptr, stop);
        return impl_->openItemResult(status, session);
    });
}

TessaroItem TessaroClient::getItem(const std::string& id, const std::string& vaultID, std::stop_token stop) {
    const auto keepAlive = shared_from_this();
    requireText(id);
    requireText(vaultID);
    return detail::cancelledOnStop(stop, [&] {
        const auto [status, session] = impl_->runRequest(TessaroAPI::getItemBody(vaultID, id), nullptr, stop);
        return impl_->openItemResult(status, session);
    });
}

TessaroCreated TessaroClient::createItem(TessaroItemKind kind, const TessaroPrefill& prefill,
                                         const std::optional<std::string>& reason,
                                         const std::optional<std::string>& vaultID, std::stop_token stop) {
    const auto keepAlive = shared_from_this();
    requireText({&prefill.title, &prefill.url, &prefill.usernameHint, &reason, &vaultID});
    for (const auto& [name, value] : prefill.extraHint) {
        requireText(name);
        requireText(value);
    }
    return detail::cancelledOnStop(stop, [&] { return impl_->createItemOnce(kind, prefill, reason, vaultID, stop); });
}

TessaroCreated TessaroClient::Impl::createItemOnce(TessaroItemKind kind, const TessaroPrefill& prefill,
                                                   const std::optional<std::string>& reason,
                                                   const std::optional<std::string>& vaultID, std::stop_token stop) {
    const auto session = loadSession();
    if (!hasTokens(session)) throw TessaroError::notAuthorized();
    std::string vault;
    if (vaultID) {
        vault = *vaultID;
    } else {
        const auto writable = std::find_if(session->vaults.begin(), session->vaults.end(),
                                           [](const TessaroVault& candidate) { return candidate.mode == 1; });
        if (writable == session->vaults.end()) throw TessaroError::protocol("no_granted_vault");
        vault = writable->id;
    }

    const auto [status, loaded] = runRequest(TessaroAPI::createItemBody(vault, kind, prefill, reason), nullptr, stop);
    std::optional<TessaroItem> item;
    if (!status.savedOutOfScope && status.resultEnc) item = openItemResult(status, loaded);
    const bool outOfScope = status.savedOutOfScope || !item;
    return TessaroCreated{status.requestID, std::move(item), status.createdItem, outOfScope};
}

TessaroUpdated TessaroClient::updateItem(const std::string& id, const std::string& vaultID, const Patch& patch,
                                         const std::optional<std::string>& reason, std::stop_token stop) {
    const auto keepAlive = shared_from_this();
    requireText(id);
    requireText(vaultID);
    requireText({&reason});
    return detail::cancelledOnStop(stop, [&] { return impl_->updateItemOnce(id, vaultID, patch, reason, stop); });
}

TessaroUpdated TessaroClient::Impl::updateItemOnce(const std::string& id, const std::string& vaultID,
                                                   const Patch& patch, const std::optional<std::string>& reason,
                                                   std::stop_token stop) {
    if (patch.empty()) throw TessaroError::protocol("empty_patch");
    // Checked before anything is read or sent: such a value can be neither written as JSON nor
    // shown by the password-manager application.
    if (!std::all_of(patch.begin(), patch.end(), [](const auto& entry) {
            return detail::isValidUTF8(entry.first.rawValue()) && detail::isValidUTF8(entry.second);
        })) {
        throw TessaroError::protocol("invalid_patch");
    }

    auto session = loadSession();
    if (!hasTokens(session)) throw TessaroError::notAuthorized();
    if (!session->identityPublicKey) {
        TessaroAPI::AccountInfo account;
        withCredentials([&](const TessaroAPI::Credentials& credentials) { account = api->account(credentials, stop); },
                        stop);
        // Kept for later updates, but only in the grant it was read for.
        sessions->writeForGrant(
            session->grantID,
            [&](TessaroSecretStore& store) {
                store.writeString(detail::sessionKey::identityPublicKey, account.identityPublicKey);
            },
            stop);
        session->identityPublicKey = account.identityPublicKey;
    }
    const std::string identityKey = *session->identityPublicKey;

    std::vector<TessaroField> fields;
    for (const auto& [field, value] : patch)
        fields.push_back(field);

    const AfterCreate sealAndUpload = [&](const Status& created, const std::string& grantID) {
        // The plaintext lives in this one buffer, wiped when it goes out of scope on every path.
        const auto plaintext = detail::patchPlaintext(patch);
        if (!plaintext) throw TessaroError::protocol("invalid_patch");
        const std::string sealed =
            TessaroCrypto::seal(identityKey, TessaroCrypto::patchAAD(grantID, created.requestID), *plaintext);
        Status uploaded;
        withCredentials(
            [&](const TessaroAPI::Credentials& credentials) {
                uploaded = api->putPatch(created.requestID, sealed, credentials, stop);
            },
            stop);
        return uploaded;
    };
    const auto [status, loaded] =
        runRequest(TessaroAPI::updateItemBody(vaultID, id, fields, reason), sealAndUpload, stop);
    if (!status.updatedItemID) throw TessaroError::protocol("updated_item_missing");
    return TessaroUpdated{status.requestID, *status.updatedItemID, status.updatedRevision.value_or(0)};
}

}  // namespace tessaro

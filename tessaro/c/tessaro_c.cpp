// The C interface: thin wrappers over TessaroClient that turn C arguments into the kit's records
// (through the JSON forms), run the call, and turn every exception into a status and an error
// object. Nothing thrown inside may leave a function of this file.

#include <tessaro/c/tessaro.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/loopback_redirect.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/records/exception.hpp>
#include <tessaro/records/internal/utf8.hpp>
#include <tessaro/records/json_forms.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/version.hpp>

using namespace tessaro;

struct tessaro_error {
    tessaro_status code = TESSARO_INTERNAL;
    std::string message;
    std::optional<std::string> protocolCode;
    std::optional<std::string> downloadURL;
};

struct tessaro_cancel {
    std::stop_source source;
};

struct tessaro_task {
    std::function<void()> call;
};

struct tessaro_client_options {
    tessaro_store_kind store = TESSARO_STORE_DESKTOP;
    double pollInterval = 2.0;
    double authorizeTimeout = 600.0;
    tessaro_open_fn open = nullptr;
    void* openUser = nullptr;
};

struct tessaro_client {
    // Where the host's activation reports go; also the switcher when no opener was given.
    std::shared_ptr<TessaroSystemAppSwitcher> foreground;
    std::shared_ptr<TessaroClient> client;
};

struct tessaro_loopback_redirect {
    LoopbackRedirect receiver;
    std::string url;

    explicit tessaro_loopback_redirect(LoopbackRedirect::Options options)
        : receiver(std::move(options)), url(receiver.redirectURL().absoluteString()) {}
};

namespace {

// Handed out when memory is too short for an error object of its own; never freed.
tessaro_error outOfMemory{TESSARO_INTERNAL, "out of memory", std::nullopt, std::nullopt};

tessaro_status statusFor(TessaroError::Code code) {
    switch (code) {
        case TessaroError::Code::notInstalled: return TESSARO_NOT_INSTALLED;
        case TessaroError::Code::network: return TESSARO_NETWORK;
        case TessaroError::Code::protocol: return TESSARO_PROTOCOL;
        case TessaroError::Code::notAuthorized: return TESSARO_NOT_AUTHORIZED;
        case TessaroError::Code::cancelled: return TESSARO_CANCELLED;
        case TessaroError::Code::denied: return TESSARO_DENIED;
        case TessaroError::Code::expired: return TESSARO_EXPIRED;
        case TessaroError::Code::notSignedIn: return TESSARO_NOT_SIGNED_IN;
        case TessaroError::Code::revoked: return TESSARO_REVOKED;
        case TessaroError::Code::conflict: return TESSARO_CONFLICT;
    }
    return TESSARO_INTERNAL;
}

// Records the failure in `*error` when the caller asked for it; never throws.
tessaro_status fail(tessaro_error** error, tessaro_status code, const char* message,
                    const TessaroError* kitError = nullptr) noexcept {
    if (!error) return code;
    try {
        auto made = std::make_unique<tessaro_error>();
        made->code = code;
        made->message = message;
        if (kitError && kitError->code() == TessaroError::Code::protocol) made->protocolCode = kitError->protocolCode();
        if (kitError && kitError->downloadURL()) made->downloadURL = kitError->downloadURL()->absoluteString();
        *error = made.release();
    } catch (...) {
        *error = &outOfMemory;
    }
    return code;
}

// Runs `body`, mapping whatever it throws to a status and an error object.
template <class Body>
tessaro_status guard(tessaro_error** error, Body&& body) noexcept {
    if (error) *error = nullptr;
    try {
        body();
        return TESSARO_OK;
    } catch (const TessaroError& e) {
        return fail(error, statusFor(e.code()), e.what(), &e);
    } catch (const TessaroKeychain::KeychainError& e) {
        return fail(error, TESSARO_STORE, e.what());
    } catch (const TessaroCrypto::CryptoError& e) {
        return fail(error, TESSARO_CRYPTO, e.what());
    } catch (const std::invalid_argument& e) {
        return fail(error, TESSARO_INVALID_ARGUMENT, e.what());
    } catch (const std::bad_alloc&) {
        if (error) *error = &outOfMemory;
        return TESSARO_INTERNAL;
    } catch (const std::exception& e) {
        return fail(error, TESSARO_INTERNAL, e.what());
    } catch (...) {
        return fail(error, TESSARO_INTERNAL, "unknown failure");
    }
}

[[noreturn]] void invalid(const std::string& what) { throw InvalidArgument(what); }

template <class T>
T& required(T* handle, const char* name) {
    if (!handle) invalid(std::string(name) + ": NULL");
    return *handle;
}

std::string requiredText(const char* text, const char* name) {
    if (!text) invalid(std::string(name) + ": NULL");
    return text;
}

std::optional<std::string> optionalText(const char* text) {
    if (!text) return std::nullopt;
    return std::string(text);
}

template <class T>
void clear(T** out) {
    if (out) *out = nullptr;
}

std::stop_token tokenOf(tessaro_cancel* cancel) { return cancel ? cancel->source.get_token() : std::stop_token{}; }

// A copy of `text` in malloc'd memory, as tessaro_free frees it.
char* copyText(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char* copyJSON(const nlohmann::json& form) { return copyText(forms::dump(form)); }

struct TextDeleter {
    void operator()(char* text) const noexcept { std::free(text); }
};
using OwnedText = std::unique_ptr<char, TextDeleter>;

struct SecretDeleter {
    void operator()(tessaro_secret* secret) const noexcept { tessaro_free_secret(secret); }
};
using OwnedSecret = std::unique_ptr<tessaro_secret, SecretDeleter>;

OwnedSecret makeSecret(const std::string& value) {
    OwnedSecret secret(static_cast<tessaro_secret*>(std::calloc(1, sizeof(tessaro_secret))));
    if (!secret) throw std::bad_alloc();
    secret->data = static_cast<char*>(std::malloc(value.size() + 1));
    if (!secret->data) throw std::bad_alloc();
    std::memcpy(secret->data, value.c_str(), value.size() + 1);
    secret->length = value.size();
    return secret;
}

// Wipes the kit's copy of a password once the host has its own.
struct WipePassword {
    std::string* password = nullptr;
    ~WipePassword() {
        if (password) zeroFill(*password);
    }
};

// Hands an item over: its form as JSON (without the password) and, when asked for, the password.
void giveItem(TessaroItem& item, char** itemJSON, tessaro_secret** password) {
    WipePassword wipe{&item.record.password};
    OwnedText text(copyJSON(forms::item(item, forms::Password::withheld)));
    OwnedSecret secret = password ? makeSecret(item.record.password) : nullptr;
    *itemJSON = text.release();
    if (password) *password = secret.release();
}

nlohmann::json parseForm(const char* text, const char* name) { return forms::parseObject(text, name); }

// Opens tessaro:// URLs through the host's function; activation reports still come from the
// desktop switcher the C client keeps.
class OpenerSwitcher final : public TessaroAppSwitching {
public:
    OpenerSwitcher(tessaro_open_fn open, void* user, std::shared_ptr<TessaroSystemAppSwitcher> foreground)
        : open_(open), user_(user), foreground_(std::move(foreground)) {}

    void open(const URL& url, const URL& downloadURL, std::stop_token stop) override {
        if (stop.stop_requested()) throw TessaroError::cancelled();
        if (open_(url.absoluteString().c_str(), user_) != 0) throw TessaroError::notInstalled(downloadURL);
    }
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override {
        return foreground_->onForeground(std::move(handler));
    }

private:
    tessaro_open_fn open_;
    void* user_;
    std::shared_ptr<TessaroSystemAppSwitcher> foreground_;
};

// A host's executor; its release runs when the last holder lets go.
class CExecutor final : public TessaroExecutor {
public:
    explicit CExecutor(const tessaro_executor& executor) : executor_(executor) {}
    ~CExecutor() override {
        if (executor_.release) executor_.release(executor_.user);
    }
    bool isCurrent() const override { return executor_.is_current && executor_.is_current(executor_.user); }
    void post(std::function<void()> call) override {
        auto task = std::make_unique<tessaro_task>();
        task->call = std::move(call);
        executor_.post(task.release(), executor_.user);
    }

private:
    tessaro_executor executor_;
};

// The host's onWaiting function with its user data; release runs once with the last copy.
struct WaitingCallback {
    tessaro_waiting_fn function;
    void* user;
    void (*release)(void*);
    ~WaitingCallback() {
        if (release) release(user);
    }
};

// A C caller may pass any int where an enumeration is declared; it is read as that int, since an
// enumeration value outside the enumeration's range is undefined in C++.
template <typename Enum>
std::underlying_type_t<Enum> rawValue(const Enum& value) {
    std::underlying_type_t<Enum> raw;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

}  // namespace

extern "C" {

const char* tessaro_status_name(tessaro_status status) {
    switch (rawValue(status)) {
        case TESSARO_OK: return "ok";
        case TESSARO_NOT_INSTALLED: return "not_installed";
        case TESSARO_NETWORK: return "network";
        case TESSARO_PROTOCOL: return "protocol";
        case TESSARO_NOT_AUTHORIZED: return "not_authorized";
        case TESSARO_CANCELLED: return "cancelled";
        case TESSARO_DENIED: return "denied";
        case TESSARO_EXPIRED: return "expired";
        case TESSARO_NOT_SIGNED_IN: return "not_signed_in";
        case TESSARO_REVOKED: return "revoked";
        case TESSARO_CONFLICT: return "conflict";
        case TESSARO_STORE: return "store";
        case TESSARO_CRYPTO: return "crypto";
        case TESSARO_INVALID_ARGUMENT: return "invalid_argument";
        case TESSARO_INTERNAL: return "internal";
    }
    return "unknown";
}

const char* tessaro_version(void) { return TESSARO_VERSION_STRING; }

void tessaro_free(void* text) { std::free(text); }

void tessaro_free_secret(tessaro_secret* secret) {
    if (!secret) return;
    if (secret->data) {
        zeroFill(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(secret->data), secret->length + 1));
        std::free(secret->data);
    }
    std::free(secret);
}

tessaro_status tessaro_error_code(const tessaro_error* error) { return error ? error->code : TESSARO_OK; }

const char* tessaro_error_message(const tessaro_error* error) { return error ? error->message.c_str() : ""; }

const char* tessaro_error_protocol_code(const tessaro_error* error) {
    return error && error->protocolCode ? error->protocolCode->c_str() : nullptr;
}

const char* tessaro_error_download_url(const tessaro_error* error) {
    return error && error->downloadURL ? error->downloadURL->c_str() : nullptr;
}

char* tessaro_error_json(const tessaro_error* error) {
    if (!error) return nullptr;
    try {
        // The error form of the kit's cases; the C interface's own statuses use their names.
        nlohmann::json form = {{"error", tessaro_status_name(error->code)}, {"message", error->message}};
        if (error->protocolCode) form["protocol_code"] = *error->protocolCode;
        if (error->downloadURL) form["download_url"] = *error->downloadURL;
        return copyJSON(form);
    } catch (...) {
        return nullptr;
    }
}

void tessaro_error_free(tessaro_error* error) {
    if (error != &outOfMemory) delete error;
}

tessaro_cancel* tessaro_cancel_new(void) { return new (std::nothrow) tessaro_cancel(); }

void tessaro_cancel_trigger(tessaro_cancel* cancel) {
    if (cancel) cancel->source.request_stop();
}

bool tessaro_cancel_is_triggered(const tessaro_cancel* cancel) { return cancel && cancel->source.stop_requested(); }

void tessaro_cancel_free(tessaro_cancel* cancel) { delete cancel; }

void tessaro_task_run(tessaro_task* task) {
    std::unique_ptr<tessaro_task> owned(task);
    if (!owned || !owned->call) return;
    try {
        owned->call();
    } catch (...) {
        // An onWaiting report that could not be delivered is dropped, as the client does.
    }
}

void tessaro_task_free(tessaro_task* task) { delete task; }

tessaro_client_options* tessaro_client_options_new(void) { return new (std::nothrow) tessaro_client_options(); }

void tessaro_client_options_free(tessaro_client_options* options) { delete options; }

tessaro_status tessaro_client_options_set_store(tessaro_client_options* options, tessaro_store_kind store,
                                                tessaro_error** error) {
    return guard(error, [&] {
        auto& o = required(options, "options");
        const auto raw = rawValue(store);
        if (raw != TESSARO_STORE_DESKTOP && raw != TESSARO_STORE_MEMORY) invalid("store: not a tessaro_store_kind");
        o.store = store;
    });
}

namespace {
void checkSeconds(double seconds, const char* name) {
    if (!std::isfinite(seconds) || seconds < 0) invalid(std::string(name) + ": must be finite and 0 or more");
}
}  // namespace

tessaro_status tessaro_client_options_set_poll_interval(tessaro_client_options* options, double seconds,
                                                        tessaro_error** error) {
    return guard(error, [&] {
        auto& o = required(options, "options");
        checkSeconds(seconds, "seconds");
        o.pollInterval = seconds;
    });
}

tessaro_status tessaro_client_options_set_authorize_timeout(tessaro_client_options* options, double seconds,
                                                            tessaro_error** error) {
    return guard(error, [&] {
        auto& o = required(options, "options");
        checkSeconds(seconds, "seconds");
        o.authorizeTimeout = seconds;
    });
}

tessaro_status tessaro_client_options_set_opener(tessaro_client_options* options, tessaro_open_fn open, void* user,
                                                 tessaro_error** error) {
    return guard(error, [&] {
        auto& o = required(options, "options");
        o.open = open;
        o.openUser = user;
    });
}

tessaro_status tessaro_client_new(const char* origin, const char* client_id, const char* redirect_url,
                                  const tessaro_client_options* options, tessaro_client** client,
                                  tessaro_error** error) {
    clear(client);
    return guard(error, [&] {
        required(client, "client");
        const auto url = [](const char* text, const char* name) {
            auto parsed = URL::parse(requiredText(text, name));
            if (!parsed) invalid(std::string(name) + ": not an absolute URL");
            return *parsed;
        };
        URL originURL = url(origin, "origin");
        std::string clientID = requiredText(client_id, "client_id");
        if (clientID.empty() || !detail::isValidUTF8(clientID)) invalid("client_id: empty or not UTF-8");
        TessaroConfiguration configuration{std::move(clientID), url(redirect_url, "redirect_url"), std::move(originURL),
                                           TessaroError::defaultDownloadURL()};

        const tessaro_client_options defaults;
        const tessaro_client_options& o = options ? *options : defaults;
        auto made = std::make_unique<tessaro_client>();
        made->foreground = std::make_shared<TessaroSystemAppSwitcher>();
        TessaroClient::Options clientOptions;
        if (o.store == TESSARO_STORE_MEMORY) clientOptions.store = std::make_shared<TessaroMemoryStore>();
        if (o.open) {
            clientOptions.switcher = std::make_shared<OpenerSwitcher>(o.open, o.openUser, made->foreground);
        } else {
            clientOptions.switcher = made->foreground;
        }
        clientOptions.pollInterval = o.pollInterval;
        clientOptions.authorizeTimeout = o.authorizeTimeout;
        made->client = TessaroClient::create(std::move(configuration), std::move(clientOptions));
        *client = made.release();
    });
}

void tessaro_client_free(tessaro_client* client) {
    if (!client) return;
    try {
        // The handlers hold host data: drop them before the client goes, so their release runs
        // here even when a background thread still holds the client for a moment.
        client->client->setOnWaiting({});
        client->client->setExecutor(nullptr);
        // A launch holds the client while it calls the host's opener: wait for it here, as the
        // destructor would, so that nothing calls into the host once this returns. The bound is
        // the destructor's own (a token request's transport timeout).
        client->client->drain(std::chrono::seconds(65));
    } catch (...) {}
    delete client;
}

tessaro_status tessaro_client_set_on_waiting(tessaro_client* client, tessaro_waiting_fn on_waiting, void* user,
                                             void (*release)(void* user), tessaro_error** error) {
    return guard(error, [&] {
        auto& c = required(client, "client");
        if (!on_waiting) {
            c.client->setOnWaiting({});
            if (release) release(user);
            return;
        }
        auto callback = std::make_shared<WaitingCallback>(WaitingCallback{on_waiting, user, nullptr});
        c.client->setOnWaiting([callback](const std::optional<TessaroWaiting>& waiting) {
            if (!waiting) {
                callback->function(nullptr, callback->user);
                return;
            }
            std::string text;
            try {
                text = forms::dump(forms::waiting(*waiting));
            } catch (...) {
                return;  // a report that cannot be written is dropped; the wait goes on
            }
            callback->function(text.c_str(), callback->user);
        });
        // Only now is `user` the client's: a failure above leaves it with the host, unreleased.
        callback->release = release;
    });
}

tessaro_status tessaro_client_set_executor(tessaro_client* client, const tessaro_executor* executor,
                                           tessaro_error** error) {
    return guard(error, [&] {
        auto& c = required(client, "client");
        if (!executor) {
            c.client->setExecutor(nullptr);
            return;
        }
        if (!executor->post) invalid("executor: post is NULL");
        c.client->setExecutor(std::make_shared<CExecutor>(*executor));
    });
}

tessaro_status tessaro_client_application_did_become_active(tessaro_client* client, tessaro_error** error) {
    return guard(error, [&] { required(client, "client").foreground->applicationDidBecomeActive(); });
}

tessaro_status tessaro_client_is_authorized(tessaro_client* client, bool* authorized, tessaro_error** error) {
    if (authorized) *authorized = false;
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(authorized, "authorized");
        *authorized = c.client->isAuthorized();
    });
}

tessaro_status tessaro_client_grant(tessaro_client* client, char** grant_json, tessaro_error** error) {
    clear(grant_json);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(grant_json, "grant_json");
        if (const auto grant = c.client->grant()) *grant_json = copyJSON(forms::grant(*grant));
    });
}

tessaro_status tessaro_client_reset(tessaro_client* client, tessaro_error** error) {
    return guard(error, [&] { required(client, "client").client->reset(); });
}

tessaro_status tessaro_client_authorize(tessaro_client* client, tessaro_cancel* cancel, char** grant_json,
                                        tessaro_error** error) {
    clear(grant_json);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(grant_json, "grant_json");
        const TessaroGrant grant = c.client->authorize(tokenOf(cancel));
        *grant_json = copyJSON(forms::grant(grant));
    });
}

tessaro_status tessaro_client_retry_open(tessaro_client* client, tessaro_cancel* cancel, tessaro_error** error) {
    return guard(error, [&] { required(client, "client").client->retryOpen(tokenOf(cancel)); });
}

tessaro_status tessaro_client_cancel_pending(tessaro_client* client, tessaro_error** error) {
    return guard(error, [&] { required(client, "client").client->cancelPending(); });
}

tessaro_status tessaro_client_revoke(tessaro_client* client, tessaro_cancel* cancel, tessaro_error** error) {
    return guard(error, [&] { required(client, "client").client->revoke(tokenOf(cancel)); });
}

tessaro_status tessaro_client_pick_item(tessaro_client* client, const char* hint_json, const char* reason,
                                        const char* vault_id, tessaro_cancel* cancel, char** item_json,
                                        tessaro_secret** password, tessaro_error** error) {
    clear(item_json);
    clear(password);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(item_json, "item_json");
        const TessaroHint hint = hint_json ? forms::hint(parseForm(hint_json, "hint_json")) : TessaroHint{};
        TessaroItem item = c.client->pickItem(hint, optionalText(reason), optionalText(vault_id), tokenOf(cancel));
        giveItem(item, item_json, password);
    });
}

tessaro_status tessaro_client_get_item(tessaro_client* client, const char* id, const char* vault_id,
                                       tessaro_cancel* cancel, char** item_json, tessaro_secret** password,
                                       tessaro_error** error) {
    clear(item_json);
    clear(password);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(item_json, "item_json");
        const std::string itemID = requiredText(id, "id");
        const std::string vault = requiredText(vault_id, "vault_id");
        TessaroItem item = c.client->getItem(itemID, vault, tokenOf(cancel));
        giveItem(item, item_json, password);
    });
}

tessaro_status tessaro_client_create_item(tessaro_client* client, const char* kind, const char* prefill_json,
                                          const char* reason, const char* vault_id, tessaro_cancel* cancel,
                                          char** created_json, tessaro_secret** password, tessaro_error** error) {
    clear(created_json);
    clear(password);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(created_json, "created_json");
        TessaroItemKind itemKind = TessaroItemKind::login;
        if (kind) {
            const auto known = itemKindFromRaw(kind);
            if (!known) invalid("kind: not one of login, credit_card, bank_card, api_key, server, secure_note");
            itemKind = *known;
        }
        const TessaroPrefill prefill =
            prefill_json ? forms::prefill(parseForm(prefill_json, "prefill_json")) : TessaroPrefill{};
        TessaroCreated created =
            c.client->createItem(itemKind, prefill, optionalText(reason), optionalText(vault_id), tokenOf(cancel));
        WipePassword wipe{created.item ? &created.item->record.password : nullptr};
        OwnedText text(copyJSON(forms::created(created, forms::Password::withheld)));
        OwnedSecret secret = password && created.item ? makeSecret(created.item->record.password) : nullptr;
        *created_json = text.release();
        if (password) *password = secret.release();
    });
}

tessaro_status tessaro_client_update_item(tessaro_client* client, const char* id, const char* vault_id,
                                          const char* patch_json, const char* reason, tessaro_cancel* cancel,
                                          char** updated_json, tessaro_error** error) {
    clear(updated_json);
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(updated_json, "updated_json");
        const std::string itemID = requiredText(id, "id");
        const std::string vault = requiredText(vault_id, "vault_id");
        nlohmann::json form = parseForm(requiredText(patch_json, "patch_json").c_str(), "patch_json");
        TessaroClient::Patch patch = forms::patch(form);
        // The new values are secrets: wipe the parsed copies on every way out.
        struct Wipe {
            nlohmann::json& form;
            TessaroClient::Patch& patch;
            ~Wipe() {
                for (auto& [field, value] : patch)
                    zeroFill(value);
                for (auto& member : form) {
                    if (member.is_string()) zeroFill(member.get_ref<std::string&>());
                }
            }
        } wipe{form, patch};
        const TessaroUpdated updated =
            c.client->updateItem(itemID, vault, patch, optionalText(reason), tokenOf(cancel));
        *updated_json = copyJSON(forms::updated(updated));
    });
}

tessaro_status tessaro_client_handle_callback(tessaro_client* client, const char* url, bool* taken,
                                              tessaro_error** error) {
    if (taken) *taken = false;
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(taken, "taken");
        const auto parsed = URL::parse(requiredText(url, "url"));
        *taken = parsed && c.client->handleCallback(*parsed);
    });
}

tessaro_status tessaro_client_drain(tessaro_client* client, uint32_t timeout_ms, bool* idle, tessaro_error** error) {
    if (idle) *idle = false;
    return guard(error, [&] {
        auto& c = required(client, "client");
        required(idle, "idle");
        *idle = c.client->drain(std::chrono::milliseconds(timeout_ms));
    });
}

tessaro_status tessaro_loopback_redirect_new(uint16_t port, const char* path, tessaro_loopback_redirect** redirect,
                                             tessaro_error** error) {
    clear(redirect);
    return guard(error, [&] {
        required(redirect, "redirect");
        LoopbackRedirect::Options options;
        options.port = port;
        if (path) options.path = path;
        *redirect = new tessaro_loopback_redirect(std::move(options));
    });
}

const char* tessaro_loopback_redirect_url(const tessaro_loopback_redirect* redirect) {
    return redirect ? redirect->url.c_str() : nullptr;
}

uint16_t tessaro_loopback_redirect_port(const tessaro_loopback_redirect* redirect) {
    return redirect ? redirect->receiver.port() : 0;
}

tessaro_status tessaro_loopback_redirect_set_client(tessaro_loopback_redirect* redirect, tessaro_client* client,
                                                    tessaro_error** error) {
    return guard(error, [&] {
        auto& r = required(redirect, "redirect");
        if (client) {
            r.receiver.setClient(client->client);
        } else {
            r.receiver.setHandler({});
        }
    });
}

void tessaro_loopback_redirect_free(tessaro_loopback_redirect* redirect) { delete redirect; }

}  // extern "C"

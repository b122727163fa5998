#include <tessaro/stores/secret_service_backend.hpp>

#include <tessaro/records/internal/utf8.hpp>

// The object-path calls (search, unlock and GetSecrets by path, with no proxy per item) are
// libsecret's "subject to change" API; they have kept their form since libsecret 0.7.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace tessaro {

namespace detail {
namespace {

using Clock = std::chrono::steady_clock;
using Status = std::int32_t;

constexpr const char* contentType = "application/octet-stream";
constexpr const char* watchdogKey = "tessaro-watchdog";

const SecretSchema itemSchema = {"org.tessaro.tessaro.sdk.Item",
                                 SECRET_SCHEMA_NONE,
                                 {
                                     {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                 },
                                 0,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};

// Owning handles for the GLib objects used here.
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct HashUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using HashPtr = std::unique_ptr<GHashTable, HashUnref>;

struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// A GList of object references, released with its elements.
class ObjectList {
public:
    ObjectList() = default;
    explicit ObjectList(GList* list) : list_(list) {}
    ObjectList(const ObjectList&) = delete;
    ObjectList& operator=(const ObjectList&) = delete;
    ~ObjectList() { g_list_free_full(list_, g_object_unref); }
    GList* get() const { return list_; }
    GList** out() { return &list_; }
    std::size_t size() const { return g_list_length(list_); }

private:
    GList* list_ = nullptr;
};

// Cancels the armed GCancellable when its deadline passes. One operation is armed at a time (the
// backend serialises them); a prompt switches the deadline to the prompt timeout while it runs.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds callTimeout, std::chrono::milliseconds promptTimeout)
        : callTimeout_(callTimeout), promptTimeout_(promptTimeout), thread_([this] { run(); }) {}

    ~Watchdog() {
        {
            std::lock_guard guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void arm(GCancellable* cancellable) {
        std::lock_guard guard(mutex_);
        target_ = cancellable;
        deadline_ = Clock::now() + callTimeout_;
        prompting_ = fired_ = firedDuringPrompt_ = false;
        wake_.notify_all();
    }

    void enterPrompt() { setPhase(true); }
    void leavePrompt() { setPhase(false); }

    // Whether the armed operation's deadline passed, and whether a prompt was running then.
    std::pair<bool, bool> outcome() {
        std::lock_guard guard(mutex_);
        return {fired_, firedDuringPrompt_};
    }

    void disarm() {
        std::lock_guard guard(mutex_);
        target_ = nullptr;
    }

private:
    void setPhase(bool prompting) {
        std::lock_guard guard(mutex_);
        if (!target_ || fired_) return;
        prompting_ = prompting;
        deadline_ = Clock::now() + (prompting ? promptTimeout_ : callTimeout_);
        wake_.notify_all();
    }

    void run() {
        std::unique_lock guard(mutex_);
        while (!stop_) {
            if (!target_ || fired_) {
                wake_.wait(guard);
                continue;
            }
            if (Clock::now() < deadline_) {
                wake_.wait_until(guard, deadline_);
                continue;
            }
            fired_ = true;
            firedDuringPrompt_ = prompting_;
            // Cancelled outside the mutex: cancellation handlers run on this thread and may call
            // into GDBus.
            ObjectPtr<GCancellable> target(G_CANCELLABLE(g_object_ref(target_)));
            guard.unlock();
            g_cancellable_cancel(target.get());
            target.reset();
            guard.lock();
        }
    }

    const std::chrono::milliseconds callTimeout_;
    const std::chrono::milliseconds promptTimeout_;
    std::mutex mutex_;
    std::condition_variable wake_;
    GCancellable* target_ = nullptr;
    Clock::time_point deadline_{};
    bool prompting_ = false;
    bool fired_ = false;
    bool firedDuringPrompt_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// A SecretService whose prompts tell the watchdog, so that waiting for a person gets the prompt
// timeout rather than the call timeout.
struct TessaroService {
    SecretService parent;
};
struct TessaroServiceClass {
    SecretServiceClass parentClass;
};

GType tessaroServiceType();
SecretServiceClass* parentServiceClass = nullptr;

Watchdog* watchdogOf(SecretService* service) {
    return static_cast<Watchdog*>(g_object_get_data(G_OBJECT(service), watchdogKey));
}

GVariant* promptSync(SecretService* self, SecretPrompt* prompt, GCancellable* cancellable,
                     const GVariantType* returnType, GError** error) {
    auto* watchdog = watchdogOf(self);
    if (watchdog) watchdog->enterPrompt();
    GVariant* result = parentServiceClass->prompt_sync(self, prompt, cancellable, returnType, error);
    if (watchdog) watchdog->leavePrompt();
    return result;
}

void promptAsync(SecretService* self, SecretPrompt* prompt, const GVariantType* returnType, GCancellable* cancellable,
                 GAsyncReadyCallback callback, gpointer userData) {
    if (auto* watchdog = watchdogOf(self)) watchdog->enterPrompt();
    parentServiceClass->prompt_async(self, prompt, returnType, cancellable, callback, userData);
}

GVariant* promptFinish(SecretService* self, GAsyncResult* result, GError** error) {
    if (auto* watchdog = watchdogOf(self)) watchdog->leavePrompt();
    return parentServiceClass->prompt_finish(self, result, error);
}

// libsecret's SecretService constructor points every service at the shared session bus (it sets
// "g-bus-type" after the given properties, and GDBusProxy then refuses a connection of our own).
// Ours skips that constructor, which only sets the proxy's properties, and constructs as a plain
// GDBusProxy from the properties openService() passes, its own connection included.
GObject* constructService(GType type, guint count, GObjectConstructParam* properties) {
    auto* proxyClass = static_cast<GObjectClass*>(g_type_class_peek(G_TYPE_DBUS_PROXY));
    return proxyClass->constructor(type, count, properties);
}

void tessaroServiceClassInit(gpointer klass, gpointer) {
    parentServiceClass = static_cast<SecretServiceClass*>(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->constructor = constructService;
    auto* serviceClass = static_cast<SecretServiceClass*>(klass);
    serviceClass->prompt_sync = promptSync;
    serviceClass->prompt_async = promptAsync;
    serviceClass->prompt_finish = promptFinish;
}

GType tessaroServiceType() {
    static const GType type = [] {
        GTypeInfo info{};
        info.class_size = sizeof(TessaroServiceClass);
        info.class_init = tessaroServiceClassInit;
        info.instance_size = sizeof(TessaroService);
        return g_type_register_static(SECRET_TYPE_SERVICE, "TessaroSecretService", &info, GTypeFlags(0));
    }();
    return type;
}

bool validAttribute(std::string_view text) {
    return text.find('\0') == std::string_view::npos && detail::isValidUTF8(text);
}

bool isRemoteError(const GError* error, const char* name) {
    if (!g_dbus_error_is_remote_error(error)) return false;
    gchar* remote = g_dbus_error_get_remote_error(error);
    const bool same = remote && std::string_view(remote) == name;
    g_free(remote);
    return same;
}

// An item that was found a moment ago and has since been removed.
bool isGone(const GError* error) {
    return g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
           isRemoteError(error, "org.freedesktop.Secret.Error.NoSuchObject");
}

Status statusForError(const GError* error) {
    // A library call that failed without saying why is still a failure, never a success.
    if (error == nullptr) return SecretServiceBackend::statusInternal;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED) ||
        isRemoteError(error, "org.freedesktop.Secret.Error.IsLocked")) {
        return SecretServiceBackend::statusLocked;
    }
    // We cancel only through the watchdog (handled before this); any other cancellation is the
    // service's prompt being dismissed.
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return SecretServiceBackend::statusPromptDismissed;
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
            case G_DBUS_ERROR_NO_SERVER:
            case G_DBUS_ERROR_NO_REPLY:
            case G_DBUS_ERROR_TIMEOUT:
            case G_DBUS_ERROR_TIMED_OUT:
            case G_DBUS_ERROR_DISCONNECTED:
            case G_DBUS_ERROR_BAD_ADDRESS:
            case G_DBUS_ERROR_NO_NETWORK:
            case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
            case G_DBUS_ERROR_SPAWN_FORK_FAILED:
            case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
            case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
            case G_DBUS_ERROR_SPAWN_FAILED:
            case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
            case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
            case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
            case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
            case G_DBUS_ERROR_SPAWN_FILE_INVALID:
            case G_DBUS_ERROR_SPAWN_NO_MEMORY: return SecretServiceBackend::statusNotAvailable;
            case G_DBUS_ERROR_ACCESS_DENIED:
            case G_DBUS_ERROR_AUTH_FAILED: return SecretServiceBackend::statusAccessDenied;
            default: return SecretServiceBackend::statusInternal;
        }
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_NOT_FOUND:  // the bus socket does not exist
            case G_IO_ERROR_CONNECTION_REFUSED:
            case G_IO_ERROR_CLOSED:
            case G_IO_ERROR_CONNECTION_CLOSED:
            case G_IO_ERROR_NOT_CONNECTED:
            case G_IO_ERROR_TIMED_OUT:
            case G_IO_ERROR_HOST_UNREACHABLE:
            case G_IO_ERROR_NETWORK_UNREACHABLE: return SecretServiceBackend::statusNotAvailable;
            case G_IO_ERROR_PERMISSION_DENIED: return SecretServiceBackend::statusAccessDenied;
            default: return SecretServiceBackend::statusInternal;
        }
    }
    return SecretServiceBackend::statusInternal;
}

// The object paths of the items a full read found, by what identifies the read: service, group and
// the set of accounts asked for. Only reads that found every account are remembered, so a key that
// was missing is always searched for again.
class PathMemory {
public:
    struct Entry {
        std::string owner;  // the service's unique bus name when the paths were found
        std::vector<std::pair<std::string, std::string>> paths;  // account, item path
    };

    static std::string keyOf(const TessaroKeychain::Query& query, std::span<const std::string> accounts) {
        // Attributes never hold NUL (validAttribute), so it separates the parts unambiguously.
        std::vector<std::string_view> sorted(accounts.begin(), accounts.end());
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        std::string key = query.service;
        key += query.accessGroup ? std::string("\0g", 2) + *query.accessGroup : std::string("\0-", 2);
        for (const auto account : sorted) {
            key += '\0';
            key += account;
        }
        return key;
    }

    const Entry* find(const std::string& key) const {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }

    void remember(const std::string& key, Entry entry) {
        // A host with very many stores only loses the shortcut, never memory.
        if (entries_.size() >= maxEntries && !entries_.contains(key)) entries_.clear();
        entries_.insert_or_assign(key, std::move(entry));
    }

    void forget(const std::string& key) { entries_.erase(key); }

    // Every read that found the item at `path`.
    void forgetPath(std::string_view path) {
        std::erase_if(entries_, [&](const auto& entry) {
            return std::any_of(entry.second.paths.begin(), entry.second.paths.end(),
                               [&](const auto& item) { return item.second == path; });
        });
    }

    // Every read of `query`'s service and group.
    void forgetStore(const TessaroKeychain::Query& query) {
        const std::string prefix = keyOf({query.service, std::nullopt, query.accessGroup}, {});
        std::erase_if(entries_, [&](const auto& entry) {
            return entry.first.compare(0, prefix.size(), prefix) == 0 &&
                   (entry.first.size() == prefix.size() || entry.first[prefix.size()] == '\0');
        });
    }

    void clear() { entries_.clear(); }

private:
    static constexpr std::size_t maxEntries = 64;
    std::map<std::string, Entry> entries_;
};

}  // namespace
}  // namespace detail

using namespace detail;

struct TESSARO_NO_EXPORT SecretServiceBackend::Impl {
    explicit Impl(Options o)
        : options(std::move(o)), watchdog(options.callTimeout, options.promptTimeout), signals(g_main_context_new()) {}
    ~Impl() {
        disconnect();
        g_main_context_unref(signals);
    }

    // One operation: serialised, armed with a fresh cancellable, mapped to a status.
    template <class Body>
    Status run(Body&& body) {
        std::lock_guard guard(mutex);
        ObjectPtr<GCancellable> cancellable(g_cancellable_new());
        watchdog.arm(cancellable.get());
        cancel = cancellable.get();
        failure = statusInternal;
        Status status = statusInternal;
        try {
            status = ensureConnected() ? body() : failure;
        } catch (...) {
            watchdog.disarm();
            cancel = nullptr;
            disconnect();
            throw;
        }
        watchdog.disarm();
        cancel = nullptr;
        if (status != TessaroKeychain::statusSuccess && status != TessaroKeychain::statusItemNotFound &&
            status != TessaroKeychain::statusDuplicateItem && status != statusInvalidParameter) {
            disconnect();  // start afresh next time (lost bus, restarted daemon, stale session)
        }
        return status;
    }

    // Records `raw` as the operation's failure, frees it (leaving null) and returns its status.
    Status fail(GError*& raw) {
        ErrorPtr error(std::exchange(raw, nullptr));
        const auto [fired, duringPrompt] = watchdog.outcome();
        if (fired) return failure = duringPrompt ? statusPromptDismissed : statusNotAvailable;
        return failure = statusForError(error.get());
    }

    // Signals for the service proxy (name owner, property changes) and the item signals below are
    // queued in a context of our own and dispatched here, so that nothing piles up in a main
    // context nobody runs.
    void drainSignals() {
        while (g_main_context_iteration(signals, FALSE)) {}
    }

    bool ensureConnected() {
        drainSignals();
        if (service && !g_dbus_connection_is_closed(g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get())))) {
            return true;
        }
        disconnect();
        GError* error = nullptr;
        g_main_context_push_thread_default(signals);
        auto* opened = openService(error);
        g_main_context_pop_thread_default(signals);
        if (!opened) {
            // Not reaching the bus (no address, no socket, refused), or a service that cannot set
            // up a session (one without its crypto support refuses OpenSession), is no usable
            // service.
            fail(error);
            if (failure == statusInternal) failure = statusNotAvailable;
            return false;
        }
        // Secrets travel only in an encrypted session: libsecret falls back to a plain-text one
        // when the service offers nothing else, and that is refused here.
        const gchar* algorithm = secret_service_get_session_algorithms(opened);
        if (algorithm == nullptr || std::string_view(algorithm) == "plain") {
            g_object_unref(opened);
            failure = statusNotAvailable;
            return false;
        }
        g_object_set_data(G_OBJECT(opened), watchdogKey, &watchdog);
        service.reset(opened);
        watchItems();
        return true;
    }

    // Subscribes to the service's item and collection signals, sent by its current owner: an item
    // deleted or changed forgets the reads that found it, a collection changed (locked, say) or
    // deleted forgets every read.
    void watchItems() {
        gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service.get()));
        if (!owner) return;  // nothing is remembered without an owner to tie it to
        GDBusConnection* connection = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()));
        g_main_context_push_thread_default(signals);
        for (const char* interface : {"org.freedesktop.Secret.Collection", "org.freedesktop.Secret.Service"}) {
            subscriptions.push_back(g_dbus_connection_signal_subscribe(
                connection, owner, interface, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
                   GVariant* parameters, gpointer data) {
                    auto& memory = static_cast<Impl*>(data)->memory;
                    const std::string_view name = member;
                    if (name == "ItemDeleted" || name == "ItemChanged") {
                        const gchar* path = nullptr;
                        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(o)"))) {
                            g_variant_get(parameters, "(&o)", &path);
                            memory.forgetPath(path);
                        } else {
                            memory.clear();
                        }
                    } else if (name == "CollectionChanged" || name == "CollectionDeleted") {
                        memory.clear();
                    }
                },
                this, nullptr));
        }
        g_main_context_pop_thread_default(signals);
        g_free(owner);
    }

    // The owner of the service's bus name now (empty when unknown).
    std::string currentOwner() const {
        gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service.get()));
        std::string name = owner ? owner : "";
        g_free(owner);
        return name;
    }

    // The values of a read remembered under `key`, with one GetSecrets call for the remembered
    // paths. false (and the read forgotten) when nothing is remembered or the shortcut might be
    // wrong: another owner of the service's name, any error, a path missing from the answer (the
    // item is gone, or locked), or a signal about one of the items queued before the answer.
    bool readRemembered(const std::string& key, TessaroSecretStore::Values& values) {
        const auto* entry = memory.find(key);
        if (!entry || !options.rememberItemPaths) return false;
        if (entry->owner.empty() || entry->owner != currentOwner()) {
            memory.forget(key);
            return false;
        }
        const auto paths = entry->paths;  // the signals below may forget the entry
        std::vector<const gchar*> wanted;
        for (const auto& [account, path] : paths)
            wanted.push_back(path.c_str());
        wanted.push_back(nullptr);
        GError* error = nullptr;
        HashPtr secrets(secret_service_get_secrets_for_dbus_paths_sync(service.get(), wanted.data(), cancel, &error));
        // One connection delivers in order: every signal the service sent before its answer is
        // queued by now, so an item deleted (even if its path was given to a new item since) or
        // changed since it was found is seen here.
        drainSignals();
        g_clear_error(&error);
        if (!secrets || !memory.find(key)) {
            memory.forget(key);
            return false;
        }
        TessaroSecretStore::Values found;
        for (const auto& [account, path] : paths) {
            auto* value = static_cast<SecretValue*>(g_hash_table_lookup(secrets.get(), path.c_str()));
            if (!value) {
                memory.forget(key);
                return false;
            }
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            found.emplace(account, SecureBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes), length)));
        }
        values = std::move(found);
        return true;
    }

    // A SecretService proxy on a session-bus connection of our own. GLib's shared session-bus
    // connection ends the process when the bus goes away (its exit-on-close default), and a
    // password kit must not kill its host: this connection has exit-on-close off, so a lost bus
    // only fails the calls (the next operation reconnects), and the host's process-wide settings
    // stay untouched. Nothing here touches the shared connection: libsecret makes every item,
    // collection and prompt proxy on the service's own connection.
    SecretService* openService(GError*& error) {
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancel, &error);
        if (!address) return nullptr;
        ObjectPtr<GDBusConnection> connection(
            g_dbus_connection_new_for_address_sync(address,
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, cancel, &error));
        g_free(address);
        if (!connection) return nullptr;
        g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
        // What secret_service_open_sync does, with our connection in place of the shared one.
        return static_cast<SecretService*>(g_initable_new(
            tessaroServiceType(), cancel, &error, "g-flags", G_DBUS_PROXY_FLAGS_NONE, "g-name",
            "org.freedesktop.secrets", "g-connection", connection.get(), "g-object-path", "/org/freedesktop/secrets",
            "g-interface-name", "org.freedesktop.Secret.Service", "flags", SECRET_SERVICE_OPEN_SESSION, nullptr));
    }

    void disconnect() {
        if (service) {
            GDBusConnection* connection = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()));
            for (const guint id : subscriptions)
                g_dbus_connection_signal_unsubscribe(connection, id);
            g_object_set_data(G_OBJECT(service.get()), watchdogKey, nullptr);
        }
        subscriptions.clear();
        memory.clear();  // paths belong to the connection's service
        service.reset();
        drainSignals();
    }

    static HashPtr attributesFor(const TessaroKeychain::Query& query) {
        HashPtr attributes(g_hash_table_new(g_str_hash, g_str_equal));
        auto put = [&](const char* name, const std::string& value) {
            g_hash_table_insert(attributes.get(), const_cast<char*>(name), const_cast<char*>(value.c_str()));
        };
        put("service", query.service);
        if (query.account) put("account", *query.account);
        if (query.accessGroup) put("access_group", *query.accessGroup);
        return attributes;
    }

    static bool inGroupOf(SecretItem* item, const TessaroKeychain::Query& query) {
        HashPtr attributes(secret_item_get_attributes(item));
        if (!attributes) return false;
        const auto* group = static_cast<const char*>(g_hash_table_lookup(attributes.get(), "access_group"));
        if (!query.accessGroup) return group == nullptr;
        return group && *query.accessGroup == group;
    }

    // Unlocks `objects` (items or collections; a prompt may show). false with `failure` set when
    // they stay locked.
    bool unlock(const std::vector<gpointer>& objects) {
        GList* list = nullptr;
        for (auto* object : objects)
            list = g_list_prepend(list, object);
        GError* error = nullptr;
        ObjectList unlocked;
        const gint count = secret_service_unlock_sync(service.get(), list, cancel, unlocked.out(), &error);
        g_list_free(list);
        if (error) {
            fail(error);
            return false;
        }
        if (count < static_cast<gint>(objects.size())) {
            failure = statusPromptDismissed;
            return false;
        }
        return true;
    }

    // Whether the default collection (where this store's items live) is locked; false with
    // `failure` set on error. No default collection counts as unlocked: nothing can be in it.
    bool defaultCollectionLocked(ObjectPtr<SecretCollection>& collection, bool& locked) {
        GError* error = nullptr;
        collection.reset(secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT,
                                                          SECRET_COLLECTION_NONE, cancel, &error));
        if (error) {
            fail(error);
            return false;
        }
        locked = collection && secret_collection_get_locked(collection.get());
        return true;
    }

    // A locked default keyring is unlocked (through its prompt) before any search: some services
    // (KeePassXC with a locked database) show their unlock dialog inside SearchItems and do not
    // answer it until then, which would run into the call timeout. false with `failure` set.
    bool unlockDefaultCollectionFirst() {
        ObjectPtr<SecretCollection> collection;
        bool locked = false;
        if (!defaultCollectionLocked(collection, locked)) return false;
        return !locked || unlock({collection.get()});
    }

    // The collection behind the "default" alias, created (as "Default keyring", which may show a
    // prompt) when there is none. false with `failure` set on error.
    bool defaultCollection(ObjectPtr<SecretCollection>& collection) {
        bool locked = false;
        if (!defaultCollectionLocked(collection, locked)) return false;
        if (collection) return true;
        GError* error = nullptr;
        collection.reset(secret_collection_create_sync(service.get(), "Default keyring", SECRET_COLLECTION_DEFAULT,
                                                       SECRET_COLLECTION_CREATE_NONE, cancel, &error));
        if (collection) return true;
        if (error) fail(error);
        else failure = statusInternal;
        return false;
    }

    // The items of this schema matching `query` exactly (group rule included), unlocked.
    // Returns false with `failure` set on error. A locked item hides its attributes and secret,
    // and a locked keyring may hide its items altogether, so neither is taken for "no item": both
    // are unlocked (a prompt may show) and the search is run again.
    bool search(const TessaroKeychain::Query& query, SecretSearchFlags extra, ObjectList& found,
                std::vector<SecretItem*>& matching) {
        if (!unlockDefaultCollectionFirst()) return false;
        auto attributes = attributesFor(query);
        for (int pass = 0; pass < 2; ++pass) {
            GError* error = nullptr;
            ObjectList items(secret_service_search_sync(service.get(), &itemSchema, attributes.get(),
                                                        SecretSearchFlags(SECRET_SEARCH_ALL | extra), cancel, &error));
            if (error) {
                fail(error);
                return false;
            }
            std::vector<gpointer> locked;
            for (GList* at = items.get(); at; at = at->next) {
                if (secret_item_get_locked(SECRET_ITEM(at->data))) locked.push_back(at->data);
            }
            ObjectPtr<SecretCollection> collection;
            if (locked.empty() && !items.get()) {
                bool collectionLocked = false;
                if (!defaultCollectionLocked(collection, collectionLocked)) return false;
                if (collectionLocked) locked.push_back(collection.get());
            }
            if (locked.empty()) {
                matching.clear();
                for (GList* at = items.get(); at; at = at->next) {
                    if (inGroupOf(SECRET_ITEM(at->data), query)) matching.push_back(SECRET_ITEM(at->data));
                }
                std::swap(*found.out(), *items.out());
                return true;
            }
            if (pass == 1) {
                failure = statusLocked;
                return false;
            }
            if (!unlock(locked)) return false;
        }
        return false;
    }

    // The object paths of the items of this schema matching `query`'s attributes (no group rule:
    // paths carry no attributes), all unlocked, in `paths`. false with `failure` set on error.
    // Locked items and a locked default keyring are unlocked first, as in search().
    bool searchPaths(const TessaroKeychain::Query& query, std::vector<std::string>& paths) {
        if (!unlockDefaultCollectionFirst()) return false;
        auto attributes = attributesFor(query);
        for (int pass = 0; pass < 2; ++pass) {
            GError* error = nullptr;
            gchar** unlocked = nullptr;
            gchar** locked = nullptr;
            if (!secret_service_search_for_dbus_paths_sync(service.get(), &itemSchema, attributes.get(), cancel,
                                                           &unlocked, &locked, &error)) {
                g_strfreev(unlocked);
                g_strfreev(locked);
                fail(error);
                return false;
            }
            paths.clear();
            for (gchar** at = unlocked; at && *at; ++at)
                paths.emplace_back(*at);
            const bool anyLocked = locked && *locked;
            std::vector<const gchar*> lockedPaths;
            for (gchar** at = locked; at && *at; ++at)
                lockedPaths.push_back(*at);
            ObjectPtr<SecretCollection> collection;
            bool collectionLocked = false;
            if (!anyLocked && paths.empty() && !defaultCollectionLocked(collection, collectionLocked)) {
                g_strfreev(unlocked);
                g_strfreev(locked);
                return false;
            }
            bool ok = true;
            if ((anyLocked || collectionLocked) && pass == 1) {
                failure = statusLocked;
                ok = false;
            } else if (anyLocked) {
                lockedPaths.push_back(nullptr);
                gchar** nowUnlocked = nullptr;
                const gint count = secret_service_unlock_dbus_paths_sync(service.get(), lockedPaths.data(), cancel,
                                                                         &nowUnlocked, &error);
                g_strfreev(nowUnlocked);
                if (error) {
                    fail(error);
                    ok = false;
                } else if (count < static_cast<gint>(lockedPaths.size() - 1)) {
                    failure = statusPromptDismissed;
                    ok = false;
                }
            } else if (collectionLocked) {
                ok = unlock({collection.get()});
            }
            g_strfreev(unlocked);
            g_strfreev(locked);
            if (!ok) return false;
            if (!anyLocked && !collectionLocked) return true;
        }
        return false;
    }

    // The attributes of each item path, fetched with one Properties.Get per item, all sent before
    // the first answer is awaited (one round trip for the lot). An item gone meanwhile gets no
    // value. false with `failure` set on error.
    bool attributesOf(const std::vector<std::string>& paths,
                      std::vector<std::optional<std::map<std::string, std::string>>>& attributes) {
        struct Call {
            Impl* self;
            GDBusConnection* connection;
            std::optional<std::map<std::string, std::string>>* slot;
            int* remaining;
            GError** firstError;
        };
        GDBusConnection* connection = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()));
        const gchar* name = g_dbus_proxy_get_name(G_DBUS_PROXY(service.get()));
        attributes.assign(paths.size(), std::nullopt);
        std::vector<Call> calls(paths.size());
        int remaining = static_cast<int>(paths.size());
        GError* firstError = nullptr;
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            calls[i] = Call{this, connection, &attributes[i], &remaining, &firstError};
            g_dbus_connection_call(
                connection, name, paths[i].c_str(), "org.freedesktop.DBus.Properties", "Get",
                g_variant_new("(ss)", "org.freedesktop.Secret.Item", "Attributes"), G_VARIANT_TYPE("(v)"),
                G_DBUS_CALL_FLAGS_NONE, -1, cancel,
                [](GObject*, GAsyncResult* result, gpointer data) {
                    auto* call = static_cast<Call*>(data);
                    GError* error = nullptr;
                    GVariant* reply = g_dbus_connection_call_finish(call->connection, result, &error);
                    --*call->remaining;
                    if (!reply) {
                        if (isGone(error) || *call->firstError) {
                            g_error_free(error);
                        } else {
                            *call->firstError = error;
                        }
                        return;
                    }
                    GVariant* boxed = nullptr;
                    g_variant_get(reply, "(v)", &boxed);
                    std::map<std::string, std::string> values;
                    if (g_variant_is_of_type(boxed, G_VARIANT_TYPE("a{ss}"))) {
                        GVariantIter iter;
                        const gchar* key = nullptr;
                        const gchar* value = nullptr;
                        g_variant_iter_init(&iter, boxed);
                        while (g_variant_iter_next(&iter, "{&s&s}", &key, &value))
                            values.emplace(key, value);
                    }
                    *call->slot = std::move(values);
                    g_variant_unref(boxed);
                    g_variant_unref(reply);
                },
                &calls[i]);
        }
        while (remaining > 0)
            g_main_context_iteration(context, TRUE);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        if (firstError) {
            fail(firstError);
            return false;
        }
        return true;
    }

    static bool validQuery(const TessaroKeychain::Query& query) {
        return validAttribute(query.service) && (!query.account || validAttribute(*query.account)) &&
               (!query.accessGroup || validAttribute(*query.accessGroup));
    }

    static ValuePtr valueOf(std::span<const std::uint8_t> bytes) {
        return ValuePtr(secret_value_new(reinterpret_cast<const gchar*>(bytes.data()),
                                         static_cast<gssize>(bytes.size()), contentType));
    }

    Options options;
    std::mutex mutex;
    Watchdog watchdog;
    GMainContext* signals;
    ObjectPtr<SecretService> service;
    std::vector<guint> subscriptions;  // signal subscriptions on the service's connection
    PathMemory memory;
    GCancellable* cancel = nullptr;   // the running operation's
    Status failure = statusInternal;  // the running operation's, when a helper returned false
};

SecretServiceBackend::SecretServiceBackend() : SecretServiceBackend(Options{}) {}

SecretServiceBackend::SecretServiceBackend(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SecretServiceBackend::~SecretServiceBackend() = default;

std::shared_ptr<SecretServiceBackend> SecretServiceBackend::shared() {
    static const auto backend = std::make_shared<SecretServiceBackend>();
    return backend;
}

std::string_view SecretServiceBackend::describeStatus(std::int32_t status) noexcept {
    switch (status) {
        case TessaroKeychain::statusSuccess: return "success";
        case TessaroKeychain::statusItemNotFound: return "item not found";
        case TessaroKeychain::statusDuplicateItem: return "duplicate item";
        case statusNotAvailable:
            return "no usable Secret Service on the session bus (none reachable, or it cannot open an encrypted "
                   "session)";
        case statusLocked: return "the keyring is locked";
        case statusPromptDismissed: return "the unlock prompt was dismissed or not answered";
        case statusAccessDenied: return "access to the Secret Service was denied";
        case statusInvalidParameter: return "service, key or access group is not valid UTF-8 text";
        case statusInternal: return "unexpected Secret Service failure";
        default: return {};
    }
}

std::int32_t SecretServiceBackend::copyMatching(const TessaroKeychain::Query& query, std::optional<SecureBytes>& data) {
    data.reset();
    if (!Impl::validQuery(query)) return statusInvalidParameter;
    return impl_->run([&]() -> Status {
        ObjectList found;
        std::vector<SecretItem*> items;
        if (!impl_->search(query, SECRET_SEARCH_LOAD_SECRETS, found, items)) return impl_->failure;
        if (items.empty()) return TessaroKeychain::statusItemNotFound;
        SecretItem* item = items.front();
        ValuePtr value(secret_item_get_secret(item));
        if (!value) {
            GError* error = nullptr;
            if (!secret_item_load_secret_sync(item, impl_->cancel, &error)) {
                if (isGone(error)) {
                    g_error_free(error);
                    return TessaroKeychain::statusItemNotFound;
                }
                return impl_->fail(error);
            }
            value.reset(secret_item_get_secret(item));
            if (!value) return statusInternal;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        data.emplace(std::span(reinterpret_cast<const std::uint8_t*>(bytes), length));
        return TessaroKeychain::statusSuccess;
    });
}

std::int32_t SecretServiceBackend::copyMatchingMany(const TessaroKeychain::Query& query,
                                                    std::span<const std::string> accounts,
                                                    TessaroSecretStore::Values& values) {
    values.clear();
    if (query.account || !Impl::validQuery(query)) return statusInvalidParameter;
    for (const auto& account : accounts) {
        if (!validAttribute(account)) return statusInvalidParameter;
    }
    if (accounts.empty()) return TessaroKeychain::statusSuccess;
    return impl_->run([&]() -> Status {
        const auto key = PathMemory::keyOf(query, accounts);
        if (impl_->readRemembered(key, values)) return TessaroKeychain::statusSuccess;
        impl_->memory.forget(key);
        // An item deleted between two of the calls below starts the whole read again, once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::vector<std::string> paths;
            if (!impl_->searchPaths(query, paths)) return impl_->failure;
            std::vector<std::optional<std::map<std::string, std::string>>> attributes;
            if (!impl_->attributesOf(paths, attributes)) return impl_->failure;

            // The first item of each wanted account that passes the group rule.
            std::map<std::string, std::string, std::less<>> pathOf;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                if (!attributes[i]) continue;
                const auto& item = *attributes[i];
                const auto account = item.find("account");
                const auto group = item.find("access_group");
                const bool inGroup = query.accessGroup ? group != item.end() && group->second == *query.accessGroup
                                                       : group == item.end();
                if (account == item.end() || !inGroup) continue;
                if (std::find(accounts.begin(), accounts.end(), account->second) == accounts.end()) continue;
                pathOf.emplace(account->second, paths[i]);
            }
            if (pathOf.empty()) return TessaroKeychain::statusSuccess;

            std::vector<const gchar*> wanted;
            for (const auto& [account, path] : pathOf)
                wanted.push_back(path.c_str());
            wanted.push_back(nullptr);
            GError* error = nullptr;
            HashPtr secrets(secret_service_get_secrets_for_dbus_paths_sync(impl_->service.get(), wanted.data(),
                                                                           impl_->cancel, &error));
            if (!secrets) {
                if (error && isGone(error)) {
                    g_error_free(error);
                    continue;
                }
                return error ? impl_->fail(error) : statusInternal;
            }
            for (const auto& [account, path] : pathOf) {
                auto* value = static_cast<SecretValue*>(g_hash_table_lookup(secrets.get(), path.c_str()));
                if (!value) continue;  // removed after the search
                gsize length = 0;
                const gchar* bytes = secret_value_get(value, &length);
                values.emplace(account, SecureBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes), length)));
            }
            // Remembered only when every wanted account was found: a key missing now is searched
            // for again next time, so one another process adds meanwhile is never read as absent.
            const std::set<std::string_view> wantedAccounts(accounts.begin(), accounts.end());
            if (impl_->options.rememberItemPaths && values.size() == wantedAccounts.size()) {
                PathMemory::Entry entry{impl_->currentOwner(), {}};
                for (const auto& [account, path] : pathOf)
                    entry.paths.emplace_back(account, path);
                impl_->memory.remember(key, std::move(entry));
            }
            return TessaroKeychain::statusSuccess;
        }
        return TessaroKeychain::statusItemNotFound;  // kept vanishing: read as absent
    });
}

std::int32_t SecretServiceBackend::add(const TessaroKeychain::Query& query, std::span<const std::uint8_t> value) {
    if (!query.account || !Impl::validQuery(query)) return statusInvalidParameter;
    return impl_->run([&]() -> Status {
        ObjectList found;
        std::vector<SecretItem*> items;
        if (!impl_->search(query, SECRET_SEARCH_NONE, found, items)) return impl_->failure;
        if (!items.empty()) return TessaroKeychain::statusDuplicateItem;
        auto attributes = Impl::attributesFor(query);
        auto secret = Impl::valueOf(value);
        const std::string label = "Tessaro: " + query.service + " " + *query.account;
        ObjectPtr<SecretCollection> collection;
        if (!impl_->defaultCollection(collection)) return impl_->failure;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (secret_collection_get_locked(collection.get()) && !impl_->unlock({collection.get()})) {
                return impl_->failure;
            }
            // Created without the replace flag: the service's replace matches every item whose
            // attributes include the new item's, so an ungrouped write would replace a grouped
            // store's item. The search above already ruled out an exact duplicate.
            GError* error = nullptr;
            ObjectPtr<SecretItem> item(secret_item_create_sync(collection.get(), &itemSchema, attributes.get(),
                                                               label.c_str(), secret.get(), SECRET_ITEM_CREATE_NONE,
                                                               impl_->cancel, &error));
            if (item) return TessaroKeychain::statusSuccess;
            const Status status = impl_->fail(error);
            if (status != statusLocked || attempt == 1) return status;
            // Locked between the check and the call: unlock and create again.
        }
        return statusInternal;
    });
}

std::int32_t SecretServiceBackend::update(const TessaroKeychain::Query& query, std::span<const std::uint8_t> value) {
    if (!Impl::validQuery(query)) return statusInvalidParameter;
    return impl_->run([&]() -> Status {
        ObjectList found;
        std::vector<SecretItem*> items;
        if (!impl_->search(query, SECRET_SEARCH_NONE, found, items)) return impl_->failure;
        auto secret = Impl::valueOf(value);
        bool updated = false;
        for (auto* item : items) {
            GError* error = nullptr;
            if (secret_item_set_secret_sync(item, secret.get(), impl_->cancel, &error)) {
                updated = true;
            } else if (isGone(error)) {
                g_error_free(error);
            } else {
                return impl_->fail(error);
            }
        }
        return updated ? TessaroKeychain::statusSuccess : TessaroKeychain::statusItemNotFound;
    });
}

std::int32_t SecretServiceBackend::remove(const TessaroKeychain::Query& query) {
    if (!Impl::validQuery(query)) return statusInvalidParameter;
    return impl_->run([&]() -> Status {
        impl_->memory.forgetStore(query);  // the items found may be gone after this
        ObjectList found;
        std::vector<SecretItem*> items;
        if (!impl_->search(query, SECRET_SEARCH_NONE, found, items)) return impl_->failure;
        if (items.empty()) return TessaroKeychain::statusItemNotFound;
        for (auto* item : items) {
            GError* error = nullptr;
            if (!secret_item_delete_sync(item, impl_->cancel, &error)) {
                if (!isGone(error)) return impl_->fail(error);
                g_error_free(error);  // removed meanwhile: what we wanted
            }
        }
        return TessaroKeychain::statusSuccess;
    });
}

}  // namespace tessaro

#include <tessaro/stores/testing/store_test_support.hpp>

#include <gtest/gtest.h>
#include <testing/child_process.hpp>
#include <libsecret/secret.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro::testing {

void requirePrivateKeyring() {
    const char* inKeyring = std::getenv("TESSARO_IN_KEYRING");
    ASSERT_TRUE(inKeyring && std::string(inKeyring) == "1")
        << "The store tests need the private keyring: from the repository root run "
           "`scripts/with-keyring ctest --preset asan -L stores_test` (or another test preset: "
           "default, tsan), or `scripts/with-keyring ctest -L stores_test` inside a build directory "
           "(they refuse to touch your own keyring).";
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    const std::string message = error ? error->message : "";
    if (error) g_error_free(error);
    ASSERT_NE(service, nullptr) << "No Secret Service on the session bus of scripts/with-keyring: " << message;
    g_object_unref(service);
}

std::string uniqueClientID(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

std::string uniqueRegisteredClientID(const std::string& prefix) {
    std::string id = "pmc_";
    for (const char c : uniqueClientID(prefix))
        id += std::isalnum(static_cast<unsigned char>(c)) ? c : 'x';
    return id;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

int countNotFailingWith(std::int32_t expected,
                        const std::vector<std::pair<const char*, std::function<void()>>>& operations) {
    int unexpected = 0;
    for (const auto& [what, operation] : operations) {
        try {
            operation();
            std::cerr << what << " did not throw\n";
            ++unexpected;
        } catch (const TessaroKeychain::KeychainError& error) {
            if (error.status() != expected) {
                std::cerr << what << " gave status " << error.status() << "\n";
                ++unexpected;
            }
        }
    }
    return unexpected;
}

std::vector<RawItem> searchItems(const std::map<std::string, std::string>& attributes) {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    for (const auto& [name, value] : attributes)
        g_hash_table_insert(table, const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    SecretCollection* collection = service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                              SECRET_COLLECTION_NONE, nullptr, &error)
                                           : nullptr;
    GList* items = collection
                       ? secret_collection_search_sync(collection, nullptr, table, SECRET_SEARCH_ALL, nullptr, &error)
                       : nullptr;
    g_hash_table_unref(table);
    if (collection) g_object_unref(collection);
    if (service) g_object_unref(service);
    if (error || !collection) {
        std::string message = error ? error->message : "no default collection";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    std::vector<RawItem> found;
    for (GList* at = items; at; at = at->next) {
        auto* item = SECRET_ITEM(at->data);
        RawItem raw;
        gchar* label = secret_item_get_label(item);
        raw.label = label ? label : "";
        g_free(label);
        GHashTable* itemAttributes = secret_item_get_attributes(item);
        GHashTableIter iter;
        gpointer key, value;
        g_hash_table_iter_init(&iter, itemAttributes);
        while (g_hash_table_iter_next(&iter, &key, &value))
            raw.attributes[static_cast<char*>(key)] = static_cast<char*>(value);
        g_hash_table_unref(itemAttributes);
        found.push_back(std::move(raw));
    }
    g_list_free_full(items, g_object_unref);
    return found;
}

PrivateBus::PrivateBus(bool fixedPath) : fixedPath_(fixedPath) { launch(); }

void PrivateBus::launch() {
    const std::string config = directory_ + "/bus.conf";
    const std::string listen = fixedPath_ ? "unix:path=" + directory_ + "/bus" : "unix:dir=" + directory_;
    if (fixedPath_) std::remove((directory_ + "/bus").c_str());
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>"
                          << listen
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--config-file=" + config, "--nofork", "--print-address=1"});
    const auto address = daemon_->lineWith("unix:");
    if (!address) throw std::runtime_error("dbus-daemon printed no address");
    address_ = *address;
}

namespace {
// A connection of our own to the bus at `address`.
GDBusConnection* connectTo(const std::string& address) {
    GError* error = nullptr;
    auto* connection =
        g_dbus_connection_new_for_address_sync(address.c_str(),
                                               GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                               nullptr, nullptr, &error);
    if (!connection) throw std::runtime_error(error->message);
    return connection;
}
}  // namespace

void PrivateBus::startKeyring() {
    for (const char* folder : {"home", "data", "run"}) {
        ::mkdir((directory_ + "/" + folder).c_str(), 0700);
    }
    // The login keyring's password comes on the standard input, read until its end.
    keyring_ = std::make_unique<ChildProcess>(
        "/usr/bin/gnome-keyring-daemon", std::vector<std::string>{"--foreground", "--unlock", "--components=secrets"},
        ChildOptions{.environment = {"DBUS_SESSION_BUS_ADDRESS=" + address_, "HOME=" + directory_ + "/home",
                                     "XDG_DATA_HOME=" + directory_ + "/data", "XDG_RUNTIME_DIR=" + directory_ + "/run"},
                     .input = "tessaro-test-keyring"});
    auto* connection = connectTo(address_);
    bool owned = false;
    for (int i = 0; i < 200 && !owned; ++i) {
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
            nullptr);
        if (reply) {
            gboolean has = FALSE;
            g_variant_get(reply, "(b)", &has);
            g_variant_unref(reply);
            owned = has;
        }
        if (!owned) g_usleep(50000);
    }
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    if (!owned) throw std::runtime_error("gnome-keyring-daemon did not take org.freedesktop.secrets");
}

void PrivateBus::stop() {
    if (connection_) {
        g_dbus_connection_close_sync(static_cast<GDBusConnection*>(connection_), nullptr, nullptr);
        g_object_unref(connection_);
        connection_ = nullptr;
    }
    keyring_.reset();
    daemon_.reset();
}

void PrivateBus::restart() {
    stop();
    launch();
}

PrivateBus::~PrivateBus() { stop(); }

namespace {
GDBusMessage* swallowCalls(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

// A Secret Service that cannot open an encrypted session: its properties are empty; OpenSession is
// refused (InvalidArgs), or with `offerPlain` (user data) answered for "plain" alone (the encrypted
// algorithm is NotSupported); everything else is UnknownMethod. Answered from the filter itself,
// on GDBus's worker thread.
GDBusMessage* refuseSessions(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer plain) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) return message;
    const std::string member = g_dbus_message_get_member(message) ? g_dbus_message_get_member(message) : "";
    GDBusMessage* reply = nullptr;
    if (member == "GetAll") {
        reply = g_dbus_message_new_method_reply(message);
        g_dbus_message_set_body(reply,
                                g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)));
    } else if (member == "OpenSession") {
        const gchar* algorithm = "";
        GVariant* body = g_dbus_message_get_body(message);
        if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(sv)")))
            g_variant_get(body, "(&sv)", &algorithm, nullptr);
        if (plain && std::string_view(algorithm) == "plain") {
            reply = g_dbus_message_new_method_reply(message);
            g_dbus_message_set_body(reply, g_variant_new("(@vo)", g_variant_new_variant(g_variant_new_string("")),
                                                         "/org/freedesktop/secrets/session/s1"));
        } else {
            reply = g_dbus_message_new_method_error(
                message, plain ? "org.freedesktop.DBus.Error.NotSupported" : "org.freedesktop.DBus.Error.InvalidArgs",
                "no encrypted session here");
        }
    } else {
        reply = g_dbus_message_new_method_error(message, "org.freedesktop.DBus.Error.UnknownMethod", "not here");
    }
    g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(reply);
    g_object_unref(message);
    return nullptr;
}
}  // namespace

void PrivateBus::ownSecretsNameRefusingSessions(bool offerPlain) {
    ownSecretsName();
    g_dbus_connection_add_filter(static_cast<GDBusConnection*>(connection_), refuseSessions,
                                 offerPlain ? GINT_TO_POINTER(1) : nullptr, nullptr);
}

void PrivateBus::ownSecretsNameSilently() {
    ownSecretsName();
    g_dbus_connection_add_filter(static_cast<GDBusConnection*>(connection_), swallowCalls, nullptr, nullptr);
}

void PrivateBus::ownSecretsName() {
    GError* error = nullptr;
    auto* connection = connectTo(address_);
    connection_ = connection;
    GVariant* reply =
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 4u),
                                    G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (!reply) throw std::runtime_error(error->message);
    guint32 result = 0;
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
    if (result != 1) throw std::runtime_error("could not own org.freedesktop.secrets");
}

}  // namespace tessaro::testing

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
        << "The store tests refuse to touch your own keyring: run them inside scripts/with-keyring "
           "(`scripts/with-keyring ctest --preset asan -L stores_test`).";
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << "No Secret Service on the session bus of scripts/with-keyring";
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

std::vector<std::map<std::string, std::string>> searchItems(const std::map<std::string, std::string>& attributes) {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    for (const auto& [name, value] : attributes)
        g_hash_table_insert(table, const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
    GError* error = nullptr;
    GList* items = secret_service_search_sync(nullptr, nullptr, table, SECRET_SEARCH_ALL, nullptr, &error);
    g_hash_table_unref(table);
    if (error) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    std::vector<std::map<std::string, std::string>> found;
    for (GList* at = items; at; at = at->next) {
        GHashTable* itemAttributes = secret_item_get_attributes(SECRET_ITEM(at->data));
        GHashTableIter iter;
        gpointer key, value;
        g_hash_table_iter_init(&iter, itemAttributes);
        auto& item = found.emplace_back();
        while (g_hash_table_iter_next(&iter, &key, &value))
            item[static_cast<char*>(key)] = static_cast<char*>(value);
        g_hash_table_unref(itemAttributes);
    }
    g_list_free_full(items, g_object_unref);
    return found;
}

PrivateBus::PrivateBus(bool fixedPath) : fixedPath_(fixedPath) { launch(); }

void PrivateBus::launch() {
    const std::string config = directory_ + "/bus.conf";
    const std::string listen = fixedPath_ ? "unix:path=" + directory_ + "/bus" : "unix:dir=" + directory_;
    if (fixedPath_) std::remove((directory_ + "/bus").c_str());
    std::ofstream(config) << "<busconfig><type>session</type><listen>" << listen
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                             "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    daemon_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--config-file=" + config, "--nofork", "--print-address=1"});
    const auto address = daemon_->lineWith("unix:");
    if (!address) throw std::runtime_error("dbus-daemon printed no address");
    address_ = *address;
}

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
    ChildProcess owned("/usr/bin/gdbus", {"wait", "--address", address_, "--timeout", "10", "org.freedesktop.secrets"});
    if (owned.wait().status != 0) throw std::runtime_error("gnome-keyring-daemon did not take org.freedesktop.secrets");
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
// The filter of a name owner that answers calls as `answer` (user data) says, from the filter
// itself on GDBus's worker thread: NotSupported to every call, except with plainSessionOnly an
// OpenSession for the "plain" algorithm.
GDBusMessage* answerCalls(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer answer) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) return message;
    const auto mode = static_cast<SecretsAnswer>(GPOINTER_TO_INT(answer));
    const gchar* algorithm = "";
    GVariant* body = g_dbus_message_get_body(message);
    if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(sv)"))) g_variant_get(body, "(&sv)", &algorithm, nullptr);
    GDBusMessage* reply = nullptr;
    if (mode == SecretsAnswer::plainSessionOnly && std::string_view(algorithm) == "plain") {
        reply = g_dbus_message_new_method_reply(message);
        g_dbus_message_set_body(reply, g_variant_new("(@vo)", g_variant_new_variant(g_variant_new_string("")),
                                                     "/org/freedesktop/secrets/session/s1"));
    } else if (mode != SecretsAnswer::never) {
        reply = g_dbus_message_new_method_error(message, "org.freedesktop.DBus.Error.NotSupported", "not here");
    }
    if (reply) {
        g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(reply);
    }
    g_object_unref(message);
    return nullptr;
}
}  // namespace

void PrivateBus::ownSecretsName(SecretsAnswer answer) {
    GError* error = nullptr;
    auto* connection =
        g_dbus_connection_new_for_address_sync(address_.c_str(),
                                               GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                               nullptr, nullptr, &error);
    if (!connection) throw std::runtime_error(error->message);
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
    g_dbus_connection_add_filter(connection, answerCalls, GINT_TO_POINTER(static_cast<int>(answer)), nullptr);
}

}  // namespace tessaro::testing

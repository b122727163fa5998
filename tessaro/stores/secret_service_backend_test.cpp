// The Secret Service backend when there is no Secret Service to talk to, or only a locked one.
// Each case runs in a child process of this test binary whose session bus is set before any D-Bus
// use, as a host would find it.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <testing/child_process.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/secret_service_backend.hpp>

namespace tessaro {
namespace {

using testing::bytesOf;
using Query = TessaroKeychain::Query;
constexpr auto notAvailable = SecretServiceBackend::statusNotAvailable;
const std::vector<std::string> sessionKeys = {"grant_id", "account_id", "access_token", "refresh_token"};

// In the child: every backend operation and every store operation must fail with "no Secret
// Service". Returns the number of operations that did not.
int countUnexpected(bool silentService) {
    // A service that never answers must be given up on: a short call timeout keeps the test quick.
    SecretServiceBackend::Options options;
    options.callTimeout = silentService ? std::chrono::milliseconds(300) : std::chrono::milliseconds(10000);
    auto backend = std::make_shared<SecretServiceBackend>(options);
    const Query key{"org.tessaro.tessaro.sdk.nowhere", "grant_id", std::nullopt};
    const Query all{"org.tessaro.tessaro.sdk.nowhere", std::nullopt, "group"};
    std::optional<SecureBytes> data;
    int unexpected = 0;
    for (const auto& [what, status] :
         std::vector<std::pair<const char*, std::int32_t>>{{"copyMatching", backend->copyMatching(key, data)},
                                                           {"add", backend->add(key, bytesOf("v"))},
                                                           {"update", backend->update(key, bytesOf("v"))},
                                                           {"remove", backend->remove(key)},
                                                           {"remove all", backend->remove(all)}}) {
        if (status != notAvailable) std::cerr << what << " gave status " << status << "\n";
        unexpected += status != notAvailable;
    }
    unexpected += data.has_value();  // nothing may be read

    // Through the store (its writes and removals only pass the backend's status on); otherwise with
    // the store a client builds by default (the process-wide backend).
    TessaroKeychain store("no-service-client", std::nullopt, silentService ? backend : nullptr);
    return unexpected +
           testing::countNotFailingWith(notAvailable, {{"read", [&] { (void)store.read("grant_id"); }},
                                                       {"readMany", [&] { (void)store.readMany(sessionKeys); }}});
}

// The Secret Service methods that `operation` calls, in order, as dbus-monitor sees them on the
// session bus; a Peer.Ping sent afterwards marks the end of what it saw.
std::vector<std::string> secretServiceCallsOf(const std::function<void()>& operation) {
    testing::ChildProcess monitor("/usr/bin/dbus-monitor",
                                  {"--session", "type='method_call',destination='org.freedesktop.secrets'"});
    std::vector<std::string> members;
    if (!monitor.lineWith("NameLost")) return members;  // a monitor from here on
    operation();
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        GVariant* pong = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                     "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                     G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (pong) g_variant_unref(pong);
        g_object_unref(bus);
    }
    monitor.lineWith("member=Ping");
    std::istringstream lines(monitor.out());
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find("member=");
        if (!line.starts_with("method call") || at == std::string::npos) continue;
        if (line.substr(at + 7) == "Ping") break;  // the end marker
        members.push_back(line.substr(at + 7));
    }
    return members;
}

// ---- warm reads: what other connections do between two reads of one store ----

constexpr const char* warmClient = "warm-client";

// A store's readMany of every key as text: the values in key order, or the failure's status.
std::string readAll(TessaroKeychain& store) {
    try {
        std::string text;
        for (const auto& [key, value] : store.readMany(sessionKeys))
            text += key + "=" + std::string(value.view()) + "\n";
        return text;
    } catch (const TessaroKeychain::KeychainError& error) {
        return "status " + std::to_string(error.status());
    }
}

// A store of the warm reads' client on a backend of its own: to the service, a connection like
// another process's.
TessaroKeychain warmStore() {
    SecretServiceBackend::Options options;
    options.promptTimeout = std::chrono::milliseconds(3000);  // no display: the prompt is never answered
    return TessaroKeychain(warmClient, std::nullopt, std::make_shared<SecretServiceBackend>(options));
}

// Through libsecret's own connection: locks the default collection; false when it cannot.
bool lockDefaultCollection() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    SecretCollection* collection = service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                              SECRET_COLLECTION_NONE, nullptr, nullptr)
                                           : nullptr;
    GList one{collection, nullptr, nullptr};
    const bool locked = collection && secret_service_lock_sync(service, &one, nullptr, nullptr, nullptr) == 1;
    if (collection) g_object_unref(collection);
    if (service) g_object_unref(service);
    return locked;
}

// Through libsecret's own connection: rewrites, in place, the attributes of the warm client's item
// for `account` so that it belongs to an access group; false when it cannot.
bool moveIntoGroup(const char* account) {
    const std::string serviceName = std::string(TessaroKeychain::servicePrefix) + warmClient;
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(serviceName.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account));
    GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    g_hash_table_insert(attributes, const_cast<char*>("access_group"), const_cast<char*>("elsewhere"));
    const bool moved =
        items && secret_item_set_attributes_sync(SECRET_ITEM(items->data), nullptr, attributes, nullptr, nullptr);
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    return moved;
}

void writeSession(TessaroKeychain& store, const std::string& generation) {
    for (const auto& key : sessionKeys)
        store.writeString(key, key + "-" + generation);
}

// In a child with a bus and keyring of its own (the collection gets locked): one store reads all
// keys while other connections change a value in place, move an item into an access group in
// place, delete one, add it back, wipe and save a new session with the same keys, and lock the
// keyring. Every read must return what a fresh store reads; a warm read is one GetSecrets call,
// and a read after a deletion searches again. Once locked, and its unlock prompt cannot be
// answered, every operation fails with "prompt dismissed" (none looks like success or "not
// found"), and the keyring is unlocked before any search: a service may hold a search until its
// own unlock dialog is answered. The number of faults.
int countUnexpectedAcrossOtherConnections() {
    testing::PrivateBus bus;
    bus.startKeyring();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    auto store = warmStore();
    writeSession(store, "1");
    int unexpected = 0;
    const auto expect = [&](bool ok, const std::string& what) {
        if (!ok) std::cerr << what << "\n";
        unexpected += !ok;
    };
    // Reads once, checked against a fresh store; the Secret Service calls it made.
    const auto readAndCompare = [&](const std::string& after) {
        std::string mine;
        const auto calls = secretServiceCallsOf([&] { mine = readAll(store); });
        auto fresh = warmStore();
        const auto expected = readAll(fresh);
        expect(mine == expected, "after " + after + ": read\n" + mine + "\nwhere a fresh store reads\n" + expected);
        return calls;
    };
    const auto other = [&](const std::function<void(TessaroKeychain&)>& change) {
        auto elsewhere = warmStore();
        change(elsewhere);
    };

    readAndCompare("the first write");
    const auto warm = readAndCompare("a read");
    expect(warm == std::vector<std::string>{"GetSecrets"}, "a warm read made other calls than one GetSecrets");
    other([](auto& elsewhere) { elsewhere.writeString("access_token", "changed"); });
    readAndCompare("a change in place");
    expect(moveIntoGroup("access_token"), "could not move an item");
    readAndCompare("an item moved into an access group in place");
    other([](auto& elsewhere) { elsewhere.remove("refresh_token"); });
    expect(std::ranges::count(readAndCompare("a deletion"), "SearchItems") > 0,
           "the read after a deletion did not search");
    expect(std::ranges::count(readAndCompare("a read missing a key"), "SearchItems") > 0,
           "a read missing a key did not search");
    other([](auto& elsewhere) { elsewhere.writeString("refresh_token", "added"); });
    readAndCompare("the missing key added");
    readAndCompare("a read");
    other([](auto& elsewhere) {
        elsewhere.deleteAll();
        writeSession(elsewhere, "2");
    });
    readAndCompare("a wipe and a new session with the same keys");

    expect(lockDefaultCollection(), "could not lock the keyring");
    const auto locked = readAndCompare("locking the keyring");
    const auto unlock = std::ranges::find(locked, "Unlock");
    expect(unlock != locked.end() && unlock < std::ranges::find(locked, "SearchItems"), "searched before unlocking");
    return unexpected +
           testing::countNotFailingWith(SecretServiceBackend::statusPromptDismissed,
                                        {{"read", [&] { (void)store.read("grant_id"); }},
                                         {"read missing", [&] { (void)store.read("no_such_key"); }},
                                         {"write existing", [&] { store.writeString("grant_id", "changed"); }},
                                         {"write new", [&] { store.writeString("no_such_key", "a"); }},
                                         {"remove", [&] { store.remove("grant_id"); }},
                                         {"deleteAll", [&] { store.deleteAll(); }},
                                         {"readMany", [&] { (void)store.readMany(sessionKeys); }}});
}

// In a child with a bus and a keyring of its own: the bus goes away under a working store. The
// calls fail with "no Secret Service" and the process lives on (GLib's shared connection would
// end it); once the bus is back at the same address, the next call reconnects and works.
int countUnexpectedAcrossBusLoss() {
    testing::PrivateBus bus(true);
    bus.startKeyring();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    TessaroKeychain store("bus-loss-client", std::nullopt, std::make_shared<SecretServiceBackend>());
    int unexpected = 0;
    const auto roundTrip = [&](const char* value) {
        try {
            store.writeString("grant_id", value);
            unexpected += store.readMany(sessionKeys).at("grant_id").view() != value;
        } catch (const std::exception& error) {
            std::cerr << "round trip failed: " << error.what() << "\n";
            ++unexpected;
        }
    };
    roundTrip("before");
    bus.stop();
    unexpected += testing::countNotFailingWith(
        notAvailable, {{"read without a bus", [&] { (void)store.read("grant_id"); }},
                       {"readMany without a bus", [&] { (void)store.readMany(sessionKeys); }},
                       {"write without a bus", [&] { store.writeString("grant_id", "lost"); }}});
    bus.restart();
    bus.startKeyring();
    roundTrip("after");
    return unexpected;
}

// Before main: a child started by the tests below does its part and exits.
const int childModes = [] {
    using testing::runChildMode;
    const auto none = [](int faults) { return faults == 0 ? 0 : 1; };
    runChildMode("nowhere", [&] { return none(countUnexpected(false)); });
    runChildMode("silent", [&] { return none(countUnexpected(true)); });
    runChildMode("bus-loss", [&] { return none(countUnexpectedAcrossBusLoss()); });
    runChildMode("other-connections", [&] { return none(countUnexpectedAcrossOtherConnections()); });
    return 0;
}();

// Runs this binary as a child in `mode` with `busAddress` as its session bus and no display (an
// unlock prompt is never answered); its exit status.
int runChild(const std::string& mode, const std::string& busAddress) {
    return testing::runSelf(
        mode, {"DBUS_SESSION_BUS_ADDRESS=" + busAddress, "DISPLAY", "WAYLAND_DISPLAY", "TESSARO_IN_KEYRING"});
}

// Children that set up a bus of their own start from one leading nowhere.
constexpr const char* noBus = "unix:path=/nonexistent/tessaro/session-bus";

// A bus address leading nowhere, a bus without a Secret Service, and one whose Secret Service
// never answers.
TEST(SecretServiceUnreachable, NoBusNoServiceOrASilentService) {
    EXPECT_EQ(runChild("nowhere", noBus), 0);
    testing::PrivateBus bus;
    EXPECT_EQ(runChild("nowhere", bus.address()), 0);
    bus.ownSecretsName(testing::SecretsAnswer::never);
    EXPECT_EQ(runChild("silent", bus.address()), 0);
}

// A bus and keyring of its own (the other tests share theirs): killed under a working store.
TEST(SecretServiceBusLoss, CallsFailWhileTheBusIsGoneAndTheHostLivesOn) { EXPECT_EQ(runChild("bus-loss", noBus), 0); }

// A service that cannot open an encrypted session: it refuses OpenSession outright, or offers
// only plain text (which libsecret would fall back to).
TEST(SecretServiceUnreachable, AServiceWithoutAnEncryptedSession) {
    for (const auto answer : {testing::SecretsAnswer::refuseSessions, testing::SecretsAnswer::plainSessionOnly}) {
        testing::PrivateBus bus;
        bus.ownSecretsName(answer);
        EXPECT_EQ(runChild("nowhere", bus.address()), 0) << static_cast<int>(answer);
    }
}

// In a keyring of its own: locking the shared test keyring would disturb the other tests.
TEST(SecretServiceWarmReads, EveryReadSeesWhatOtherProcessesDidAndALockedKeyringFailsEveryOperation) {
    EXPECT_EQ(runChild("other-connections", noBus), 0);
}

}  // namespace
}  // namespace tessaro

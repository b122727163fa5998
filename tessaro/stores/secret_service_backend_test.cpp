// The Secret Service backend when there is no Secret Service to talk to, or only a locked one.
// Each case runs in a child process of this test binary whose session bus is set before any D-Bus
// use, as a host would find it.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tessaro/stores/testing/store_test_support.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/secret_service_backend.hpp>

extern char** environ;

namespace tessaro {
namespace {

using testing::bytesOf;
using Query = TessaroKeychain::Query;
constexpr auto notAvailable = SecretServiceBackend::statusNotAvailable;
constexpr const char* childModeVariable = "TESSARO_STORES_TEST_CHILD";
const std::vector<std::string> sessionKeys = {"grant_id", "account_id", "access_token"};

// Runs each store operation; counts those that did not throw KeychainError with `expected`.
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
    for (const auto& [what, status] : std::vector<std::pair<const char*, std::int32_t>>{
             {"copyMatching", backend->copyMatching(key, data)}, {"add", backend->add(key, bytesOf("v"))},
             {"update", backend->update(key, bytesOf("v"))}, {"remove", backend->remove(key)},
             {"remove all", backend->remove(all)}}) {
        if (status != notAvailable) std::cerr << what << " gave status " << status << "\n";
        unexpected += status != notAvailable;
    }
    unexpected += data.has_value();  // nothing may be read

    // Through the store's public API; otherwise with the store a client builds by default (the
    // process-wide backend).
    TessaroKeychain store("no-service-client", std::nullopt, silentService ? backend : nullptr);
    return unexpected + countNotFailingWith(notAvailable, {
        {"read", [&] { (void)store.read("grant_id"); }},
        {"write", [&] { store.writeString("grant_id", "g"); }},
        {"remove", [&] { store.remove("grant_id"); }},
        {"deleteAll", [&] { store.deleteAll(); }},
        {"readMany", [&] { (void)store.readMany(sessionKeys); }}});
}

// The Secret Service methods that `operation` calls, in order, as dbus-monitor sees them on the
// session bus; a Peer.Ping sent afterwards marks the end of what it saw.
std::vector<std::string> secretServiceCallsOf(const std::function<void()>& operation) {
    char path[] = "/tmp/tessaro-monitor-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return {};
    const auto contents = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    std::string rule = "type='method_call',destination='org.freedesktop.secrets'";
    char program[] = "dbus-monitor";
    char session[] = "--session";
    char* argv[] = {program, session, rule.data(), nullptr};
    pid_t monitor = -1;
    const bool started = posix_spawnp(&monitor, program, &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fd);
    const auto waitFor = [&](const char* needle) {
        for (int i = 0; i < 1000; ++i) {
            if (contents().find(needle) != std::string::npos) return true;
            ::usleep(10000);
        }
        return false;
    };
    std::vector<std::string> members;
    if (started && waitFor("NameLost")) {  // a monitor from here on
        operation();
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (bus) {
            GVariant* pong = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                         "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                         G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            if (pong) g_variant_unref(pong);
            g_object_unref(bus);
        }
        waitFor("member=Ping");
        std::istringstream lines(contents());
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.find("member=");
            if (line.starts_with("method call") && at != std::string::npos) members.push_back(line.substr(at + 7));
        }
    }
    if (monitor > 0) {
        ::kill(monitor, SIGTERM);
        ::waitpid(monitor, nullptr, 0);
    }
    ::unlink(path);
    return members;
}

// In a child with a keyring of its own: a session is stored, then the keyring is locked and its
// unlock prompt cannot be shown (no display). Every operation fails with "prompt dismissed";
// none looks like success or like "not found". Returns the number of operations that did not.
int countUnexpectedWhenLocked() {
    SecretServiceBackend::Options options;
    options.promptTimeout = std::chrono::milliseconds(3000);
    auto backend = std::make_shared<SecretServiceBackend>(options);
    TessaroKeychain store("locked-client", std::nullopt, backend);
    store.writeString("grant_id", "g");

    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    SecretCollection* collection = service ? secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error) : nullptr;
    if (!collection) {
        std::cerr << "no default collection to lock\n";
        return 1;
    }
    GList one{collection, nullptr, nullptr};
    if (secret_service_lock_sync(service, &one, nullptr, nullptr, &error) != 1) {
        std::cerr << "could not lock the default collection\n";
        return 1;
    }
    // The keyring is unlocked before anything is searched: a service may hold a search until its
    // own unlock dialog is answered.
    int unexpected = 0;
    const auto calls = secretServiceCallsOf([&] {
        try {
            (void)store.readMany(sessionKeys);
        } catch (const TessaroKeychain::KeychainError&) {
        }
    });
    const auto first = [&](const char* member) { return std::find(calls.begin(), calls.end(), member) - calls.begin(); };
    if (first("Unlock") == static_cast<std::ptrdiff_t>(calls.size()) || first("SearchItems") < first("Unlock")) {
        std::cerr << "searched before unlocking:";
        for (const auto& call : calls) std::cerr << " " << call;
        std::cerr << "\n";
        ++unexpected;
    }
    unexpected += countNotFailingWith(SecretServiceBackend::statusPromptDismissed, {
        {"read", [&] { (void)store.read("grant_id"); }},
        {"read missing", [&] { (void)store.read("account_id"); }},
        {"write existing", [&] { store.writeString("grant_id", "changed"); }},
        {"write new", [&] { store.writeString("account_id", "a"); }},
        {"remove", [&] { store.remove("grant_id"); }},
        {"deleteAll", [&] { store.deleteAll(); }},
        {"readMany", [&] { (void)store.readMany(sessionKeys); }}});
    g_object_unref(collection);
    g_object_unref(service);
    return unexpected;
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
            if (store.readMany(sessionKeys).at("grant_id").view() == value) return;
            std::cerr << "read back something else\n";
        } catch (const std::exception& error) {
            std::cerr << "round trip failed: " << error.what() << "\n";
        }
        ++unexpected;
    };
    roundTrip("before");
    bus.stop();
    unexpected += countNotFailingWith(notAvailable, {
        {"read without a bus", [&] { (void)store.read("grant_id"); }},
        {"readMany without a bus", [&] { (void)store.readMany(sessionKeys); }},
        {"write without a bus", [&] { store.writeString("grant_id", "lost"); }}});
    bus.restart();
    bus.startKeyring();
    roundTrip("after");
    return unexpected;
}

// Before main: a child started by the tests below does its check and exits.
const int childHook = [] {
    const char* mode = std::getenv(childModeVariable);
    if (!mode) return 0;
    if (std::strcmp(mode, "locked") == 0) std::_Exit(countUnexpectedWhenLocked() == 0 ? 0 : 1);
    if (std::strcmp(mode, "bus-loss") == 0) std::_Exit(countUnexpectedAcrossBusLoss() == 0 ? 0 : 1);
    std::_Exit(countUnexpected(std::strcmp(mode, "silent") == 0) == 0 ? 0 : 1);
}();

// Runs this binary as a child with `busAddress` as its session bus, or (without one) inside a
// private keyring of its own; its exit status.
int runChild(const std::string& mode, const std::optional<std::string>& busAddress) {
    std::vector<std::string> entries = {std::string(childModeVariable) + "=" + mode};
    if (busAddress) entries.push_back("DBUS_SESSION_BUS_ADDRESS=" + *busAddress);
    for (char** at = environ; *at; ++at) {
        const std::string_view entry = *at;
        const auto replaced = [&](std::string_view name) { return entry.starts_with(name); };
        if (!replaced("DBUS_SESSION_BUS_ADDRESS=") && !replaced(childModeVariable) && !replaced("TESSARO_IN_KEYRING=") &&
            !replaced("DISPLAY=") && !replaced("WAYLAND_DISPLAY=")) {
            entries.emplace_back(entry);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
    std::string withKeyring = TESSARO_WITH_KEYRING;
    std::vector<char*> argv;
    if (!busAddress) argv.push_back(withKeyring.data());
    argv.push_back(self);
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, argv.front(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A bus address leading nowhere, a bus without a Secret Service, and one whose Secret Service
// never answers.
TEST(SecretServiceUnreachable, NoBusNoServiceOrASilentService) {
    EXPECT_EQ(runChild("nowhere", "unix:path=/nonexistent/tessaro/session-bus"), 0);
    testing::PrivateBus bus;
    EXPECT_EQ(runChild("no-service", bus.address()), 0);
    bus.ownSecretsNameSilently();
    EXPECT_EQ(runChild("silent", bus.address()), 0);
}

// A bus and keyring of its own (the other tests share theirs): killed under a working store.
TEST(SecretServiceBusLoss, CallsFailWhileTheBusIsGoneAndTheHostLivesOn) {
    EXPECT_EQ(runChild("bus-loss", "unix:path=/nonexistent/tessaro/replaced-by-the-child"), 0);
}

// A service that cannot open an encrypted session: it refuses OpenSession outright, or offers
// only plain text (which libsecret would fall back to).
TEST(SecretServiceUnreachable, AServiceWithoutAnEncryptedSession) {
    for (const bool offerPlain : {false, true}) {
        SCOPED_TRACE(offerPlain ? "plain text only" : "refused");
        testing::PrivateBus bus;
        bus.ownSecretsNameRefusingSessions(offerPlain);
        EXPECT_EQ(runChild("no-service", bus.address()), 0);
    }
}

// In a keyring of its own: locking the shared test keyring would disturb the other tests.
TEST(SecretServiceLocked, EveryOperationFailsWhenTheUnlockPromptCannotBeAnswered) {
    EXPECT_EQ(runChild("locked", std::nullopt), 0);
}

}  // namespace
}  // namespace tessaro

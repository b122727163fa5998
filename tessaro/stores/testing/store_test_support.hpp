#pragma once
// Helpers shared by the store tests: the private keyring guard, direct libsecret look-ups and a
// private D-Bus daemon.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/stores/keychain.hpp>
#include <testing/temporary_directory.hpp>

namespace tessaro::testing {

// Fails the calling test unless it runs inside scripts/with-keyring with a Secret Service on the
// session bus: the tests never touch a person's own keyring.
void requirePrivateKeyring();

// A client ID no other test uses.
std::string uniqueClientID(const std::string& prefix);
// The same as a client ID the sandbox registers: "pmc_" and letters and digits only.
std::string uniqueRegisteredClientID(const std::string& prefix);

// A TessaroKeychain of its own in the private keyring, emptied when made and when it goes.
class ScopedKeychain {
public:
    explicit ScopedKeychain(const std::string& clientID) : store(std::make_shared<TessaroKeychain>(clientID)) {
        store->deleteAll();
    }
    ~ScopedKeychain() {
        try {
            store->deleteAll();
        } catch (...) {
            // The keyring may be gone by now (a test of a lost bus); nothing is left to empty then.
        }
    }
    ScopedKeychain(const ScopedKeychain&) = delete;
    ScopedKeychain& operator=(const ScopedKeychain&) = delete;
    const std::shared_ptr<TessaroKeychain> store;
};

Bytes bytesOf(const std::string& text);

// Runs each store operation; counts those that did not throw a KeychainError with `expected`, and
// writes what they did instead to the standard error.
int countNotFailingWith(std::int32_t expected,
                        const std::vector<std::pair<const char*, std::function<void()>>>& operations);

// The attributes of every Secret Service item (any schema) whose attributes include all of
// `attributes`, seen directly through libsecret.
std::vector<std::map<std::string, std::string>> searchItems(const std::map<std::string, std::string>& attributes);

// How a name owner of PrivateBus answers calls to the Secret Service: never; as a service that
// cannot open an encrypted session (OpenSession refused); or one that offers only plain text.
enum class SecretsAnswer { never, refuseSessions, plainSessionOnly };

class ChildProcess;

// A dbus-daemon of our own on a socket in a temporary directory, with no services to activate.
// Stopped on destruction.
class PrivateBus {
public:
    // fixedPath: listen on "<directory>/bus", so that restart() brings the bus back at the same
    // address; otherwise on a fresh socket in the directory.
    explicit PrivateBus(bool fixedPath = false);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    const std::string& address() const { return address_; }

    // Takes the Secret Service's bus name and answers calls to it as `answer` says.
    void ownSecretsName(SecretsAnswer answer);
    // Starts an unlocked gnome-keyring Secret Service on this bus, its files in the bus's
    // directory (kept across restarts), and waits (bounded) until it owns its name.
    void startKeyring();
    // Kills the daemon and the keyring: every connection to the bus is lost.
    void stop();
    // A new daemon at the same address (fixedPath only).
    void restart();

private:
    void launch();

    bool fixedPath_;
    TemporaryDirectory temporary_{"tessaro-bus-"};  // the bus's files and the keyring's, if one ran
    std::string directory_ = temporary_.path().string();
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> keyring_;
    void* connection_ = nullptr;  // GDBusConnection* of the name owner
};

}  // namespace tessaro::testing

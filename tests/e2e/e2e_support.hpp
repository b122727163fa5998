#pragma once
// What the end-to-end tests share: the sandbox fixture with a counting loopback proxy in front of it,
// the host's callback routing, and child processes of this binary.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <testing/child_process.hpp>
#include <testing/eventually.hpp>
#include <tessaro/client/testing/outcomes.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/sandbox/testing/sandbox_fixture.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro::e2e {

using namespace std::chrono_literals;

using testing::eventually;
using testing::waitLimit;
using testing::client::errorOf;
using testing::client::WaitingLog;
inline constexpr const char* demoRedirect = "tessarodemo://tessaro/callback";

// One request as the proxy saw it, with the answer it went back with.
struct Seen {
    std::string method;
    std::string path;           // without the query
    std::string authorization;  // the Authorization header, empty when absent
    std::string grantType;      // "grant_type" of a JSON body, empty when none
    int status = 0;             // the status sent back to the kit
};

// A loopback HTTP forwarder between the kit and the sandbox: every request is recorded, may be
// held by an intercept, and then goes to the sandbox byte for byte (method, target, signature
// headers, body). The kit cannot tell it from the sandbox.
class Proxy {
public:
    // Runs before a request is forwarded, on the proxy's handler thread; it may block.
    using Intercept = std::function<void(const Seen&)>;

    explicit Proxy(const std::string& upstreamOrigin);
    ~Proxy();
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    std::string origin() const;
    void setIntercept(Intercept intercept);
    // Every request answered so far, in the order the answers went out.
    std::vector<Seen> seen();
    // Requests answered so far with this method and path (and grant type, when given).
    std::size_t count(const std::string& method, const std::string& path, const std::string& grantType = "");
    // Stops listening: the origin refuses connections from now on.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Every session entry of a store, as it stands.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(TessaroSecretStore& store);
// The stored access token's expiry, moved into the past: the client must refresh before using it.
void expireAccessToken(TessaroSecretStore& store);

// The credentials a snapshot holds: its access token and approval key.
TessaroAPI::Credentials credentialsOf(const Snapshot& contents);

// The sandbox fixture with a proxy in front, and the host's job: each callback URL goes to
// handleCallback of its clients until one takes it. Tests hold their clients in variables declared
// after the environment, so that every client is gone before the sandbox stops.
class Environment {
public:
    Environment();
    ~Environment();

    sandbox::Sandbox& sandbox() { return fixture_.sandbox(); }
    Proxy& proxy() { return *proxy_; }
    sandbox::testing::Collector& log() { return fixture_.log(); }

    // A client (the demo's ID or another's) on `store` that opens the sandbox through the proxy.
    std::shared_ptr<TessaroClient> client(std::shared_ptr<TessaroSecretStore> store, double pollInterval = 2.0,
                                          const std::string& clientID = std::string(sandbox::Sandbox::demoClientID));

private:
    void deliver(const std::string& url);

    std::mutex mutex_;
    std::vector<std::weak_ptr<TessaroClient>> clients_;
    sandbox::testing::SandboxFixture fixture_;
    std::unique_ptr<Proxy> proxy_;
};

// Child processes are this binary run again in a mode (testing/child_process.hpp).
using testing::ChildMode;
using testing::ChildProcess;
using testing::runSelf;

}  // namespace tessaro::e2e

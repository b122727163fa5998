#pragma once
// What the end-to-end tests share: an in-process sandbox with a counting loopback proxy in front of
// it, an app switcher that hands launch URLs to the sandbox, the host's callback routing, and child
// processes of this binary.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include <testing/child_process.hpp>
#include <testing/eventually.hpp>
#include <tessaro/client/testing/outcomes.hpp>
#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/records/tessaro_waiting.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro::e2e {

using namespace std::chrono_literals;

using testing::eventually;
using testing::waitLimit;
using testing::client::errorOf;
using testing::client::WaitingLog;
inline constexpr const char* demoRedirect = "tessarodemo://tessaro/callback";

// The lines of the sandbox's event log.
class EventLog {
public:
    void add(const std::string& line);
    std::vector<std::string> lines();
    // How many lines contain `needle`.
    std::size_t count(const std::string& needle);

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One request as the proxy saw it, with the answer it went back with.
struct Seen {
    std::string method;
    std::string path;           // without the query
    std::string authorization;  // the Authorization header, empty when absent
    std::string grantType;      // "grant_type" of a JSON body, empty when none
    int status = 0;             // the status sent back to the kit
};

// A loopback HTTP forwarder between the kit and the sandbox: every request is recorded, may be
// answered or held by an intercept, and otherwise goes to the sandbox byte for byte (method,
// target, signature headers, body). The kit cannot tell it from the sandbox.
class Proxy {
public:
    // Runs before a request is forwarded, on the proxy's handler thread; it may block (to hold a
    // request). A status: answer with it (and an empty body) instead of forwarding.
    using Intercept = std::function<std::optional<int>(const Seen&)>;

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

// The password-manager application as the client sees it: launch URLs go to the sandbox's
// simulated user (Sandbox::open). Foreground notices are never reported.
class SandboxSwitcher final : public TessaroAppSwitching {
public:
    explicit SandboxSwitcher(sandbox::Sandbox& sandbox) : sandbox_(sandbox) {}

    void open(const URL& url, const URL& downloadURL, std::stop_token stop = {}) override;
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override;

    // The refusal codes of the sandbox, one per refused URL.
    std::vector<std::string> refusals();

private:
    sandbox::Sandbox& sandbox_;
    std::mutex mutex_;
    std::vector<std::string> refusals_;
    std::map<std::uint64_t, std::function<void()>> handlers_;
    std::uint64_t nextHandler_ = 0;
};

// The host's job: every callback URL the desktop hands it goes to handleCallback of its clients.
class CallbackRouter {
public:
    void add(const std::shared_ptr<TessaroClient>& client);
    void deliver(const std::string& url);
    // Delivered URLs and whether a client took each one.
    std::vector<std::pair<std::string, bool>> delivered();

private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<TessaroClient>> clients_;
    std::vector<std::pair<std::string, bool>> delivered_;
};

// Every session entry of a store, as it stands.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(TessaroSecretStore& store);
// The stored access token's expiry, moved into the past: the client must refresh before using it.
void expireAccessToken(TessaroSecretStore& store);

// The credentials a snapshot holds: its access token and approval key.
TessaroAPI::Credentials credentialsOf(const Snapshot& contents);

// A sandbox with a proxy in front, its event log and the host's callback routing. Tests hold their clients in variables declared after the environment, so that every
// client is gone before the sandbox stops.
class Environment {
public:
    // routeCallbacks false: the sandbox delivers callbacks itself (HTTP GET to a loopback
    // redirect URI, the desktop's URL handler otherwise) instead of handing them to the router.
    explicit Environment(sandbox::Options options = {}, bool routeCallbacks = true);
    ~Environment();

    sandbox::Sandbox& sandbox() { return *sandbox_; }
    Proxy& proxy() { return *proxy_; }
    EventLog& log() { return *log_; }
    CallbackRouter& router() { return *router_; }
    const std::shared_ptr<SandboxSwitcher>& switcher() { return switcher_; }

    // The demo client's configuration (or another registered client's), with the proxy as origin.
    TessaroConfiguration configuration(const std::string& clientID = std::string(sandbox::Sandbox::demoClientID));
    // A client on `store` that opens the sandbox and receives its callbacks through the router.
    std::shared_ptr<TessaroClient> client(std::shared_ptr<TessaroSecretStore> store, double authorizeTimeout = 60,
                                          const std::string& clientID = std::string(sandbox::Sandbox::demoClientID),
                                          double pollInterval = 2.0);
    // Registers a client of its own for one test ("pmc_" and letters and digits), with the demo
    // redirect URI, so that its keychain service is the test's alone.
    std::string registerUniqueClient();

private:
    std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
    std::shared_ptr<CallbackRouter> router_ = std::make_shared<CallbackRouter>();
    std::unique_ptr<sandbox::Sandbox> sandbox_;
    std::unique_ptr<Proxy> proxy_;
    std::shared_ptr<SandboxSwitcher> switcher_;
};

// Child processes are this binary run again in a mode (testing/child_process.hpp).
using testing::ChildMode;
using testing::ChildProcess;
using testing::runSelf;

// The child modes (each in the test file it belongs to); each returns its exit status.
int childAuthorizeThroughDesktop();
int childRevokeSharedSession();

}  // namespace tessaro::e2e

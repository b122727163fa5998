#pragma once
/// @file
/// tessaro-sandbox in-process: a local stand-in for the password-manager server (the HTTP API
/// under /api/oauth/ on 127.0.0.1) and for the password-manager application (a simulated user
/// answering tessaro:// launch URLs and calling the host back). Used by the executable, by the
/// sandbox's own tests and by end-to-end tests of the kit.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tessaro/sandbox/account.hpp>
#include <tessaro/sandbox/policy.hpp>
#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

/// A client the sandbox accepts, with its redirect URIs. A plain value; checked (and refused
/// with tessaro::InvalidArgument) when the sandbox registers it.
struct ClientRegistration {
    std::string clientID;                   ///< "pmc_" followed by letters and digits
    std::vector<std::string> redirectURIs;  ///< see Sandbox::registerClient
};

/// The answer to a launch URL: accepted (the simulated user will act on it), or refused with a
/// code when the URL cannot be answered on a redirect URI at all. A plain value.
struct OpenResult {
    bool accepted = false;  ///< the simulated user will act on the URL
    /// Empty when accepted; else "unsupported_launch_url", "malformed_launch_url",
    /// "missing_<item>", "invalid_client", "unregistered_redirect_uri", "unknown_request" or
    /// "client_mismatch".
    std::string error;
    /// Member-wise equality.
    friend bool operator==(const OpenResult&, const OpenResult&) = default;
};

/// How a Sandbox is built: port, lifetimes, the simulated user's policy, further clients, and
/// hooks for callback delivery, the clock and the event log. A plain value read once by the
/// constructor; the hooks are then called from the sandbox's own threads.
struct Options {
    /// 0: an ephemeral port.
    int port = 0;
    /// Threads serving HTTP, each holding one open connection at a time; 0: cpp-httplib's default
    /// (8 on small machines). A host with many concurrent callers wants one per caller.
    std::size_t workers = 0;
    std::chrono::seconds accessTokenLifetime{3600};             ///< lifetime of an access token
    std::chrono::seconds refreshTokenLifetime{30 * 24 * 3600};  ///< lifetime of a refresh token
    std::chrono::seconds codeLifetime{60};                      ///< lifetime of an authorization code
    std::chrono::seconds requestLifetime{600};                  ///< time a request waits before it expires
    Policy policy;                                              ///< how the simulated user answers at first
    /// Registered besides the demo client.
    std::vector<ClientRegistration> clients;
    /// When set, every callback URL is handed to this function (on the simulated user's thread)
    /// instead of being delivered by HTTP GET (loopback http) or the desktop's URL handler.
    std::function<void(const std::string& callbackURL)> deliver;
    /// The server clock; system_clock::now when empty. Tests move it to reach expiries. Called
    /// from any of the sandbox's threads.
    std::function<std::chrono::system_clock::time_point()> clock;
    /// Event lines (never tokens, codes, keys or item contents); none when empty. Called from any
    /// of the sandbox's threads.
    std::function<void(const std::string& line)> log;
};

/// A running sandbox: serving from construction until stop() or destruction. All members are
/// safe to call from any thread and block at most on the sandbox's own locks (stop() and the
/// destructor also on handlers in progress). The constructor throws std::runtime_error when it
/// cannot bind the port and tessaro::InvalidArgument (a std::invalid_argument) for a malformed
/// client registration or policy.
class TESSARO_SANDBOX_EXPORT Sandbox {
public:
    /// The demo client, registered with "tessarodemo://tessaro/callback" and loopback http
    /// redirect URIs on any port and path (http://127.0.0.1/..., http://[::1]/...).
    static constexpr std::string_view demoClientID = "pmc_tessarodemo";
    /// The demo client's redirect URIs, as registerClient reads them.
    static const std::vector<std::string>& demoRedirectURIs();

    /// Starts serving on 127.0.0.1 and the simulated user's thread.
    explicit Sandbox(Options options = {});
    /// stop(), then frees everything.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    /// The port the server listens on.
    int port() const;
    /// "http://127.0.0.1:<port>"
    std::string origin() const;

    /// The C++ door for launch URLs (tessaro://authorize?... and tessaro://request?...). Checks
    /// the URL at once and schedules the simulated user's answer; never waits for it.
    OpenResult open(std::string_view launchURL);

    /// The policy in force.
    Policy policy() const;
    /// Replaces the policy for launch URLs opened from now on. Throws tessaro::InvalidArgument
    /// when grantVaults names an unknown vault.
    void setPolicy(const Policy& policy);

    /// Registers a further client. A redirect URI is an exact URI, or a loopback http URI
    /// (http://127.0.0.1/PATH, http://[::1]/PATH) matching any port; a PATH ending in "*"
    /// matches every path with that prefix. Throws tessaro::InvalidArgument for a malformed
    /// client ID or redirect URI.
    void registerClient(const ClientRegistration& client);

    /// The item `itemID` as it stands; nothing when there is none.
    std::optional<Item> item(const std::string& itemID) const;
    /// Every item as it stands.
    std::vector<Item> items() const;
    /// Every vault, in display order.
    std::vector<Vault> vaults() const;
    /// The account's X25519 identity public key (base64url): the recipient of sealed patches.
    std::string identityPublicKey() const;
    /// The server clock's time (Options::clock).
    std::chrono::system_clock::time_point now() const;

    /// Stops serving and the simulated user; waits for handlers in progress (bounded by the
    /// server's keep-alive and read timeouts). Idempotent.
    void stop();

private:
    struct TESSARO_SANDBOX_NO_EXPORT Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro::sandbox

#pragma once
// The server's state and rules: registered clients, authorization codes, grants, tokens, the
// nonce window, requests and the account. Every public member takes the one lock, so the HTTP
// thread pool and the simulated user can call it from any thread. Endpoint methods answer with
// a Reply or throw Refusal (an HTTP status and an error code); nothing else escapes them except
// std::bad_alloc.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox/account.hpp>
#include <tessaro/sandbox/internal/sealed_box.hpp>
#include <tessaro/sandbox/internal/wire.hpp>
#include <tessaro/sandbox/policy.hpp>

namespace tessaro::sandbox::detail {

// A refused API call: answered with `status` and {"error": code}.
struct Refusal : std::exception {
    Refusal(int status, std::string code) : status(status), code(std::move(code)) {}
    const char* what() const noexcept override { return code.c_str(); }
    int status;
    std::string code;
};

struct Reply {
    int status = 200;
    nlohmann::json body;
};

struct Settings {
    std::chrono::seconds accessTokenLifetime{3600};
    std::chrono::seconds refreshTokenLifetime{30 * 24 * 3600};
    std::chrono::seconds codeLifetime{60};
    std::chrono::seconds requestLifetime{600};
    std::chrono::seconds signatureWindow{300};
    std::function<TimePoint()> clock;  // the server clock; system_clock::now when empty
};

// The signature headers of a request, as received (absent when missing).
struct SignedHeaders {
    std::optional<std::string> authorization;
    std::optional<std::string> timestamp;
    std::optional<std::string> nonce;
    std::optional<std::string> signature;
};

// What an authorization code is bound to.
struct CodeBinding {
    std::string clientID;
    std::string redirectURI;
    std::string codeChallenge;
    std::string approvalKey;  // Ed25519, base64url
    std::string sealKey;      // X25519, base64url
    std::vector<std::string> vaultIDs;
};

// What the simulated user sees of a request it is asked to open.
struct RequestView {
    std::string requestID;
    std::string grantID;
    std::string clientID;
    std::string op;
    std::string state;
    bool open = false;
};

class Backend {
public:
    Backend(Settings settings, Account account);

    TimePoint now() const;

    // Client IDs are "pmc_" followed by letters and digits. A redirect URI is registered as an
    // exact URI, or as http://127.0.0.1/PATH or http://[::1]/PATH (loopback: any port matches,
    // RFC 8252); a PATH ending in "*" matches every path with that prefix.
    // Throws tessaro::InvalidArgument for a malformed client ID or redirect URI.
    void registerClient(const std::string& clientID, const std::vector<std::string>& redirectURIs);
    // Empty when `clientID` is registered and `redirectURI` is one of its redirect URIs;
    // otherwise "invalid_client" or "unregistered_redirect_uri".
    std::string checkClient(const std::string& clientID, const std::string& redirectURI) const;

    // The vaults an approved authorization grants: the named ones that exist (in account
    // order), or the account's default grant.
    std::vector<std::string> grantedVaults(const std::optional<std::vector<std::string>>& named) const;
    // A fresh single-use authorization code.
    std::string issueCode(CodeBinding binding);

    // POST /api/oauth/token.
    Reply token(const nlohmann::json& body);
    // Checks a signed request in order: bearer token, timestamp window, nonce, signature over
    // the canonical string rebuilt from `method`, `path` (as received, without query), the
    // headers and the exact body bytes. Returns the grant ID; throws Refusal.
    std::string authenticate(const std::string& method, const std::string& path, const SignedHeaders& headers,
                             const std::string& body);
    Reply account(const std::string& grantID);
    Reply revoke(const std::string& grantID, const nlohmann::json& body);
    Reply createRequest(const std::string& grantID, const nlohmann::json& body);
    Reply readRequest(const std::string& grantID, const std::string& requestID);
    Reply putPatch(const std::string& grantID, const std::string& requestID, const nlohmann::json& body);
    Reply cancelRequest(const std::string& grantID, const std::string& requestID);

    // The simulated user's side. A request past its expiry turns "expired" on every access.
    std::optional<RequestView> request(const std::string& requestID);
    // Moves an open request to "in_progress" (or "approved" when `waitingOn` is "device") with
    // the given waiting members; false when the request is no longer open.
    bool setWaiting(const std::string& requestID, const std::string& waitingOn, const std::string& waitingReason);
    bool hasPatch(const std::string& requestID);
    // End an open request as the user decided; each returns the request's state afterwards
    // (an already terminal request is left as it was).
    std::string deny(const std::string& requestID, const std::string& reason);
    std::string complete(const std::string& requestID, const Policy& policy);

    // Inspection, for tests and tools.
    std::optional<Item> item(const std::string& itemID) const;
    std::vector<Vault> vaults() const;
    std::vector<Item> items() const;
    std::string identityPublicKey() const;

private:
    struct Client {
        std::vector<std::string> redirectURIs;
    };
    struct Code {
        CodeBinding binding;
        TimePoint expiresAt;
        bool consumed = false;
        std::optional<std::string> grantID;
    };
    struct Grant {
        std::string clientID;
        std::string approvalKey;
        std::string sealKey;
        std::vector<std::string> vaultIDs;
        bool revoked = false;
    };
    struct Token {
        std::string grantID;
        std::string clientID;
        TimePoint expiresAt;
        bool used = false;  // refresh tokens: spent by a rotation
    };
    struct Request {
        std::string id;
        std::string grantID;
        std::string op;
        std::optional<std::string> vaultID;
        std::optional<std::string> itemID;
        nlohmann::json hint;              // object or null
        std::string kind;                 // create_item
        nlohmann::json prefill;           // create_item
        std::vector<std::string> fields;  // update_item
        std::string state = "pending";
        std::string waitingOn = "user";
        std::string waitingReason = "approval";
        TimePoint expiresAt;
        std::optional<std::string> patchEnc;
        std::optional<std::string> resultEnc;
        nlohmann::json createdItem;  // null when absent
        nlohmann::json pickedItem;
        nlohmann::json updatedItem;
        bool savedOutOfScope = false;
        std::optional<std::string> denyReason;
    };

    Reply exchangeCode(const nlohmann::json& body, const std::string& clientID);
    Reply refresh(const nlohmann::json& body, const std::string& clientID);
    Reply issueTokens(const std::string& grantID);
    void revokeGrant(const std::string& grantID);
    bool redirectMatches(const std::string& registered, const std::string& given) const;
    nlohmann::json grantVaultsJSON(const Grant& grant) const;
    bool isGranted(const Grant& grant, const std::string& vaultID) const;
    Request& ownedRequest(const std::string& grantID, const std::string& requestID);
    bool expireIfDue(Request& request);
    static bool isOpen(const Request& request);
    nlohmann::json statusJSON(const Request& request) const;
    void validateCreation(const Grant& grant, const nlohmann::json& body, Request& request) const;
    void finishDenied(Request& request, std::string reason);
    void finishCompleted(Request& request);
    std::optional<std::string> sealResult(const Request& request, const Item& item) const;
    void completePick(Request& request, const Grant& grant, const Policy& policy);
    void completeGet(Request& request, const Grant& grant);
    void completeCreate(Request& request, const Grant& grant, const Policy& policy);
    void completeUpdate(Request& request, const Grant& grant, const Policy& policy);
    void rememberNonce(const std::string& nonce);
    void pruneNonces();

    mutable std::mutex mutex_;
    Settings settings_;
    Account account_;
    X25519Keypair identity_;
    std::map<std::string, Client> clients_;
    std::unordered_map<std::string, Code> codes_;  // by SHA-256 of the code
    std::unordered_map<std::string, Grant> grants_;
    std::unordered_map<std::string, Token> accessTokens_;   // by SHA-256 of the token
    std::unordered_map<std::string, Token> refreshTokens_;  // by SHA-256 of the token
    std::unordered_set<std::string> nonces_;
    std::deque<std::pair<TimePoint, std::string>> nonceOrder_;  // by time seen, for pruning
    std::unordered_map<std::string, Request> requests_;
};

}  // namespace tessaro::sandbox::detail

#pragma once
// TessaroAPI: the kit's client for the server's HTTP API under /api/oauth/, with request signing.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/api/http_transport.hpp>
#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/keys.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

// The server API. Holds the origin, client ID, redirect URL and the transport, all fixed at
// construction; no mutable state, so any number of calls may run at once from any thread.
// A reference type: held by shared_ptr, not copyable.
//
// What the operations throw:
// - TessaroError::network for every transport failure (no connection, timeout, TLS, a refused
//   origin, cancellation through the trailing stop token);
// - APIError::http for a status outside 200-299 (code: the body's string "error", else "http_<status>");
// - APIError::decoding when a body that must be a JSON object is not, or lacks a required member;
// - nlohmann::json::type_error when a request body cannot be written as JSON (invalid UTF-8);
// - TessaroCrypto errors of the nonce and the signature, unchanged;
// - TessaroError::protocol("invalid_path"), before anything is sent, for a request identifier that
//   is empty, "." or "..", or holds anything but visible ASCII or any of "/", "\\", "?", "#", "%"
//   (it would address another resource, or go out other than signed), and when an endpoint path
//   cannot be joined to the origin.
class TESSARO_EXPORT TessaroAPI {
    // Made only by create(): it lets std::make_shared reach the constructor and nobody else.
    struct CreateKey {
        explicit CreateKey() = default;
    };

public:
    // What an authenticated call signs with. A value.
    struct Credentials {
        std::string accessToken;
        TessaroCrypto::ApprovalKeypair approvalKey;
    };

    // A server answer that is not a success, or a success body that cannot be read.
    // Two errors are equal when kind and payload are equal. An immutable value.
    class TESSARO_EXPORT APIError : public std::exception {
    public:
        enum class Kind { http, decoding };

        static APIError http(int status, std::string code);
        static APIError decoding();

        Kind kind() const noexcept { return kind_; }
        // The HTTP status of http (0 when the answer was no HTTP response); 0 for decoding.
        int status() const noexcept { return status_; }
        // The server's error code, or "http_<status>"; empty for decoding.
        const std::string& code() const noexcept { return code_; }
        // "http(401, invalid_token)" or "decoding".
        const char* what() const noexcept override { return description_.c_str(); }

        friend bool operator==(const APIError& a, const APIError& b) noexcept {
            return a.kind_ == b.kind_ && a.status_ == b.status_ && a.code_ == b.code_;
        }

    private:
        APIError(Kind kind, int status, std::string code);
        Kind kind_;
        int status_;
        std::string code_;
        std::string description_;
    };

    // A successful answer: status 200-299 and the body bytes (possibly empty).
    struct Response {
        int status = 0;
        Bytes body;
        friend bool operator==(const Response&, const Response&) = default;
    };

    // The answer of the token endpoint. A value with member-wise equality.
    struct TESSARO_EXPORT TokenResponse {
        std::string accessToken;
        std::int64_t expiresIn = 3600;
        std::optional<std::string> refreshToken;
        std::optional<std::int64_t> refreshExpiresIn;
        std::string grantID;
        std::string accountID;
        std::vector<TessaroVault> vaults;
        std::optional<std::string> clientType;
        std::optional<std::string> accountIdentityPublicKey;

        // Requires string "access_token", "grant_id" and "account_id", else throws
        // APIError::decoding (also when `json` is not an object, or when the access or refresh
        // token holds CR, LF or NUL, which no header line can carry). Optional members of another
        // type, or null, count as missing; "expires_in" defaults to 3600; "vaults" by the vault
        // list rule (empty unless an array of vaults that all decode).
        static TokenResponse fromJSON(const nlohmann::json& json);

        friend bool operator==(const TokenResponse&, const TokenResponse&) = default;
    };

    // The account behind a grant. A value with member-wise equality.
    struct TESSARO_EXPORT AccountInfo {
        std::string accountID;
        std::string identityPublicKey;
        std::vector<TessaroVault> vaults;

        // Requires string "account_id" and "identity_public_key", else APIError::decoding;
        // "vaults" by the vault list rule.
        static AccountInfo fromJSON(const nlohmann::json& json);

        friend bool operator==(const AccountInfo&, const AccountInfo&) = default;
    };

    // The status of a server request. A value with member-wise equality.
    struct TESSARO_EXPORT RequestStatus {
        std::string requestID;
        std::string state;
        std::optional<std::string> op;
        std::optional<std::string> vaultID;
        std::optional<std::string> itemID;
        std::optional<Timestamp> expiresAt;
        std::optional<std::string> waitingOn;
        std::optional<std::string> waitingReason;
        std::optional<std::string> resultEnc;
        std::optional<TessaroItemSummary> createdItem;
        std::optional<TessaroItemSummary> pickedItem;
        std::optional<std::string> updatedItemID;
        std::optional<std::int64_t> updatedRevision;
        bool savedOutOfScope = false;
        bool existing = false;
        std::optional<std::string> deniedReason;

        // Requires string "request_id" and "state", else throws APIError::decoding (also when
        // `json` is not an object); every other member falls back to absent or false.
        static RequestStatus fromJSON(const nlohmann::json& json);

        // True exactly for "completed", "denied", "expired" and "cancelled".
        bool isTerminal() const noexcept;

        friend bool operator==(const RequestStatus&, const RequestStatus&) = default;
    };

    // `transport` null: a new CurlTransport of its own.
    static std::shared_ptr<TessaroAPI> create(URL origin, std::string clientID, URL redirectURL,
                                              std::shared_ptr<HTTPTransport> transport = nullptr);
    // Reachable only through create().
    TessaroAPI(CreateKey, URL origin, std::string clientID, URL redirectURL, std::shared_ptr<HTTPTransport> transport);
    TessaroAPI(const TessaroAPI&) = delete;
    TessaroAPI& operator=(const TessaroAPI&) = delete;

    const URL& origin() const noexcept { return origin_; }
    const std::string& clientID() const noexcept { return clientID_; }
    const URL& redirectURL() const noexcept { return redirectURL_; }
    const std::shared_ptr<HTTPTransport>& transport() const noexcept { return transport_; }

    // Frames, signs and sends an authenticated request ("signed" is a C++ keyword). `path` is the
    // endpoint path, starting with "/"; it is what the signature covers. A body is written as
    // compact JSON with sorted keys and sent with Content-Type application/json; without one
    // the request has neither body nor Content-Type.
    Response signedRequest(std::string_view method, std::string_view path, const std::optional<nlohmann::json>& body,
                           const Credentials& credentials, std::stop_token stop = {}) const;

    // Token endpoint (unsigned).
    TokenResponse exchangeCode(const std::string& code, const std::string& codeVerifier,
                               std::stop_token stop = {}) const;
    TokenResponse refresh(const std::string& refreshToken, std::stop_token stop = {}) const;
    // Account and revocation (signed).
    AccountInfo account(const Credentials& credentials, std::stop_token stop = {}) const;
    void revoke(const std::string& token, const Credentials& credentials, std::stop_token stop = {}) const;

    // Request endpoints (signed). The request identifier is put into the path as given, after the
    // check above; the path goes out byte for byte as signed.
    RequestStatus createRequest(const nlohmann::json& body, const Credentials& credentials,
                                std::stop_token stop = {}) const;
    RequestStatus putPatch(const std::string& requestID, const std::string& patchEnc, const Credentials& credentials,
                           std::stop_token stop = {}) const;
    RequestStatus getRequest(const std::string& requestID, const Credentials& credentials,
                             std::stop_token stop = {}) const;
    void cancelRequest(const std::string& requestID, const Credentials& credentials, std::stop_token stop = {}) const;
    // Whether a request identifier can be put into a path: one segment of visible ASCII, without a
    // separator, a dot segment or a percent-escape. The three calls above throw
    // TessaroError::protocol("invalid_path") for any other, before anything is sent. Thread-safe.
    static bool isValidRequestID(const std::string& requestID) noexcept;

    // The bodies that create the four kinds of request.
    // {"op":"pick_item","vault_id":<id or null>,"hint":<only when not empty>,"reason":<when given>}
    static nlohmann::json pickItemBody(const TessaroHint& hint, const std::optional<std::string>& reason,
                                       const std::optional<std::string>& vaultID);
    // {"op":"get_item","vault_id","item_id"}
    static nlohmann::json getItemBody(const std::string& vaultID, const std::string& itemID);
    // {"op":"create_item","vault_id","kind":<raw value>,"prefill":<always, {} when empty>,"reason":<when given>}
    static nlohmann::json createItemBody(const std::string& vaultID, TessaroItemKind kind,
                                         const TessaroPrefill& prefill, const std::optional<std::string>& reason);
    // {"op":"update_item","vault_id","item_id","fields":<raw values, sorted, each once>,"reason":<when given>}
    static nlohmann::json updateItemBody(const std::string& vaultID, const std::string& itemID,
                                         const std::vector<TessaroField>& fields,
                                         const std::optional<std::string>& reason);

    // A point in time from an ISO 8601 text: with or without fractional seconds, "T" or a space
    // between date and time, zone "Z" or "+hh:mm"/"-hh:mm", or no zone (read as UTC).
    // Nothing for any other text. Never throws except std::bad_alloc.
    static std::optional<Timestamp> parseDate(std::string_view text);

    // The JSON text a request body is sent as: compact, keys sorted, "/" not escaped.
    // Throws nlohmann::json::type_error for a string that is not valid UTF-8.
    static std::string writeJSON(const nlohmann::json& body);
    // Parses `bytes` as a JSON object; anything else throws APIError::decoding.
    static nlohmann::json readJSONObject(const Bytes& bytes);

private:
    Response perform(const HTTPRequest& request, std::stop_token stop) const;
    URL endpointURL(std::string_view path) const;
    TokenResponse tokenRequest(const nlohmann::json& body, std::stop_token stop) const;

    const URL origin_;
    const std::string clientID_;
    const URL redirectURL_;
    const std::shared_ptr<HTTPTransport> transport_;
};

}  // namespace tessaro

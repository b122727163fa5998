#pragma once
/// @file
/// TessaroAPI: the kit's client for the server's HTTP API under /api/oauth/, with request signing.

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
#include <tessaro/records/exception.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// The server API. Holds the origin, client ID, redirect URL and the transport, all fixed at
/// construction; no mutable state, so any number of calls may run at once from any thread.
/// A reference type: held by shared_ptr, not copyable.
///
/// Every network operation blocks the calling thread on the transport until the answer arrives,
/// the request's timeout (60 seconds) expires or `stop` is requested: never call one on a GUI
/// thread. What the operations throw:
/// - TessaroError::network for every transport failure (no connection, timeout, TLS, a refused
///   origin, cancellation through the trailing stop token);
/// - APIError::http for a status outside 200-299 (code: the body's string "error", else `"http_<status>"`);
/// - APIError::decoding when a body that must be a JSON object is not, or lacks a required member;
/// - tessaro::InvalidArgument, before anything is sent, when a request body cannot be written as
///   JSON (a string that is not valid UTF-8);
/// - TessaroCrypto errors of the nonce and the signature, unchanged;
/// - TessaroError::protocol("invalid_path"), before anything is sent, for a request identifier that
///   is empty, "." or "..", or holds anything but visible ASCII or any of "/", "\\", "?", "#", "%"
///   (it would address another resource, or go out other than signed), and when an endpoint path
///   cannot be joined to the origin.
///
/// Every operation may also throw std::bad_alloc.
class TESSARO_EXPORT TessaroAPI {
    // Made only by create(): it lets std::make_shared reach the constructor and nobody else.
    struct CreateKey {
        explicit CreateKey() = default;
    };

public:
    /// What an authenticated call signs with. A plain value; not synchronised.
    struct Credentials {
        std::string accessToken;                     ///< Sent as `Authorization: Bearer <accessToken>`.
        TessaroCrypto::ApprovalKeypair approvalKey;  ///< Signs each request's canonical text.
    };

    /// A server answer that is not a success, or a success body that cannot be read.
    /// Two errors are equal when kind and payload are equal. An immutable value: copying shares
    /// the payload and never throws, and every member may be called from any thread.
    /// Caught as std::exception and as tessaro::Exception (family "APIError", case "http" or
    /// "decoding").
    class TESSARO_EXPORT APIError : public std::exception, public Exception {
    public:
        /// The two cases of the error.
        enum class Kind {
            http,     ///< The answer's status was outside 200-299.
            decoding  ///< A success body was no JSON object, or lacked a required member.
        };

        /// An answer with HTTP status `status` and the server's error code `code`.
        /// Throws std::bad_alloc.
        static APIError http(int status, std::string code);
        /// A success body that cannot be read. Throws std::bad_alloc.
        static APIError decoding();

        /// Shares the payload of `other`; never throws.
        APIError(const APIError& other) noexcept;
        /// Shares the payload of `other`; never throws.
        APIError& operator=(const APIError& other) noexcept;
        ~APIError() override;

        /// Which case this is.
        Kind kind() const noexcept;
        /// The HTTP status of http (0 when the answer was no HTTP response); 0 for decoding.
        int status() const noexcept;
        /// The server's error code, or `"http_<status>"`; empty for decoding.
        const std::string& code() const noexcept;
        /// "http(401, invalid_token)" or "decoding"; valid as long as any copy of the error lives.
        const char* what() const noexcept override;
        /// "APIError".
        const char* family() const noexcept override;
        /// "http" or "decoding".
        const char* caseName() const noexcept override;
        /// The same text as what().
        const char* message() const noexcept override;

        /// True when kind, status and code are equal.
        bool operator==(const APIError& other) const noexcept;

    private:
        struct Impl;
        TESSARO_NO_EXPORT explicit APIError(std::shared_ptr<const Impl> impl) noexcept;
        std::shared_ptr<const Impl> impl_;
    };

    /// A successful answer: status 200-299 and the body bytes (possibly empty). A plain value.
    struct Response {
        int status = 0;  ///< The HTTP status, 200-299.
        Bytes body;      ///< The body as received; empty when there was none.
        /// Member-wise equality.
        friend bool operator==(const Response&, const Response&) = default;
    };

    /// The answer of the token endpoint. A plain value with member-wise equality; not synchronised.
    struct TESSARO_EXPORT TokenResponse {
        std::string accessToken;                              ///< "access_token": signs later calls.
        std::int64_t expiresIn = 3600;                        ///< "expires_in", in seconds (3600 when absent).
        std::optional<std::string> refreshToken;              ///< "refresh_token", when the grant can be refreshed.
        std::optional<std::int64_t> refreshExpiresIn;         ///< "refresh_expires_in", in seconds.
        std::string grantID;                                  ///< "grant_id": the grant the tokens belong to.
        std::string accountID;                                ///< "account_id": the account behind the grant.
        std::vector<TessaroVault> vaults;                     ///< "vaults": the vaults the grant reaches.
        std::optional<std::string> clientType;                ///< "client_type", as the server names it.
        std::optional<std::string> accountIdentityPublicKey;  ///< "account_identity_public_key".

        /// Requires string "access_token", "grant_id" and "account_id", else throws
        /// APIError::decoding (also when `json` is not an object, or when the access or refresh
        /// token holds CR, LF or NUL, which no header line can carry). Optional members of another
        /// type, or null, count as missing; "expires_in" defaults to 3600; "vaults" by the vault
        /// list rule (empty unless an array of vaults that all decode). May throw std::bad_alloc.
        static TokenResponse fromJSON(const nlohmann::json& json);

        /// Member-wise equality.
        friend bool operator==(const TokenResponse&, const TokenResponse&) = default;
    };

    /// The account behind a grant. A plain value with member-wise equality; not synchronised.
    struct TESSARO_EXPORT AccountInfo {
        std::string accountID;             ///< "account_id".
        std::string identityPublicKey;     ///< "identity_public_key": the account's identity key.
        std::vector<TessaroVault> vaults;  ///< "vaults": the vaults the grant reaches.

        /// Requires string "account_id" and "identity_public_key", else throws APIError::decoding
        /// (also when `json` is not an object); "vaults" by the vault list rule. May throw
        /// std::bad_alloc.
        static AccountInfo fromJSON(const nlohmann::json& json);

        /// Member-wise equality.
        friend bool operator==(const AccountInfo&, const AccountInfo&) = default;
    };

    /// The status of a server request. A plain value with member-wise equality; not synchronised.
    /// Each member holds the JSON member named after it, absent (or false) when that is missing or
    /// of another type.
    struct TESSARO_EXPORT RequestStatus {
        std::string requestID;                          ///< "request_id".
        std::string state;                              ///< "state", such as "awaiting_user" or "completed".
        std::optional<std::string> op;                  ///< "op": the kind of request, such as "pick_item".
        std::optional<std::string> vaultID;             ///< "vault_id".
        std::optional<std::string> itemID;              ///< "item_id".
        std::optional<Timestamp> expiresAt;             ///< "expires_at", when it parses as a date.
        std::optional<std::string> waitingOn;           ///< "waiting_on".
        std::optional<std::string> waitingReason;       ///< "waiting_reason".
        std::optional<std::string> resultEnc;           ///< "result_enc": the sealed result.
        std::optional<TessaroItemSummary> createdItem;  ///< "created_item", when it decodes.
        std::optional<TessaroItemSummary> pickedItem;   ///< "picked_item", when it decodes.
        std::optional<std::string> updatedItemID;       ///< "id" of the object "updated_item".
        std::optional<std::int64_t> updatedRevision;    ///< "revision" of the object "updated_item".
        bool savedOutOfScope = false;                   ///< "saved_out_of_scope" is true.
        bool existing = false;                          ///< "existing" is true.
        /// The first string of "deny_reason", "denied_reason", "reason_code" and "result_reason";
        /// else "conflict" when "reason" is exactly that.
        std::optional<std::string> deniedReason;

        /// Requires string "request_id" and "state", else throws APIError::decoding (also when
        /// `json` is not an object); every other member falls back to absent or false. May throw
        /// std::bad_alloc.
        static RequestStatus fromJSON(const nlohmann::json& json);

        /// True exactly for "completed", "denied", "expired" and "cancelled".
        bool isTerminal() const noexcept;

        /// Member-wise equality.
        friend bool operator==(const RequestStatus&, const RequestStatus&) = default;
    };

    /// A client of the server at `origin`, as `clientID` with `redirectURL`, sending through
    /// `transport` (null: a new CurlTransport of its own). Throws TessaroError::network when that
    /// CurlTransport cannot be made; std::bad_alloc.
    static std::shared_ptr<TessaroAPI> create(URL origin, std::string clientID, URL redirectURL,
                                              std::shared_ptr<HTTPTransport> transport = nullptr);
    /// Reachable only through create().
    TessaroAPI(CreateKey, URL origin, std::string clientID, URL redirectURL, std::shared_ptr<HTTPTransport> transport);
    ~TessaroAPI();
    TessaroAPI(const TessaroAPI&) = delete;
    TessaroAPI& operator=(const TessaroAPI&) = delete;

    /// The server's origin every endpoint path is joined to.
    const URL& origin() const noexcept;
    /// The client ID sent to the token and revocation endpoints.
    const std::string& clientID() const noexcept;
    /// The redirect URL sent with an authorization code.
    const URL& redirectURL() const noexcept;
    /// The transport every request goes through; never null.
    const std::shared_ptr<HTTPTransport>& transport() const noexcept;

    /// Frames, signs and sends an authenticated request ("signed" is a C++ keyword). `path` is the
    /// endpoint path, starting with "/"; it is what the signature covers. A body is written as
    /// compact JSON with sorted keys and sent with Content-Type application/json; without one
    /// the request has neither body nor Content-Type. Throws as the class says.
    Response signedRequest(std::string_view method, std::string_view path, const std::optional<nlohmann::json>& body,
                           const Credentials& credentials, std::stop_token stop = {}) const;

    /// Redeems an authorization code at the token endpoint (unsigned). Throws as the class says.
    TokenResponse exchangeCode(const std::string& code, const std::string& codeVerifier,
                               std::stop_token stop = {}) const;
    /// Exchanges a refresh token for new tokens at the token endpoint (unsigned). Throws as the
    /// class says.
    TokenResponse refresh(const std::string& refreshToken, std::stop_token stop = {}) const;
    /// The account behind the credentials' grant (signed). Throws as the class says.
    AccountInfo account(const Credentials& credentials, std::stop_token stop = {}) const;
    /// Revokes `token` (signed); the answer's body is ignored. Throws as the class says.
    void revoke(const std::string& token, const Credentials& credentials, std::stop_token stop = {}) const;

    /// Creates a request with `body`, one of the bodies below (signed). Throws as the class says.
    RequestStatus createRequest(const nlohmann::json& body, const Credentials& credentials,
                                std::stop_token stop = {}) const;
    /// Sends the sealed patch `patchEnc` for a request (signed). Throws as the class says.
    ///
    /// This call, getRequest() and cancelRequest() put the request identifier into the path as
    /// given, after the isValidRequestID() check; the path goes out byte for byte as signed.
    RequestStatus putPatch(const std::string& requestID, const std::string& patchEnc, const Credentials& credentials,
                           std::stop_token stop = {}) const;
    /// The current status of a request (signed). Throws as the class says.
    RequestStatus getRequest(const std::string& requestID, const Credentials& credentials,
                             std::stop_token stop = {}) const;
    /// Cancels a request (signed); the answer's body is ignored. Throws as the class says.
    void cancelRequest(const std::string& requestID, const Credentials& credentials, std::stop_token stop = {}) const;
    /// Whether a request identifier can be put into a path: one segment of visible ASCII, without a
    /// separator, a dot segment or a percent-escape. The three calls above throw
    /// TessaroError::protocol("invalid_path") for any other, before anything is sent. Thread-safe.
    static bool isValidRequestID(const std::string& requestID) noexcept;

    /// The body that creates a pick request:
    /// `{"op":"pick_item","vault_id":<id or null>,"hint":<only when not empty>,"reason":<when given>}`.
    /// Thread-safe; may throw std::bad_alloc.
    static nlohmann::json pickItemBody(const TessaroHint& hint, const std::optional<std::string>& reason,
                                       const std::optional<std::string>& vaultID);
    /// The body that reads an item: `{"op":"get_item","vault_id","item_id"}`. Thread-safe; may throw
    /// std::bad_alloc.
    static nlohmann::json getItemBody(const std::string& vaultID, const std::string& itemID);
    /// The body that creates an item:
    /// `{"op":"create_item","vault_id","kind":<raw value>,"prefill":<always, {} when empty>,"reason":<when given>}`.
    /// Thread-safe; may throw std::bad_alloc.
    static nlohmann::json createItemBody(const std::string& vaultID, TessaroItemKind kind,
                                         const TessaroPrefill& prefill, const std::optional<std::string>& reason);
    /// The body that updates an item:
    /// `{"op":"update_item","vault_id","item_id","fields":<raw values, sorted, each once>,"reason":<when given>}`.
    /// Thread-safe; may throw std::bad_alloc.
    static nlohmann::json updateItemBody(const std::string& vaultID, const std::string& itemID,
                                         const std::vector<TessaroField>& fields,
                                         const std::optional<std::string>& reason);

    /// A point in time from an ISO 8601 text: with or without fractional seconds, "T" or a space
    /// between date and time, zone "Z" or "+hh:mm"/"-hh:mm", or no zone (read as UTC).
    /// Nothing for any other text. Thread-safe; never throws except std::bad_alloc.
    static std::optional<Timestamp> parseDate(std::string_view text);

    /// The JSON text a request body is sent as: compact, keys sorted, "/" not escaped.
    /// Throws tessaro::InvalidArgument for a string that is not valid UTF-8. Thread-safe.
    static std::string writeJSON(const nlohmann::json& body);
    /// Parses `bytes` as a JSON object; anything else throws APIError::decoding. Thread-safe.
    static nlohmann::json readJSONObject(const Bytes& bytes);

private:
    Response perform(const HTTPRequest& request, std::stop_token stop) const;
    URL endpointURL(std::string_view path) const;
    TokenResponse tokenRequest(const nlohmann::json& body, std::stop_token stop) const;

    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace tessaro

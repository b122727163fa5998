#pragma once
/// @file
/// The public records that cross the kit's boundary, with their JSON forms; also pulls in URL,
/// TessaroError, TessaroWaiting and Timestamp.
///
/// All records are plain values: copies are independent, equality is member-wise, and none is
/// synchronised (share copies between threads, not references to one being changed). Decoding a
/// malformed JSON form throws tessaro::DecodingError, never an exception of nlohmann::json.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/records/tessaro_waiting.hpp>
#include <tessaro/records/timestamp.hpp>
#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// The settings a client is built from. Plain value; throws nothing of its own.
struct TessaroConfiguration {
    std::string clientID;  ///< issued by the server to the host application
    URL redirectURL;       ///< the host's callback URL
    URL origin;            ///< the server's https origin; API paths are joined to it
    URL downloadURL;       ///< where to get the password-manager application (TessaroError::defaultDownloadURL())

    /// Member-wise equality.

    friend bool operator==(const TessaroConfiguration&, const TessaroConfiguration&) = default;
};

/// The kind of a vault item. JSON form: its raw value as a single string; decoding any other
/// string (or a non-string) throws tessaro::DecodingError.
enum class TessaroItemKind {
    login,       ///< "login": a user name and password for a site
    creditCard,  ///< "credit_card"
    bankCard,    ///< "bank_card"
    apiKey,      ///< "api_key"
    server,      ///< "server": credentials of a machine
    secureNote,  ///< "secure_note": free text
};

/// Every kind, in declaration order.
inline constexpr std::array<TessaroItemKind, 6> allItemKinds{
    TessaroItemKind::login,  TessaroItemKind::creditCard, TessaroItemKind::bankCard,
    TessaroItemKind::apiKey, TessaroItemKind::server,     TessaroItemKind::secureNote,
};

/// The raw value of `kind`: "login", "credit_card", "bank_card", "api_key", "server",
/// "secure_note"; empty for a value outside the enumeration. Thread-safe.
TESSARO_EXPORT std::string_view rawValue(TessaroItemKind kind) noexcept;
/// The kind whose raw value is exactly `raw` (case-sensitive); nothing for any other text.
/// Thread-safe.
TESSARO_EXPORT std::optional<TessaroItemKind> itemKindFromRaw(std::string_view raw) noexcept;

/// Writes the raw value of `kind` into `j` as a JSON string. Throws only std::bad_alloc.
TESSARO_EXPORT void to_json(nlohmann::json& j, TessaroItemKind kind);
/// Reads a kind from its raw value. Throws tessaro::DecodingError when `j` is not a string or
/// names no kind (`kind` is then unchanged).
TESSARO_EXPORT void from_json(const nlohmann::json& j, TessaroItemKind& kind);

/// Names one field of an item; the key of an update patch. Any text is a valid field; the five
/// named constants are the common ones. Ordered and hashable by its raw value.
/// Immutable value, safe to share between threads; throws only std::bad_alloc.
class TESSARO_EXPORT TessaroField {
public:
    /// The field named `rawValue`.
    explicit TessaroField(std::string rawValue) : rawValue_(std::move(rawValue)) {}
    /// Construction from a string literal: TessaroField f = "totp";
    TessaroField(const char* rawValue) : rawValue_(rawValue) {}

    /// The field's name as the item and the patch carry it.
    const std::string& rawValue() const noexcept { return rawValue_; }

    static const TessaroField title;     ///< "title"
    static const TessaroField username;  ///< "username"
    static const TessaroField password;  ///< "password"
    static const TessaroField url;       ///< "url"
    static const TessaroField notes;     ///< "notes"

    /// Equal when the raw values are equal.
    friend bool operator==(const TessaroField&, const TessaroField&) = default;
    /// Ordered by raw value.
    friend auto operator<=>(const TessaroField&, const TessaroField&) = default;

private:
    std::string rawValue_;
};

inline const TessaroField TessaroField::title{"title"};
inline const TessaroField TessaroField::username{"username"};
inline const TessaroField TessaroField::password{"password"};
inline const TessaroField TessaroField::url{"url"};
inline const TessaroField TessaroField::notes{"notes"};

/// What the host knows about the item it wants picked. Plain value.
struct TESSARO_EXPORT TessaroHint {
    std::optional<std::string> url{};       ///< the site the item is for
    std::optional<std::string> title{};     ///< the item's title, or part of it
    std::optional<TessaroItemKind> kind{};  ///< the kind of item wanted

    /// {"url", "title", "kind"(raw value)}, each member only when the field has a value.
    /// Throws only std::bad_alloc.
    nlohmann::json json() const;

    /// Member-wise equality.
    friend bool operator==(const TessaroHint&, const TessaroHint&) = default;
};

/// Values proposed for a new item. Plain value.
struct TESSARO_EXPORT TessaroPrefill {
    std::optional<std::string> title{};              ///< the proposed title
    std::optional<std::string> url{};                ///< the proposed site
    std::optional<std::string> usernameHint{};       ///< the proposed user name
    std::map<std::string, std::string> extraHint{};  ///< further proposed fields by name

    /// {"title", "url", "username_hint", "extra_hint"}: each optional member only when it has a
    /// value, "extra_hint" only when it has at least one entry. Throws only std::bad_alloc.
    nlohmann::json json() const;

    /// Member-wise equality.
    friend bool operator==(const TessaroPrefill&, const TessaroPrefill&) = default;
};

/// The decrypted contents of one item. Plain value; fromJSON never throws on malformed input.
struct TESSARO_EXPORT TessaroRecord {
    std::string title;                              ///< the item's title
    std::string username;                           ///< the user name
    std::string password;                           ///< the password (a secret: do not log it)
    std::string url;                                ///< the site
    std::string notes;                              ///< free text
    TessaroItemKind kind = TessaroItemKind::login;  ///< the kind named by kindRaw, login when it names none
    std::string kindRaw;  ///< the kind exactly as the item stated it, also when it names no known kind
    std::map<std::string, std::string> extra;  ///< further fields by name, values as text
    std::string updatedAt;                     ///< time of last change, as text, not parsed

    /// An empty login record (kindRaw "login").
    TessaroRecord();
    /// A record of the given members. Without `kindRaw`, the record stores the raw value of `kind`.
    /// Throws only std::bad_alloc.
    TessaroRecord(std::string title, std::string username, std::string password, std::string url, std::string notes,
                  TessaroItemKind kind, std::optional<std::string> kindRaw = std::nullopt,
                  std::map<std::string, std::string> extra = {}, std::string updatedAt = {});

    /// Reads "title", "username", "password", "url", "notes", "kind", "extra", "updated_at".
    /// A missing or null text member is empty, a string is taken unchanged, a number becomes its
    /// decimal text, a boolean "1"/"0", an array or object its compact JSON text (sorted keys).
    /// kind: the kind named by kindRaw, login when it is empty or unknown. extra: string values
    /// unchanged, nulls skipped, other values as compact sorted-key JSON text ("5", "true",
    /// "[1,2]"); empty when "extra" is not an object. A non-object `j` reads as an empty object.
    /// A value that cannot be written as JSON (invalid UTF-8, arrays and objects nested more than
    /// 512 levels deep) is an empty text, and an "extra" entry holding one is skipped.
    /// Throws only std::bad_alloc.
    static TessaroRecord fromJSON(const nlohmann::json& j);

    /// Member-wise equality.
    friend bool operator==(const TessaroRecord&, const TessaroRecord&) = default;
};

/// An item with its identifier and revision. Plain value.
struct TessaroItem {
    std::string id{};           ///< the server's identifier of the item
    std::int64_t revision = 0;  ///< raised by every change; an update names the revision it read
    TessaroRecord record{};     ///< the decrypted contents

    /// Member-wise equality.
    friend bool operator==(const TessaroItem&, const TessaroItem&) = default;
};

/// An item as a request status names it, without secrets. Plain value.
struct TESSARO_EXPORT TessaroItemSummary {
    std::string id{};                               ///< the server's identifier of the item
    std::string title{};                            ///< the item's title
    std::string url{};                              ///< the item's site
    TessaroItemKind kind = TessaroItemKind::login;  ///< the item's kind

    /// Nothing for no object (null `j`), a non-object, an empty object, or one whose "id" is not a
    /// string. "title"/"url" only when strings (else empty); kind from a string "kind", login when
    /// it is missing, not a string, empty or unknown. Throws only std::bad_alloc.
    static std::optional<TessaroItemSummary> fromJSON(const nlohmann::json* j);
    /// fromJSON of the contained value; nothing when `j` holds none.
    static std::optional<TessaroItemSummary> fromJSON(const std::optional<nlohmann::json>& j);
    /// fromJSON(&j).
    static std::optional<TessaroItemSummary> fromJSON(const nlohmann::json& j) { return fromJSON(&j); }

    /// Member-wise equality.
    friend bool operator==(const TessaroItemSummary&, const TessaroItemSummary&) = default;
};

/// One vault a grant covers. JSON form {"vault_id", "name", "kind", "mode"}: from_json throws
/// tessaro::DecodingError when `j` is not an object, "vault_id" is missing or not a string, or a
/// member has the wrong type ("mode" must be an integer, 2.0 counts as 2); a missing (or null)
/// "name"/"kind" stays absent and a missing (or null) "mode" is 1. to_json always writes
/// "vault_id" and "mode", "name"/"kind" only when they have a value.
struct TessaroVault {
    std::string id;                     ///< the server's identifier of the vault
    std::optional<std::string> name{};  ///< the vault's display name
    std::optional<std::string> kind{};  ///< free text, not a TessaroItemKind
    std::int64_t mode = 1;              ///< 1: items may be created and changed; any other mode is read-only

    /// Member-wise equality.
    friend bool operator==(const TessaroVault&, const TessaroVault&) = default;
};

/// Writes the JSON form of `vault` into `j`. Throws only std::bad_alloc.
TESSARO_EXPORT void to_json(nlohmann::json& j, const TessaroVault& vault);
/// Reads a vault from its JSON form; throws tessaro::DecodingError as described at TessaroVault
/// (`vault` is then unchanged).
TESSARO_EXPORT void from_json(const nlohmann::json& j, TessaroVault& vault);

/// Decodes a JSON array of vaults, all or nothing: when `j` is not an array or any one element
/// fails to decode, the result is empty. Never throws except std::bad_alloc.
TESSARO_EXPORT std::vector<TessaroVault> decodeVaultList(const nlohmann::json& j);
/// The JSON array of `vaults`, in order. Throws only std::bad_alloc.
TESSARO_EXPORT nlohmann::json encodeVaultList(const std::vector<TessaroVault>& vaults);

/// What the host holds after authorization. Plain value.
struct TessaroGrant {
    std::string grantID{};                 ///< the server's identifier of the grant
    std::string accountID{};               ///< the account that granted it
    std::vector<TessaroVault> vaults{};    ///< in the server's order
    std::string approvalKeyFingerprint{};  ///< fingerprint of the client's approval public key

    /// Member-wise equality.
    friend bool operator==(const TessaroGrant&, const TessaroGrant&) = default;
};

/// The result of createItem. Plain value.
struct TessaroCreated {
    std::string requestID{};                      ///< the server's identifier of the request
    std::optional<TessaroItem> item{};            ///< the saved item, when the grant covers its vault
    std::optional<TessaroItemSummary> summary{};  ///< the saved item without secrets, when the server named it
    bool savedOutOfScope = false;                 ///< saved into a vault the grant does not cover: no contents

    /// Member-wise equality.
    friend bool operator==(const TessaroCreated&, const TessaroCreated&) = default;
};

/// The result of updateItem. Plain value.
struct TessaroUpdated {
    std::string requestID{};    ///< the server's identifier of the request
    std::string itemID{};       ///< the changed item
    std::int64_t revision = 0;  ///< the item's new revision

    /// Member-wise equality.
    friend bool operator==(const TessaroUpdated&, const TessaroUpdated&) = default;
};

}  // namespace tessaro

/// Hashes a TessaroField by its raw value, consistent with its equality.
template <>
struct std::hash<tessaro::TessaroField> {
    /// The hash of `field.rawValue()`.
    std::size_t operator()(const tessaro::TessaroField& field) const noexcept {
        return std::hash<std::string>{}(field.rawValue());
    }
};

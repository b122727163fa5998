#pragma once
// The public records that cross the kit's boundary, with their JSON forms; also pulls in URL,
// TessaroError, TessaroWaiting and Timestamp.
//
// All records are plain values: copies are independent, equality is member-wise, and none is
// synchronised (share copies between threads, not references to one being changed).

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

#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/records/tessaro_waiting.hpp>
#include <tessaro/records/timestamp.hpp>
#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

// The settings a client is built from. Plain value; throws nothing of its own.
struct TessaroConfiguration {
    std::string clientID;  // issued by the server to the host application
    URL redirectURL;       // the host's callback URL
    URL origin;            // the server's https origin; API paths are joined to it
    URL downloadURL;       // where to get the password-manager application (TessaroError::defaultDownloadURL())

    friend bool operator==(const TessaroConfiguration&, const TessaroConfiguration&) = default;
};

// The kind of a vault item. JSON form: its raw value as a single string; decoding any other
// string (or a non-string) throws nlohmann::json::exception.
enum class TessaroItemKind {
    login,
    creditCard,
    bankCard,
    apiKey,
    server,
    secureNote,
};

// Every kind, in declaration order.
inline constexpr std::array<TessaroItemKind, 6> allItemKinds{
    TessaroItemKind::login,  TessaroItemKind::creditCard, TessaroItemKind::bankCard,
    TessaroItemKind::apiKey, TessaroItemKind::server,     TessaroItemKind::secureNote,
};

// "login", "credit_card", "bank_card", "api_key", "server", "secure_note".
TESSARO_EXPORT std::string_view rawValue(TessaroItemKind kind) noexcept;
// The kind whose raw value is exactly `raw` (case-sensitive); nothing for any other text.
TESSARO_EXPORT std::optional<TessaroItemKind> itemKindFromRaw(std::string_view raw) noexcept;

TESSARO_EXPORT void to_json(nlohmann::json& j, TessaroItemKind kind);
TESSARO_EXPORT void from_json(const nlohmann::json& j, TessaroItemKind& kind);

// Names one field of an item; the key of an update patch. Any text is a valid field; the five
// named constants are the common ones. Ordered and hashable by its raw value.
// Immutable value; throws only std::bad_alloc.
class TESSARO_EXPORT TessaroField {
public:
    explicit TessaroField(std::string rawValue) : rawValue_(std::move(rawValue)) {}
    // Construction from a string literal: TessaroField f = "totp";
    TessaroField(const char* rawValue) : rawValue_(rawValue) {}

    const std::string& rawValue() const noexcept { return rawValue_; }

    static const TessaroField title;
    static const TessaroField username;
    static const TessaroField password;
    static const TessaroField url;
    static const TessaroField notes;

    friend bool operator==(const TessaroField&, const TessaroField&) = default;
    friend auto operator<=>(const TessaroField&, const TessaroField&) = default;

private:
    std::string rawValue_;
};

inline const TessaroField TessaroField::title{"title"};
inline const TessaroField TessaroField::username{"username"};
inline const TessaroField TessaroField::password{"password"};
inline const TessaroField TessaroField::url{"url"};
inline const TessaroField TessaroField::notes{"notes"};

// What the host knows about the item it wants picked. Plain value.
struct TESSARO_EXPORT TessaroHint {
    std::optional<std::string> url{};
    std::optional<std::string> title{};
    std::optional<TessaroItemKind> kind{};

    // {"url", "title", "kind"(raw value)}, each member only when the field has a value.
    nlohmann::json json() const;

    friend bool operator==(const TessaroHint&, const TessaroHint&) = default;
};

// Values proposed for a new item. Plain value.
struct TESSARO_EXPORT TessaroPrefill {
    std::optional<std::string> title{};
    std::optional<std::string> url{};
    std::optional<std::string> usernameHint{};
    std::map<std::string, std::string> extraHint{};

    // {"title", "url", "username_hint", "extra_hint"}: each optional member only when it has a
    // value, "extra_hint" only when it has at least one entry.
    nlohmann::json json() const;

    friend bool operator==(const TessaroPrefill&, const TessaroPrefill&) = default;
};

// The decrypted contents of one item. Plain value; fromJSON never throws on malformed input.
struct TESSARO_EXPORT TessaroRecord {
    std::string title;
    std::string username;
    std::string password;
    std::string url;
    std::string notes;
    TessaroItemKind kind = TessaroItemKind::login;
    std::string kindRaw;  // the kind exactly as the item stated it, also when it names no known kind
    std::map<std::string, std::string> extra;
    std::string updatedAt;  // time of last change, as text, not parsed

    // An empty login record (kindRaw "login").
    TessaroRecord();
    // Without `kindRaw`, the record stores the raw value of `kind`.
    TessaroRecord(std::string title, std::string username, std::string password, std::string url, std::string notes,
                  TessaroItemKind kind, std::optional<std::string> kindRaw = std::nullopt,
                  std::map<std::string, std::string> extra = {}, std::string updatedAt = {});

    // Reads "title", "username", "password", "url", "notes", "kind", "extra", "updated_at".
    // A missing or null text member is empty, a string is taken unchanged, a number becomes its
    // decimal text, a boolean "1"/"0", an array or object its compact JSON text (sorted keys).
    // kind: the kind named by kindRaw, login when it is empty or unknown. extra: string values
    // unchanged, nulls skipped, other values as compact sorted-key JSON text ("5", "true",
    // "[1,2]"); empty when "extra" is not an object. A non-object `j` reads as an empty object.
    // A value that cannot be written as JSON (invalid UTF-8, arrays and objects nested more than
    // 512 levels deep) is an empty text, and an "extra" entry holding one is skipped.
    static TessaroRecord fromJSON(const nlohmann::json& j);

    friend bool operator==(const TessaroRecord&, const TessaroRecord&) = default;
};

// An item with its identifier and revision. Plain value.
struct TessaroItem {
    std::string id{};
    std::int64_t revision = 0;
    TessaroRecord record{};

    friend bool operator==(const TessaroItem&, const TessaroItem&) = default;
};

// An item as a request status names it, without secrets. Plain value.
struct TESSARO_EXPORT TessaroItemSummary {
    std::string id{};
    std::string title{};
    std::string url{};
    TessaroItemKind kind = TessaroItemKind::login;

    // Nothing for no object, a non-object, an empty object, or one whose "id" is not a string.
    // "title"/"url" only when strings (else empty); kind from a string "kind", login when it is
    // missing, not a string, empty or unknown. Never throws on malformed input.
    static std::optional<TessaroItemSummary> fromJSON(const nlohmann::json* j);
    static std::optional<TessaroItemSummary> fromJSON(const std::optional<nlohmann::json>& j);
    static std::optional<TessaroItemSummary> fromJSON(const nlohmann::json& j) { return fromJSON(&j); }

    friend bool operator==(const TessaroItemSummary&, const TessaroItemSummary&) = default;
};

// One vault a grant covers. JSON form {"vault_id", "name", "kind", "mode"}: from_json throws
// nlohmann::json::exception when "vault_id" is missing or not a string, or a member has the wrong
// type; a missing (or null) "name"/"kind" stays absent and a missing (or null) "mode" is 1.
// to_json always writes "vault_id" and "mode", "name"/"kind" only when they have a value.
struct TessaroVault {
    std::string id;
    std::optional<std::string> name{};
    std::optional<std::string> kind{};  // free text, not a TessaroItemKind
    std::int64_t mode = 1;

    friend bool operator==(const TessaroVault&, const TessaroVault&) = default;
};

TESSARO_EXPORT void to_json(nlohmann::json& j, const TessaroVault& vault);
TESSARO_EXPORT void from_json(const nlohmann::json& j, TessaroVault& vault);

// Decodes a JSON array of vaults, all or nothing: when `j` is not an array or any one element
// fails to decode, the result is empty. Never throws except std::bad_alloc.
TESSARO_EXPORT std::vector<TessaroVault> decodeVaultList(const nlohmann::json& j);
// The JSON array of `vaults`, in order.
TESSARO_EXPORT nlohmann::json encodeVaultList(const std::vector<TessaroVault>& vaults);

// What the host holds after authorization. Plain value.
struct TessaroGrant {
    std::string grantID{};
    std::string accountID{};
    std::vector<TessaroVault> vaults{};    // in the server's order
    std::string approvalKeyFingerprint{};  // fingerprint of the client's approval public key

    friend bool operator==(const TessaroGrant&, const TessaroGrant&) = default;
};

// The result of createItem. Plain value.
struct TessaroCreated {
    std::string requestID{};
    std::optional<TessaroItem> item{};
    std::optional<TessaroItemSummary> summary{};
    bool savedOutOfScope = false;  // saved into a vault the grant does not cover: no contents

    friend bool operator==(const TessaroCreated&, const TessaroCreated&) = default;
};

// The result of updateItem. Plain value.
struct TessaroUpdated {
    std::string requestID{};
    std::string itemID{};
    std::int64_t revision = 0;  // the item's new revision

    friend bool operator==(const TessaroUpdated&, const TessaroUpdated&) = default;
};

}  // namespace tessaro

template <>
struct std::hash<tessaro::TessaroField> {
    std::size_t operator()(const tessaro::TessaroField& field) const noexcept {
        return std::hash<std::string>{}(field.rawValue());
    }
};

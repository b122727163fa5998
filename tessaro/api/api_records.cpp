// Reading the server's token, account and request-status objects, and writing the request bodies.

#include <algorithm>
#include <set>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/records/internal/json_support.hpp>

namespace tessaro {

namespace {

using json = nlohmann::json;

const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::string requiredString(const json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) throw TessaroAPI::APIError::decoding();
    return std::move(*value);
}

// An integral JSON number that fits in 64 signed bits; a float counts when its value is a whole
// number in range (3.0), never a fraction, a boolean or a string.
std::optional<std::int64_t> optionalInteger(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    return detail::integerValue(*value);
}

// A token travels in a header line (the access token) or is stored and sent back later (the
// refresh token): CR, LF or NUL in it would break every later request, so such a token is refused
// where it arrives.
bool isHeaderSafe(const std::string& token) {
    return token.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

bool flag(const json& object, const char* key) {
    const json* value = member(object, key);
    return value != nullptr && value->is_boolean() && value->get<bool>();
}

// Missing: empty. Otherwise all or nothing: any element that does not decode empties the list.
std::vector<TessaroVault> vaultList(const json& object) {
    const json* value = member(object, "vaults");
    if (value == nullptr) return {};
    return decodeVaultList(*value);
}

std::optional<std::string> deniedReasonOf(const json& object) {
    for (const char* key : {"deny_reason", "denied_reason", "reason_code", "result_reason"}) {
        if (auto text = optionalString(object, key)) return text;
    }
    if (optionalString(object, "reason") == "conflict") return std::string("conflict");
    return std::nullopt;
}

}  // namespace

TessaroAPI::TokenResponse TessaroAPI::TokenResponse::fromJSON(const json& object) {
    if (!object.is_object()) throw APIError::decoding();
    TokenResponse token;
    token.accessToken = requiredString(object, "access_token");
    token.grantID = requiredString(object, "grant_id");
    token.accountID = requiredString(object, "account_id");
    token.expiresIn = optionalInteger(object, "expires_in").value_or(3600);
    token.refreshToken = optionalString(object, "refresh_token");
    token.refreshExpiresIn = optionalInteger(object, "refresh_expires_in");
    token.clientType = optionalString(object, "client_type");
    token.accountIdentityPublicKey = optionalString(object, "account_identity_public_key");
    token.vaults = vaultList(object);
    if (!isHeaderSafe(token.accessToken) || (token.refreshToken && !isHeaderSafe(*token.refreshToken))) {
        throw APIError::decoding();
    }
    return token;
}

TessaroAPI::AccountInfo TessaroAPI::AccountInfo::fromJSON(const json& object) {
    if (!object.is_object()) throw APIError::decoding();
    AccountInfo info;
    info.accountID = requiredString(object, "account_id");
    info.identityPublicKey = requiredString(object, "identity_public_key");
    info.vaults = vaultList(object);
    return info;
}

TessaroAPI::RequestStatus TessaroAPI::RequestStatus::fromJSON(const json& object) {
    if (!object.is_object()) throw APIError::decoding();
    RequestStatus status;
    status.requestID = requiredString(object, "request_id");
    status.state = requiredString(object, "state");
    status.op = optionalString(object, "op");
    status.vaultID = optionalString(object, "vault_id");
    status.itemID = optionalString(object, "item_id");
    if (auto text = optionalString(object, "expires_at")) status.expiresAt = parseDate(*text);
    status.waitingOn = optionalString(object, "waiting_on");
    status.waitingReason = optionalString(object, "waiting_reason");
    status.resultEnc = optionalString(object, "result_enc");
    status.createdItem = TessaroItemSummary::fromJSON(member(object, "created_item"));
    status.pickedItem = TessaroItemSummary::fromJSON(member(object, "picked_item"));
    if (const json* updated = member(object, "updated_item"); updated != nullptr && updated->is_object()) {
        status.updatedItemID = optionalString(*updated, "id");
        status.updatedRevision = optionalInteger(*updated, "revision");
    }
    status.savedOutOfScope = flag(object, "saved_out_of_scope");
    status.existing = flag(object, "existing");
    status.deniedReason = deniedReasonOf(object);
    return status;
}

bool TessaroAPI::RequestStatus::isTerminal() const noexcept {
    return state == "completed" || state == "denied" || state == "expired" || state == "cancelled";
}

json TessaroAPI::pickItemBody(const TessaroHint& hint, const std::optional<std::string>& reason,
                              const std::optional<std::string>& vaultID) {
    json body = json::object();
    body["op"] = "pick_item";
    body["vault_id"] = vaultID ? json(*vaultID) : json(nullptr);
    json hintJSON = hint.json();
    if (hintJSON.is_object() && !hintJSON.empty()) body["hint"] = std::move(hintJSON);
    if (reason) body["reason"] = *reason;
    return body;
}

json TessaroAPI::getItemBody(const std::string& vaultID, const std::string& itemID) {
    return json{{"op", "get_item"}, {"vault_id", vaultID}, {"item_id", itemID}};
}

json TessaroAPI::createItemBody(const std::string& vaultID, TessaroItemKind kind, const TessaroPrefill& prefill,
                                const std::optional<std::string>& reason) {
    json body = json::object();
    body["op"] = "create_item";
    body["vault_id"] = vaultID;
    body["kind"] = std::string(rawValue(kind));
    json prefillJSON = prefill.json();
    body["prefill"] = prefillJSON.is_object() ? std::move(prefillJSON) : json::object();
    if (reason) body["reason"] = *reason;
    return body;
}

json TessaroAPI::updateItemBody(const std::string& vaultID, const std::string& itemID,
                                const std::vector<TessaroField>& fields, const std::optional<std::string>& reason) {
    std::set<std::string> names;  // ascending byte order, each name once
    for (const auto& field : fields)
        names.insert(field.rawValue());
    json body = json::object();
    body["op"] = "update_item";
    body["vault_id"] = vaultID;
    body["item_id"] = itemID;
    body["fields"] = json(std::vector<std::string>(names.begin(), names.end()));
    if (reason) body["reason"] = *reason;
    return body;
}

}  // namespace tessaro

#include <tessaro/records/json_forms.hpp>

#include <cstddef>
#include <utility>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/internal/utf8.hpp>

namespace tessaro::forms {
namespace {

using nlohmann::json;

// Texts go into the forms as they are; forms::dump writes invalid UTF-8 as U+FFFD.
json jsonText(std::string_view value) { return std::string(value); }

json optionalText(const std::optional<std::string>& value) { return value ? jsonText(*value) : json(nullptr); }

[[noreturn]] void refuse(std::string_view what, const std::string& problem) {
    throw InvalidArgument(std::string(what) + ": " + problem);
}

// A member's name as a message quotes it.
std::string quotedName(std::string_view name) { return "\"" + std::string(name) + "\""; }

void requireObject(const json& form, std::string_view what) {
    if (!form.is_object()) refuse(what, "not a JSON object");
}

// The text of a string member; nothing for null.
std::optional<std::string> stringMember(const json& value, std::string_view name, std::string_view what) {
    if (value.is_null()) return std::nullopt;
    if (!value.is_string()) refuse(what, quotedName(name) + " must be a string");
    return value.get<std::string>();
}

std::string kindNames() {
    std::string names;
    for (const auto kind : allItemKinds) {
        if (!names.empty()) names += ", ";
        names += quotedName(rawValue(kind));
    }
    return names;
}

}  // namespace

json item(const TessaroItem& item, Password password) {
    const TessaroRecord& r = item.record;
    json extra = json::object();
    for (const auto& [name, value] : r.extra)
        extra.emplace(name, value);
    const std::string_view kind = rawValue(r.kind);
    return {{"id", jsonText(item.id)},
            {"revision", item.revision},
            {"title", jsonText(r.title)},
            {"username", jsonText(r.username)},
            {"password", password == Password::included ? jsonText(r.password) : json(nullptr)},
            {"url", jsonText(r.url)},
            {"notes", jsonText(r.notes)},
            {"kind", kind.empty() ? rawValue(TessaroItemKind::login) : kind},
            {"kind_raw", jsonText(r.kindRaw)},
            {"extra", std::move(extra)},
            {"updated_at", jsonText(r.updatedAt)}};
}

json summary(const TessaroItemSummary& summary) {
    const std::string_view kind = rawValue(summary.kind);
    return {{"id", jsonText(summary.id)},
            {"title", jsonText(summary.title)},
            {"url", jsonText(summary.url)},
            {"kind", kind.empty() ? rawValue(TessaroItemKind::login) : kind}};
}

json vault(const TessaroVault& vault) {
    return {{"id", jsonText(vault.id)},
            {"name", optionalText(vault.name)},
            {"kind", optionalText(vault.kind)},
            {"mode", vault.mode}};
}

json grant(const TessaroGrant& grant) {
    json vaults = json::array();
    for (const auto& v : grant.vaults)
        vaults.push_back(vault(v));
    return {{"grant_id", jsonText(grant.grantID)},
            {"account_id", jsonText(grant.accountID)},
            {"vaults", std::move(vaults)},
            {"approval_key_fingerprint", jsonText(grant.approvalKeyFingerprint)}};
}

json created(const TessaroCreated& created, Password password) {
    return {{"request_id", jsonText(created.requestID)},
            {"saved_out_of_scope", created.savedOutOfScope},
            {"item", created.item ? item(*created.item, password) : json(nullptr)},
            {"summary", created.summary ? summary(*created.summary) : json(nullptr)}};
}

json updated(const TessaroUpdated& updated) {
    return {{"request_id", jsonText(updated.requestID)},
            {"item_id", jsonText(updated.itemID)},
            {"revision", updated.revision}};
}

json waiting(const TessaroWaiting& waiting) {
    json out = {{"phase", waiting.phase.isAuthorize() ? "authorize" : "request"},
                {"message", jsonText(waiting.message())}};
    if (!waiting.phase.isAuthorize()) out["op"] = jsonText(waiting.phase.op());
    if (waiting.requestID) out["request_id"] = jsonText(*waiting.requestID);
    if (waiting.waitingOn) out["waiting_on"] = jsonText(*waiting.waitingOn);
    if (waiting.waitingReason) out["waiting_reason"] = jsonText(*waiting.waitingReason);
    if (waiting.expiresAt) out["expires_at"] = secondsSince1970(*waiting.expiresAt);
    return out;
}

json error(const TessaroError& error) {
    json out = {{"error", codeName(error.code())}, {"message", jsonText(error.what())}};
    if (error.code() == TessaroError::Code::protocol) out["protocol_code"] = jsonText(error.protocolCode());
    if (error.downloadURL()) out["download_url"] = jsonText(error.downloadURL()->absoluteString());
    return out;
}

std::string_view codeName(TessaroError::Code code) noexcept {
    switch (code) {
        case TessaroError::Code::notInstalled: return "not_installed";
        case TessaroError::Code::network: return "network";
        case TessaroError::Code::protocol: return "protocol";
        case TessaroError::Code::notAuthorized: return "not_authorized";
        case TessaroError::Code::cancelled: return "cancelled";
        case TessaroError::Code::denied: return "denied";
        case TessaroError::Code::expired: return "expired";
        case TessaroError::Code::notSignedIn: return "not_signed_in";
        case TessaroError::Code::revoked: return "revoked";
        case TessaroError::Code::conflict: return "conflict";
    }
    return "unknown";
}

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json parseObject(std::string_view source, std::string_view what) {
    // nlohmann's own messages quote the text they stopped at; these do not.
    if (!detail::isValidUTF8(source)) refuse(what, "not UTF-8");
    json parsed = json::parse(source, nullptr, false);
    if (parsed.is_discarded()) refuse(what, "not valid JSON");
    requireObject(parsed, what);
    return parsed;
}

TessaroHint hint(const json& form, std::string_view what) {
    requireObject(form, what);
    TessaroHint hint;
    for (const auto& [name, value] : form.items()) {
        if (name == "url") {
            hint.url = stringMember(value, name, what);
        } else if (name == "title") {
            hint.title = stringMember(value, name, what);
        } else if (name == "kind") {
            const auto raw = stringMember(value, name, what);
            if (!raw) continue;
            hint.kind = itemKindFromRaw(*raw);
            if (!hint.kind) refuse(what, "\"kind\" must be one of " + kindNames());
        } else {
            refuse(what, "unknown member " + quotedName(name));
        }
    }
    return hint;
}

TessaroPrefill prefill(const json& form, std::string_view what) {
    requireObject(form, what);
    TessaroPrefill prefill;
    for (const auto& [name, value] : form.items()) {
        if (name == "title") {
            prefill.title = stringMember(value, name, what);
        } else if (name == "url") {
            prefill.url = stringMember(value, name, what);
        } else if (name == "username_hint") {
            prefill.usernameHint = stringMember(value, name, what);
        } else if (name == "extra_hint") {
            if (value.is_null()) continue;
            if (!value.is_object()) refuse(what, "\"extra_hint\" must be an object");
            for (const auto& [field, entry] : value.items()) {
                if (entry.is_null()) continue;
                if (!entry.is_string())
                    refuse(what, "\"extra_hint\" member " + quotedName(field) + " must be a string");
                prefill.extraHint[field] = entry.get<std::string>();
            }
        } else {
            refuse(what, "unknown member " + quotedName(name));
        }
    }
    return prefill;
}

std::map<TessaroField, std::string> patch(const json& form, std::string_view what) {
    requireObject(form, what);
    std::map<TessaroField, std::string> fields;
    for (const auto& [name, value] : form.items()) {
        if (auto newValue = stringMember(value, name, what)) fields.emplace(TessaroField(name), std::move(*newValue));
    }
    return fields;
}

}  // namespace tessaro::forms

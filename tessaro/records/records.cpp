#include <tessaro/records/records.hpp>

#include <cmath>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/internal/json_support.hpp>
#include <tessaro/records/internal/utf8.hpp>

namespace tessaro {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 6> kindRawValues{
    "login", "credit_card", "bank_card", "api_key", "server", "secure_note",
};

// Deepest nesting of arrays and objects that compactJSON writes. The parser reads any depth
// without recursion, but dump() recurses once per level, so deeper input would exhaust the stack.
constexpr std::size_t maxWrittenDepth = 512;

// True when arrays and objects nest more than maxWrittenDepth levels deep; walks without recursion.
bool nestedTooDeep(const json& root) {
    std::vector<std::pair<const json*, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        if (depth > maxWrittenDepth) return true;
        for (const json& child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return false;
}

// An integral double within 2^53 as the integer it names (5.0 and -0.0 as 5 and 0), so that a
// number reads the same whether the sender wrote 5 or 5.0; other numbers unchanged.
json wholeNumbersAsIntegers(const json& root) {
    json copy = root;
    std::vector<json*> pending{&copy};
    while (!pending.empty()) {
        json* value = pending.back();
        pending.pop_back();
        if (value->is_structured()) {
            for (json& child : *value)
                pending.push_back(&child);
        } else if (value->is_number_float()) {
            const double d = value->get<double>();
            if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9007199254740992.0) {
                *value = static_cast<std::int64_t>(d);
            }
        }
    }
    return copy;
}

// Compact JSON text with the keys of every object sorted (nlohmann::json keeps objects in a
// sorted map), UTF-8 as is and "/" unescaped. Numbers follow one rule wherever they stand, alone
// or nested: a whole number prints without a fraction ("5" for 5.0, "[1]" for [1.0]); any other
// the shortest text that reads back to the same double ("2.5", "1e+21"). Nothing when the value
// cannot be written as JSON (invalid UTF-8 in a string, a discarded value, nesting deeper than
// maxWrittenDepth).
std::optional<std::string> compactJSON(const json& value) {
    if (value.is_discarded() || nestedTooDeep(value)) return std::nullopt;
    try {
        return detail::compactText(wholeNumbersAsIntegers(value));
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

// The text of member `key` of a record object: missing or null is empty, a string is taken
// unchanged, a number is its decimal text, a boolean "1" or "0", an array or object its compact
// JSON text (empty when it cannot be written).
std::string recordText(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return {};
    const json& value = *it;
    switch (value.type()) {
        case json::value_t::string: return value.get_ref<const std::string&>();
        case json::value_t::boolean: return value.get<bool>() ? "1" : "0";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
        case json::value_t::array:
        case json::value_t::object: return compactJSON(value).value_or("");
        case json::value_t::null:
        case json::value_t::binary:
        case json::value_t::discarded: return {};
    }
    return {};
}

// An optional string member of a vault: missing or null is absent, a string is taken, anything
// else fails the decoding.
std::optional<std::string> optionalVaultString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) {
        throw DecodingError(std::string("TessaroVault: \"") + key + "\" must be a string, not " + it->type_name());
    }
    return it->get<std::string>();
}

std::int64_t vaultMode(const json& object) {
    const auto it = object.find("mode");
    if (it == object.end() || it->is_null()) return 1;
    // A number written as 2.0 still names an integer; 2.5 or one beyond 64 bits does not.
    if (const auto mode = detail::integerValue(*it)) return *mode;
    // The type name, not the value: writing out a hostile value could itself fail or recurse deeply.
    throw DecodingError(std::string("TessaroVault: \"mode\" must be a 64-bit integer, not ") +
                        (it->is_number() ? "a non-integral or out-of-range number" : it->type_name()));
}

}  // namespace

std::string_view rawValue(TessaroItemKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < kindRawValues.size() ? kindRawValues[index] : std::string_view{};
}

std::optional<TessaroItemKind> itemKindFromRaw(std::string_view raw) noexcept {
    for (const TessaroItemKind kind : allItemKinds) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

void to_json(nlohmann::json& j, TessaroItemKind kind) { j = std::string(rawValue(kind)); }

void from_json(const nlohmann::json& j, TessaroItemKind& kind) {
    if (!j.is_string()) throw DecodingError(std::string("TessaroItemKind must be a string, not ") + j.type_name());
    const auto& raw = j.get_ref<const std::string&>();
    const auto parsed = itemKindFromRaw(raw);
    if (!parsed) {
        // The text only when short and valid UTF-8: it came from the wire and may be neither.
        const std::string shown = raw.size() <= 40 && detail::isValidUTF8(raw) ? raw : "(not shown)";
        throw DecodingError("TessaroItemKind: unknown raw value \"" + shown + "\"");
    }
    kind = *parsed;
}

nlohmann::json TessaroHint::json() const {
    auto j = nlohmann::json::object();
    if (url) j["url"] = *url;
    if (title) j["title"] = *title;
    if (kind) j["kind"] = std::string(rawValue(*kind));
    return j;
}

nlohmann::json TessaroPrefill::json() const {
    auto j = nlohmann::json::object();
    if (title) j["title"] = *title;
    if (url) j["url"] = *url;
    if (usernameHint) j["username_hint"] = *usernameHint;
    if (!extraHint.empty()) j["extra_hint"] = extraHint;
    return j;
}

TessaroRecord::TessaroRecord() : kindRaw(rawValue(TessaroItemKind::login)) {}

TessaroRecord::TessaroRecord(std::string title, std::string username, std::string password, std::string url,
                             std::string notes, TessaroItemKind kind, std::optional<std::string> kindRaw,
                             std::map<std::string, std::string> extra, std::string updatedAt)
    : title(std::move(title)),
      username(std::move(username)),
      password(std::move(password)),
      url(std::move(url)),
      notes(std::move(notes)),
      kind(kind),
      kindRaw(kindRaw ? std::move(*kindRaw) : std::string(rawValue(kind))),
      extra(std::move(extra)),
      updatedAt(std::move(updatedAt)) {}

TessaroRecord TessaroRecord::fromJSON(const nlohmann::json& j) {
    static const nlohmann::json emptyObject = nlohmann::json::object();
    const nlohmann::json& object = j.is_object() ? j : emptyObject;

    TessaroRecord record;
    record.title = recordText(object, "title");
    record.username = recordText(object, "username");
    record.password = recordText(object, "password");
    record.url = recordText(object, "url");
    record.notes = recordText(object, "notes");
    record.updatedAt = recordText(object, "updated_at");
    record.kindRaw = recordText(object, "kind");
    record.kind = itemKindFromRaw(record.kindRaw).value_or(TessaroItemKind::login);

    const auto extra = object.find("extra");
    if (extra != object.end() && extra->is_object()) {
        for (const auto& [key, value] : extra->items()) {
            if (value.is_string()) {
                record.extra.emplace(key, value.get<std::string>());
            } else if (!value.is_null()) {
                if (auto text = compactJSON(value)) record.extra.emplace(key, std::move(*text));
            }
        }
    }
    return record;
}

std::optional<TessaroItemSummary> TessaroItemSummary::fromJSON(const nlohmann::json* j) {
    if (j == nullptr || !j->is_object() || j->empty()) return std::nullopt;
    const auto id = j->find("id");
    if (id == j->end() || !id->is_string()) return std::nullopt;

    const auto stringMember = [j](const char* key) -> std::string {
        const auto it = j->find(key);
        return it != j->end() && it->is_string() ? it->get<std::string>() : std::string{};
    };
    TessaroItemSummary summary;
    summary.id = id->get<std::string>();
    summary.title = stringMember("title");
    summary.url = stringMember("url");
    summary.kind = itemKindFromRaw(stringMember("kind")).value_or(TessaroItemKind::login);
    return summary;
}

std::optional<TessaroItemSummary> TessaroItemSummary::fromJSON(const std::optional<nlohmann::json>& j) {
    return fromJSON(j ? &*j : nullptr);
}

void to_json(nlohmann::json& j, const TessaroVault& vault) {
    j = nlohmann::json::object();
    j["vault_id"] = vault.id;
    if (vault.name) j["name"] = *vault.name;
    if (vault.kind) j["kind"] = *vault.kind;
    j["mode"] = vault.mode;
}

void from_json(const nlohmann::json& j, TessaroVault& vault) {
    if (!j.is_object()) throw DecodingError(std::string("TessaroVault must be a JSON object, not ") + j.type_name());
    const auto id = j.find("vault_id");
    if (id == j.end()) throw DecodingError("TessaroVault: required key \"vault_id\" not found");
    if (!id->is_string()) {
        throw DecodingError(std::string("TessaroVault: \"vault_id\" must be a string, not ") + id->type_name());
    }
    TessaroVault decoded;
    try {
        decoded.id = id->get<std::string>();
        decoded.name = optionalVaultString(j, "name");
        decoded.kind = optionalVaultString(j, "kind");
        decoded.mode = vaultMode(j);
    } catch (const json::exception& error) {
        // Every member is checked before it is read; should the library still refuse one, the
        // caller sees the kit's own error.
        throw DecodingError(std::string("TessaroVault: ") + error.what());
    }
    vault = std::move(decoded);
}

std::vector<TessaroVault> decodeVaultList(const nlohmann::json& j) {
    if (!j.is_array()) return {};
    std::vector<TessaroVault> vaults;
    vaults.reserve(j.size());
    try {
        for (const auto& element : j)
            vaults.push_back(element.get<TessaroVault>());
    } catch (const DecodingError&) {
        return {};
    }
    return vaults;
}

nlohmann::json encodeVaultList(const std::vector<TessaroVault>& vaults) {
    auto j = nlohmann::json::array();
    for (const auto& vault : vaults)
        j.push_back(vault);
    return j;
}

}  // namespace tessaro

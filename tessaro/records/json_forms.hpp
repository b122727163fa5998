#pragma once
/// @file
/// The JSON forms a host exchanges with the kit outside C++: what the tessaro command prints with
/// --json and what the C interface passes. One definition for both; members may be added later,
/// none is removed or changes meaning.
///
/// Output forms (every member always present unless marked "?"):
/// - item: {"id", "revision", "title", "username", "password", "url", "notes", "kind", "kind_raw",
///   "extra": {name: text}, "updated_at"}. "kind" is the kind the kit knows (login for a kind it
///   does not know), "kind_raw" the kind exactly as the item stated it; "password" is the text only
///   when asked for, null otherwise.
/// - summary: {"id", "title", "url", "kind"}.
/// - vault: {"id", "name" (null when absent), "kind" (null when absent), "mode"}.
/// - grant: {"grant_id", "account_id", "vaults": [vault...], "approval_key_fingerprint"}.
/// - created: {"request_id", "saved_out_of_scope", "item": item or null, "summary": summary or null}.
/// - updated: {"request_id", "item_id", "revision"}.
/// - waiting: {"phase": "authorize" | "request", "op"? (request only; "" when none is named),
///   "request_id"?, "waiting_on"?, "waiting_reason"?, "expires_at"? (seconds since 1970, a number),
///   "message"}.
/// - error: {"error": code name, "message", "protocol_code"? (protocol only), "download_url"?}.
///
/// Input forms are strict: a JSON object whose members are all known and of the right type; a null
/// member counts as absent. Anything else throws tessaro::InvalidArgument naming the member.
/// - hint: {"url"?: text, "title"?: text, "kind"?: one of the six kind names}.
/// - prefill: {"title"?: text, "url"?: text, "username_hint"?: text, "extra_hint"?: {name: text}}
///   (a null entry of "extra_hint" is absent too).
/// - patch: {field name: text, ...} (may be empty; the client refuses an empty patch; a null value
///   leaves its field out).
///
/// Output forms carry the records' texts unchanged, which need not be valid UTF-8: write them with
/// forms::dump, which puts U+FFFD in place of an invalid sequence (nlohmann's own dump() throws).
///
/// Thread safety: free functions over values; every one may be called from any thread. Throws:
/// output forms and dump only std::bad_alloc; input forms tessaro::InvalidArgument as described.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <tessaro/records/records.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro::forms {

/// Whether an item form carries the password's text or null in its place.
enum class Password {
    withheld,  ///< "password": null
    included,  ///< "password": the text
};

/// The item form of `item`.
TESSARO_EXPORT nlohmann::json item(const TessaroItem& item, Password password);
/// The summary form of `summary`.
TESSARO_EXPORT nlohmann::json summary(const TessaroItemSummary& summary);
/// The vault form of `vault`.
TESSARO_EXPORT nlohmann::json vault(const TessaroVault& vault);
/// The grant form of `grant`, its vaults in order.
TESSARO_EXPORT nlohmann::json grant(const TessaroGrant& grant);
/// The created form of `created`; its item's password as `password` says.
TESSARO_EXPORT nlohmann::json created(const TessaroCreated& created, Password password);
/// The updated form of `updated`.
TESSARO_EXPORT nlohmann::json updated(const TessaroUpdated& updated);
/// The waiting form of `waiting`, its "message" the Chinese text TessaroWaiting::message() gives.
TESSARO_EXPORT nlohmann::json waiting(const TessaroWaiting& waiting);
/// The error form of `error`.
TESSARO_EXPORT nlohmann::json error(const TessaroError& error);
/// The code name of an error case: "not_installed", "network", "protocol", "not_authorized",
/// "cancelled", "denied", "expired", "not_signed_in", "revoked", "conflict"; "unknown" for a value
/// outside the enumeration. Never throws.
TESSARO_EXPORT std::string_view codeName(TessaroError::Code code) noexcept;

/// Compact JSON text of `value` (no whitespace, keys sorted); a string or key that is not valid
/// UTF-8 is written with U+FFFD in place of each invalid sequence. Throws only std::bad_alloc.
TESSARO_EXPORT std::string dump(const nlohmann::json& value);

/// Parses `text` as one JSON object. Throws tessaro::InvalidArgument ("<what>: ...") when it is
/// not valid JSON (text that is not UTF-8 included) or not an object. The message never quotes
/// `text`, which may hold secrets.
TESSARO_EXPORT nlohmann::json parseObject(std::string_view text, std::string_view what);
/// The hint a hint form describes; messages of its InvalidArgument begin with "<what>: ".
TESSARO_EXPORT TessaroHint hint(const nlohmann::json& form, std::string_view what = "hint_json");
/// The prefill a prefill form describes; messages of its InvalidArgument begin with "<what>: ".
TESSARO_EXPORT TessaroPrefill prefill(const nlohmann::json& form, std::string_view what = "prefill_json");
/// The fields and new values a patch form describes; messages of its InvalidArgument begin with
/// "<what>: " and never quote a value.
TESSARO_EXPORT std::map<TessaroField, std::string> patch(const nlohmann::json& form,
                                                         std::string_view what = "patch_json");

}  // namespace tessaro::forms

#pragma once
// The plaintexts of item operations: the patch the client seals and the result it opens.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/records/records.hpp>

namespace tessaro::detail {

// {"patch":{FIELD:VALUE,...}}: compact, keys in byte order, "/" and non-ASCII as they are, the
// JSON escapes of the kit's writer otherwise. Written straight into the buffer, so no other copy
// of a value is made. Nothing when a field name or value is not UTF-8.
std::optional<SecureBytes> patchPlaintext(const std::map<TessaroField, std::string>& patch);

// The revision of a result item: an integer (or a whole number within the signed 64-bit range),
// or a string of an optional "+" or "-" and decimal digits within that range; 0 otherwise.
std::int64_t revisionOf(const nlohmann::json& value) noexcept;

// The item a result plaintext holds: {"item":{"id":string,"revision"?,"record"?}}, other members
// ignored. Throws TessaroError::protocol("result_malformed") for anything else. Every string the
// parse made is wiped before it returns or throws; the plaintext itself is left to the caller.
TessaroItem readItemResult(const SecureBytes& plaintext);

// Overwrites every string value inside `value` with zeros (member names are names, not contents).
void wipeStrings(nlohmann::json& value) noexcept;

}  // namespace tessaro::detail

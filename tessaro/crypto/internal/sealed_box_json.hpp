#pragma once
// The two readers behind SealedBox::decode: a fast one for the exact compact form that
// encodedJSON writes, and the general JSON reader for everything else.

#include <optional>
#include <string_view>

#include <tessaro/crypto/sealed_box.hpp>

namespace tessaro::detail {

// The box if `json` is exactly {"envelope":{"ciphertext":"…","format":N,"nonce":"…"},"epk":"…","format":N}
// with base64url strings and plain non-negative integers; no value for any other text (which
// may still be a valid box for the general reader).
std::optional<TessaroCrypto::SealedBox> decodeCanonicalSealedBox(std::string_view json);

// Any JSON text; throws CryptoError::invalidSealedBox.
TessaroCrypto::SealedBox decodeGeneralSealedBox(std::string_view json);

}  // namespace tessaro::detail

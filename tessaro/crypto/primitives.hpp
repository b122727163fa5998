#pragma once
/// @file
/// Randomness, digests, key fingerprints and the canonical request string.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/sdk_export.hpp>

/// The kit's cryptography. The functions here are stateless, safe from any thread, and never
/// block (libsodium is initialised on first use); they throw std::bad_alloc besides what each names.
namespace tessaro::TessaroCrypto {

/// `count` bytes from libsodium's secure random source. Throws CryptoError::randomFailed if the
/// source fails (libsodium's randombytes aborts instead of failing, so in practice it does not).
TESSARO_EXPORT Bytes randomBytes(std::size_t count);

/// Base64URL::encode(randomBytes(bytes)): 18 bytes give 24 characters, 24 give 32.
TESSARO_EXPORT std::string randomToken(std::size_t bytes);

/// SHA-256 of `data` as 64 lowercase hexadecimal characters.
TESSARO_EXPORT std::string sha256Hex(std::span<const std::uint8_t> data);
/// SHA-256 of the bytes of `text` as 64 lowercase hexadecimal characters.
TESSARO_EXPORT std::string sha256Hex(std::string_view text);

/// The first 8 bytes of SHA-256 of the key as 16 lowercase hex characters; any key length.
TESSARO_EXPORT std::string fingerprint(std::span<const std::uint8_t> publicKey);
/// The fingerprint of a base64url public key; no value unless the text decodes to exactly 32 bytes.
TESSARO_EXPORT std::optional<std::string> fingerprint(std::string_view publicKeyBase64URL);

/// The bytes a request signature covers: method, path, decimal timestamp, nonce and the
/// sha256Hex of the body, joined by "\n" with no trailing line feed.
TESSARO_EXPORT Bytes canonicalString(std::string_view method, std::string_view path, std::int64_t timestamp,
                                     std::string_view nonce, std::span<const std::uint8_t> body);

}  // namespace tessaro::TessaroCrypto

#pragma once
/// @file
/// Sealed boxes: X25519 with an ephemeral sender key, HKDF-SHA256 and XChaCha20-Poly1305, bound to
/// an AAD string, carried as compact JSON.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/keys.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro::TessaroCrypto {

/// The HKDF salt of every sealed box.
inline constexpr std::string_view sealDomain = "password-manager/oauth-seal/v1";
/// The "format" of a sealed box this kit writes and opens.
inline constexpr std::int64_t sealedBoxFormat = 1;
/// The "format" of an envelope this kit writes and opens.
inline constexpr std::int64_t envelopeFormat = 2;

/// The encrypted part of a sealed box. A plain value with member-wise equality; not synchronised
/// (share copies between threads). Throws only std::bad_alloc.
struct Envelope {
    std::int64_t format = envelopeFormat;  ///< envelopeFormat in every box this kit opens
    std::string nonce;                     ///< Base64URL of the 24-byte XChaCha20 nonce
    std::string ciphertext;                ///< Base64URL of the ciphertext followed by the 16-byte tag

    /// Member-wise equality.
    friend bool operator==(const Envelope&, const Envelope&) = default;
};

/// A sealed box as sent over the wire. A plain value with member-wise equality; not synchronised
/// (share copies between threads); const members are safe from any number of threads.
struct TESSARO_EXPORT SealedBox {
    std::int64_t format = sealedBoxFormat;  ///< sealedBoxFormat in every box this kit opens
    std::string epk;                        ///< Base64URL of the sender's ephemeral X25519 public key
    Envelope envelope;                      ///< the encrypted part

    /// Compact JSON with keys in ascending order at each level:
    /// {"envelope":{"ciphertext":…,"format":2,"nonce":…},"epk":…,"format":1}. Throws
    /// tessaro::InvalidArgument only if a text field holds invalid UTF-8.
    std::string encodedJSON() const;
    /// Parses sealed-box JSON: all six members required with their JSON types (integers for the
    /// formats), order free, other members ignored. Values are not checked here (open does).
    /// Throws CryptoError::invalidSealedBox on any failure.
    static SealedBox decode(std::string_view json);

    /// Member-wise equality.
    friend bool operator==(const SealedBox&, const SealedBox&) = default;
};

/// The AAD of a sealed update patch: "password-manager/oauth-patch/v1/" + grantID + "/" + requestID.
TESSARO_EXPORT std::string patchAAD(std::string_view grantID, std::string_view requestID);
/// The AAD of a sealed request result: "password-manager/oauth-result/v1/" + grantID + "/" + requestID.
TESSARO_EXPORT std::string resultAAD(std::string_view grantID, std::string_view requestID);

/// Seals `plaintext` to the recipient's X25519 public key (Base64URL), bound to `aad`; returns the
/// sealed JSON. Throws CryptoError::invalidKey (recipient text not 32 bytes of base64url),
/// CryptoError::randomFailed, PlatformError (libsodium refuses the key agreement, e.g. a
/// low-order recipient key). Thread-safe; nothing blocks.
TESSARO_EXPORT std::string seal(std::string_view recipientPublicKeyBase64URL, std::string_view aad,
                                std::span<const std::uint8_t> plaintext);

/// Opens sealed JSON with the recipient's 32-byte X25519 private key and the same `aad`.
/// Throws CryptoError::invalidSealedBox (unparsable box, wrong formats, epk not 32 bytes, nonce not
/// 24, ciphertext under 16 or any of them not base64url), CryptoError::invalidKey (private key not
/// 32 bytes), PlatformError (libsodium refuses the key agreement, e.g. a low-order epk),
/// CryptoError::openFailed (wrong recipient, wrong AAD, altered bytes). Thread-safe; nothing blocks.
TESSARO_EXPORT SecureBytes open(std::string_view sealedJSON, std::string_view aad,
                                const SecureBytes& recipientPrivateKey);
/// open() with the private key of `recipient`.
TESSARO_EXPORT SecureBytes open(std::string_view sealedJSON, std::string_view aad, const SealKeypair& recipient);

}  // namespace tessaro::TessaroCrypto

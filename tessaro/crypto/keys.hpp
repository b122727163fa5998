#pragma once
/// @file
/// The client's two key pairs (X25519 seal key, Ed25519 approval key), signatures and PKCE.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro::TessaroCrypto {

/// The length of X25519 private and public keys, Ed25519 seeds and public keys.
inline constexpr std::size_t keyBytes = 32;
/// The length of an Ed25519 signature.
inline constexpr std::size_t signatureBytes = 64;

/// An X25519 key pair: the recipient key of sealed boxes. A value (copies are independent; the
/// private key lives in SecureBytes). Const use from several threads is safe; nothing blocks.
class TESSARO_EXPORT SealKeypair {
public:
    /// A fresh random key pair. libsodium's random source aborts rather than fail, so in practice
    /// this does not throw (PlatformError only if libsodium refused the derivation).
    SealKeypair();
    /// Rebuilds the key pair from the 32 raw private bytes (RFC 7748 scalar form).
    /// Throws CryptoError::invalidKey unless exactly 32 bytes; PlatformError if libsodium refuses.
    explicit SealKeypair(std::span<const std::uint8_t> rawPrivateKey);

    /// The 32 raw private bytes, the same buffer as privateKey().
    const SecureBytes& rawPrivateKey() const noexcept { return privateKey_; }
    /// The 32 raw private bytes (what open() takes).
    const SecureBytes& privateKey() const noexcept { return privateKey_; }
    /// The 32-byte public key.
    const std::array<std::uint8_t, keyBytes>& publicKey() const noexcept { return publicKey_; }
    /// Base64URL of the 32-byte public key: 43 characters. Throws only std::bad_alloc.
    std::string publicKeyBase64URL() const;

private:
    SecureBytes privateKey_;
    std::array<std::uint8_t, keyBytes> publicKey_{};
};

/// An Ed25519 key pair (RFC 8032, pure): signs every authenticated API request. A value (copies
/// are independent; the seed and the expanded secret key live in SecureBytes). Const use,
/// signing included, from several threads is safe; nothing blocks.
class TESSARO_EXPORT ApprovalKeypair {
public:
    /// A fresh random key pair; like SealKeypair(), PlatformError only if libsodium refused.
    ApprovalKeypair();
    /// Rebuilds the key pair from its 32-byte seed. Throws CryptoError::invalidKey unless exactly
    /// 32 bytes; PlatformError if libsodium refuses.
    explicit ApprovalKeypair(std::span<const std::uint8_t> seed);

    /// The 32-byte RFC 8032 private key (seed).
    const SecureBytes& seed() const noexcept { return seed_; }
    /// The 32-byte public key.
    const std::array<std::uint8_t, keyBytes>& publicKey() const noexcept { return publicKey_; }
    /// Base64URL of the 32-byte public key: 43 characters. Throws only std::bad_alloc.
    std::string publicKeyBase64URL() const;
    /// fingerprint(publicKey()): 16 lowercase hex characters. Throws only std::bad_alloc.
    std::string fingerprint() const;
    /// The Ed25519 signature of `message`, Base64URL-encoded (86 characters).
    /// Throws PlatformError if libsodium refuses to sign.
    std::string sign(std::span<const std::uint8_t> message) const;
    /// The raw 64-byte signature, for callers that encode it themselves. Throws PlatformError if
    /// libsodium refuses to sign.
    std::array<std::uint8_t, signatureBytes> signRaw(std::span<const std::uint8_t> message) const;

private:
    SecureBytes seed_;
    SecureBytes secretKey_;  // libsodium's 64-byte form: seed followed by the public key
    std::array<std::uint8_t, keyBytes> publicKey_{};
};

/// True only when both texts decode (64 and 32 bytes) and the Ed25519 signature over `message`
/// is valid for that public key. Any malformed input gives false; never throws.
TESSARO_EXPORT bool verify(std::string_view signatureBase64URL, std::span<const std::uint8_t> message,
                           std::string_view publicKeyBase64URL) noexcept;

/// A PKCE pair (RFC 7636, S256). A plain value with member-wise equality; not synchronised (share
/// copies between threads). PKCE(verifier) throws nothing of its own (PlatformError only if
/// libsodium cannot be initialised); PKCE() as noted below.
struct TESSARO_EXPORT PKCE {
    std::string verifier;   ///< the secret the token request proves
    std::string challenge;  ///< Base64URL(SHA-256(verifier)), sent with the authorization
    std::string method;     ///< "S256"

    /// 48 random bytes as a 64-character verifier, and its challenge.
    /// Throws CryptoError::randomFailed if the random source fails.
    PKCE();
    /// The challenge of any given verifier text (not validated): Base64URL(SHA-256(verifier)).
    explicit PKCE(std::string verifier);

    /// Member-wise equality.
    friend bool operator==(const PKCE&, const PKCE&) = default;
};

}  // namespace tessaro::TessaroCrypto

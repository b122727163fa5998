#include <tessaro/crypto/keys.hpp>

#include <sodium.h>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/sodium_init.hpp>
#include <tessaro/crypto/primitives.hpp>

namespace tessaro::TessaroCrypto {

static_assert(keyBytes == crypto_scalarmult_SCALARBYTES && keyBytes == crypto_scalarmult_BYTES);
static_assert(keyBytes == crypto_sign_SEEDBYTES && keyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(signatureBytes == crypto_sign_BYTES);

namespace {

void requireKeyLength(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != keyBytes) throw CryptoError(CryptoError::Code::invalidKey);
}

}  // namespace

// --- SealKeypair ---

SealKeypair::SealKeypair() : privateKey_(crypto_scalarmult_SCALARBYTES) {
    detail::ensureSodium();
    randombytes_buf(privateKey_.data(), privateKey_.size());
    if (crypto_scalarmult_base(publicKey_.data(), privateKey_.data()) != 0) {
        throw PlatformError("X25519 public key derivation refused");
    }
}

SealKeypair::SealKeypair(std::span<const std::uint8_t> rawPrivateKey) {
    requireKeyLength(rawPrivateKey);
    detail::ensureSodium();
    privateKey_ = SecureBytes(rawPrivateKey);
    if (crypto_scalarmult_base(publicKey_.data(), privateKey_.data()) != 0) {
        throw PlatformError("X25519 public key derivation refused");
    }
}

std::string SealKeypair::publicKeyBase64URL() const { return Base64URL::encode(publicKey_); }

// --- ApprovalKeypair ---

ApprovalKeypair::ApprovalKeypair() : seed_(crypto_sign_SEEDBYTES), secretKey_(crypto_sign_SECRETKEYBYTES) {
    detail::ensureSodium();
    randombytes_buf(seed_.data(), seed_.size());
    if (crypto_sign_seed_keypair(publicKey_.data(), secretKey_.data(), seed_.data()) != 0) {
        throw PlatformError("Ed25519 key derivation refused");
    }
}

ApprovalKeypair::ApprovalKeypair(std::span<const std::uint8_t> seed) {
    requireKeyLength(seed);
    detail::ensureSodium();
    seed_ = SecureBytes(seed);
    secretKey_ = SecureBytes(crypto_sign_SECRETKEYBYTES);
    if (crypto_sign_seed_keypair(publicKey_.data(), secretKey_.data(), seed_.data()) != 0) {
        throw PlatformError("Ed25519 key derivation refused");
    }
}

std::string ApprovalKeypair::publicKeyBase64URL() const { return Base64URL::encode(publicKey_); }

std::string ApprovalKeypair::fingerprint() const { return TessaroCrypto::fingerprint(std::span(publicKey_)); }

std::array<std::uint8_t, signatureBytes> ApprovalKeypair::signRaw(std::span<const std::uint8_t> message) const {
    std::array<std::uint8_t, signatureBytes> signature{};
    if (crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secretKey_.data()) != 0) {
        throw PlatformError("Ed25519 signing refused");
    }
    return signature;
}

std::string ApprovalKeypair::sign(std::span<const std::uint8_t> message) const {
    return Base64URL::encode(signRaw(message));
}

bool verify(std::string_view signatureBase64URL, std::span<const std::uint8_t> message,
            std::string_view publicKeyBase64URL) noexcept {
    try {
        const auto signature = Base64URL::decode(signatureBase64URL);
        if (!signature || signature->size() != crypto_sign_BYTES) return false;
        const auto publicKey = Base64URL::decode(publicKeyBase64URL);
        if (!publicKey || publicKey->size() != crypto_sign_PUBLICKEYBYTES) return false;
        detail::ensureSodium();
        // libsodium also rejects non-canonical and small-order public keys here.
        return crypto_sign_verify_detached(signature->data(), message.data(), message.size(), publicKey->data()) == 0;
    } catch (...) {
        return false;
    }
}

// --- PKCE ---

PKCE::PKCE()
    : PKCE([] {
          Bytes random = randomBytes(48);
          std::string verifier = Base64URL::encode(random);
          zeroFill(random);
          return verifier;
      }()) {}

PKCE::PKCE(std::string verifierText) : verifier(std::move(verifierText)), method("S256") {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    detail::ensureSodium();
    crypto_hash_sha256(digest.data(), reinterpret_cast<const std::uint8_t*>(verifier.data()), verifier.size());
    challenge = Base64URL::encode(digest);
}

}  // namespace tessaro::TessaroCrypto

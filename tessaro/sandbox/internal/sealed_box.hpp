#pragma once
// Sealed boxes as the password-manager application writes and reads them: X25519 with an
// ephemeral sender key, HKDF-SHA256 (salt "password-manager/oauth-seal/v1", info = AAD) and
// XChaCha20-Poly1305 (libsodium's own), carried as compact JSON. Written independently of the
// kit's sealed boxes so that each side checks the other. Stateless; safe from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>

namespace tessaro::sandbox::detail {

// An X25519 key pair; the private key is held in SecureBytes.
struct X25519Keypair {
    SecureBytes privateKey;
    std::array<std::uint8_t, 32> publicKey{};
    static X25519Keypair generate();
    std::string publicKeyBase64URL() const;
};

std::string resultAAD(std::string_view grantID, std::string_view requestID);
std::string patchAAD(std::string_view grantID, std::string_view requestID);

// Seals `plaintext` to a base64url X25519 public key. No value when the key is not 32 bytes of
// base64url or the key agreement is refused (a low-order key).
std::optional<std::string> sealBox(std::string_view recipientPublicKeyBase64URL, std::string_view aad,
                                   std::span<const std::uint8_t> plaintext);

// Opens sealed JSON; no value on any failure (malformed JSON, a member missing or of the wrong
// type, wrong formats or lengths, wrong key, wrong AAD, altered bytes).
std::optional<SecureBytes> openBox(std::string_view sealedJSON, std::string_view aad,
                                   const SecureBytes& recipientPrivateKey);

}  // namespace tessaro::sandbox::detail

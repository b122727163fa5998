#pragma once
// XChaCha20-Poly1305 (IETF variant): the kit's HChaCha20 plus libsodium's ChaCha20-Poly1305 IETF.

#include <array>
#include <cstdint>
#include <span>

#include <tessaro/crypto/bytes.hpp>

namespace tessaro::detail {

struct XChaChaSubkey {
    SecureBytes subkey;                        // HChaCha20(key, nonce[0..16))
    std::array<std::uint8_t, 12> chachaNonce;  // four zero bytes, then nonce[16..24)
};

// Throws CryptoError::invalidKey unless the key has 32 bytes and the nonce 24.
XChaChaSubkey xchachaSubkey(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce);
// Ciphertext followed by the 16-byte tag. Throws CryptoError::invalidKey as above.
Bytes xchachaSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext);
// The plaintext. Throws CryptoError::invalidKey as above, CryptoError::openFailed when
// authentication fails or the input is shorter than a tag.
SecureBytes xchachaOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                        std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertextAndTag);

}  // namespace tessaro::detail

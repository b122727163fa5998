#pragma once
// HChaCha20: derives the XChaCha20 subkey from a key and the first 16 nonce bytes.

#include <cstdint>
#include <span>

#include <tessaro/crypto/bytes.hpp>

// A stateless function, safe from any thread.
namespace tessaro::HChaCha20 {

// HChaCha20 as specified for XChaCha20-Poly1305 (20 rounds, no final addition; output words
// 0-3 and 12-15, little-endian). Returns the 32-byte subkey. Throws only std::bad_alloc.
SecureBytes subkey(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 16> nonce16);

}  // namespace tessaro::HChaCha20

namespace tessaro::detail {
// The same computation into a caller buffer; the working state is wiped before returning.
void hchacha20(std::uint8_t out[32], const std::uint8_t key[32], const std::uint8_t nonce16[16]) noexcept;
}  // namespace tessaro::detail

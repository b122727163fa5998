#pragma once
/// @file
/// HChaCha20: derives the XChaCha20 subkey from a key and the first 16 nonce bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/sdk_export.hpp>

/// The HChaCha20 function. Stateless, safe from any thread; nothing blocks.
namespace tessaro::HChaCha20 {

/// The length of the key and of the subkey.
inline constexpr std::size_t keyBytes = 32;
/// The length of the nonce: the first 16 bytes of an XChaCha20 nonce.
inline constexpr std::size_t nonceBytes = 16;

/// HChaCha20 as specified for XChaCha20-Poly1305 (20 rounds, no final addition; output words
/// 0-3 and 12-15, little-endian). Returns the keyBytes-long subkey. Throws only std::bad_alloc.
TESSARO_EXPORT SecureBytes subkey(std::span<const std::uint8_t, keyBytes> key,
                                  std::span<const std::uint8_t, nonceBytes> nonce16);

}  // namespace tessaro::HChaCha20

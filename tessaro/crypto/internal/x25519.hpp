#pragma once
// X25519 key agreement (RFC 7748) on libsodium.

#include <cstdint>
#include <span>

#include <tessaro/crypto/bytes.hpp>

namespace tessaro::detail {

// The 32-byte shared secret of a 32-byte private scalar and a 32-byte public key. Throws
// CryptoError::invalidKey for other lengths and PlatformError when libsodium refuses the point
// (a low-order public key, whose shared secret would be all zero).
SecureBytes x25519(std::span<const std::uint8_t> privateKey, std::span<const std::uint8_t> publicKey);

}  // namespace tessaro::detail

#pragma once
// HKDF-SHA256 (RFC 5869) on libsodium's HMAC-SHA256.

#include <cstddef>
#include <cstdint>
#include <span>

#include <tessaro/crypto/bytes.hpp>

namespace tessaro::detail {

// PRK = HMAC-SHA256(salt, ikm): 32 bytes.
SecureBytes hkdfExtract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm);
// OKM of `length` bytes (at most 255 * 32; more throws tessaro::InvalidArgument).
SecureBytes hkdfExpand(std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info, std::size_t length);
// Extract then expand; the intermediate PRK is wiped.
SecureBytes hkdfSha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                       std::span<const std::uint8_t> info, std::size_t length);

}  // namespace tessaro::detail

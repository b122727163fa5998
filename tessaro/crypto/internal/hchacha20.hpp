#pragma once
// The HChaCha20 core on caller buffers, which XChaCha20 runs without an allocation.

#include <cstdint>

#include <tessaro/crypto/hchacha20.hpp>

namespace tessaro::detail {

// HChaCha20::subkey into `out`; the working state is wiped before returning.
void hchacha20(std::uint8_t out[HChaCha20::keyBytes], const std::uint8_t key[HChaCha20::keyBytes],
               const std::uint8_t nonce16[HChaCha20::nonceBytes]) noexcept;

}  // namespace tessaro::detail

#include <tessaro/crypto/internal/x25519.hpp>

#include <sodium.h>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/internal/sodium_init.hpp>

namespace tessaro::detail {

SecureBytes x25519(std::span<const std::uint8_t> privateKey, std::span<const std::uint8_t> publicKey) {
    using TessaroCrypto::CryptoError;
    if (privateKey.size() != crypto_scalarmult_SCALARBYTES || publicKey.size() != crypto_scalarmult_BYTES) {
        throw CryptoError(CryptoError::Code::invalidKey);
    }
    ensureSodium();
    SecureBytes shared(crypto_scalarmult_BYTES);
    if (crypto_scalarmult(shared.data(), privateKey.data(), publicKey.data()) != 0) {
        throw TessaroCrypto::PlatformError("X25519 key agreement refused: low-order public key");
    }
    return shared;
}

}  // namespace tessaro::detail

#include <tessaro/crypto/internal/xchacha.hpp>

#include <sodium.h>

#include <algorithm>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/internal/hchacha20.hpp>
#include <tessaro/crypto/internal/sodium_init.hpp>

namespace tessaro::detail {

namespace {

constexpr std::size_t tagBytes = crypto_aead_chacha20poly1305_ietf_ABYTES;

const std::uint8_t* pointer(std::span<const std::uint8_t> bytes) noexcept {
    static const std::uint8_t none = 0;
    return bytes.empty() ? &none : bytes.data();
}

}  // namespace

XChaChaSubkey xchachaSubkey(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    using TessaroCrypto::CryptoError;
    if (key.size() != 32 || nonce.size() != 24) throw CryptoError(CryptoError::Code::invalidKey);
    XChaChaSubkey out{SecureBytes(32), {}};
    // The key is read in place: HChaCha20 keeps no copy beyond its own wiped working state.
    hchacha20(out.subkey.data(), key.data(), nonce.data());
    std::fill_n(out.chachaNonce.begin(), 4, std::uint8_t{0});
    std::copy_n(nonce.begin() + 16, 8, out.chachaNonce.begin() + 4);
    return out;
}

Bytes xchachaSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext) {
    const XChaChaSubkey sub = xchachaSubkey(key, nonce);  // SecureBytes: wiped on every path
    ensureSodium();
    Bytes out(plaintext.size() + tagBytes);
    unsigned long long length = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(out.data(), &length, pointer(plaintext), plaintext.size(), pointer(aad),
                                              aad.size(), nullptr, sub.chachaNonce.data(), sub.subkey.data());
    out.resize(static_cast<std::size_t>(length));
    return out;
}

SecureBytes xchachaOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                        std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertextAndTag) {
    using TessaroCrypto::CryptoError;
    const XChaChaSubkey sub = xchachaSubkey(key, nonce);
    if (ciphertextAndTag.size() < tagBytes) throw CryptoError(CryptoError::Code::openFailed);
    ensureSodium();
    SecureBytes plaintext(ciphertextAndTag.size() - tagBytes);
    std::uint8_t none = 0;
    unsigned long long length = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.empty() ? &none : plaintext.data(), &length, nullptr,
                                                  ciphertextAndTag.data(), ciphertextAndTag.size(), pointer(aad),
                                                  aad.size(), sub.chachaNonce.data(), sub.subkey.data()) != 0) {
        throw CryptoError(CryptoError::Code::openFailed);
    }
    return plaintext;
}

}  // namespace tessaro::detail

#include <tessaro/crypto/internal/hkdf.hpp>

#include <sodium.h>

#include <algorithm>

#include <tessaro/crypto/internal/sodium_init.hpp>
#include <tessaro/records/exception.hpp>

namespace tessaro::detail {

namespace {

constexpr std::size_t hashBytes = crypto_auth_hmacsha256_BYTES;

// libsodium's HMAC takes any key length; an empty span may carry a null pointer, so give it a
// valid one.
const std::uint8_t* pointer(std::span<const std::uint8_t> bytes) noexcept {
    static const std::uint8_t none = 0;
    return bytes.empty() ? &none : bytes.data();
}

}  // namespace

SecureBytes hkdfExtract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm) {
    ensureSodium();
    SecureBytes prk(hashBytes);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, pointer(salt), salt.size());
    crypto_auth_hmacsha256_update(&state, pointer(ikm), ikm.size());
    crypto_auth_hmacsha256_final(&state, prk.data());
    sodium_memzero(&state, sizeof state);
    return prk;
}

SecureBytes hkdfExpand(std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info, std::size_t length) {
    if (length > 255 * hashBytes) throw InvalidArgument("HKDF-SHA256 output longer than 8160 bytes");
    ensureSodium();
    SecureBytes okm(length);
    std::uint8_t block[hashBytes];
    crypto_auth_hmacsha256_state state;
    std::size_t written = 0;
    for (std::uint8_t counter = 1; written < length; ++counter) {
        // T(i) = HMAC(PRK, T(i-1) | info | i), with T(0) empty.
        crypto_auth_hmacsha256_init(&state, pointer(prk), prk.size());
        if (counter > 1) crypto_auth_hmacsha256_update(&state, block, sizeof block);
        crypto_auth_hmacsha256_update(&state, pointer(info), info.size());
        crypto_auth_hmacsha256_update(&state, &counter, 1);
        crypto_auth_hmacsha256_final(&state, block);
        const std::size_t take = std::min(hashBytes, length - written);
        std::copy_n(block, take, okm.data() + written);
        written += take;
    }
    sodium_memzero(block, sizeof block);
    sodium_memzero(&state, sizeof state);
    return okm;
}

SecureBytes hkdfSha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                       std::span<const std::uint8_t> info, std::size_t length) {
    const SecureBytes prk = hkdfExtract(salt, ikm);
    return hkdfExpand(prk, info, length);
}

}  // namespace tessaro::detail

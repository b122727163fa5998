#include <tessaro/crypto/hchacha20.hpp>

#include <sodium.h>

#include <tessaro/crypto/internal/hchacha20.hpp>

namespace tessaro {

namespace {

inline std::uint32_t load32le(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void store32le(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t rotl(std::uint32_t v, int n) noexcept { return (v << n) | (v >> (32 - n)); }

inline void quarterRound(std::uint32_t* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 7);
}

}  // namespace

namespace detail {

void hchacha20(std::uint8_t out[HChaCha20::keyBytes], const std::uint8_t key[HChaCha20::keyBytes],
               const std::uint8_t nonce16[HChaCha20::nonceBytes]) noexcept {
    std::uint32_t x[16];
    // "expand 32-byte k" as four little-endian words.
    x[0] = 0x61707865;
    x[1] = 0x3320646e;
    x[2] = 0x79622d32;
    x[3] = 0x6b206574;
    for (int i = 0; i < 8; ++i)
        x[4 + i] = load32le(key + 4 * i);
    for (int i = 0; i < 4; ++i)
        x[12 + i] = load32le(nonce16 + 4 * i);

    for (int round = 0; round < 10; ++round) {
        quarterRound(x, 0, 4, 8, 12);
        quarterRound(x, 1, 5, 9, 13);
        quarterRound(x, 2, 6, 10, 14);
        quarterRound(x, 3, 7, 11, 15);
        quarterRound(x, 0, 5, 10, 15);
        quarterRound(x, 1, 6, 11, 12);
        quarterRound(x, 2, 7, 8, 13);
        quarterRound(x, 3, 4, 9, 14);
    }

    // Unlike the ChaCha20 block function, the input state is not added back.
    for (int i = 0; i < 4; ++i)
        store32le(out + 4 * i, x[i]);
    for (int i = 0; i < 4; ++i)
        store32le(out + 16 + 4 * i, x[12 + i]);
    sodium_memzero(x, sizeof x);
}

}  // namespace detail

namespace HChaCha20 {

SecureBytes subkey(std::span<const std::uint8_t, keyBytes> key, std::span<const std::uint8_t, nonceBytes> nonce16) {
    SecureBytes out(keyBytes);
    detail::hchacha20(out.data(), key.data(), nonce16.data());
    return out;
}

}  // namespace HChaCha20
}  // namespace tessaro

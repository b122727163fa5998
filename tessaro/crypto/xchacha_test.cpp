// HChaCha20, XChaCha20-Poly1305 and HKDF-SHA256: published vectors and cross-checks with libsodium.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/hchacha20.hpp>
#include <tessaro/crypto/internal/hkdf.hpp>
#include <tessaro/crypto/internal/xchacha.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using TessaroCrypto::CryptoError;
using testing::bytesOf;
using testing::expectCryptoError;
using testing::hex;
using testing::plain;
using testing::randomBuffer;

Bytes hchacha(const Bytes& key, const Bytes& nonce16) {
    return plain(HChaCha20::subkey(std::span<const std::uint8_t, 32>(key.data(), 32),
                                   std::span<const std::uint8_t, 16>(nonce16.data(), 16)));
}

// The published vector; on random inputs HChaCha20 is checked through XChaCha20-Poly1305 below,
// which must agree with libsodium's.
TEST(HChaCha20Function, PublishedVector) {
    EXPECT_EQ(testing::toHex(hchacha(hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
                                     hex("000000090000004a0000000031415927"))),
              "82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc");
}

TEST(XChaCha20Poly1305, PublishedAeadVector) {
    const Bytes plaintext = bytesOf(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.");
    const Bytes aad = hex("50515253c0c1c2c3c4c5c6c7");
    const Bytes key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const Bytes iv = hex("404142434445464748494a4b4c4d4e4f5051525354555657");
    const std::string ciphertext =
        "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39"
        "ae64c6708c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff9"
        "21f9664c97637da9768812f615c68b13b52e";
    const std::string tag = "c0875924c1c7987947deafd8780acf49";

    const Bytes sealed = detail::xchachaSeal(key, iv, aad, plaintext);
    EXPECT_EQ(testing::toHex(sealed), ciphertext + tag);
    EXPECT_EQ(plain(detail::xchachaOpen(key, iv, aad, sealed)), plaintext);
}

// The subkey and nonce layout is checked by the vector above and the agreement with libsodium below.
TEST(XChaCha20Poly1305, KeysAndNoncesOfTheWrongLengthAreInvalidKey) {
    const Bytes key = randomBuffer(32), nonce = randomBuffer(24);
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSubkey(randomBuffer(31), nonce); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSubkey(key, randomBuffer(23)); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSeal(key, randomBuffer(12), {}, {}); });
    expectCryptoError(CryptoError::Code::invalidKey,
                      [&] { detail::xchachaOpen(randomBuffer(16), nonce, {}, Bytes(16)); });
}

TEST(XChaCha20Poly1305, InteroperatesWithLibsodiumBothWays) {
    for (const std::size_t length : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        for (int round = 0; round < 20; ++round) {
            const Bytes key = randomBuffer(32), nonce = randomBuffer(24), message = randomBuffer(length);
            const Bytes aad = randomBuffer(static_cast<std::size_t>(round) * 3);  // 0 on the first round

            const Bytes ours = detail::xchachaSeal(key, nonce, aad, message);
            ASSERT_EQ(ours.size(), length + 16);

            Bytes theirs(length + crypto_aead_xchacha20poly1305_ietf_ABYTES);
            unsigned long long theirsLength = 0;
            crypto_aead_xchacha20poly1305_ietf_encrypt(theirs.data(), &theirsLength, message.data(), message.size(),
                                                       aad.data(), aad.size(), nullptr, nonce.data(), key.data());
            ASSERT_EQ(theirsLength, theirs.size());
            EXPECT_EQ(ours, theirs) << "length " << length;  // so libsodium opens ours
            EXPECT_EQ(plain(detail::xchachaOpen(key, nonce, aad, theirs)), message);
        }
    }
}

TEST(XChaCha20Poly1305, AuthenticationFailuresAreOpenFailed) {
    const Bytes key = randomBuffer(32), nonce = randomBuffer(24), aad = bytesOf("context");
    const Bytes sealed = detail::xchachaSeal(key, nonce, aad, bytesOf("payload"));

    for (std::size_t i = 0; i < sealed.size(); ++i) {
        Bytes tampered = sealed;
        tampered[i] ^= 0x01;
        expectCryptoError(CryptoError::Code::openFailed, [&] { detail::xchachaOpen(key, nonce, aad, tampered); });
    }
    for (const std::size_t at : {20u, 3u}) {  // in the part that becomes the ChaCha nonce, and in HChaCha20's
        Bytes otherNonce = nonce;
        otherNonce[at] ^= 0x01;
        expectCryptoError(CryptoError::Code::openFailed, [&] { detail::xchachaOpen(key, otherNonce, aad, sealed); });
    }
    expectCryptoError(CryptoError::Code::openFailed,
                      [&] { detail::xchachaOpen(key, nonce, bytesOf("other"), sealed); });
    expectCryptoError(CryptoError::Code::openFailed, [&] { detail::xchachaOpen(key, nonce, aad, Bytes(15)); });
}

// RFC 5869 appendix A.1 to A.3.
TEST(HkdfSha256, Rfc5869KnownAnswers) {
    struct Case {
        Bytes ikm, salt, info;
        std::size_t length;
        const char* prk;
        const char* okm;
    };
    Bytes ikm2(80), salt2(80), info2(80);
    for (int i = 0; i < 80; ++i) {
        ikm2[i] = static_cast<std::uint8_t>(i);
        salt2[i] = static_cast<std::uint8_t>(0x60 + i);
        info2[i] = static_cast<std::uint8_t>(0xb0 + i);
    }
    const Case cases[] = {
        {Bytes(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42,
         "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {ikm2, salt2, info2, 82, "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09"
         "da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {Bytes(22, 0x0b), Bytes{}, Bytes{}, 42, "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const Case& c : cases) {
        const SecureBytes prk = detail::hkdfExtract(c.salt, c.ikm);
        EXPECT_EQ(testing::toHex(prk), c.prk);
        EXPECT_EQ(testing::toHex(detail::hkdfExpand(prk, c.info, c.length)), c.okm);
        EXPECT_EQ(testing::toHex(detail::hkdfSha256(c.ikm, c.salt, c.info, c.length)), c.okm);
    }
}

TEST(HkdfSha256, OutputLengthBounds) {
    const SecureBytes prk = detail::hkdfExtract(bytesOf("salt"), bytesOf("ikm"));
    const SecureBytes longest = detail::hkdfExpand(prk, bytesOf("info"), 255 * 32);
    EXPECT_EQ(plain(detail::hkdfExpand(prk, bytesOf("info"), 33)), Bytes(longest.begin(), longest.begin() + 33));
    EXPECT_THROW(detail::hkdfExpand(prk, bytesOf("info"), 255 * 32 + 1), std::invalid_argument);
}

}  // namespace
}  // namespace tessaro

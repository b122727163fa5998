// HChaCha20, XChaCha20-Poly1305 and HKDF-SHA256: published vectors and cross-checks with libsodium.
#include <gtest/gtest.h>
#include <sodium.h>

#include <numeric>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/hchacha20.hpp>
#include <tessaro/crypto/internal/hkdf.hpp>
#include <tessaro/crypto/internal/xchacha.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using TessaroCrypto::CryptoError;
using TessaroCrypto::randomBytes;
using testing::bytesOf;
using testing::expectCryptoError;
using testing::hex;
using testing::plain;

// The published vectors; on random inputs HChaCha20 is checked through XChaCha20-Poly1305 below,
// which must agree with libsodium's.
TEST(XChaCha20Poly1305, PublishedVectors) {
    const Bytes hKey = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes hNonce = hex("000000090000004a0000000031415927");
    EXPECT_EQ(plain(HChaCha20::subkey(std::span<const std::uint8_t, 32>(hKey.data(), 32),
                                      std::span<const std::uint8_t, 16>(hNonce.data(), 16))),
              hex("82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc"));

    const Bytes plaintext = bytesOf(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.");
    const Bytes aad = hex("50515253c0c1c2c3c4c5c6c7");
    const Bytes key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    const Bytes iv = hex("404142434445464748494a4b4c4d4e4f5051525354555657");
    const Bytes sealed = hex(  // ciphertext, then the tag
        "bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39"
        "ae64c6708c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff9"
        "21f9664c97637da9768812f615c68b13b52e"
        "c0875924c1c7987947deafd8780acf49");
    EXPECT_EQ(detail::xchachaSeal(key, iv, aad, plaintext), sealed);
    EXPECT_EQ(plain(detail::xchachaOpen(key, iv, aad, sealed)), plaintext);
}

// Tampering, a wrong nonce and a wrong AAD are caught through the sealed box
// (SealedBoxTest.TamperingWrongAadAndWrongRecipientAreOpenFailed) and the agreement with libsodium.
TEST(XChaCha20Poly1305, WrongLengthsAreInvalidKeyAndATruncatedBoxOpenFailed) {
    const Bytes key = randomBytes(32), nonce = randomBytes(24);
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSubkey(randomBytes(31), nonce); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSubkey(key, randomBytes(23)); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { detail::xchachaSeal(key, randomBytes(12), {}, {}); });
    expectCryptoError(CryptoError::Code::invalidKey,
                      [&] { detail::xchachaOpen(randomBytes(16), nonce, {}, Bytes(16)); });
    expectCryptoError(CryptoError::Code::openFailed, [&] { detail::xchachaOpen(key, nonce, {}, Bytes(15)); });
}

TEST(XChaCha20Poly1305, InteroperatesWithLibsodiumBothWays) {
    for (const std::size_t length : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        for (std::size_t round = 0; round < 20; ++round) {
            const Bytes key = randomBytes(32), nonce = randomBytes(24), message = randomBytes(length);
            const Bytes aad = randomBytes(round * 3);  // none on the first round
            Bytes theirs(length + crypto_aead_xchacha20poly1305_ietf_ABYTES);
            crypto_aead_xchacha20poly1305_ietf_encrypt(theirs.data(), nullptr, message.data(), message.size(),
                                                       aad.data(), aad.size(), nullptr, nonce.data(), key.data());
            EXPECT_EQ(detail::xchachaSeal(key, nonce, aad, message), theirs) << "length " << length;
            EXPECT_EQ(plain(detail::xchachaOpen(key, nonce, aad, theirs)), message);
        }
    }
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
    std::iota(ikm2.begin(), ikm2.end(), 0x00);
    std::iota(salt2.begin(), salt2.end(), 0x60);
    std::iota(info2.begin(), info2.end(), 0xb0);
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
        EXPECT_EQ(plain(prk), hex(c.prk));
        EXPECT_EQ(plain(detail::hkdfExpand(prk, c.info, c.length)), hex(c.okm));
        EXPECT_EQ(plain(detail::hkdfSha256(c.ikm, c.salt, c.info, c.length)), hex(c.okm));
    }
}

TEST(HkdfSha256, OutputLengthBounds) {
    const SecureBytes prk = detail::hkdfExtract(bytesOf("salt"), bytesOf("ikm"));
    const SecureBytes longest = detail::hkdfExpand(prk, bytesOf("info"), 255 * 32);
    EXPECT_EQ(plain(detail::hkdfExpand(prk, bytesOf("info"), 33)), Bytes(longest.begin(), longest.begin() + 33));
    EXPECT_THROW(detail::hkdfExpand(prk, bytesOf("info"), 255 * 32 + 1), InvalidArgument);
}

}  // namespace
}  // namespace tessaro

#include <tessaro/crypto/keys.hpp>

#include <gtest/gtest.h>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/x25519.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using testing::bytesOf;
using testing::expectCryptoError;
using testing::hex;

// RFC 8032 section 7.1, tests 1 to 3 (Ed25519): seed, public key, message, signature.
TEST(ApprovalKeypairType, Rfc8032KnownAnswers) {
    const std::array<std::array<const char*, 4>, 3> vectors = {{
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bb"
         "e24655141438e7a100b"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302"
         "aeeb00d291612bb0c00"},
        {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed"
         "28dc027beceea1ec40a"},
    }};
    for (const auto& [seed, publicKey, message, signature] : vectors) {
        const ApprovalKeypair key(hex(seed));
        EXPECT_EQ(key.publicKeyBase64URL(), Base64URL::encode(hex(publicKey)));
        EXPECT_EQ(key.fingerprint(), sha256Hex(hex(publicKey)).substr(0, 16));
        const std::string signed_ = key.sign(hex(message));
        EXPECT_EQ(Base64URL::decode(signed_), hex(signature));
        EXPECT_TRUE(verify(signed_, hex(message), key.publicKeyBase64URL()));
    }
}

// RFC 7748 section 6.1 (X25519).
TEST(SealKeypairType, Rfc7748KnownAnswers) {
    const Bytes alicePrivate = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes alicePublic = hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const Bytes bobPrivate = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const Bytes bobPublic = hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const SecureBytes shared{hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742")};

    const SealKeypair alice(alicePrivate), bob(bobPrivate);
    EXPECT_EQ(alice.publicKeyBase64URL(), Base64URL::encode(alicePublic));
    EXPECT_EQ(bob.publicKeyBase64URL(), Base64URL::encode(bobPublic));
    EXPECT_EQ(detail::x25519(alice.privateKey(), bobPublic), shared);
    EXPECT_EQ(detail::x25519(bob.privateKey(), alicePublic), shared);
}

TEST(KeypairRoundTrips, RawFormsRebuildTheSamePublicKeys) {
    const ApprovalKeypair approval;
    EXPECT_EQ(ApprovalKeypair(approval.seed()).publicKeyBase64URL(), approval.publicKeyBase64URL());
    EXPECT_NE(ApprovalKeypair().publicKeyBase64URL(), approval.publicKeyBase64URL());
    const SealKeypair seal;
    EXPECT_EQ(SealKeypair(seal.rawPrivateKey()).publicKeyBase64URL(), seal.publicKeyBase64URL());
    EXPECT_NE(SealKeypair().publicKeyBase64URL(), seal.publicKeyBase64URL());

    for (std::size_t size : {0u, 31u, 33u, 64u}) {
        expectCryptoError(CryptoError::Code::invalidKey, [&] { ApprovalKeypair key(Bytes(size, 7)); });
        expectCryptoError(CryptoError::Code::invalidKey, [&] { SealKeypair key(Bytes(size, 7)); });
    }
}

TEST(Verify, AcceptsOnlyAnIntactSignatureAndNeverThrows) {
    static_assert(noexcept(verify("", {}, "")));
    const ApprovalKeypair key;
    const Bytes message = bytesOf("GET\n/api/oauth/account\n1\nn\nabc");
    const std::string signature = key.sign(message);
    const std::string publicKey = key.publicKeyBase64URL();
    EXPECT_TRUE(verify(signature, message, publicKey));

    EXPECT_FALSE(verify(signature, bytesOf("GET\n/api/oauth/account\n1\nn\nabd"), publicKey));
    EXPECT_FALSE(verify(signature, message, ApprovalKeypair().publicKeyBase64URL()));
    const Bytes rawSignature = *Base64URL::decode(signature);
    EXPECT_FALSE(verify(Base64URL::encode(std::span(rawSignature).first(63)), message, publicKey));
    EXPECT_FALSE(verify(signature, message, Base64URL::encode(Bytes(31, 1))));
    EXPECT_FALSE(verify(signature, message, "not a key"));
    EXPECT_FALSE(verify("not a signature", message, publicKey));
    Bytes flipped = rawSignature;
    flipped[40] ^= 0x80;
    EXPECT_FALSE(verify(Base64URL::encode(flipped), message, publicKey));
    EXPECT_FALSE(verify(signature, message, Base64URL::encode(Bytes(32, 0))));  // small-order key
}

TEST(PKCEPair, VerifierAndS256Challenge) {
    // RFC 7636 appendix B.
    const PKCE known(std::string("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"));
    EXPECT_EQ(known.challenge, "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    const PKCE fresh;
    EXPECT_EQ(Base64URL::decode(fresh.verifier)->size(), 48u);
    EXPECT_NE(fresh, PKCE());
    // Any text is accepted as a verifier, the empty one included.
    EXPECT_EQ(PKCE(std::string()).challenge,
              Base64URL::encode(hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")));
}

}  // namespace
}  // namespace tessaro

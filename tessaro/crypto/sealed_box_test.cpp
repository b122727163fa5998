#include <tessaro/crypto/sealed_box.hpp>

#include <gtest/gtest.h>
#include <sodium.h>

#include <nlohmann/json.hpp>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/sealed_box_json.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using nlohmann::json;
using testing::bytesOf;
using testing::expectCryptoError;
using testing::plain;

class SealedBoxTest : public ::testing::Test {
protected:
    const SealKeypair recipient;
    const std::string aad = resultAAD("grant-1", "request-1");

    std::string sealed(std::span<const std::uint8_t> plaintext) {
        return seal(recipient.publicKeyBase64URL(), aad, plaintext);
    }
    // The box with the member at JSON pointer `at` replaced by `value`, or removed when `value` is discarded.
    static std::string edited(const std::string& box, const std::string& at, const json& value) {
        const json::json_pointer pointer(at);
        json j = json::parse(box);
        if (value.is_discarded()) j[pointer.parent_pointer()].erase(pointer.back());
        else j[pointer] = value;
        return j.dump();
    }
    static json removed() { return json(json::value_t::discarded); }
};

TEST_F(SealedBoxTest, RoundTripsIncludingEmptyPlaintext) {
    const Bytes record = bytesOf(R"({"title":"mail","fields":[{"id":"password","value":"p/w=1"}]})");
    EXPECT_EQ(plain(open(sealed(record), aad, recipient.privateKey())), record);
    const Bytes large = randomBytes(70000);
    EXPECT_EQ(plain(open(sealed(large), aad, recipient)), large);
    EXPECT_TRUE(open(sealed({}), aad, recipient).empty());

    // Member lengths are checked by opening the independently built box below.
    const std::string text = sealed(record);
    const SealedBox a = SealedBox::decode(text), b = SealedBox::decode(sealed(record));
    EXPECT_EQ(text, a.encodedJSON());  // the layout of WireShapeHasSortedKeys
    EXPECT_EQ(a.format, 1);
    EXPECT_EQ(a.envelope.format, 2);
    EXPECT_NE(a.epk, b.epk);
    EXPECT_NE(a.envelope.nonce, b.envelope.nonce);
}

TEST_F(SealedBoxTest, WireShapeHasSortedKeys) {
    // Texts that need escaping take the JSON library's path; both paths write the same layout.
    const SealedBox plainBox{1, "e", Envelope{2, "n/", "c"}};
    EXPECT_EQ(plainBox.encodedJSON(),
              R"({"envelope":{"ciphertext":"c","format":2,"nonce":"n/"},"epk":"e","format":1})");
    const SealedBox escaped{1, "e\"", Envelope{2, "n", "c\n"}};
    EXPECT_EQ(escaped.encodedJSON(),
              R"({"envelope":{"ciphertext":"c\n","format":2,"nonce":"n"},"epk":"e\"","format":1})");
    EXPECT_EQ(SealedBox::decode(escaped.encodedJSON()), escaped);
    // A text that is not UTF-8 cannot be written: the kit's own error, not the JSON library's.
    EXPECT_THROW((SealedBox{1, "e\xff", Envelope{2, "n", "c"}}.encodedJSON()), InvalidArgument);
}

TEST_F(SealedBoxTest, DecodeTakesAnySpellingAndTheFastReaderAgrees) {
    const std::string box = sealed(bytesOf("payload"));
    const auto fast = detail::decodeCanonicalSealedBox(box);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(*fast, detail::decodeGeneralSealedBox(box));

    // Reordered, indented, with extra members or escapes: only the general reader takes these.
    std::string escapedEpk = box;
    escapedEpk.replace(box.find(R"("epk")") + 1, 1, "\\u0065");  // "\u0065pk" is "epk"
    const std::string extra = edited(edited(box, "/x", json::array({1, 2})), "/envelope/extra", nullptr);
    for (const std::string& text : {json::parse(box).dump(2), escapedEpk, extra}) {
        EXPECT_FALSE(detail::decodeCanonicalSealedBox(text).has_value()) << text;
        EXPECT_EQ(SealedBox::decode(text), *fast) << text;
    }
    // A leading zero and more than 18 digits: the fast reader declines or matches the general one
    // (which refuses the leading zero). Truncated boxes are among the malformed ones below.
    for (const std::string format : {"01", "1234567890123456789"}) {
        const std::string text =
            R"({"envelope":{"ciphertext":"","format":2,"nonce":""},"epk":"","format":)" + format + "}";
        if (const auto quick = detail::decodeCanonicalSealedBox(text)) {
            EXPECT_EQ(*quick, detail::decodeGeneralSealedBox(text)) << text;
        }
    }
}

TEST_F(SealedBoxTest, MalformedBoxesAreInvalidSealedBox) {
    const std::string box = sealed(bytesOf("payload"));
    const auto encoded = [](std::size_t n) { return Base64URL::encode(randomBytes(n)); };
    std::vector<std::string> unparsable{"", "not json", "[]", box + "x"};
    unparsable.insert(unparsable.end(),
                      {edited(box, "/format", "1"), edited(box, "/format", 1.0), edited(box, "/format", nullptr),
                       edited(box, "/format", json::number_unsigned_t(18446744073709551615ull)), edited(box, "/epk", 5),
                       edited(box, "/envelope", "envelope"), edited(box, "/envelope/format", "2"),
                       edited(box, "/envelope/nonce", nullptr), edited(box, "/envelope/ciphertext", json::object()),
                       box.substr(0, box.size() - 1), edited(box, "/format", removed()), edited(box, "/epk", removed()),
                       edited(box, "/envelope", removed()), edited(box, "/envelope/format", removed()),
                       edited(box, "/envelope/nonce", removed()), edited(box, "/envelope/ciphertext", removed())});
    for (const std::string& text : unparsable)
        expectCryptoError(CryptoError::Code::invalidSealedBox, text, [&] { SealedBox::decode(text); });
    std::vector<std::string> rejected = unparsable;
    rejected.insert(
        rejected.end(),
        {edited(box, "/format", 2), edited(box, "/envelope/format", 1), edited(box, "/format", 0),
         edited(box, "/epk", encoded(31)), edited(box, "/epk", encoded(33)), edited(box, "/epk", "not base64!"),
         edited(box, "/envelope/nonce", encoded(23)), edited(box, "/envelope/nonce", encoded(25)),
         edited(box, "/envelope/ciphertext", encoded(15)), edited(box, "/envelope/ciphertext", "a b"),
         // The fields are all checked before the key agreement, so a low-order epk is not reached.
         edited(edited(box, "/epk", Base64URL::encode(Bytes(32, 0))), "/envelope/nonce", encoded(23))});
    for (const std::string& text : rejected)
        expectCryptoError(CryptoError::Code::invalidSealedBox, text, [&] { open(text, aad, recipient); });
}

TEST_F(SealedBoxTest, TamperingWrongAadAndWrongRecipientAreOpenFailed) {
    const std::string box = sealed(randomBytes(64));
    // The box with byte `i` of the base64url member at `at` flipped by `mask`.
    const auto flipped = [&](const std::string& at, std::size_t i, std::uint8_t mask) {
        Bytes raw = *Base64URL::decode(json::parse(box)[json::json_pointer(at)].get<std::string>());
        raw[i] ^= mask;
        return edited(box, at, Base64URL::encode(raw));
    };
    const auto expectOpenFailed = [&](const std::string& text, std::string_view withAad, const SealKeypair& key) {
        expectCryptoError(CryptoError::Code::openFailed, text, [&] { open(text, withAad, key); });
    };
    for (std::size_t i = 0; i < 64 + 16; ++i)
        expectOpenFailed(flipped("/envelope/ciphertext", i, 0x01), aad, recipient);
    expectOpenFailed(flipped("/epk", 7, 0x04), aad, recipient);
    for (const std::size_t i : {0u, 15u, 16u, 23u}) {  // nonce bytes fed to HChaCha20 and to ChaCha20
        expectOpenFailed(flipped("/envelope/nonce", i, 0x20), aad, recipient);
    }
    expectOpenFailed(box, resultAAD("grant-1", "request-2"), recipient);
    expectOpenFailed(box, patchAAD("grant-1", "request-1"), recipient);
    expectOpenFailed(box, aad, SealKeypair());
    EXPECT_EQ(open(box, aad, recipient).size(), 64u);  // the untouched box still opens
}

TEST_F(SealedBoxTest, LowOrderKeysArePlatformErrorsAndBadKeysInvalidKey) {
    const std::string box = sealed(bytesOf("payload"));
    for (const char* point : {"0000000000000000000000000000000000000000000000000000000000000000",
                              "0100000000000000000000000000000000000000000000000000000000000000",
                              "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
                              "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
        const std::string lowOrder = Base64URL::encode(testing::hex(point));
        EXPECT_THROW(open(edited(box, "/epk", lowOrder), aad, recipient), PlatformError) << point;
        EXPECT_THROW(seal(lowOrder, aad, bytesOf("payload")), PlatformError) << point;
    }
    for (const std::string& key : {Base64URL::encode(randomBytes(31)), Base64URL::encode(randomBytes(33)),
                                   std::string("not base64"), std::string()}) {
        expectCryptoError(CryptoError::Code::invalidKey, key, [&] { seal(key, aad, {}); });
    }
    expectCryptoError(CryptoError::Code::invalidKey, [&] { open(box, aad, SecureBytes(31)); });
}

// A box built from libsodium alone: X25519, HKDF-SHA256 from raw HMAC-SHA256 (salt = the seal
// domain, info = the AAD, one output block), libsodium's XChaCha20-Poly1305. The kit opens it.
TEST_F(SealedBoxTest, OpensAnIndependentlyBuiltBox) {
    const Bytes message = bytesOf("independently sealed");
    const std::string domain = "password-manager/oauth-seal/v1";
    ASSERT_EQ(aad, "password-manager/oauth-result/v1/grant-1/request-1");
    EXPECT_EQ(patchAAD("g/1", "r"), "password-manager/oauth-patch/v1/g/1/r");
    Bytes ephemeralSecret(32), ephemeralPublic(32), shared(32), prk(32), key(32);
    const Bytes nonce = randomBytes(24);
    crypto_box_keypair(ephemeralPublic.data(), ephemeralSecret.data());
    ASSERT_EQ(crypto_scalarmult(shared.data(), ephemeralSecret.data(),
                                Base64URL::decode(recipient.publicKeyBase64URL())->data()),
              0);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(domain.data()), domain.size());
    crypto_auth_hmacsha256_update(&state, shared.data(), shared.size());
    crypto_auth_hmacsha256_final(&state, prk.data());
    const std::string info = aad + '\x01';
    crypto_auth_hmacsha256(key.data(), reinterpret_cast<const unsigned char*>(info.data()), info.size(), prk.data());
    Bytes ciphertext(message.size() + 16);
    crypto_aead_xchacha20poly1305_ietf_encrypt(ciphertext.data(), nullptr, message.data(), message.size(),
                                               reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), nullptr,
                                               nonce.data(), key.data());
    const json box = {
        {"format", 1},
        {"epk", Base64URL::encode(ephemeralPublic)},
        {"envelope",
         {{"format", 2}, {"nonce", Base64URL::encode(nonce)}, {"ciphertext", Base64URL::encode(ciphertext)}}}};
    EXPECT_EQ(plain(open(box.dump(), aad, recipient)), message);
}

}  // namespace
}  // namespace tessaro

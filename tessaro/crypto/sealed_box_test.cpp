#include <tessaro/crypto/sealed_box.hpp>

#include <gtest/gtest.h>
#include <sodium.h>

#include <nlohmann/json.hpp>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/sealed_box_json.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using nlohmann::json;
using testing::bytesOf;
using testing::expectCryptoError;
using testing::plain;
using testing::randomBuffer;

class SealedBoxTest : public ::testing::Test {
protected:
    const SealKeypair recipient;
    const std::string aad = resultAAD("grant-1", "request-1");

    std::string sealed(std::span<const std::uint8_t> plaintext) {
        return seal(recipient.publicKeyBase64URL(), aad, plaintext);
    }
    // The box with the member at `path` replaced by `value`, or removed when `value` is discarded.
    static std::string edited(const std::string& box, std::vector<const char*> path, const json& value) {
        json j = json::parse(box);
        json* at = &j;
        for (std::size_t i = 0; i + 1 < path.size(); ++i)
            at = &(*at)[path[i]];
        if (value.is_discarded()) at->erase(path.back());
        else (*at)[path.back()] = value;
        return j.dump();
    }
    static json removed() { return json(json::value_t::discarded); }
};

TEST_F(SealedBoxTest, RoundTripsIncludingEmptyPlaintext) {
    const Bytes record = bytesOf(R"({"title":"mail","fields":[{"id":"password","value":"p/w=1"}]})");
    EXPECT_EQ(plain(open(sealed(record), aad, recipient.privateKey())), record);
    EXPECT_EQ(plain(open(sealed(record), aad, SealKeypair(recipient.rawPrivateKey()))), record);
    const Bytes large = randomBuffer(70000);
    EXPECT_EQ(plain(open(sealed(large), aad, recipient)), large);

    const std::string empty = sealed({});
    EXPECT_EQ(Base64URL::decode(SealedBox::decode(empty).envelope.ciphertext)->size(), 16u);
    EXPECT_TRUE(open(empty, aad, recipient).empty());

    const SealedBox a = SealedBox::decode(sealed(record)), b = SealedBox::decode(sealed(record));
    EXPECT_NE(a.epk, b.epk);
    EXPECT_NE(a.envelope.nonce, b.envelope.nonce);
    EXPECT_NE(a.envelope.ciphertext, b.envelope.ciphertext);
}

TEST_F(SealedBoxTest, WireShapeHasSortedKeysAndExactLengths) {
    const std::string text = sealed(randomBuffer(100));
    EXPECT_EQ(text.find_first_of(" /="), std::string::npos);
    const SealedBox box = SealedBox::decode(text);
    EXPECT_EQ(text, box.encodedJSON());  // the layout written out below
    EXPECT_EQ(box.format, 1);
    EXPECT_EQ(box.envelope.format, 2);
    EXPECT_EQ(Base64URL::decode(box.epk)->size(), 32u);
    EXPECT_EQ(Base64URL::decode(box.envelope.nonce)->size(), 24u);
    EXPECT_EQ(Base64URL::decode(box.envelope.ciphertext)->size(), 116u);

    // Texts that need escaping take the JSON library's path; both paths write the same layout.
    const SealedBox plainBox{1, "e", Envelope{2, "n/", "c"}};
    EXPECT_EQ(plainBox.encodedJSON(),
              R"({"envelope":{"ciphertext":"c","format":2,"nonce":"n/"},"epk":"e","format":1})");
    const SealedBox escaped{1, "e\"", Envelope{2, "n", "c\n"}};
    EXPECT_EQ(escaped.encodedJSON(),
              R"({"envelope":{"ciphertext":"c\n","format":2,"nonce":"n"},"epk":"e\"","format":1})");
    EXPECT_EQ(SealedBox::decode(escaped.encodedJSON()), escaped);
}

TEST_F(SealedBoxTest, DecodeTakesAnySpellingAndTheFastReaderAgrees) {
    const std::string box = sealed(bytesOf("payload"));
    const auto fast = detail::decodeCanonicalSealedBox(box);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(*fast, detail::decodeGeneralSealedBox(box));

    // Reordered, indented, with extra members or escapes: only the general reader takes these.
    std::string escapedEpk = box;
    const std::size_t epkAt = box.find(R"("epk":")") + 7;
    escapedEpk.replace(epkAt, 1, "\\u00" + testing::toHex(bytesOf(box.substr(epkAt, 1))));
    json extra = json::parse(box);
    extra["x"] = json::array({1, 2});
    extra["envelope"]["extra"] = nullptr;
    for (const std::string& text : {json::parse(box).dump(2), escapedEpk, extra.dump()}) {
        EXPECT_FALSE(detail::decodeCanonicalSealedBox(text).has_value()) << text;
        EXPECT_EQ(SealedBox::decode(text), *fast) << text;
    }
    // Near misses of the compact form: the fast reader either declines or matches the general one.
    for (const std::string& text :
         {box.substr(0, box.size() - 1), box + " ",
          std::string(R"({"envelope":{"ciphertext":"","format":01,"nonce":""},"epk":"","format":1})"),
          std::string(
              R"({"envelope":{"ciphertext":"","format":2,"nonce":""},"epk":"","format":1234567890123456789})")}) {
        const auto quick = detail::decodeCanonicalSealedBox(text);
        std::optional<SealedBox> general;
        try {
            general = detail::decodeGeneralSealedBox(text);
        } catch (const CryptoError&) {}
        if (quick) {
            EXPECT_EQ(quick, general) << text;
        }
    }
}

TEST_F(SealedBoxTest, MalformedBoxesAreInvalidSealedBox) {
    const std::string box = sealed(bytesOf("payload"));
    const auto encoded = [](std::size_t n) { return Base64URL::encode(randomBuffer(n)); };
    const std::vector<std::string> unparsable = {
        "",
        "not json",
        "[]",
        box.substr(0, box.size() - 1),
        box + "x",
        edited(box, {"format"}, removed()),
        edited(box, {"epk"}, removed()),
        edited(box, {"envelope"}, removed()),
        edited(box, {"envelope", "format"}, removed()),
        edited(box, {"envelope", "nonce"}, removed()),
        edited(box, {"envelope", "ciphertext"}, removed()),
        edited(box, {"format"}, "1"),
        edited(box, {"format"}, 1.0),
        edited(box, {"format"}, nullptr),
        edited(box, {"format"}, json::number_unsigned_t(18446744073709551615ull)),
        edited(box, {"epk"}, 5),
        edited(box, {"envelope"}, "envelope"),
        edited(box, {"envelope", "format"}, "2"),
        edited(box, {"envelope", "nonce"}, nullptr),
        edited(box, {"envelope", "ciphertext"}, json::object()),
    };
    for (const std::string& text : unparsable) {
        expectCryptoError(
            CryptoError::Code::invalidSealedBox, [&] { SealedBox::decode(text); }, text);
    }
    std::vector<std::string> rejected = unparsable;
    rejected.insert(
        rejected.end(),
        {
            edited(box, {"format"}, 2),
            edited(box, {"envelope", "format"}, 1),
            edited(box, {"format"}, 0),
            edited(box, {"epk"}, encoded(31)),
            edited(box, {"epk"}, encoded(33)),
            edited(box, {"epk"}, "not base64!"),
            edited(box, {"envelope", "nonce"}, encoded(23)),
            edited(box, {"envelope", "nonce"}, encoded(25)),
            edited(box, {"envelope", "ciphertext"}, encoded(15)),
            edited(box, {"envelope", "ciphertext"}, "a b"),
            // The fields are all checked before the key agreement, so a low-order epk is not reached.
            edited(edited(box, {"epk"}, Base64URL::encode(Bytes(32, 0))), {"envelope", "nonce"}, encoded(23)),
        });
    for (const std::string& text : rejected) {
        expectCryptoError(
            CryptoError::Code::invalidSealedBox, [&] { open(text, aad, recipient); }, text);
    }
}

TEST_F(SealedBoxTest, TamperingWrongAadAndWrongRecipientAreOpenFailed) {
    const std::string box = sealed(randomBuffer(64));
    const SealedBox decoded = SealedBox::decode(box);
    // The box with byte `at` of one base64url member flipped by `mask`.
    const auto flipped = [&](std::string SealedBox::*member, std::string Envelope::*field, std::size_t at,
                             std::uint8_t mask) {
        SealedBox tampered = decoded;
        std::string& text = member ? tampered.*member : tampered.envelope.*field;
        Bytes raw = *Base64URL::decode(text);
        raw[at] ^= mask;
        text = Base64URL::encode(raw);
        return tampered.encodedJSON();
    };
    const auto expectOpenFailed = [&](const std::string& text, std::string_view withAad, const SealKeypair& key) {
        expectCryptoError(
            CryptoError::Code::openFailed, [&] { open(text, withAad, key); }, text);
    };
    for (std::size_t i = 0; i < Base64URL::decode(decoded.envelope.ciphertext)->size(); ++i) {
        expectOpenFailed(flipped(nullptr, &Envelope::ciphertext, i, 0x01), aad, recipient);
    }
    expectOpenFailed(flipped(&SealedBox::epk, nullptr, 7, 0x04), aad, recipient);
    for (const std::size_t at : {0u, 15u, 16u, 23u}) {  // nonce bytes fed to HChaCha20 and to ChaCha20
        expectOpenFailed(flipped(nullptr, &Envelope::nonce, at, 0x20), aad, recipient);
    }
    SealedBox wrongTag = decoded;
    wrongTag.envelope.ciphertext = Base64URL::encode(randomBuffer(16));
    expectOpenFailed(wrongTag.encodedJSON(), aad, recipient);
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
        EXPECT_THROW(open(edited(box, {"epk"}, lowOrder), aad, recipient), PlatformError) << point;
        EXPECT_THROW(seal(lowOrder, aad, bytesOf("payload")), PlatformError) << point;
    }
    std::string spaced = recipient.publicKeyBase64URL();
    spaced[10] = ' ';
    for (const std::string& key :
         {Base64URL::encode(randomBuffer(31)), Base64URL::encode(randomBuffer(33)), spaced, std::string()}) {
        expectCryptoError(
            CryptoError::Code::invalidKey, [&] { seal(key, aad, {}); }, key);
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
    const Bytes nonce = randomBuffer(24);
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

#include "crypto/sealed_box.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "crypto/base64url.hpp"
#include "crypto/internal/sealed_box_json.hpp"
#include "crypto/test_support.hpp"

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using testing::bytesOf;
using testing::randomBuffer;
using nlohmann::json;

template <typename F>
void expectCryptoError(CryptoError::Code code, F&& f) {
    try {
        f();
        ADD_FAILURE() << "no error thrown";
    } catch (const CryptoError& e) {
        EXPECT_EQ(e.code(), code) << e.what();
    }
}

Bytes plain(const SecureBytes& s) { return Bytes(s.begin(), s.end()); }

class SealedBoxTest : public ::testing::Test {
protected:
    const SealKeypair recipient;
    const std::string aad = resultAAD("grant-1", "request-1");

    std::string sealed(std::span<const std::uint8_t> plaintext) {
        return seal(recipient.publicKeyBase64URL(), aad, plaintext);
    }
    // The sealed text with one member replaced: path like {"envelope","nonce"}.
    std::string modified(const std::string& box, std::initializer_list<const char*> path, const json& value) {
        json j = json::parse(box);
        json* at = &j;
        for (auto it = path.begin(); it + 1 != path.end(); ++it) at = &(*at)[*it];
        (*at)[*(path.end() - 1)] = value;
        return j.dump();
    }
    std::string without(const std::string& box, std::initializer_list<const char*> path) {
        json j = json::parse(box);
        json* at = &j;
        for (auto it = path.begin(); it + 1 != path.end(); ++it) at = &(*at)[*it];
        at->erase(*(path.end() - 1));
        return j.dump();
    }
};

TEST_F(SealedBoxTest, RoundTripsIncludingEmptyPlaintext) {
    const Bytes record = bytesOf(R"({"title":"mail","fields":[{"id":"password","value":"p/w=1"}]})");
    EXPECT_EQ(plain(open(sealed(record), aad, recipient.privateKey())), record);
    EXPECT_EQ(plain(open(sealed(record), aad, recipient)), record);
    const Bytes large = randomBuffer(70000);
    EXPECT_EQ(plain(open(sealed(large), aad, recipient)), large);

    const std::string empty = sealed({});
    EXPECT_EQ(Base64URL::decode(SealedBox::decode(empty).envelope.ciphertext)->size(), 16u);
    EXPECT_TRUE(open(empty, aad, recipient).empty());

    // A recipient restored from its raw private key opens it too.
    EXPECT_EQ(plain(open(sealed(record), aad, SealKeypair(recipient.rawPrivateKey()))), record);
}

TEST_F(SealedBoxTest, WireShapeHasSortedKeysAndExactLengths) {
    const Bytes message = randomBuffer(100);
    const std::string text = sealed(message);
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(text.find('/'), std::string::npos);
    EXPECT_EQ(text.find('='), std::string::npos);

    const auto ordered = nlohmann::ordered_json::parse(text);
    std::vector<std::string> top, inner;
    for (const auto& [k, v] : ordered.items()) top.push_back(k);
    for (const auto& [k, v] : ordered["envelope"].items()) inner.push_back(k);
    EXPECT_EQ(top, (std::vector<std::string>{"envelope", "epk", "format"}));
    EXPECT_EQ(inner, (std::vector<std::string>{"ciphertext", "format", "nonce"}));
    EXPECT_EQ(ordered["format"], 1);
    EXPECT_EQ(ordered["envelope"]["format"], 2);
    EXPECT_EQ(ordered["epk"].get<std::string>().size(), 43u);
    EXPECT_EQ(ordered["envelope"]["nonce"].get<std::string>().size(), 32u);
    EXPECT_EQ(Base64URL::decode(ordered["envelope"]["ciphertext"].get<std::string>())->size(), 116u);

    SealedBox box;
    box.epk = "e";
    box.envelope.nonce = "n/";
    box.envelope.ciphertext = "c";
    EXPECT_EQ(box.encodedJSON(), R"({"envelope":{"ciphertext":"c","format":2,"nonce":"n/"},"epk":"e","format":1})");
    EXPECT_EQ(SealedBox::decode(box.encodedJSON()), box);
}

TEST_F(SealedBoxTest, EverySealIsFresh) {
    const Bytes message = bytesOf("same plaintext");
    const SealedBox a = SealedBox::decode(sealed(message));
    const SealedBox b = SealedBox::decode(sealed(message));
    EXPECT_NE(a.epk, b.epk);
    EXPECT_NE(a.envelope.nonce, b.envelope.nonce);
    EXPECT_NE(a.envelope.ciphertext, b.envelope.ciphertext);
}

TEST_F(SealedBoxTest, DecodeAcceptsAnyOrderAndExtraMembers) {
    const std::string text = R"({"format":1,"x":[1,2],"epk":"E","envelope":{"nonce":"N","extra":null,"format":2,"ciphertext":"C"}})";
    const SealedBox box = SealedBox::decode(text);
    EXPECT_EQ(box.format, 1);
    EXPECT_EQ(box.epk, "E");
    EXPECT_EQ(box.envelope, (Envelope{2, "N", "C"}));
}

TEST_F(SealedBoxTest, FastReaderAgreesWithTheGeneralReader) {
    const std::string box = sealed(bytesOf("payload"));
    const auto fast = detail::decodeCanonicalSealedBox(box);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(*fast, detail::decodeGeneralSealedBox(box));
    EXPECT_EQ(fast->encodedJSON(), box);

    // Other spellings of a valid box are left to the general reader and give the same value.
    const std::string spaced = json::parse(box).dump(2);
    EXPECT_FALSE(detail::decodeCanonicalSealedBox(spaced).has_value());
    EXPECT_EQ(SealedBox::decode(spaced), *fast);
    std::string escaped = box;
    escaped.replace(escaped.find(R"("epk":")") + 7, 1, "\\u00" + testing::toHex(bytesOf(box.substr(box.find(R"("epk":")") + 7, 1))));
    EXPECT_FALSE(detail::decodeCanonicalSealedBox(escaped).has_value());
    EXPECT_EQ(SealedBox::decode(escaped), *fast);

    // Near misses of the compact form are refused by both readers or read identically.
    for (const std::string& text : {box + " ", box.substr(0, box.size() - 1), modified(box, {"format"}, 10),
                                    std::string(R"({"envelope":{"ciphertext":"","format":01,"nonce":""},"epk":"","format":1})"),
                                    std::string(R"({"envelope":{"ciphertext":"","format":2,"nonce":""},"epk":"","format":1234567890123456789})"),
                                    std::string(R"({"envelope":{"ciphertext":"","format":2,"nonce":""},"epk":"","format":-1})")}) {
        const auto attempt = [&](auto read) -> std::optional<SealedBox> {
            try {
                return read(text);
            } catch (const CryptoError&) {
                return std::nullopt;
            }
        };
        const auto general = attempt(detail::decodeGeneralSealedBox);
        const auto quick = detail::decodeCanonicalSealedBox(text);
        if (quick) {
            EXPECT_EQ(quick, general) << text;
        }
        EXPECT_EQ(attempt(SealedBox::decode), general) << text;
    }
}

TEST_F(SealedBoxTest, MalformedJsonIsInvalidSealedBox) {
    const std::string box = sealed(bytesOf("x"));
    const std::vector<std::string> bad = {
        "",
        "not json",
        "[]",
        "null",
        box.substr(0, box.size() - 1),
        without(box, {"format"}),
        without(box, {"epk"}),
        without(box, {"envelope"}),
        without(box, {"envelope", "format"}),
        without(box, {"envelope", "nonce"}),
        without(box, {"envelope", "ciphertext"}),
        modified(box, {"format"}, "1"),
        modified(box, {"format"}, 1.0),
        modified(box, {"format"}, 1.5),
        modified(box, {"format"}, json::number_unsigned_t(18446744073709551615ull)),
        modified(box, {"format"}, nullptr),
        modified(box, {"epk"}, 5),
        modified(box, {"epk"}, json::array()),
        modified(box, {"envelope"}, "envelope"),
        modified(box, {"envelope", "format"}, "2"),
        modified(box, {"envelope", "nonce"}, nullptr),
        modified(box, {"envelope", "ciphertext"}, json::object()),
        box + "x",
    };
    for (const std::string& text : bad) {
        expectCryptoError(CryptoError::Code::invalidSealedBox, [&] { SealedBox::decode(text); });
        expectCryptoError(CryptoError::Code::invalidSealedBox, [&] { open(text, aad, recipient); });
    }
}

TEST_F(SealedBoxTest, WrongFormatsAndLengthsAreInvalidSealedBox) {
    const std::string box = sealed(bytesOf("payload"));
    const auto encoded = [](std::size_t n) { return Base64URL::encode(randomBuffer(n)); };
    const std::vector<std::string> bad = {
        modified(box, {"format"}, 2),
        modified(box, {"format"}, 0),
        modified(box, {"envelope", "format"}, 1),
        modified(box, {"envelope", "format"}, -2),
        modified(box, {"epk"}, encoded(31)),
        modified(box, {"epk"}, encoded(33)),
        modified(box, {"epk"}, "not base64!"),
        modified(box, {"envelope", "nonce"}, encoded(23)),
        modified(box, {"envelope", "nonce"}, encoded(25)),
        modified(box, {"envelope", "nonce"}, ""),
        modified(box, {"envelope", "ciphertext"}, encoded(15)),
        modified(box, {"envelope", "ciphertext"}, ""),
        modified(box, {"envelope", "ciphertext"}, "a b"),
        // A low-order epk does not get as far as the key agreement when a later field is bad.
        modified(modified(box, {"epk"}, Base64URL::encode(Bytes(32, 0))), {"envelope", "nonce"}, encoded(23)),
    };
    for (const std::string& text : bad) {
        expectCryptoError(CryptoError::Code::invalidSealedBox, [&] { open(text, aad, recipient); });
    }
}

TEST_F(SealedBoxTest, TamperingWrongAadAndWrongRecipientAreOpenFailed) {
    const std::string box = sealed(randomBuffer(64));
    const SealedBox decoded = SealedBox::decode(box);
    const Bytes ciphertext = *Base64URL::decode(decoded.envelope.ciphertext);
    for (std::size_t i = 0; i < ciphertext.size(); ++i) {
        Bytes flipped = ciphertext;
        flipped[i] ^= 0x01;
        SealedBox tampered = decoded;
        tampered.envelope.ciphertext = Base64URL::encode(flipped);
        expectCryptoError(CryptoError::Code::openFailed, [&] { open(tampered.encodedJSON(), aad, recipient); });
    }
    for (const auto field : {&Envelope::nonce}) {
        Bytes bytes = *Base64URL::decode(decoded.envelope.*field);
        for (std::size_t i = 0; i < bytes.size(); i += 5) {
            Bytes flipped = bytes;
            flipped[i] ^= 0x20;
            SealedBox tampered = decoded;
            tampered.envelope.*field = Base64URL::encode(flipped);
            expectCryptoError(CryptoError::Code::openFailed, [&] { open(tampered.encodedJSON(), aad, recipient); });
        }
    }
    Bytes epk = *Base64URL::decode(decoded.epk);
    epk[7] ^= 0x04;
    SealedBox otherSender = decoded;
    otherSender.epk = Base64URL::encode(epk);
    expectCryptoError(CryptoError::Code::openFailed, [&] { open(otherSender.encodedJSON(), aad, recipient); });

    SealedBox sixteen = decoded;
    sixteen.envelope.ciphertext = Base64URL::encode(randomBuffer(16));
    expectCryptoError(CryptoError::Code::openFailed, [&] { open(sixteen.encodedJSON(), aad, recipient); });

    expectCryptoError(CryptoError::Code::openFailed,
                      [&] { open(box, resultAAD("grant-1", "request-2"), recipient); });
    expectCryptoError(CryptoError::Code::openFailed, [&] { open(box, patchAAD("grant-1", "request-1"), recipient); });
    expectCryptoError(CryptoError::Code::openFailed, [&] { open(box, aad, SealKeypair()); });
    // The key was not the issue: the untouched box still opens.
    EXPECT_EQ(open(box, aad, recipient).size(), 64u);
}

TEST_F(SealedBoxTest, LowOrderKeysArePlatformErrorsNeverAZeroKey) {
    const std::string box = sealed(bytesOf("payload"));
    for (const char* point : {"0000000000000000000000000000000000000000000000000000000000000000",
                              "0100000000000000000000000000000000000000000000000000000000000000",
                              "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"}) {
        const std::string lowOrder = Base64URL::encode(testing::hex(point));
        EXPECT_THROW(open(modified(box, {"epk"}, lowOrder), aad, recipient), PlatformError) << point;
        EXPECT_THROW(seal(lowOrder, aad, bytesOf("payload")), PlatformError) << point;
    }
    // A box whose key really is the zero-secret key derivation must not open either way.
    SealedBox forged = SealedBox::decode(box);
    forged.epk = Base64URL::encode(Bytes(32, 0));
    EXPECT_THROW(open(forged.encodedJSON(), aad, recipient), PlatformError);
}

TEST_F(SealedBoxTest, BadKeysAreInvalidKey) {
    expectCryptoError(CryptoError::Code::invalidKey, [&] { seal(Base64URL::encode(randomBuffer(31)), aad, {}); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { seal(Base64URL::encode(randomBuffer(33)), aad, {}); });
    std::string spaced = recipient.publicKeyBase64URL();
    spaced[10] = ' ';
    expectCryptoError(CryptoError::Code::invalidKey, [&] { seal(spaced, aad, {}); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { seal("", aad, {}); });
    const std::string box = sealed(bytesOf("payload"));
    expectCryptoError(CryptoError::Code::invalidKey, [&] { open(box, aad, SecureBytes(31)); });
    expectCryptoError(CryptoError::Code::invalidKey, [&] { open(box, aad, SecureBytes{}); });
}

TEST(SealedBoxAad, PatchAndResultStrings) {
    EXPECT_EQ(patchAAD("g", "r"), "password-manager/oauth-patch/v1/g/r");
    EXPECT_EQ(resultAAD("grant/1", "req"), "password-manager/oauth-result/v1/grant/1/req");
    EXPECT_EQ(patchAAD("", ""), "password-manager/oauth-patch/v1//");
    EXPECT_EQ(sealDomain, "password-manager/oauth-seal/v1");
    EXPECT_EQ(sealedBoxFormat, 1);
    EXPECT_EQ(envelopeFormat, 2);
}

// The construction rebuilt from libsodium alone: X25519, HKDF from raw HMAC-SHA256 with the seal
// domain as salt and the AAD as info, then libsodium's XChaCha20-Poly1305.
SecureBytes derivedBySodium(const Bytes& secretKey, const Bytes& publicKey, std::string_view aad) {
    Bytes shared(32);
    EXPECT_EQ(crypto_scalarmult(shared.data(), secretKey.data(), publicKey.data()), 0);
    Bytes prk(32);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(sealDomain.data()), sealDomain.size());
    crypto_auth_hmacsha256_update(&state, shared.data(), shared.size());
    crypto_auth_hmacsha256_final(&state, prk.data());
    SecureBytes key(32);
    const std::uint8_t one = 1;
    crypto_auth_hmacsha256_init(&state, prk.data(), prk.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(aad.data()), aad.size());
    crypto_auth_hmacsha256_update(&state, &one, 1);
    crypto_auth_hmacsha256_final(&state, key.data());
    return key;
}

TEST_F(SealedBoxTest, MatchesAnIndependentConstruction) {
    const Bytes message = bytesOf("independently sealed");
    // Sealed by hand, opened by the kit.
    Bytes ephemeralSecret(32), ephemeralPublic(32), nonce = randomBuffer(24);
    crypto_box_keypair(ephemeralPublic.data(), ephemeralSecret.data());
    const Bytes recipientPublic = *Base64URL::decode(recipient.publicKeyBase64URL());
    const SecureBytes key = derivedBySodium(ephemeralSecret, recipientPublic, aad);
    Bytes ciphertext(message.size() + 16);
    crypto_aead_xchacha20poly1305_ietf_encrypt(ciphertext.data(), nullptr, message.data(), message.size(),
                                               reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), nullptr,
                                               nonce.data(), key.data());
    const std::string text = json{{"format", 1},
                                  {"epk", Base64URL::encode(ephemeralPublic)},
                                  {"envelope", {{"format", 2}, {"nonce", Base64URL::encode(nonce)},
                                                {"ciphertext", Base64URL::encode(ciphertext)}}}}
                                 .dump();
    EXPECT_EQ(plain(open(text, aad, recipient)), message);

    // Sealed by the kit, opened by hand.
    const SealedBox box = SealedBox::decode(seal(recipient.publicKeyBase64URL(), aad, message));
    const Bytes recipientSecret(recipient.rawPrivateKey().begin(), recipient.rawPrivateKey().end());
    const SecureBytes key2 = derivedBySodium(recipientSecret, *Base64URL::decode(box.epk), aad);
    const Bytes sealedBytes = *Base64URL::decode(box.envelope.ciphertext);
    const Bytes boxNonce = *Base64URL::decode(box.envelope.nonce);
    Bytes opened(sealedBytes.size() - 16);
    ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_decrypt(opened.data(), nullptr, nullptr, sealedBytes.data(),
                                                         sealedBytes.size(),
                                                         reinterpret_cast<const unsigned char*>(aad.data()),
                                                         aad.size(), boxNonce.data(), key2.data()),
              0);
    EXPECT_EQ(opened, message);
}

TEST_F(SealedBoxTest, ConcurrentSealsAndOpens) {
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Bytes message = randomBuffer(100 + t);
            for (int i = 0; i < 20; ++i) {
                if (plain(open(sealed(message), aad, recipient)) == message) ++opened;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(opened.load(), 80);
}

}  // namespace
}  // namespace tessaro

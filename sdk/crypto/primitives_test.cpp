#include "crypto/primitives.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "crypto/base64url.hpp"
#include "crypto/test_support.hpp"

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using testing::bytesOf;

constexpr std::string_view sha256OfAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::string_view sha256OfNothing = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Digest, Sha256HexKnownAnswersAndOverloadsAgree) {
    EXPECT_EQ(sha256Hex(bytesOf("abc")), sha256OfAbc);
    EXPECT_EQ(sha256Hex(std::string_view("abc")), sha256OfAbc);
    EXPECT_EQ(sha256Hex(Bytes{}), sha256OfNothing);
    EXPECT_EQ(sha256Hex(std::string_view()), sha256OfNothing);
    // Two-block input; the digest of abc above already has bytes below 0x10 ("01", "00").
    const std::string digest = sha256Hex(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ(digest, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Digest, FingerprintIsFirstEightDigestBytes) {
    EXPECT_EQ(fingerprint(bytesOf("abc")), "ba7816bf8f01cfea");
    EXPECT_EQ(fingerprint(Bytes{}), sha256OfNothing.substr(0, 16));

    const Bytes key = testing::randomBuffer(32);
    const auto viaText = fingerprint(std::string_view(Base64URL::encode(key)));
    ASSERT_TRUE(viaText.has_value());
    EXPECT_EQ(*viaText, sha256Hex(key).substr(0, 16));
    EXPECT_EQ(*viaText, fingerprint(std::span<const std::uint8_t>(key)));

    EXPECT_FALSE(fingerprint(std::string_view(Base64URL::encode(testing::randomBuffer(31)))).has_value());
    EXPECT_FALSE(fingerprint(std::string_view(Base64URL::encode(testing::randomBuffer(33)))).has_value());
    EXPECT_FALSE(fingerprint(std::string_view("not base64url!")).has_value());
    EXPECT_FALSE(fingerprint(std::string_view("")).has_value());
}

TEST(Random, BytesAndTokensHaveTheRightShape) {
    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomBytes(48).size(), 48u);
    EXPECT_NE(randomBytes(32), randomBytes(32));

    EXPECT_EQ(randomToken(0), "");
    std::unordered_set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string token = randomToken(18);
        EXPECT_EQ(token.size(), 24u);
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(randomToken(24).size(), 32u);
}

TEST(CanonicalString, JoinsFiveLinesWithoutTrailingLineFeed) {
    const Bytes body = bytesOf(R"({"a":1})");
    const Bytes canonical = canonicalString("POST", "/api/oauth/requests/r1/patch", 1700000000, "nonce-123", body);
    EXPECT_EQ(text(canonical),
              "POST\n/api/oauth/requests/r1/patch\n1700000000\nnonce-123\n" + sha256Hex(body));
    EXPECT_EQ(std::count(canonical.begin(), canonical.end(), '\n'), 4);
    EXPECT_NE(canonical.back(), '\n');

    EXPECT_EQ(text(canonicalString("GET", "/api/oauth/account", 0, "n", {})),
              "GET\n/api/oauth/account\n0\nn\n" + std::string(sha256OfNothing));
    EXPECT_EQ(text(canonicalString("GET", "/p", -42, "n", {})), "GET\n/p\n-42\nn\n" + std::string(sha256OfNothing));
    EXPECT_EQ(text(canonicalString("GET", "/p", std::numeric_limits<std::int64_t>::min(), "n", {})),
              "GET\n/p\n-9223372036854775808\nn\n" + std::string(sha256OfNothing));
}

TEST(CryptoErrorType, EqualityByCaseHashAndName) {
    const CryptoError a(CryptoError::Code::openFailed);
    EXPECT_EQ(a, CryptoError(CryptoError::Code::openFailed));
    EXPECT_NE(a, CryptoError(CryptoError::Code::invalidKey));
    EXPECT_TRUE(a == CryptoError::Code::openFailed);
    EXPECT_EQ(std::hash<CryptoError>{}(a), std::hash<CryptoError>{}(CryptoError(CryptoError::Code::openFailed)));
    std::unordered_set<CryptoError> set{a, CryptoError(CryptoError::Code::openFailed),
                                        CryptoError(CryptoError::Code::randomFailed)};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_STREQ(CryptoError(CryptoError::Code::invalidSealedBox).what(), "invalidSealedBox");
}

}  // namespace
}  // namespace tessaro

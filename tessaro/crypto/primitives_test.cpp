#include <tessaro/crypto/primitives.hpp>

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/testing/test_support.hpp>

namespace tessaro {
namespace {

using namespace TessaroCrypto;
using testing::bytesOf;

constexpr std::string_view sha256OfNothing = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Digest, Sha256HexAndFingerprints) {
    // The digest of abc has bytes below 0x10, so leading zeros must survive.
    EXPECT_EQ(sha256Hex(bytesOf("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(std::string_view("abc")), sha256Hex(bytesOf("abc")));
    EXPECT_EQ(sha256Hex(Bytes{}), sha256OfNothing);

    EXPECT_EQ(fingerprint(bytesOf("abc")), "ba7816bf8f01cfea");
    const Bytes key = randomBytes(32);
    EXPECT_EQ(fingerprint(std::string_view(Base64URL::encode(key))), sha256Hex(key).substr(0, 16));
    for (const std::string& bad : {Base64URL::encode(randomBytes(31)), Base64URL::encode(randomBytes(33)),
                                   std::string("not base64!"), std::string()}) {
        EXPECT_FALSE(fingerprint(std::string_view(bad)).has_value()) << bad;
    }
}

TEST(Random, BytesAndTokensHaveTheRightShape) {
    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomToken(0), "");
    std::unordered_set<std::string> seen;
    for (int i = 0; i < 50; ++i)
        seen.insert(randomToken(18));
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(Base64URL::decode(*seen.begin())->size(), 18u);
}

TEST(CanonicalString, JoinsFiveLinesWithoutTrailingLineFeed) {
    const Bytes body = bytesOf(R"({"a":1})");
    const Bytes canonical = canonicalString("POST", "/api/oauth/requests/r1/patch", 1700000000, "nonce-123", body);
    EXPECT_EQ(text(canonical), "POST\n/api/oauth/requests/r1/patch\n1700000000\nnonce-123\n" + sha256Hex(body));
    EXPECT_EQ(text(canonicalString("GET", "/p", 0, "n", {})), "GET\n/p\n0\nn\n" + std::string(sha256OfNothing));
    EXPECT_EQ(text(canonicalString("GET", "/p", std::numeric_limits<std::int64_t>::min(), "n", {})),
              "GET\n/p\n-9223372036854775808\nn\n" + std::string(sha256OfNothing));
}

}  // namespace
}  // namespace tessaro

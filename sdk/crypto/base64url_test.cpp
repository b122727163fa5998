#include "crypto/base64url.hpp"

#include <gtest/gtest.h>

#include <sodium.h>

#include <cctype>
#include <random>

#include "crypto/test_support.hpp"

namespace tessaro {
namespace {

using testing::bytesOf;

TEST(Base64URL, EncodesWithUrlAlphabetAndNoPadding) {
    EXPECT_EQ(Base64URL::encode(Bytes{0xFB, 0xFF}), "-_8");
    EXPECT_EQ(Base64URL::encode(Bytes{0xFB, 0xFF, 0xFE}), "-__-");
    EXPECT_EQ(Base64URL::encode(bytesOf("abc")), "YWJj");
    EXPECT_EQ(Base64URL::encode(Bytes{}), "");
    EXPECT_EQ(Base64URL::encode(bytesOf("a")), "YQ");
    EXPECT_EQ(Base64URL::encode(bytesOf("ab")), "YWI");
}

TEST(Base64URL, LengthIsCeilFourThirdsAndRoundTrips) {
    for (std::size_t n = 0; n <= 100; ++n) {
        const Bytes data = testing::randomBuffer(n);
        const std::string text = Base64URL::encode(data);
        EXPECT_EQ(text.size(), (4 * n + 2) / 3) << n;
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        const auto back = Base64URL::decode(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, data);
    }
}

TEST(Base64URL, DecodesUrlAndStandardFormsWithOrWithoutPadding) {
    EXPECT_EQ(Base64URL::decode("-_8"), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(Base64URL::decode("+/8"), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(Base64URL::decode("+/8="), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(Base64URL::decode("-__-"), (Bytes{0xFB, 0xFF, 0xFE}));
    EXPECT_EQ(Base64URL::decode("YQ"), Bytes{0x61});
    EXPECT_EQ(Base64URL::decode("YQ=="), Bytes{0x61});
    EXPECT_EQ(Base64URL::decode("YWJj"), bytesOf("abc"));
    // A remainder of 3 is padded with one "=", so one padding character of its own completes it.
    EXPECT_EQ(Base64URL::decode("YQ="), Bytes{0x61});
    const auto empty = Base64URL::decode("");
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

TEST(Base64URL, RejectsMalformedText) {
    for (const std::string_view bad : {
             "a",            // remainder 1
             "YWJjZ",        // remainder 1
             "YQ===",        // remainder 1 with padding
             "Y===",         // padding where data belongs
             "=YQ=",         // leading padding
             "YQ==YQ==",     // padding in the middle
             "YWJj====",     // padding after a full group
             "YQ=a",         // data after padding
             " YQ",          // whitespace
             "YQ\n",         // line break
             "Y Q=",         // inner space
             "YQ\t=",        // tab
             "YR",           // non-zero trailing bits
             "YWK",          // non-zero trailing bits
             "YW.j",         // outside both alphabets
             "YW*j",
         }) {
        EXPECT_FALSE(Base64URL::decode(bad).has_value()) << '"' << bad << '"';
    }
    EXPECT_FALSE(Base64URL::decode(std::string_view("YW\0j", 4)).has_value());
    EXPECT_FALSE(Base64URL::decode("YW\xc3\xa9").has_value());
    // Every byte outside the two alphabets is refused in every position.
    for (int c = 0; c < 256; ++c) {
        const bool valid = std::isalnum(c) || c == '-' || c == '_' || c == '+' || c == '/';
        if (valid || c == '=') continue;
        std::string text = "YWJj";
        for (std::size_t at = 0; at < text.size(); ++at) {
            std::string bad = text;
            bad[at] = static_cast<char>(c);
            EXPECT_FALSE(Base64URL::decode(bad).has_value()) << "byte " << c << " at " << at;
        }
    }
}

// The rules spelled out with libsodium's strict decoder as the reference: map the URL alphabet,
// pad remainders 2 and 3, decode standard base64 ignoring nothing. (ASCII only: libsodium 1.0.18
// misreads some bytes above 0x7F.)
std::optional<Bytes> referenceDecode(std::string text) {
    if (text.size() % 4 == 1) return std::nullopt;
    for (char& c : text) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    if (text.size() % 4 != 0) text.append(4 - text.size() % 4, '=');
    Bytes out(text.size() / 4 * 3 + 1);
    std::size_t length = 0;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

TEST(Base64URL, AgreesWithTheReferenceOnRandomTexts) {
    ASSERT_GE(sodium_init(), 0);
    std::mt19937 random(12345);
    const std::string_view characters = "AQgw-_+/=  \nYZaz09.";
    int decodable = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text(random() % 13, ' ');
        for (char& c : text) c = characters[random() % characters.size()];
        const auto ours = Base64URL::decode(text);
        ASSERT_EQ(ours, referenceDecode(text)) << '"' << text << '"';
        decodable += ours.has_value();
    }
    EXPECT_GT(decodable, 1000);  // the sample reaches the accepting paths too
}

}  // namespace
}  // namespace tessaro

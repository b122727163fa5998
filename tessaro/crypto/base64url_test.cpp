#include <tessaro/crypto/base64url.hpp>

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <random>

#include <tessaro/crypto/primitives.hpp>

namespace tessaro {
namespace {

TEST(Base64URL, EncodesWithUrlAlphabetWithoutPaddingAndDecodesBothForms) {
    // Pairs both ways: encode(bytes) is the text and decode(text) the bytes.
    const std::vector<std::pair<Bytes, std::string_view>> pairs = {
        {{0xFB, 0xFF}, "-_8"}, {{0xFB, 0xFF, 0xFE}, "-__-"}, {{0x61, 0x62, 0x63}, "YWJj"}, {{0x61}, "YQ"}, {{}, ""}};
    for (const auto& [bytes, text] : pairs) {
        EXPECT_EQ(Base64URL::encode(bytes), text);
        EXPECT_EQ(Base64URL::decode(text), bytes) << text;
    }
    for (std::size_t n = 0; n <= 100; ++n) {  // no padding at any length
        const Bytes data = TessaroCrypto::randomBytes(n);
        EXPECT_EQ(Base64URL::encode(data).size(), (4 * n + 2) / 3) << n;
        EXPECT_EQ(Base64URL::decode(Base64URL::encode(data)), data);
    }
    // Padding, the standard alphabet, misplaced "=" and bits left over: against the reference below.
    // Every byte outside the two alphabets is refused in every position.
    for (int c = 0; c < 256; ++c) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '+' || c == '/' || c == '=') continue;
        for (std::size_t at = 0; at < 4; ++at) {
            const std::string text = std::string("YWJj").replace(at, 1, 1, static_cast<char>(c));
            EXPECT_FALSE(Base64URL::decode(text).has_value()) << "byte " << c << " at " << at;
        }
    }
}

// The rules spelled out with libsodium's strict decoder as the reference: map the URL alphabet,
// pad remainders 2 and 3, decode standard base64 ignoring nothing. (ASCII only: libsodium 1.0.18
// misreads some bytes above 0x7F.)
std::optional<Bytes> referenceDecode(std::string text) {
    if (text.size() % 4 == 1) return std::nullopt;
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
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
        for (char& c : text)
            c = characters[random() % characters.size()];
        const auto ours = Base64URL::decode(text);
        ASSERT_EQ(ours, referenceDecode(text)) << '"' << text << '"';
        decodable += ours.has_value();
    }
    EXPECT_GT(decodable, 1000);  // the sample reaches the accepting paths too
}

}  // namespace
}  // namespace tessaro

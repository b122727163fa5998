#include <tessaro/crypto/bytes.hpp>

#include <gtest/gtest.h>

#include <algorithm>

namespace tessaro {
namespace {

bool allZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

TEST(ZeroFill, WipesInPlaceAndKeepsLength) {
    Bytes bytes{1, 2, 3, 4, 5};
    zeroFill(bytes);
    EXPECT_EQ(bytes, Bytes(5, 0));
    std::string text = "secret";
    zeroFill(text);
    EXPECT_EQ(text, std::string(6, '\0'));
    Bytes part{9, 9, 9, 9};
    zeroFill(std::span<std::uint8_t>(part).subspan(1, 2));
    EXPECT_EQ(part, (Bytes{9, 0, 0, 9}));
}

TEST(SecureBytesType, MovesLeaveNothingBehind) {
    SecureBytes original{1, 2, 3};
    SecureBytes target{4, 5};
    target = std::move(original);
    EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): the source must hold nothing
    EXPECT_EQ(target, (SecureBytes{1, 2, 3}));
    EXPECT_FALSE((SecureBytes{1, 2}) == (SecureBytes{1, 2, 3}));
}

TEST(SecureBytesType, ClearReassignmentAndTakeFromWipeTheOldStorage) {
    // Each of these keeps the allocation, so the old bytes can be inspected through the old pointer.
    SecureBytes secret{std::span<const std::uint8_t>(Bytes(64, 0xAA))};
    const std::uint8_t* storage = secret.data();
    secret.clear();
    EXPECT_TRUE(allZero(storage, 64));

    SecureBytes again{std::span<const std::uint8_t>(Bytes(64, 0xBB))};
    const std::uint8_t* reused = again.data();
    const SecureBytes shorter{1, 2};
    again = shorter;  // copy assignment of a shorter value reuses the allocation
    ASSERT_EQ(again.data(), reused);
    EXPECT_EQ(reused[0], 1);
    EXPECT_TRUE(allZero(reused + 2, 62));

    Bytes source{5, 6, 7};
    const std::uint8_t* sourceStorage = source.data();
    EXPECT_EQ(SecureBytes::takeFrom(source), (SecureBytes{5, 6, 7}));
    EXPECT_TRUE(source.empty());
    EXPECT_TRUE(allZero(sourceStorage, 3));
}

}  // namespace
}  // namespace tessaro

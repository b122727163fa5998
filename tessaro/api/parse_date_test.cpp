#include <gtest/gtest.h>

#include <cmath>

#include <tessaro/api/tessaro_api.hpp>

namespace tessaro {
namespace {

using namespace std::string_literals;

// 2025-01-02T03:04:05Z
constexpr double base = 1735787045.0;

std::optional<double> seconds(std::string_view text) {
    const auto parsed = TessaroAPI::parseDate(text);
    if (!parsed) return std::nullopt;
    return secondsSince1970(*parsed);
}

// Zones, fractions, "T" or a space, and texts without a zone (read as UTC). Whole and half seconds
// must come out exact; other fractions within a few units in the last place.
TEST(ParseDate, ReadsEveryAcceptedForm) {
    const std::vector<std::pair<const char*, double>> cases = {
        {"2025-01-02T03:04:05.678Z", base + 0.678},
        {"2025-01-02T03:04:05.123456789Z", base + 0.123456789},
        {"2025-01-02T03:04:05Z", base},
        {"2025-01-02T03:04:05+08:00", base - 8 * 3600},
        {"2025-01-02T03:04:05-05:30", base + 5 * 3600 + 30 * 60},
        {"1969-12-31T23:59:59Z", -1.0},
        // Far from 1970 (beyond a nanosecond clock's range), fractions included.
        {"9999-12-31T23:59:59Z", 253402300799.0},
        {"0001-01-01T00:00:00.5Z", -62135596799.5},
        {"2025-01-02 03:04:05Z", base},
        {"2025-01-02 03:04:05.250Z", base + 0.25},
        {"2025-01-02 03:04:05", base},
        {"2025-01-02 03:04:05.75", base + 0.75},
    };
    for (const auto& [text, expected] : cases) {
        const auto parsed = seconds(text);
        ASSERT_TRUE(parsed) << text;
        if (std::floor(expected * 2) == expected * 2) {
            EXPECT_EQ(*parsed, expected) << text;
        } else {
            EXPECT_DOUBLE_EQ(*parsed, expected) << text;
        }
    }
    EXPECT_EQ(seconds("4050-09-02T03:04:05.500+01:00"), seconds("4050-09-02T02:04:05.5Z"));
}

// Each check once: shape, fraction digits, zone form and range, calendar and clock, stray text.
TEST(ParseDate, AnythingElseIsNothing) {
    for (const std::string& text :
         {std::string(), std::string("2025-01-02T03:04:05\0Z", 21), "2025-01-02T03:04:05.Z"s,
          "2025-01-02T03:04:05.1234567890Z"s, "2025-01-02T03:04:05+0800"s, "2025-01-02T03:04:05z"s,
          "2025-01-02t03:04:05Z"s, "2025-1-2T03:04:05Z"s, "2025-01-02T03:04:05Z "s, " 2025-01-02T03:04:05Z"s,
          "2025-13-02T03:04:05Z"s, "2025-02-30T03:04:05Z"s, "2025-01-02T24:00:00Z"s, "2025-01-02T03:04:61Z"s,
          "2025-01-02T03:04:05+24:00"s, "2025-01-02T03:04:05+08:60"s, "2025-01-02T03:04:05 +08:00"s,
          "+2025-01-02T03:04:05Z"s, "１２３４-01-02T03:04:05Z"s}) {
        EXPECT_EQ(seconds(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace tessaro

#include <tessaro/client/callback.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace tessaro {

namespace {

using CB = TessaroCallback;
using Kind = CB::Kind;
using Status = CB::Status;

constexpr std::string_view demoRedirect = "tessarodemo://tessaro/callback";

std::optional<CB> parseText(std::string_view text, std::string_view redirect = demoRedirect) {
    return CB::parse(URL::parse(text).value(), URL::parse(redirect).value());
}

TEST(TessaroCallback, MatchesTheRedirectURLUpToCaseOfSchemeAndHostAndOneTrailingSlash) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"TessaroDemo://TESSARO/callback/", "tessarodemo://tessaro/callback", true},
        {"tessarodemo://u:p@tessaro:9/callback", "tessarodemo://tessaro/callback/", true},
        {"tessarodemo://tessaro/%63allback%2F", "tessarodemo://tessaro/callback", true},
        {"tessarodemo://tessaro", "tessarodemo://tessaro/", true},
        {"COM.Example.App:/oauth/callback/", "com.example.app:/oauth/callback", true},
        {"tessarodemo://tessaro/callback//", "tessarodemo://tessaro/callback", false},
        {"tessarodemo://tessaro/Callback", "tessarodemo://tessaro/callback", false},
        {"tessarodemo://tessaro", "tessarodemo://tessaro/callback", false},
        {"other://tessaro/callback", "tessarodemo://tessaro/callback", false},
        {"tessarodemo://tessaro2/callback", "tessarodemo://tessaro/callback", false},
        {"com.example.app://oauth/callback", "com.example.app:/oauth/callback", false},
    };
    const CB expected{.kind = Kind::authorize, .state = "S", .code = "C"};
    for (const auto& [url, redirect, matches] : cases) {
        // parse() matches the URL against the redirect; matches() is asked the other way round too.
        EXPECT_EQ(CB::matches(URL::parse(redirect).value(), URL::parse(url).value()), matches) << url;
        EXPECT_EQ(parseText(std::string(url) + "?state=S&code=C#f", redirect),
                  matches ? std::optional(expected) : std::nullopt)
            << url;
    }
}

TEST(TessaroCallback, ParsesTheQueryWithFirstOccurrenceAndKindPrecedence) {
    const CB authorizeSC{.kind = Kind::authorize, .state = "S", .code = "C"};
    const std::string long64KiB(64 * 1024, 'v');
    const std::pair<std::string, std::optional<CB>> cases[] = {
        {"tq=request&state=S&request_id=R&status=completed",
         CB{.kind = Kind::request, .state = "S", .requestID = "R", .status = Status::completed}},
        {"state=S&code=C", authorizeSC},
        {"st%61te=S&c%6Fde=C&extra=1", authorizeSC},
        // Only the first occurrence of a name counts.
        {"state=S&state=T&code=C&code=D&error=E&error=F",
         CB{.kind = Kind::authorize, .state = "S", .code = "C", .error = "E"}},
        // An explicit "tq" wins over the presence of "code"; an unknown "tq" falls back to the items.
        {"tq=request&state=S&code=C", CB{.kind = Kind::request, .state = "S", .code = "C"}},
        {"tq=authorize&state=S&request_id=R", CB{.kind = Kind::authorize, .state = "S", .requestID = "R"}},
        {"tq=x&state=S&request_id=R&code=C", CB{.kind = Kind::authorize, .state = "S", .code = "C", .requestID = "R"}},
        {"tq=&state=S&code", CB{.kind = Kind::authorize, .state = "S", .code = ""}},
        // A status only by its exact raw value.
        {"state=S&request_id=R&status=cancelled&status=denied",
         CB{.kind = Kind::request, .state = "S", .requestID = "R", .status = Status::cancelled}},
        {"state=S&request_id=R&status=COMPLETED&status=completed",
         CB{.kind = Kind::request, .state = "S", .requestID = "R"}},
        {"state=S&request_id=" + long64KiB, CB{.kind = Kind::request, .state = "S", .requestID = long64KiB}},
        // No callback: no usable state, no kind, no items, or decoded text that is not UTF-8.
        {"&&", std::nullopt},
        {"tq=other&state=S&status=completed&error=access_denied", std::nullopt},
        {"state=&state=S&code=C", std::nullopt},
        {"state=S&code=%FF", std::nullopt},
        {"state=S&code=C&x%C0%AF=1", std::nullopt},
    };
    for (const auto& [query, expected] : cases) {
        EXPECT_EQ(parseText(std::string(demoRedirect) + "?" + query), expected) << query.substr(0, 200);
    }
}

}  // namespace
}  // namespace tessaro

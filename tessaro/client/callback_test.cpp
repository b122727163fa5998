#include <tessaro/client/callback.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace tessaro {

namespace {

using Kind = TessaroCallback::Kind;
using Status = TessaroCallback::Status;

constexpr std::string_view demoRedirect = "tessarodemo://tessaro/callback";

URL mustParse(std::string_view text) {
    auto url = URL::parse(text);
    if (!url) throw std::runtime_error("does not parse: " + std::string(text));
    return *url;
}

std::optional<TessaroCallback> parseText(std::string_view text, std::string_view redirect = demoRedirect) {
    return TessaroCallback::parse(mustParse(text), mustParse(redirect));
}

TEST(TessaroCallback, MatchesTheRedirectURLUpToCaseOfSchemeAndHostAndOneTrailingSlash) {
    const struct {
        const char* url;
        const char* redirect;
        bool matches;
    } cases[] = {
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
    const TessaroCallback expected{.kind = Kind::authorize, .state = "S", .code = "C"};
    for (const auto& c : cases) {
        const URL url = mustParse(c.url);
        const URL redirect = mustParse(c.redirect);
        EXPECT_EQ(TessaroCallback::matches(url, redirect), c.matches) << c.url << " against " << c.redirect;
        EXPECT_EQ(TessaroCallback::matches(redirect, url), c.matches) << c.redirect << " against " << c.url;
        EXPECT_EQ(parseText(std::string(c.url) + "?state=S&code=C#f", c.redirect),
                  c.matches ? std::optional(expected) : std::nullopt)
            << c.url;
    }
}

TEST(TessaroCallback, ParsesTheQueryWithFirstOccurrenceAndKindPrecedence) {
    using CB = TessaroCallback;
    const CB authorizeSC{.kind = Kind::authorize, .state = "S", .code = "C"};
    const auto repeated = [](std::string_view unit) {  // to 64 KiB
        std::string out;
        while (out.size() < 64 * 1024)
            out += unit;
        return out;
    };
    const struct {
        std::string query;
        std::optional<CB> expected;
    } cases[] = {
        {"tq=request&state=S&request_id=R&status=completed",
         CB{.kind = Kind::request, .state = "S", .requestID = "R", .status = Status::completed}},
        {"state=S&code=C", authorizeSC},
        {"state=S&state=T&code=C&code=D", authorizeSC},
        {"st%61te=S&c%6Fde=C&extra=1", authorizeSC},
        // An explicit "tq" wins over the presence of "code"; an unknown "tq" falls back to the items.
        {"tq=request&state=S&code=C", CB{.kind = Kind::request, .state = "S", .code = "C"}},
        {"tq=authorize&state=S&request_id=R", CB{.kind = Kind::authorize, .state = "S", .requestID = "R"}},
        {"tq=Request&state=S&request_id=R", CB{.kind = Kind::request, .state = "S", .requestID = "R"}},
        {"tq=x&state=S&request_id=R&code=C", CB{.kind = Kind::authorize, .state = "S", .code = "C", .requestID = "R"}},
        {"tq=&state=S&code", CB{.kind = Kind::authorize, .state = "S", .code = ""}},
        {"tq=authorize&state=S&error=access_denied&error=x",
         CB{.kind = Kind::authorize, .state = "S", .error = "access_denied"}},
        // A status only by its exact raw value.
        {"state=S&request_id=R&status=cancelled&status=denied",
         CB{.kind = Kind::request, .state = "S", .requestID = "R", .status = Status::cancelled}},
        {"state=S&request_id=R&status=canceled", CB{.kind = Kind::request, .state = "S", .requestID = "R"}},
        {"state=S&request_id=R&status=COMPLETED&status=completed",
         CB{.kind = Kind::request, .state = "S", .requestID = "R"}},
        // No callback: no usable state, no kind, no items, or decoded text that is not UTF-8.
        {"", std::nullopt},
        {"&&", std::nullopt},
        {"state=S", std::nullopt},
        {"tq=other&state=S&status=completed", std::nullopt},
        {"state=S&error=access_denied", std::nullopt},
        {"state=&code=C", std::nullopt},
        {"state=&state=S&code=C", std::nullopt},
        {"state=S&code=%FF", std::nullopt},
        {"state=S&code=C&x%C0%AF=1", std::nullopt},
        // Queries of 64 KiB.
        {"code=C&" + repeated("state=a&") + "state=b", CB{.kind = Kind::authorize, .state = "a", .code = "C"}},
        {repeated("pad=x&") + "state=S&request_id=" + repeated("v"),
         CB{.kind = Kind::request, .state = "S", .requestID = repeated("v")}},
        {repeated("state=&code=C&"), std::nullopt},
        {"state=S&code=C&x=" + repeated("%E4%BD%A0") + "%E4", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(demoRedirect) + (c.query.empty() ? "" : "?") + c.query;
        EXPECT_EQ(parseText(text), c.expected) << text.substr(0, 200);
    }
}

}  // namespace
}  // namespace tessaro

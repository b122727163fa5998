#include <tessaro/records/url.hpp>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tessaro/records/exception.hpp>

namespace tessaro {
namespace {

URL mustParse(std::string_view text) { return URL::parse(text).value(); }

TEST(URL, ParsesEachFormAndKeepsTheTextAsGiven) {
    // Text, scheme, host, port, path, query, fragment.
    const char* const cases[][7] = {
        {"tessaro://authorize?x=1&y=a%20b", "tessaro", "authorize", "", "/", "x=1&y=a%20b", ""},
        {"HTTPS://Example.COM:8443/A/../b?q#frag", "https", "Example.COM", "8443", "/A/../b", "q", "frag"},
        {"http://[::1]:8080/api", "http", "[::1]", "8080", "/api", "", ""},
        {"https://例子.测试/路径?q=你", "https", "例子.测试", "", "/路径", "q=你", ""},
        // The native-app form without an authority has an empty host.
        {"com.example.app:/oauth/callback", "com.example.app", "", "", "/oauth/callback", "", ""},
        {"Com.Example.App:/cb?state=a%20b&code=x+y#f", "com.example.app", "", "", "/cb", "state=a%20b&code=x+y", "f"},
        {"tessarodemo:/", "tessarodemo", "", "", "/", "", ""},
        {"app:/a:b@c/;x=1/%E4%BD%A0/你", "app", "", "", "/a:b@c/;x=1/%E4%BD%A0/你", "", ""},
    };
    for (const auto& [text, scheme, host, port, path, query, fragment] : cases) {
        const URL url = mustParse(text);
        EXPECT_EQ(url.scheme(), scheme) << text;
        EXPECT_EQ(url.host(), host) << text;
        EXPECT_EQ(url.port() ? std::to_string(*url.port()) : "", port) << text;
        EXPECT_EQ(url.path(), path) << text;  // dot segments are not collapsed
        EXPECT_EQ(url.query(), query) << text;
        EXPECT_EQ(url.fragment(), fragment) << text;
        EXPECT_EQ(url.absoluteString(), text);
        if (!*host) {
            EXPECT_THROW(url.resolvingPath("/api/x"), InvalidArgument) << text;
        }
    }
}

TEST(URL, RejectsRelativeMalformedAndWhitespaceText) {
    for (const std::string_view text : std::initializer_list<std::string_view>{
             "", "/relative", "example.com/x", "tessaro:foo", "mailto:a@b", "http:/x.com", "1abc://host", "https://",
             "https:///path", "https://a b/", "https://h/a b", " https://h", "https://h/ ", "https://h/\t",
             "https://h:99999/", "://h", "ht tp://h", std::string_view("https://h/a\0b", 13),
             // Bad UTF-8; http and https always need a host; what no URL may hold is refused in the
             // native-app form too.
             "https://h/\xff", "https://h/\xC0\xAF", "https://h/\xED\xA0\x80", "https://h/\xE4\xBD", "http:/x",
             "HTTPS:/x/y", "app:/a b", "app:/a%zz", "app:/a%4", "app:/<x>", "app:/a\\b", "app:/x?q=\"1\"",
             "app:/x#a{b}", "app:/\x01"}) {
        EXPECT_FALSE(URL::parse(text)) << text;
    }
}

TEST(URL, DecodesPathsAndQueryItemsWithoutTurningPlusIntoSpace) {
    EXPECT_EQ(mustParse("https://h/a%20b/%E4%BD%A0+c%2f").decodedPath(), "/a b/你+c/");
    EXPECT_EQ(URL::percentDecode("%zz%4%"), "%zz%4%");

    EXPECT_EQ(mustParse("tessarodemo://tessaro/callback?state=a%20b&code=&flag&&state=2&p=a+b%2B").queryItems(),
              (URL::QueryItems{{"state", "a b"}, {"code", ""}, {"flag", ""}, {"state", "2"}, {"p", "a+b+"}}));
    EXPECT_EQ(mustParse("com.example.app:/cb?state=s%2B1&state=2").queryItems(),
              (URL::QueryItems{{"state", "s+1"}, {"state", "2"}}));
}

TEST(URL, JoinsAnOriginWithAnEndpointPath) {
    const char* const cases[][3] = {
        {"https://h", "/api/oauth/token", "https://h/api/oauth/token"},
        {"https://h/", "/api/oauth/token", "https://h/api/oauth/token"},
        {"http://127.0.0.1:8080", "/api/x", "http://127.0.0.1:8080/api/x"},
        {"https://h/base", "/api/x", "https://h/base/api/x"},
        {"https://h/base/", "/api/x", "https://h/base/api/x"},
        {"https://h?q=1#f", "/api/x", "https://h/api/x"},
        {"https://h", "api/x", "https://h/api/x"},
    };
    for (const auto& [origin, path, joined] : cases) {
        EXPECT_EQ(mustParse(origin).resolvingPath(path).absoluteString(), joined) << origin << " + " << path;
    }
    const URL origin = mustParse("https://h");
    EXPECT_THROW(origin.resolvingPath("/api?x=1"), InvalidArgument);
    EXPECT_THROW(origin.resolvingPath("/api#x"), InvalidArgument);
    EXPECT_THROW(origin.resolvingPath("/a b"), InvalidArgument);
}

TEST(URL, EncodesQueryComponentsStrictly) {
    const std::vector<std::pair<std::string, std::string>> items{
        {"redirect_uri", "tessarodemo://tessaro/callback"}, {"state", "a b+c"}, {"name", "你&="}, {"empty", ""}};
    const std::string query = URL::buildQuery(items);
    EXPECT_EQ(query.substr(0, 52), "redirect_uri=tessarodemo%3A%2F%2Ftessaro%2Fcallback&");
    const URL url = mustParse("tessaro://authorize?" + query);
    EXPECT_EQ(url.queryItems(), URL::QueryItems(items.begin(), items.end()));
}

TEST(URL, PercentCodesEveryByteAndTextsOfAnyLength) {
    using namespace std::string_literals;
    for (int c = 0; c < 256; ++c) {
        const std::string byte(1, static_cast<char>(c));
        const bool unreserved =
            std::isalnum(c) || std::string_view("-._~").find(static_cast<char>(c)) != std::string_view::npos;
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        EXPECT_EQ(URL::encodeQueryComponent(byte), unreserved ? byte : std::string(escaped)) << c;
        EXPECT_EQ(URL::percentDecode(escaped), byte) << c;
    }
    EXPECT_EQ(URL::encodeQueryComponent(""), "");
    EXPECT_EQ(URL::percentDecode(""), "");

    // Long texts: more than libcurl escapes in one call (about 8 MB of escaped bytes), and texts of
    // over 150 KB with escapes at every alignment, so that cuts between pieces fall inside them.
    std::string slashesEncoded;
    while (slashesEncoded.size() < 27'000'000)
        slashesEncoded += "%2F";
    EXPECT_TRUE(URL::encodeQueryComponent(std::string(9'000'000, '/')) == slashesEncoded);
    const std::pair<std::string, std::string> patterns[] = {
        {"%41", "A"}, {"x%41", "xA"}, {"%%41", "%A"}, {"%4%41", "%4A"}, {"%zz+", "%zz+"}, {"\0%00"s, "\0\0"s},
    };
    for (const auto& [pattern, expected] : patterns) {
        for (std::size_t shift = 0; shift < pattern.size(); ++shift) {
            std::string text(shift, 'y'), decoded(shift, 'y');
            while (text.size() < 150'000)
                text += pattern, decoded += expected;
            EXPECT_TRUE(URL::percentDecode(text + "%4") == decoded + "%4") << pattern << " after " << shift;
        }
    }
}

}  // namespace
}  // namespace tessaro

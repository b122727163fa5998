#pragma once
/// @file
/// tessaro::URL: an immutable absolute URL, validated by libcurl's URL parser.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// An absolute URL (a scheme is required), in one of two forms:
/// - "scheme://host[:port][/path][?query][#fragment]", validated by libcurl's URL API. Any scheme is
///   accepted ("https://…", "tessaro://authorize?x=1", "tessarodemo://tessaro/callback"), always
///   with a host;
/// - "scheme:/path[?query][#fragment]" without an authority (host() is empty), the private-use
///   redirect form for native apps ("com.example.app:/oauth/callback", RFC 8252 section 7.1),
///   validated by the kit against RFC 3986's characters; never for http and https.
///
/// Relative references, "scheme:path" without a leading "/", whitespace, control characters,
/// invalid UTF-8 and malformed authorities are rejected. The text is kept exactly as given:
/// absoluteString() returns it unchanged and two URLs are equal when their texts are equal (no
/// normalisation). Components are read from the parse and stay as written (path dot-segments are
/// not collapsed).
///
/// Immutable value type: copies share the parsed components and copying never throws; all
/// members are safe from any number of threads (parse() keeps no shared state). parse() never
/// throws except std::bad_alloc; resolvingPath() throws tessaro::InvalidArgument (a
/// std::invalid_argument) when the joined text is no valid URL. Nothing blocks.
class TESSARO_EXPORT URL {
public:
    /// Name and value pairs of a query, in order.
    using QueryItems = std::vector<std::pair<std::string, std::string>>;

    /// The URL of `text`, or nothing when it is not a valid absolute URL.
    static std::optional<URL> parse(std::string_view text);

    /// Shares the components of `other`; never throws.
    URL(const URL& other) noexcept;
    /// Shares the components of `other`; never throws.
    URL& operator=(const URL& other) noexcept;
    ~URL();

    /// Scheme in lower case ("https", "tessaro").
    const std::string& scheme() const noexcept;
    /// Host as written, empty in the form without authority; an IPv6 literal keeps its brackets ("[::1]").
    const std::string& host() const noexcept;
    /// The port written in the URL; nothing when none is written (no scheme default is filled in).
    std::optional<int> port() const noexcept;
    /// Path as written, still percent-encoded; "/" when the URL has an authority but no path.
    const std::string& path() const noexcept;
    /// path() with %XX sequences decoded ("+" stays "+"; a malformed "%" stays as written).
    std::string decodedPath() const;
    /// Query without the "?", still percent-encoded; empty when there is none.
    const std::string& query() const noexcept;
    /// Fragment without the "#"; empty when there is none.
    const std::string& fragment() const noexcept;
    /// The URL's text, exactly as parsed.
    const std::string& absoluteString() const noexcept;

    /// The query's "name=value" items in order, names and values percent-decoded ("+" is not a
    /// space). An item without "=" has the empty value; empty segments ("a=1&&b=2") are skipped.
    QueryItems queryItems() const;

    /// The origin joined with an endpoint path (the API's "/api/oauth/token", "/api/oauth/requests/<id>"):
    /// scheme, authority and the origin's own path, followed by `endpointPath` as given (not
    /// percent-escaped). The origin's query and fragment are dropped. Joining rules:
    ///
    ///     "https://h"        + "/api/x" -> "https://h/api/x"
    ///     "https://h/"       + "/api/x" -> "https://h/api/x"    (a lone or trailing "/" is not doubled)
    ///     "https://h/base"   + "/api/x" -> "https://h/base/api/x"
    ///     "https://h/base/"  + "/api/x" -> "https://h/base/api/x"
    ///     "https://h"        + "api/x"  -> "https://h/api/x"    (a missing leading "/" is added)
    ///
    /// Throws tessaro::InvalidArgument when this URL has no host, `endpointPath` holds "?" or "#",
    /// or the result does not parse (for instance a path holding a space).
    URL resolvingPath(std::string_view endpointPath) const;

    /// Percent-encodes every byte except the unreserved A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex):
    /// a space is "%20", "+" is "%2B", "/" is "%2F", non-ASCII UTF-8 is encoded byte by byte.
    static std::string encodeQueryComponent(std::string_view text);
    /// "name=value" items joined by "&", both sides encoded by encodeQueryComponent; no leading "?".
    static std::string buildQuery(const std::vector<std::pair<std::string, std::string>>& items);
    /// Decodes %XX sequences (either hex case); leaves "+" and malformed "%" sequences unchanged.
    static std::string percentDecode(std::string_view text);

    /// Equal when the texts are equal.
    friend bool operator==(const URL& a, const URL& b) noexcept { return a.absoluteString() == b.absoluteString(); }

private:
    struct Impl;
    TESSARO_NO_EXPORT explicit URL(std::shared_ptr<const Impl> impl) noexcept;
    static std::optional<URL> parseWithoutAuthority(std::string_view text, std::size_t schemeLength);

    std::shared_ptr<const Impl> impl_;
};

}  // namespace tessaro

/// Hashes a URL by its text, consistent with its equality.
template <>
struct std::hash<tessaro::URL> {
    /// The hash of `url.absoluteString()`.
    std::size_t operator()(const tessaro::URL& url) const noexcept {
        return std::hash<std::string>{}(url.absoluteString());
    }
};

// Arbitrary text through URL parsing, joining and the query encoder. Invariants: a parsed URL
// reparses from its own text to an equal URL with the same components; joining an endpoint path
// keeps scheme, host and port (a URL without authority cannot be an origin and refuses to join);
// decoding undoes encoding for any bytes.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <tessaro/records/url.hpp>

using tessaro::URL;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto url = URL::parse(text)) {
        const auto again = URL::parse(url->absoluteString());
        if (!again || !(*again == *url) || again->scheme() != url->scheme() || again->host() != url->host() ||
            again->port() != url->port() || again->path() != url->path() || again->query() != url->query() ||
            again->fragment() != url->fragment()) {
            __builtin_trap();
        }
        (void)url->decodedPath();
        (void)url->queryItems();

        const std::string endpoint = "/api/oauth/requests/r-1";
        if (url->host().empty()) {
            if (url->scheme() == "http" || url->scheme() == "https" || !url->path().starts_with("/")) __builtin_trap();
            bool refused = false;
            try {
                (void)url->resolvingPath(endpoint);
            } catch (const std::invalid_argument&) {
                refused = true;
            }
            if (!refused) __builtin_trap();
        } else {
            const URL joined = url->resolvingPath(endpoint);  // must not throw for a parsed origin
            if (joined.scheme() != url->scheme() || joined.host() != url->host() || joined.port() != url->port() ||
                !joined.path().ends_with(endpoint) || !joined.query().empty()) {
                __builtin_trap();
            }
        }
    }

    const std::string encoded = URL::encodeQueryComponent(text);
    if (URL::percentDecode(encoded) != text) __builtin_trap();
    const auto callback =
        URL::parse("tessarodemo://tessaro/callback?" + URL::buildQuery({{"state", std::string(text)}}));
    if (!callback) __builtin_trap();
    const auto items = callback->queryItems();
    if (items.size() != 1 || items[0].first != "state" || items[0].second != text) __builtin_trap();
    return 0;
}

// Arbitrary text as a callback URL, and as the query of one, through matching and parsing against
// three kinds of redirect URL. Invariants: matching is symmetric; a parsed callback has a non-empty
// state and comes from a URL that matches; writing its fields back into a query (with an explicit
// "tq") parses to the same callback, so every field read is UTF-8 text that survives encoding.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tessaro/client/callback.hpp>

using tessaro::TessaroCallback;
using tessaro::URL;

namespace {

void check(const URL& url, const URL& redirect) {
    const bool matches = TessaroCallback::matches(url, redirect);
    if (matches != TessaroCallback::matches(redirect, url)) __builtin_trap();

    const auto callback = TessaroCallback::parse(url, redirect);
    if (!callback) return;
    if (callback->state.empty() || !matches) __builtin_trap();

    std::vector<std::pair<std::string, std::string>> items{{"state", callback->state},
                                                           {"tq", std::string(rawValue(callback->kind))}};
    if (callback->code) items.emplace_back("code", *callback->code);
    if (callback->requestID) items.emplace_back("request_id", *callback->requestID);
    if (callback->status) items.emplace_back("status", std::string(rawValue(*callback->status)));
    if (callback->error) items.emplace_back("error", *callback->error);
    const auto rebuilt = URL::parse(redirect.absoluteString() + "?" + URL::buildQuery(items));
    if (!rebuilt || TessaroCallback::parse(*rebuilt, redirect) != callback) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const URL redirects[] = {*URL::parse("tessarodemo://tessaro/callback"),
                                    *URL::parse("com.example.app:/oauth/callback"),
                                    *URL::parse("http://127.0.0.1:8123/cb/")};
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto whole = URL::parse(text);
    for (const URL& redirect : redirects) {
        if (whole) check(*whole, redirect);
        if (const auto withQuery = URL::parse(redirect.absoluteString() + "?" + std::string(text))) {
            check(*withQuery, redirect);
        }
    }
    return 0;
}

#include "records/url.hpp"

#include "records/utf8.hpp"

#include <charconv>
#include <memory>
#include <stdexcept>

#include <curl/curl.h>

namespace tessaro {
namespace {

struct CurlURLDeleter {
    void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
using CurlURL = std::unique_ptr<CURLU, CurlURLDeleter>;

// One component of a parsed handle; nothing when libcurl reports it absent.
std::optional<std::string> part(CURLU* handle, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) {
        return std::nullopt;
    }
    std::string out(value);
    curl_free(value);
    return out;
}

bool isAlpha(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) noexcept {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of "scheme://" at the start of `text` (RFC 3986 scheme: a letter, then letters, digits,
// "+", "-", "."), or 0 when the text does not start that way. libcurl alone is more lenient
// ("http:/host", "1abc://host"), so the form is checked here first.
std::size_t schemePrefixLength(std::string_view text) noexcept {
    if (text.empty() || !isAlpha(text[0])) return 0;
    std::size_t i = 1;
    while (i < text.size() && (isAlpha(text[i]) || isDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) {
        ++i;
    }
    if (text.substr(i, 3) != "://") return 0;
    return i + 3;
}


}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    const std::size_t prefix = schemePrefixLength(text);
    // An authority must follow "scheme://": libcurl would otherwise read "https:///x" as host "x".
    if (prefix == 0 || prefix >= text.size() || text[prefix] == '/') return std::nullopt;
    // libcurl reads a C string; an embedded NUL would silently cut the text short.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    // The text travels in JSON bodies and query values, which need valid UTF-8.
    if (!detail::isValidUTF8(text)) return std::nullopt;

    CurlURL handle(curl_url());
    if (!handle) throw std::bad_alloc();
    const std::string owned(text);
    // Unknown schemes are allowed; the path is kept as written (no dot-segment removal).
    if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) !=
        CURLUE_OK) {
        return std::nullopt;
    }

    URL url;
    url.text_ = owned;
    url.scheme_ = part(handle.get(), CURLUPART_SCHEME).value_or("");
    url.host_ = part(handle.get(), CURLUPART_HOST).value_or("");
    if (url.scheme_.empty() || url.host_.empty()) return std::nullopt;
    if (auto port = part(handle.get(), CURLUPART_PORT)) {
        int value = 0;
        const auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
        if (ec != std::errc() || end != port->data() + port->size()) return std::nullopt;
        url.port_ = value;
    }
    url.path_ = part(handle.get(), CURLUPART_PATH).value_or("/");
    url.query_ = part(handle.get(), CURLUPART_QUERY).value_or("");
    url.fragment_ = part(handle.get(), CURLUPART_FRAGMENT).value_or("");
    return url;
}

std::string URL::decodedPath() const { return percentDecode(path_); }

URL::QueryItems URL::queryItems() const {
    QueryItems items;
    std::string_view rest = query_;
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            items.emplace_back(percentDecode(item), std::string{});
        } else {
            items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
        }
    }
    return items;
}

URL URL::resolvingPath(std::string_view endpointPath) const {
    if (endpointPath.find_first_of("?#") != std::string_view::npos) {
        throw std::invalid_argument("URL::resolvingPath: an endpoint path holds no query or fragment");
    }
    // Scheme and authority exactly as written: everything up to the first "/", "?" or "#" after "://".
    const std::size_t authorityStart = schemePrefixLength(text_);
    const std::size_t authorityEnd = text_.find_first_of("/?#", authorityStart);
    std::string joined = text_.substr(0, authorityEnd);

    std::string_view basePath = path_;
    if (!basePath.empty() && basePath.back() == '/') basePath.remove_suffix(1);
    joined += basePath;
    if (endpointPath.empty() || endpointPath.front() != '/') joined += '/';
    joined += endpointPath;

    auto url = parse(joined);
    if (!url) throw std::invalid_argument("URL::resolvingPath: the joined URL is not valid");
    return std::move(*url);
}

std::string URL::encodeQueryComponent(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (isUnreserved(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

std::string URL::buildQuery(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string out;
    for (const auto& [name, value] : items) {
        if (!out.empty()) out += '&';
        out += encodeQueryComponent(name);
        out += '=';
        out += encodeQueryComponent(value);
    }
    return out;
}

std::string URL::percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace tessaro

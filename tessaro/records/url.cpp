#include <tessaro/records/url.hpp>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/internal/utf8.hpp>

#include <algorithm>
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

struct CurlFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlFree>;

// Longest text handed to curl_easy_escape or curl_easy_unescape at once: they take an int length,
// read a length of 0 as "up to the first NUL", and curl_easy_escape fails once its result would
// pass about 24 MB. Longer texts go through in pieces; the empty text never reaches them.
constexpr std::size_t curlPieceLength = 64 * 1024;

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
bool isUnreserved(char c) noexcept { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of the RFC 3986 scheme at the start of `text` (a letter, then letters, digits, "+", "-",
// "."), when a ":" follows it; else 0.
std::size_t schemeLength(std::string_view text) noexcept {
    if (text.empty() || !isAlpha(text[0])) return 0;
    std::size_t i = 1;
    while (i < text.size() &&
           (isAlpha(text[i]) || isDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) {
        ++i;
    }
    return i < text.size() && text[i] == ':' ? i : 0;
}

// Length of "scheme://" at the start of `text`, or 0 when the text does not start that way.
// libcurl alone is more lenient ("http:/host", "1abc://host"), so the form is checked here first.
std::size_t schemePrefixLength(std::string_view text) noexcept {
    const std::size_t scheme = schemeLength(text);
    return scheme != 0 && text.substr(scheme, 3) == "://" ? scheme + 3 : 0;
}

// RFC 3986 characters of a path, query or fragment: unreserved, sub-delims, ":", "@", "/", "?",
// a "%" with two hex digits, and (as in the authority form) UTF-8 beyond ASCII.
bool isURLText(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80 || isUnreserved(c) ||
            std::string_view("!$&'()*+,;=:@/?").find(c) != std::string_view::npos) {
            continue;
        }
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

// The parsed components, shared by copies: a URL never changes once parsed.
struct TESSARO_NO_EXPORT URL::Impl {
    std::string text;
    std::string scheme;
    std::string host;
    std::optional<int> port;
    std::string path;
    std::string query;
    std::string fragment;
};

URL::URL(std::shared_ptr<const Impl> impl) noexcept : impl_(std::move(impl)) {}
URL::URL(const URL& other) noexcept = default;
URL& URL::operator=(const URL& other) noexcept = default;
URL::~URL() = default;

const std::string& URL::scheme() const noexcept { return impl_->scheme; }
const std::string& URL::host() const noexcept { return impl_->host; }
std::optional<int> URL::port() const noexcept { return impl_->port; }
const std::string& URL::path() const noexcept { return impl_->path; }
const std::string& URL::query() const noexcept { return impl_->query; }
const std::string& URL::fragment() const noexcept { return impl_->fragment; }
const std::string& URL::absoluteString() const noexcept { return impl_->text; }

std::optional<URL> URL::parse(std::string_view text) {
    if (text.find('\0') != std::string_view::npos || !detail::isValidUTF8(text)) return std::nullopt;
    const std::size_t scheme = schemeLength(text);
    // "scheme:/path": the private-use form of native-app redirects (RFC 8252 section 7.1), without
    // an authority. Decided here, never by libcurl, which would take "path" for a host. http and
    // https always need a host.
    if (scheme != 0 && text.substr(scheme + 1, 1) == "/" && text.substr(scheme + 1, 2) != "//") {
        return parseWithoutAuthority(text, scheme);
    }
    const std::size_t prefix = schemePrefixLength(text);
    // An authority must follow "scheme://": libcurl would otherwise read "https:///x" as host "x".
    if (prefix == 0 || prefix >= text.size() || text[prefix] == '/') return std::nullopt;

    CurlURL handle(curl_url());
    if (!handle) throw std::bad_alloc();
    const std::string owned(text);
    // Unknown schemes are allowed; the path is kept as written (no dot-segment removal).
    if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) !=
        CURLUE_OK) {
        return std::nullopt;
    }

    auto impl = std::make_shared<Impl>();
    impl->text = owned;
    impl->scheme = part(handle.get(), CURLUPART_SCHEME).value_or("");
    impl->host = part(handle.get(), CURLUPART_HOST).value_or("");
    if (impl->scheme.empty() || impl->host.empty()) return std::nullopt;
    if (auto port = part(handle.get(), CURLUPART_PORT)) {
        int value = 0;
        const auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
        if (ec != std::errc() || end != port->data() + port->size()) return std::nullopt;
        impl->port = value;
    }
    impl->path = part(handle.get(), CURLUPART_PATH).value_or("/");
    impl->query = part(handle.get(), CURLUPART_QUERY).value_or("");
    impl->fragment = part(handle.get(), CURLUPART_FRAGMENT).value_or("");
    return URL(std::move(impl));
}

std::optional<URL> URL::parseWithoutAuthority(std::string_view text, std::size_t schemeLength) {
    auto impl = std::make_shared<Impl>();
    impl->text = std::string(text);
    impl->scheme.reserve(schemeLength);
    for (const char c : text.substr(0, schemeLength)) {
        impl->scheme += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (impl->scheme == "http" || impl->scheme == "https") return std::nullopt;
    std::string_view rest = text.substr(schemeLength + 1);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        impl->fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        impl->query = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    impl->path = std::string(rest);
    if (!isURLText(impl->path) || !isURLText(impl->query) || !isURLText(impl->fragment)) return std::nullopt;
    return URL(std::move(impl));
}

std::string URL::decodedPath() const { return percentDecode(impl_->path); }

URL::QueryItems URL::queryItems() const {
    QueryItems items;
    std::string_view rest = impl_->query;
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
    if (impl_->host.empty()) throw InvalidArgument("URL::resolvingPath: an origin needs a host");
    if (endpointPath.find_first_of("?#") != std::string_view::npos) {
        throw InvalidArgument("URL::resolvingPath: an endpoint path holds no query or fragment");
    }
    // Scheme and authority exactly as written: everything up to the first "/", "?" or "#" after "://".
    const std::size_t authorityStart = schemePrefixLength(impl_->text);
    const std::size_t authorityEnd = impl_->text.find_first_of("/?#", authorityStart);
    std::string joined = impl_->text.substr(0, authorityEnd);

    std::string_view basePath = impl_->path;
    if (!basePath.empty() && basePath.back() == '/') basePath.remove_suffix(1);
    joined += basePath;
    if (endpointPath.empty() || endpointPath.front() != '/') joined += '/';
    joined += endpointPath;

    auto url = parse(joined);
    if (!url) throw InvalidArgument("URL::resolvingPath: the joined URL is not valid");
    return std::move(*url);
}

std::string URL::encodeQueryComponent(std::string_view text) {
    // curl_easy_escape keeps exactly the unreserved A-Z a-z 0-9 - . _ ~ and writes "%XX" in upper
    // case, one byte at a time, so pieces encode independently.
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), curlPieceLength);
        const CurlText piece(curl_easy_escape(nullptr, text.data(), static_cast<int>(n)));
        if (!piece) throw std::bad_alloc();
        out += piece.get();
        text.remove_prefix(n);
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
    // curl_easy_unescape decodes "%" with two hex digits, keeps any other "%" as written ("%zz",
    // a "%4" at the end) and leaves "+" alone.
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::size_t n = std::min(text.size(), curlPieceLength);
        if (n < text.size()) {
            // An escape that would cross the cut starts at a "%" among the piece's last two bytes,
            // and no earlier escape can take a "%" as a digit: ending the piece before that "%"
            // decodes exactly as the whole text would.
            if (text[n - 2] == '%') {
                n -= 2;
            } else if (text[n - 1] == '%') {
                n -= 1;
            }
        }
        int length = 0;
        const CurlText piece(curl_easy_unescape(nullptr, text.data(), static_cast<int>(n), &length));
        if (!piece) throw std::bad_alloc();
        out.append(piece.get(), static_cast<std::size_t>(length));
        text.remove_prefix(n);
    }
    return out;
}

}  // namespace tessaro

#include <tessaro/sandbox/internal/wire.hpp>

#include <curl/curl.h>
#include <sodium.h>

#include <cctype>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace tessaro::sandbox::detail {

namespace {

void ensureSodium() {
    static const int ready = sodium_init();
    if (ready < 0) throw std::runtime_error("libsodium could not be initialised");
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~'; }

}  // namespace

std::string base64urlEncode(std::span<const std::uint8_t> bytes) {
    ensureSodium();
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_encoded_len(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
    out.resize(out.size() - 1);  // the terminating NUL
    return out;
}

std::optional<std::vector<std::uint8_t>> base64urlDecode(std::string_view text) {
    ensureSodium();
    std::vector<std::uint8_t> out(text.size() * 3 / 4 + 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data) {
    ensureSodium();
    std::array<std::uint8_t, 32> digest{};
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

std::string sha256Hex(std::string_view data) {
    const auto digest = sha256({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
    std::string hex(64, '\0');
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    return hex;
}

std::string randomToken(std::size_t bytes) {
    ensureSodium();
    std::vector<std::uint8_t> buffer(bytes);
    randombytes_buf(buffer.data(), buffer.size());
    return base64urlEncode(buffer);
}

std::string isoTime(TimePoint time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(time));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::int64_t unixSeconds(TimePoint time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

std::string percentEncode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0f]);
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> parseQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> items;
    std::size_t start = 0;
    while (!query.empty()) {
        const std::size_t amp = query.find('&', start);
        const std::string_view item =
            query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        if (!item.empty()) {
            const std::size_t eq = item.find('=');
            auto name = percentDecode(item.substr(0, eq));
            auto value =
                eq == std::string_view::npos ? std::optional<std::string>("") : percentDecode(item.substr(eq + 1));
            if (!name || !value) return std::nullopt;
            items.emplace_back(std::move(*name), std::move(*value));
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return items;
}

std::optional<std::string> queryValue(const std::vector<std::pair<std::string, std::string>>& items,
                                      std::string_view name) {
    for (const auto& [key, value] : items) {
        if (key == name) return value;
    }
    return std::nullopt;
}

std::string buildQuery(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string out;
    for (const auto& [name, value] : items) {
        if (!out.empty()) out.push_back('&');
        out += percentEncode(name);
        out.push_back('=');
        out += percentEncode(value);
    }
    return out;
}

std::optional<URIParts> parseURI(const std::string& text) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(),
                             CURLU_NON_SUPPORT_SCHEME | CURLU_NO_AUTHORITY | CURLU_PATH_AS_IS) != CURLUE_OK) {
        return std::nullopt;
    }
    auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* value = nullptr;
        if (curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
        std::string result(value);
        curl_free(value);
        return result;
    };
    URIParts parts;
    auto scheme = part(CURLUPART_SCHEME);
    if (!scheme) return std::nullopt;
    for (char& c : *scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    parts.scheme = *scheme;
    parts.host = part(CURLUPART_HOST).value_or("");
    for (char& c : parts.host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto port = part(CURLUPART_PORT)) parts.port = std::stoi(*port);
    parts.path = part(CURLUPART_PATH).value_or("");
    parts.query = part(CURLUPART_QUERY).value_or("");
    parts.hasFragment = part(CURLUPART_FRAGMENT).has_value();
    parts.hasUserInfo = part(CURLUPART_USER).has_value() || part(CURLUPART_PASSWORD).has_value();
    return parts;
}

bool isLoopbackIP(std::string_view host) {
    if (host == "[::1]") return true;
    if (!host.starts_with("127.")) return false;
    int dots = 0;
    for (const char c : host) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return false;
    }
    return dots == 3;
}

std::string loggable(std::string_view text, std::size_t limit) {
    std::string out;
    for (const char c : text.substr(0, limit))
        out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    if (text.size() > limit) out += "...";
    return out;
}

}  // namespace tessaro::sandbox::detail

#pragma once
// Small encodings the sandbox needs on the wire: base64url, SHA-256, random tokens, ISO 8601
// times, percent-encoding, query strings and URI parsing. Built directly on libsodium and
// libcurl rather than on the kit, so that the sandbox checks the kit instead of mirroring it.
// All functions are stateless and safe from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro::sandbox::detail {

using TimePoint = std::chrono::system_clock::time_point;

// Unpadded base64url; decoding is strict (url alphabet only, no padding, zero trailing bits).
std::string base64urlEncode(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> base64urlDecode(std::string_view text);

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);
std::string sha256Hex(std::string_view data);

// base64url of `bytes` random bytes.
std::string randomToken(std::size_t bytes);

// "2025-01-02T03:04:05Z" (UTC, whole seconds).
std::string isoTime(TimePoint time);
std::int64_t unixSeconds(TimePoint time);

// Unreserved characters (A-Z a-z 0-9 - . _ ~) stay, everything else becomes %XX (upper case).
std::string percentEncode(std::string_view text);
// Decodes %XX; "+" stays "+". No value for a malformed escape.
std::optional<std::string> percentDecode(std::string_view text);

// name=value items of a query (without "?"), decoded, in order; an item without "=" has an
// empty value. No value when any escape is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> parseQuery(std::string_view query);
// The first value of `name`, if present.
std::optional<std::string> queryValue(const std::vector<std::pair<std::string, std::string>>& items,
                                      std::string_view name);
std::string buildQuery(const std::vector<std::pair<std::string, std::string>>& items);

// An absolute URI split by libcurl. `host` keeps IPv6 brackets; `path` is as written.
struct URIParts {
    std::string scheme;  // lower case
    std::string host;    // lower case; may be empty for custom schemes
    std::optional<int> port;
    std::string path;
    std::string query;
    bool hasFragment = false;
    bool hasUserInfo = false;
};
std::optional<URIParts> parseURI(const std::string& text);

// 127.0.0.1 (any 127.0.0.0/8 address) or [::1].
bool isLoopbackIP(std::string_view host);

// Text taken from a request, fit for one log line: anything but printable ASCII becomes "?",
// and more than `limit` characters end in "...".
std::string loggable(std::string_view text, std::size_t limit = 80);

}  // namespace tessaro::sandbox::detail

#include <tessaro/client/internal/item_payloads.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include <tessaro/records/internal/utf8.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro::detail {

namespace {

// The bytes one character takes in a JSON string: the escapes of nlohmann's writer.
std::size_t escapedSize(unsigned char c) {
    switch (c) {
        case '"':
        case '\\':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t': return 2;
        default: return c < 0x20 ? 6 : 1;
    }
}

std::size_t quotedSize(std::string_view text) {
    std::size_t size = 2;
    for (const char c : text)
        size += escapedSize(static_cast<unsigned char>(c));
    return size;
}

// Writes `text` quoted at `out`, returning the position after it.
std::uint8_t* writeQuoted(std::uint8_t* out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    *out++ = '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        char escape = 0;
        switch (c) {
            case '"': escape = '"'; break;
            case '\\': escape = '\\'; break;
            case '\b': escape = 'b'; break;
            case '\f': escape = 'f'; break;
            case '\n': escape = 'n'; break;
            case '\r': escape = 'r'; break;
            case '\t': escape = 't'; break;
            default: break;
        }
        if (escape) {
            *out++ = '\\';
            *out++ = static_cast<std::uint8_t>(escape);
        } else if (c < 0x20) {
            for (const char part : {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]})
                *out++ = static_cast<std::uint8_t>(part);
        } else {
            *out++ = c;
        }
    }
    *out++ = '"';
    return out;
}

std::uint8_t* writeText(std::uint8_t* out, std::string_view text) {
    for (const char c : text)
        *out++ = static_cast<std::uint8_t>(c);
    return out;
}

std::int64_t revisionFromText(std::string_view text) noexcept {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return 0;
    }
    // from_chars reads the "-" itself (so the lowest value fits) but not a "+".
    const std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return 0;
    return value;
}

}  // namespace

std::optional<SecureBytes> patchPlaintext(const std::map<TessaroField, std::string>& patch) {
    constexpr std::string_view head = R"({"patch":{)";
    constexpr std::string_view tail = "}}";
    std::size_t size = head.size() + tail.size();
    for (const auto& [field, value] : patch) {
        if (!isValidUTF8(field.rawValue()) || !isValidUTF8(value)) return std::nullopt;
        size += quotedSize(field.rawValue()) + 1 + quotedSize(value) + 1;
    }
    if (!patch.empty()) --size;  // no comma after the last member
    SecureBytes bytes(size);
    std::uint8_t* out = writeText(bytes.data(), head);
    bool first = true;
    for (const auto& [field, value] : patch) {
        if (!first) *out++ = ',';
        first = false;
        out = writeQuoted(out, field.rawValue());
        *out++ = ':';
        out = writeQuoted(out, value);
    }
    writeText(out, tail);
    return bytes;
}

std::int64_t revisionOf(const nlohmann::json& value) noexcept {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        return number <= static_cast<std::uint64_t>(max) ? static_cast<std::int64_t>(number) : 0;
    }
    if (value.is_number_float()) {
        // A whole number written with a fraction or exponent ("7.0") is still an integer; 2^63
        // itself is the first double out of range.
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return static_cast<std::int64_t>(number);
        }
        return 0;
    }
    if (value.is_string()) return revisionFromText(value.get_ref<const std::string&>());
    return 0;
}

void wipeStrings(nlohmann::json& value) noexcept {
    if (value.is_string()) {
        zeroFill(value.get_ref<std::string&>());
    } else if (value.is_array() || value.is_object()) {
        for (auto& element : value)
            wipeStrings(element);
    }
}

TessaroItem readItemResult(const SecureBytes& plaintext) {
    nlohmann::json document = nlohmann::json::parse(plaintext.begin(), plaintext.end(), nullptr, false);
    struct Wipe {
        nlohmann::json& json;
        ~Wipe() { wipeStrings(json); }
    } wipe{document};
    if (document.is_discarded() || !document.is_object()) throw TessaroError::protocol("result_malformed");
    const auto item = document.find("item");
    if (item == document.end() || !item->is_object()) throw TessaroError::protocol("result_malformed");
    const auto id = item->find("id");
    if (id == item->end() || !id->is_string()) throw TessaroError::protocol("result_malformed");

    TessaroItem result;
    result.id = id->get<std::string>();
    if (const auto revision = item->find("revision"); revision != item->end()) result.revision = revisionOf(*revision);
    const auto record = item->find("record");
    result.record =
        TessaroRecord::fromJSON(record != item->end() && record->is_object() ? *record : nlohmann::json::object());
    return result;
}

}  // namespace tessaro::detail

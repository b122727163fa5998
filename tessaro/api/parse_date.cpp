// Reading the server's "expires_at" texts: ISO 8601 internet date-times and a few near forms.
//
// Each form is first checked character by character (so that no lenient reading slips through:
// one-digit fields, missing colons, trailing text), then read with date::parse, which validates the
// calendar and the clock and applies the zone offset.

#include <date/date.h>

#include <sstream>

#include <tessaro/api/tessaro_api.hpp>

namespace tessaro {

namespace {

enum class Fraction { none, required };
enum class Zone { none, required };

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool digitsAt(std::string_view text, std::size_t at, std::size_t count) noexcept {
    if (at + count > text.size()) return false;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isDigit(text[i])) return false;
    }
    return true;
}

int twoDigits(std::string_view text, std::size_t at) noexcept { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

// "yyyy-MM-ddTHH:mm:ss", then ".f" with 1 to 9 digits when `fraction` is required, then "Z" or
// "+hh:mm"/"-hh:mm" when `zone` is required; nothing else may follow.
std::optional<Timestamp> parseForm(std::string_view text, Fraction fraction, Zone zone) {
    constexpr std::string_view dateTimeShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < dateTimeShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < dateTimeShape.size(); ++i) {
        const char want = dateTimeShape[i];
        if (want == 'd' ? !isDigit(text[i]) : text[i] != want) return std::nullopt;
    }
    std::size_t at = dateTimeShape.size();

    // The fraction is read here, the rest by date::parse at whole seconds: a nanosecond clock
    // would overflow beyond the years 1678 to 2261.
    double fractionSeconds = 0.0;
    if (fraction == Fraction::required) {
        if (at >= text.size() || text[at] != '.') return std::nullopt;
        std::size_t digits = 0;
        std::int64_t numerator = 0;
        std::int64_t denominator = 1;
        while (at + 1 + digits < text.size() && isDigit(text[at + 1 + digits]) && digits < 10) {
            numerator = numerator * 10 + (text[at + 1 + digits] - '0');
            denominator *= 10;
            ++digits;
        }
        if (digits == 0 || digits > 9) return std::nullopt;
        fractionSeconds = static_cast<double>(numerator) / static_cast<double>(denominator);
        at += 1 + digits;
    }

    std::string wholeSeconds(text.substr(0, dateTimeShape.size()));
    bool offset = false;
    if (zone == Zone::required) {
        std::string_view rest = text.substr(at);
        if (rest == "Z") {
            at += 1;
        } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && digitsAt(rest, 1, 2) && rest[3] == ':' &&
                   digitsAt(rest, 4, 2) && twoDigits(rest, 1) <= 23 && twoDigits(rest, 4) <= 59) {
            wholeSeconds += rest;
            at += 6;
            offset = true;
        } else {
            return std::nullopt;
        }
    }
    if (at != text.size()) return std::nullopt;

    std::istringstream stream{wholeSeconds};
    date::sys_seconds point;
    if (offset) {
        stream >> date::parse("%Y-%m-%dT%H:%M:%S%Ez", point);
    } else {
        stream >> date::parse("%Y-%m-%dT%H:%M:%S", point);
    }
    if (stream.fail() || stream.peek() != std::char_traits<char>::eof()) return std::nullopt;
    return Timestamp(
        std::chrono::duration<double>(static_cast<double>(point.time_since_epoch().count()) + fractionSeconds));
}

}  // namespace

std::optional<Timestamp> TessaroAPI::parseDate(std::string_view text) {
    // 1. internet date-time with fractional seconds; 2. without them.
    if (auto t = parseForm(text, Fraction::required, Zone::required)) return t;
    if (auto t = parseForm(text, Fraction::none, Zone::required)) return t;

    // 3. a space between date and time (any space becomes "T"), then form 2 again.
    std::string replaced(text);
    for (char& c : replaced) {
        if (c == ' ') c = 'T';
    }
    if (auto t = parseForm(replaced, Fraction::none, Zone::required)) return t;

    // 4. fixed patterns on the replaced text: with fraction and zone (the zone form without a
    //    fraction was step 3), then without a zone, read as UTC, with and without fraction.
    if (auto t = parseForm(replaced, Fraction::required, Zone::required)) return t;
    if (auto t = parseForm(replaced, Fraction::required, Zone::none)) return t;
    if (auto t = parseForm(replaced, Fraction::none, Zone::none)) return t;
    return std::nullopt;
}

}  // namespace tessaro

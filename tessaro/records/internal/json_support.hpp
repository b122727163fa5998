#pragma once
// Reading integers from and writing compact JSON, shared by the records and the API layer.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tessaro::detail {

// The 64-bit signed integer a JSON number names: an integer in range, or a float that is a whole
// number in range (3.0 as 3). Nothing for a fraction, a number out of range, a boolean, a string
// or any other value.
inline std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(n);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 is the first double beyond the range; -2^63 is inside it.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

// Compact JSON text: no whitespace, object keys in ascending byte order (nlohmann::json keeps
// objects in a sorted map), UTF-8 as is, "/" unescaped, every number as the value holds it.
// Throws nlohmann::json::type_error for a string that is not valid UTF-8.
inline std::string compactText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

}  // namespace tessaro::detail

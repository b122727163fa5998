#pragma once
/// @file
/// Points in time as the kit stores them: seconds since 1970-01-01 00:00 UTC, as a double.

#include <chrono>

namespace tessaro {

/// A point in time: seconds since 1970-01-01 00:00 UTC, as a double.
using Timestamp = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

/// The point `seconds` after 1970-01-01 00:00 UTC (negative values lie before it).
constexpr Timestamp timestampFromSeconds(double seconds) noexcept {
    return Timestamp(std::chrono::duration<double>(seconds));
}

/// Seconds since 1970-01-01 00:00 UTC.
constexpr double secondsSince1970(Timestamp t) noexcept { return t.time_since_epoch().count(); }

}  // namespace tessaro

// TessaroAPI::parseDate on arbitrary text: never crashes or throws, and whatever parses is a
// finite point within the four-digit years (offsets of up to a day either side).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <tessaro/api/tessaro_api.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = tessaro::TessaroAPI::parseDate(text);
    if (!parsed) return 0;
    const double seconds = tessaro::secondsSince1970(*parsed);
    // 0000-01-01 minus a day and 9999-12-31 plus two days.
    if (!std::isfinite(seconds) || seconds < -62167305600.0 || seconds > 253402473600.0) std::abort();
    // Parsing is a pure function of the text.
    const auto again = tessaro::TessaroAPI::parseDate(text);
    if (!again || *again != *parsed) std::abort();
    return 0;
}

#pragma once
// UTF-8 validation shared by the kit's subsystems.

#include <string_view>

namespace tessaro::detail {

// True when `text` is well-formed UTF-8 (RFC 3629): no overlong forms, surrogates, code points past
// U+10FFFF or truncated sequences. U+0000 is valid. Pure; safe from any thread; never throws.
bool isValidUTF8(std::string_view text) noexcept;

}  // namespace tessaro::detail

#include "crypto/base64url.hpp"

#include <sodium.h>

#include "crypto/internal/sodium_init.hpp"

namespace tessaro::Base64URL {

std::string encode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return {};
    detail::ensureSodium();
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    // sodium_bin2base64 writes a terminating NUL after the text.
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
    out.resize(out.size() - 1);
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    const std::size_t remainder = text.size() % 4;
    if (remainder == 1) return std::nullopt;
    if (text.empty()) return Bytes{};
    detail::ensureSodium();

    // Map the URL-safe alphabet onto the standard one and pad to a multiple of four. Bytes above
    // 0x7F are refused here: libsodium 1.0.18 reads them as signed chars and can take some of them
    // for alphabet characters.
    std::string standard(text);
    for (char& c : standard) {
        if (static_cast<unsigned char>(c) > 0x7F) return std::nullopt;
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    if (remainder != 0) standard.append(4 - remainder, '=');

    // Strict standard base64: nothing ignored, padding exactly where it belongs, the whole text
    // consumed (a null end pointer makes libsodium fail on trailing characters).
    Bytes out(standard.size() / 4 * 3);
    std::size_t length = 0;
    if (sodium_base642bin(out.data(), out.size(), standard.data(), standard.size(), nullptr, &length,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

}  // namespace tessaro::Base64URL

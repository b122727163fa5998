#include <tessaro/crypto/base64url.hpp>

#include <sodium.h>

namespace tessaro::Base64URL {

std::string encode(std::span<const std::uint8_t> bytes) {
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), variant);
    out.pop_back();  // the terminating NUL libsodium writes
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    // The text is brought to strict standard base64 and libsodium decides the rest: "-" and "_"
    // become "+" and "/" (so either alphabet, or a mix, decodes), and "=" is added up to a
    // multiple of four, so that libsodium refuses more than two "=" in total (own plus added),
    // "=" anywhere but at the end, and non-zero unused bits in the last character.
    if (text.size() % 4 == 1) return std::nullopt;  // never a whole number of bytes
    if (text.empty()) return Bytes{};
    std::string standard(text);
    bool beyondASCII = false;
    for (char& c : standard) {
        beyondASCII |= static_cast<unsigned char>(c) >= 0x80;
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        }
    }
    standard.append((4 - standard.size() % 4) % 4, '=');

    Bytes out(standard.size() / 4 * 3);
    std::size_t length = 0;
    // libsodium 1.0.18 reads many bytes above 0x7F as "+" or "/", so those are refused here.
    const bool decoded =
        !beyondASCII && sodium_base642bin(out.data(), out.size(), standard.data(), standard.size(), nullptr, &length,
                                          nullptr, sodium_base64_VARIANT_ORIGINAL) == 0;
    zeroFill(standard);  // the text may encode a secret
    if (!decoded) return std::nullopt;
    out.resize(length);
    return out;
}

}  // namespace tessaro::Base64URL

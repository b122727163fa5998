#include "stores/secret_store.hpp"

namespace tessaro {

namespace detail {

bool isValidUTF8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        std::uint32_t minimum = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2, codePoint = c & 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, codePoint = c & 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, codePoint = c & 0x07, minimum = 0x10000;
        } else {
            return false;  // a continuation byte without a lead byte, or 0xF8..0xFF
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (p[i] & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF) return false;
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
        p += length;
    }
    return true;
}

}  // namespace detail

std::optional<std::string> TessaroSecretStore::readString(const std::string& key) {
    auto value = read(key);
    if (!value) return std::nullopt;
    if (!detail::isValidUTF8(value->view())) return std::nullopt;
    return std::string(value->view());
}

void TessaroSecretStore::writeString(const std::string& key, std::string_view value) {
    write(key, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

}  // namespace tessaro

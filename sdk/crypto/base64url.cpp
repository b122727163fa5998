#include <tessaro/crypto/base64url.hpp>

#include <array>

namespace tessaro::Base64URL {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Six-bit value of each byte; both the URL-safe ("-", "_") and the standard ("+", "/") forms map,
// which is the same as first replacing "-" by "+" and "_" by "/". 0xFF marks everything else,
// "=" included (padding is handled before the table is consulted).
constexpr std::array<std::uint8_t, 256> decodeTable = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xFF);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    table['+'] = 62;
    table['/'] = 63;
    return table;
}();

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    std::string out((4 * n + 2) / 3, '\0');
    const std::uint8_t* in = bytes.data();
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16;
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
    } else if (n - i == 2) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    // The rules, as if the text were padded to a multiple of four and decoded as strict standard
    // base64: a remainder of 1 has no value; at most two "=" in total (own plus added), only at
    // the end; every other character from the alphabet; the unused low bits of the last character
    // zero, so each byte string has exactly one unpadded encoding.
    const std::size_t n = text.size();
    const std::size_t remainder = n % 4;
    if (remainder == 1) return std::nullopt;
    if (n == 0) return Bytes{};

    std::size_t ownPadding = 0;
    while (ownPadding < n && text[n - 1 - ownPadding] == '=') ++ownPadding;
    const std::size_t addedPadding = remainder == 0 ? 0 : 4 - remainder;
    if (ownPadding + addedPadding > 2) return std::nullopt;
    const std::size_t chars = n - ownPadding;  // chars % 4 is 0, 2 or 3 here

    Bytes out(chars / 4 * 3 + (chars % 4 == 0 ? 0 : chars % 4 - 1));
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::uint8_t* o = out.data();
    std::uint8_t invalid = 0;
    std::size_t i = 0;
    for (; i + 4 <= chars; i += 4) {
        const std::uint8_t a = decodeTable[in[i]], b = decodeTable[in[i + 1]], c = decodeTable[in[i + 2]],
                           d = decodeTable[in[i + 3]];
        invalid |= (a | b | c | d) & 0x80;
        const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
        *o++ = static_cast<std::uint8_t>(v >> 16);
        *o++ = static_cast<std::uint8_t>(v >> 8);
        *o++ = static_cast<std::uint8_t>(v);
    }
    if (chars - i == 2) {
        const std::uint8_t a = decodeTable[in[i]], b = decodeTable[in[i + 1]];
        invalid |= (a | b) & 0x80;
        invalid |= b & 0x0F;  // bits that belong to no byte
        *o++ = static_cast<std::uint8_t>((a << 2) | (b >> 4));
    } else if (chars - i == 3) {
        const std::uint8_t a = decodeTable[in[i]], b = decodeTable[in[i + 1]], c = decodeTable[in[i + 2]];
        invalid |= (a | b | c) & 0x80;
        invalid |= c & 0x03;
        *o++ = static_cast<std::uint8_t>((a << 2) | (b >> 4));
        *o++ = static_cast<std::uint8_t>((b << 4) | (c >> 2));
    }
    if (invalid != 0) return std::nullopt;
    return out;
}

}  // namespace tessaro::Base64URL

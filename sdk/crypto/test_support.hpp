#pragma once
// Helpers shared by the crypto tests.

#include <sodium.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/bytes.hpp"

namespace tessaro::testing {

inline Bytes hex(std::string_view text) {
    Bytes out(text.size() / 2 + 1);
    std::size_t length = 0;
    if (sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), " :", &length, nullptr) != 0) {
        throw std::invalid_argument("bad hex in test vector");
    }
    out.resize(length);
    return out;
}

inline std::string toHex(std::span<const std::uint8_t> bytes) {
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
    out.pop_back();
    return out;
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes randomBuffer(std::size_t size) {
    Bytes out(size);
    if (size > 0) randombytes_buf(out.data(), size);
    return out;
}

}  // namespace tessaro::testing

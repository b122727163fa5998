#pragma once
// Helpers shared by the crypto tests.

#include <gtest/gtest.h>
#include <sodium.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>

namespace tessaro::testing {

inline Bytes hex(std::string_view text) {
    Bytes out(text.size() / 2 + 1);
    std::size_t length = 0;
    if (sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0) {
        throw std::invalid_argument("bad hex in test vector");
    }
    out.resize(length);
    return out;
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline Bytes plain(const SecureBytes& s) { return Bytes(s.begin(), s.end()); }

// Runs f and expects exactly the CryptoError `code`.
template <typename F>
void expectCryptoError(TessaroCrypto::CryptoError::Code code, const std::string& context, F&& f) {
    try {
        f();
        ADD_FAILURE() << "no error thrown " << context;
    } catch (const TessaroCrypto::CryptoError& e) {
        EXPECT_EQ(e.code(), code) << e.what() << ' ' << context;
    }
}
template <typename F>
void expectCryptoError(TessaroCrypto::CryptoError::Code code, F&& f) {
    expectCryptoError(code, "", f);
}

}  // namespace tessaro::testing

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
    Bytes out(text.size() / 2 + 1);  // a spare byte, so that data() is never null
    if (sodium_hex2bin(out.data(), text.size() / 2, text.data(), text.size(), nullptr, nullptr, nullptr) != 0) {
        throw std::invalid_argument("bad hex in test vector");
    }
    out.pop_back();
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

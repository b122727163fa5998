#pragma once
// The error types of the cryptography subsystem.

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

#include <tessaro/sdk_export.hpp>

namespace tessaro::TessaroCrypto {

// The one error type of the kit's own cryptography: a case without payload.
// Two errors are equal when their case is equal; hashable through std::hash.
// An immutable value: safe to share between threads. Constructing it never throws.
class TESSARO_EXPORT CryptoError : public std::exception {
public:
    enum class Code {
        invalidKey,        // a key or key-sized input has the wrong length or encoding
        invalidSealedBox,  // a sealed box cannot be parsed or one of its fields is malformed
        openFailed,        // authenticated decryption of a sealed box failed
        randomFailed,      // the secure random source reported failure
    };

    explicit CryptoError(Code code) noexcept : code_(code) {}
    Code code() const noexcept { return code_; }
    // The case name, e.g. "invalidSealedBox".
    const char* what() const noexcept override;

    friend bool operator==(const CryptoError& a, const CryptoError& b) noexcept { return a.code_ == b.code_; }
    friend bool operator==(const CryptoError& a, Code b) noexcept { return a.code_ == b; }

private:
    Code code_;
};

// libsodium refusing an operation, passed on unchanged by the layers above: for instance an
// X25519 key agreement whose shared secret would be all zero (a low-order public key).
// An immutable value; what() names the refused operation. Constructing it may throw bad_alloc.
class TESSARO_EXPORT PlatformError : public std::exception {
public:
    explicit PlatformError(std::string description) : description_(std::move(description)) {}
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

}  // namespace tessaro::TessaroCrypto

template <>
struct std::hash<tessaro::TessaroCrypto::CryptoError> {
    std::size_t operator()(const tessaro::TessaroCrypto::CryptoError& e) const noexcept {
        return std::hash<int>{}(static_cast<int>(e.code()));
    }
};

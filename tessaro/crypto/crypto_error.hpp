#pragma once
/// @file
/// The error types of the cryptography subsystem.

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include <tessaro/records/exception.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro::TessaroCrypto {

/// The one error type of the kit's own cryptography: a case without payload.
/// family() is "CryptoError"; caseName(), what() and message() are the name of the case
/// ("invalidKey", "invalidSealedBox", "openFailed", "randomFailed").
/// Two errors are equal when their case is equal; hashable through std::hash.
/// An immutable value: safe to share between threads. Constructing and copying it never throw.
class TESSARO_EXPORT CryptoError : public std::exception, public Exception {
public:
    /// The case of the error.
    enum class Code {
        invalidKey,        ///< a key or key-sized input has the wrong length or encoding
        invalidSealedBox,  ///< a sealed box cannot be parsed or one of its fields is malformed
        openFailed,        ///< authenticated decryption of a sealed box failed
        randomFailed,      ///< the secure random source reported failure
    };

    /// An error of case `code`.
    explicit CryptoError(Code code) noexcept : code_(code) {}
    /// The case.
    Code code() const noexcept { return code_; }
    /// The case name, e.g. "invalidSealedBox".
    const char* what() const noexcept override;
    /// "CryptoError".
    const char* family() const noexcept override;
    /// The case name, the same text as what().
    const char* caseName() const noexcept override;
    /// The same text as what().
    const char* message() const noexcept override;

    /// True when both errors have the same case.
    friend bool operator==(const CryptoError& a, const CryptoError& b) noexcept { return a.code_ == b.code_; }
    /// True when `a` has case `b`.
    friend bool operator==(const CryptoError& a, Code b) noexcept { return a.code_ == b; }

private:
    Code code_;
};

/// libsodium refusing an operation, passed on unchanged by the layers above: for instance an
/// X25519 key agreement whose shared secret would be all zero (a low-order public key).
/// family() is "PlatformError", caseName() "refused"; what() and message() name the refused
/// operation. An immutable value, safe to share between threads; copying never throws (the
/// standard base shares the text). Constructing it may throw std::bad_alloc.
class TESSARO_EXPORT PlatformError : public std::runtime_error, public Exception {
public:
    /// An error whose message is `description`, naming the refused operation.
    explicit PlatformError(const std::string& description);

    /// "PlatformError".
    const char* family() const noexcept override;
    /// "refused".
    const char* caseName() const noexcept override;
    /// The same text as what(): the description given at construction.
    const char* message() const noexcept override;
};

}  // namespace tessaro::TessaroCrypto

/// Hashes a CryptoError by its case, consistent with its equality.
template <>
struct std::hash<tessaro::TessaroCrypto::CryptoError> {
    /// The hash of `e.code()`.
    std::size_t operator()(const tessaro::TessaroCrypto::CryptoError& e) const noexcept {
        return std::hash<int>{}(static_cast<int>(e.code()));
    }
};

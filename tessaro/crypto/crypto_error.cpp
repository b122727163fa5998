#include <tessaro/crypto/crypto_error.hpp>

#include <utility>

namespace tessaro::TessaroCrypto {

const char* CryptoError::what() const noexcept {
    switch (code_) {
        case Code::invalidKey: return "invalidKey";
        case Code::invalidSealedBox: return "invalidSealedBox";
        case Code::openFailed: return "openFailed";
        case Code::randomFailed: return "randomFailed";
    }
    return "CryptoError";
}

const char* CryptoError::family() const noexcept { return "CryptoError"; }
const char* CryptoError::caseName() const noexcept { return what(); }
const char* CryptoError::message() const noexcept { return what(); }

// The description, shared by copies so that copying never throws.
struct TESSARO_NO_EXPORT PlatformError::Impl {
    std::string description;
};

PlatformError::PlatformError(std::string description)
    : impl_(std::make_shared<const Impl>(Impl{std::move(description)})) {}
PlatformError::PlatformError(const PlatformError& other) noexcept = default;
PlatformError& PlatformError::operator=(const PlatformError& other) noexcept = default;
PlatformError::~PlatformError() = default;

const char* PlatformError::what() const noexcept { return impl_->description.c_str(); }
const char* PlatformError::family() const noexcept { return "PlatformError"; }
const char* PlatformError::caseName() const noexcept { return "refused"; }
const char* PlatformError::message() const noexcept { return what(); }

}  // namespace tessaro::TessaroCrypto

#include <tessaro/crypto/crypto_error.hpp>

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

PlatformError::PlatformError(const std::string& description) : std::runtime_error(description) {}
const char* PlatformError::family() const noexcept { return "PlatformError"; }
const char* PlatformError::caseName() const noexcept { return "refused"; }
const char* PlatformError::message() const noexcept { return what(); }

}  // namespace tessaro::TessaroCrypto

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

}  // namespace tessaro::TessaroCrypto

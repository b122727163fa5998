#include <tessaro/crypto/internal/sodium_init.hpp>

#include <sodium.h>

#include <tessaro/crypto/crypto_error.hpp>

namespace tessaro::detail {

void ensureSodium() {
    // A function-local static is initialised exactly once, even with concurrent first calls.
    static const bool ready = sodium_init() >= 0;
    if (!ready) throw TessaroCrypto::PlatformError("libsodium could not be initialised");
}

}  // namespace tessaro::detail

// SealedBox::decode and open on arbitrary text with a fixed recipient key: only the kit's crypto
// errors (CryptoError, PlatformError) may escape; anything else terminates the run.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <tessaro/crypto/internal/sealed_box_json.hpp>
#include <tessaro/crypto/tessaro_crypto.hpp>

namespace {

const tessaro::TessaroCrypto::SealKeypair& recipient() {
    static const tessaro::TessaroCrypto::SealKeypair key(tessaro::Bytes(32, 0x42));
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaro::TessaroCrypto;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The fast reader of the compact form never disagrees with the general JSON reader.
    if (const auto quick = tessaro::detail::decodeCanonicalSealedBox(text)) {
        try {
            if (tessaro::detail::decodeGeneralSealedBox(text) != *quick) std::abort();
        } catch (const CryptoError&) {
            std::abort();
        }
    }
    try {
        const SealedBox box = SealedBox::decode(text);
        // A decoded box re-encodes and decodes to the same value.
        if (SealedBox::decode(box.encodedJSON()) != box) std::abort();
    } catch (const CryptoError& e) {
        if (e.code() != CryptoError::Code::invalidSealedBox) std::abort();
    }
    try {
        (void)open(text, resultAAD("grant", "request"), recipient());
    } catch (const CryptoError&) {
    } catch (const PlatformError&) {}
    return 0;
}

// Base64URL::decode on arbitrary text: never crashes, and whatever decodes re-encodes to text that
// decodes to the same bytes, in the canonical unpadded URL alphabet.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <tessaro/crypto/base64url.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = tessaro::Base64URL::decode(text);
    if (!decoded) return 0;
    const std::string encoded = tessaro::Base64URL::encode(*decoded);
    if (encoded.size() != (decoded->size() * 4 + 2) / 3) std::abort();
    if (encoded.find_first_of("+/=") != std::string::npos) std::abort();
    const auto again = tessaro::Base64URL::decode(encoded);
    if (!again || *again != *decoded) std::abort();
    return 0;
}

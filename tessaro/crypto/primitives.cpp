#include <tessaro/crypto/primitives.hpp>

#include <sodium.h>

#include <array>
#include <charconv>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/sodium_init.hpp>

namespace tessaro::TessaroCrypto {

namespace {

std::array<std::uint8_t, crypto_hash_sha256_BYTES> sha256(std::span<const std::uint8_t> data) {
    detail::ensureSodium();
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

std::string lowerHex(std::span<const std::uint8_t> bytes) {
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
    out.pop_back();  // the terminating NUL libsodium writes
    return out;
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Bytes randomBytes(std::size_t count) {
    Bytes out(count, 0);
    if (count == 0) return out;
    detail::ensureSodium();
    // randombytes_buf has no failure return: libsodium aborts the process if its source fails,
    // so randomFailed is never observed here.
    randombytes_buf(out.data(), out.size());
    return out;
}

std::string randomToken(std::size_t bytes) { return Base64URL::encode(randomBytes(bytes)); }

std::string sha256Hex(std::span<const std::uint8_t> data) { return lowerHex(sha256(data)); }

std::string sha256Hex(std::string_view text) { return sha256Hex(asBytes(text)); }

std::string fingerprint(std::span<const std::uint8_t> publicKey) {
    const auto digest = sha256(publicKey);
    return lowerHex(std::span<const std::uint8_t>(digest).first(8));
}

std::optional<std::string> fingerprint(std::string_view publicKeyBase64URL) {
    const auto key = Base64URL::decode(publicKeyBase64URL);
    if (!key || key->size() != 32) return std::nullopt;
    return fingerprint(std::span<const std::uint8_t>(*key));
}

Bytes canonicalString(std::string_view method, std::string_view path, std::int64_t timestamp, std::string_view nonce,
                      std::span<const std::uint8_t> body) {
    char number[24];
    const auto [end, ec] = std::to_chars(std::begin(number), std::end(number), timestamp);
    (void)ec;  // 24 characters always hold an int64
    const std::string_view time(number, static_cast<std::size_t>(end - number));
    const std::string digest = sha256Hex(body);

    Bytes out;
    out.reserve(method.size() + path.size() + time.size() + nonce.size() + digest.size() + 4);
    const auto append = [&out](std::string_view part) { out.insert(out.end(), part.begin(), part.end()); };
    append(method);
    out.push_back('\n');
    append(path);
    out.push_back('\n');
    append(time);
    out.push_back('\n');
    append(nonce);
    out.push_back('\n');
    append(digest);
    return out;
}

}  // namespace tessaro::TessaroCrypto

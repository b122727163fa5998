#include <tessaro/crypto/sealed_box.hpp>

#include <sodium.h>

#include <array>

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/internal/hkdf.hpp>
#include <tessaro/crypto/internal/sodium_init.hpp>
#include <tessaro/crypto/internal/x25519.hpp>
#include <tessaro/crypto/internal/xchacha.hpp>

namespace tessaro::TessaroCrypto {

namespace {

constexpr std::size_t nonceBytes = 24;
constexpr std::size_t tagBytes = 16;

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

[[noreturn]] void fail(CryptoError::Code code) { throw CryptoError(code); }

SecureBytes deriveKey(const SecureBytes& shared, std::string_view aad) {
    return detail::hkdfSha256(shared, asBytes(sealDomain), asBytes(aad), keyBytes);
}

}  // namespace

std::string patchAAD(std::string_view grantID, std::string_view requestID) {
    std::string out("password-manager/oauth-patch/v1/");
    out.append(grantID).append("/").append(requestID);
    return out;
}

std::string resultAAD(std::string_view grantID, std::string_view requestID) {
    std::string out("password-manager/oauth-result/v1/");
    out.append(grantID).append("/").append(requestID);
    return out;
}

std::string seal(std::string_view recipientPublicKeyBase64URL, std::string_view aad,
                 std::span<const std::uint8_t> plaintext) {
    const auto recipient = Base64URL::decode(recipientPublicKeyBase64URL);
    if (!recipient || recipient->size() != keyBytes) fail(CryptoError::Code::invalidKey);
    detail::ensureSodium();

    // A fresh ephemeral key pair and nonce for this one box.
    SecureBytes ephemeralPrivate(crypto_scalarmult_SCALARBYTES);
    randombytes_buf(ephemeralPrivate.data(), ephemeralPrivate.size());
    std::array<std::uint8_t, crypto_scalarmult_BYTES> ephemeralPublic{};
    if (crypto_scalarmult_base(ephemeralPublic.data(), ephemeralPrivate.data()) != 0) {
        throw PlatformError("X25519 public key derivation refused");
    }
    std::array<std::uint8_t, nonceBytes> nonce{};
    randombytes_buf(nonce.data(), nonce.size());

    const SecureBytes key = [&] {
        const SecureBytes shared = detail::x25519(ephemeralPrivate, *recipient);
        return deriveKey(shared, aad);
    }();
    ephemeralPrivate.clear();
    const Bytes ciphertext = detail::xchachaSeal(key, nonce, asBytes(aad), plaintext);

    SealedBox box;
    box.format = sealedBoxFormat;
    box.epk = Base64URL::encode(ephemeralPublic);
    box.envelope.format = envelopeFormat;
    box.envelope.nonce = Base64URL::encode(nonce);
    box.envelope.ciphertext = Base64URL::encode(ciphertext);
    return box.encodedJSON();
}

SecureBytes open(std::string_view sealedJSON, std::string_view aad, const SecureBytes& recipientPrivateKey) {
    const SealedBox box = SealedBox::decode(sealedJSON);
    if (box.format != sealedBoxFormat || box.envelope.format != envelopeFormat) {
        fail(CryptoError::Code::invalidSealedBox);
    }
    const auto epk = Base64URL::decode(box.epk);
    if (!epk || epk->size() != keyBytes) fail(CryptoError::Code::invalidSealedBox);
    const auto nonce = Base64URL::decode(box.envelope.nonce);
    if (!nonce || nonce->size() != nonceBytes) fail(CryptoError::Code::invalidSealedBox);
    const auto ciphertext = Base64URL::decode(box.envelope.ciphertext);
    if (!ciphertext || ciphertext->size() < tagBytes) fail(CryptoError::Code::invalidSealedBox);

    // A private key of the wrong length is reported as invalidKey by the key agreement.
    const SecureBytes key = [&] {
        const SecureBytes shared = detail::x25519(recipientPrivateKey, *epk);
        return deriveKey(shared, aad);
    }();
    return detail::xchachaOpen(key, *nonce, asBytes(aad), *ciphertext);
}

SecureBytes open(std::string_view sealedJSON, std::string_view aad, const SealKeypair& recipient) {
    return open(sealedJSON, aad, recipient.privateKey());
}

}  // namespace tessaro::TessaroCrypto

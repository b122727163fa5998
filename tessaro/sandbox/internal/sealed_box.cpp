#include <tessaro/sandbox/internal/sealed_box.hpp>

#include <sodium.h>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox/internal/wire.hpp>

namespace tessaro::sandbox::detail {

namespace {

constexpr std::string_view sealDomain = "password-manager/oauth-seal/v1";

// HKDF-SHA256 (RFC 5869) with a 32-byte output: one expand block.
SecureBytes deriveKey(std::span<const std::uint8_t> sharedSecret, std::string_view aad) {
    SecureBytes prk(crypto_auth_hmacsha256_BYTES);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(sealDomain.data()), sealDomain.size());
    crypto_auth_hmacsha256_update(&state, sharedSecret.data(), sharedSecret.size());
    crypto_auth_hmacsha256_final(&state, prk.data());

    SecureBytes okm(crypto_auth_hmacsha256_BYTES);
    const unsigned char counter = 1;
    crypto_auth_hmacsha256_init(&state, prk.data(), prk.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(aad.data()), aad.size());
    crypto_auth_hmacsha256_update(&state, &counter, 1);
    crypto_auth_hmacsha256_final(&state, okm.data());
    sodium_memzero(&state, sizeof state);
    return okm;
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

bool integerMemberEquals(const nlohmann::json& object, const char* key, std::int64_t expected) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() && it->get<std::int64_t>() == expected;
}

}  // namespace

X25519Keypair X25519Keypair::generate() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
    X25519Keypair pair;
    pair.privateKey = SecureBytes(crypto_scalarmult_SCALARBYTES);
    randombytes_buf(pair.privateKey.data(), pair.privateKey.size());
    crypto_scalarmult_base(pair.publicKey.data(), pair.privateKey.data());
    return pair;
}

std::string X25519Keypair::publicKeyBase64URL() const { return base64urlEncode(publicKey); }

std::string resultAAD(std::string_view grantID, std::string_view requestID) {
    return "password-manager/oauth-result/v1/" + std::string(grantID) + "/" + std::string(requestID);
}

std::string patchAAD(std::string_view grantID, std::string_view requestID) {
    return "password-manager/oauth-patch/v1/" + std::string(grantID) + "/" + std::string(requestID);
}

std::optional<std::string> sealBox(std::string_view recipientPublicKeyBase64URL, std::string_view aad,
                                   std::span<const std::uint8_t> plaintext) {
    const auto recipient = base64urlDecode(recipientPublicKeyBase64URL);
    if (!recipient || recipient->size() != crypto_scalarmult_BYTES) return std::nullopt;

    const X25519Keypair ephemeral = X25519Keypair::generate();
    SecureBytes shared(crypto_scalarmult_BYTES);
    if (crypto_scalarmult(shared.data(), ephemeral.privateKey.data(), recipient->data()) != 0) {
        return std::nullopt;
    }
    const SecureBytes key = deriveKey(shared, aad);

    std::array<std::uint8_t, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES> nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    std::vector<std::uint8_t> ciphertext(plaintext.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES);
    unsigned long long length = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(ciphertext.data(), &length, plaintext.data(), plaintext.size(),
                                               reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), nullptr,
                                               nonce.data(), key.data());
    ciphertext.resize(length);

    const nlohmann::json box = {
        {"format", 1},
        {"epk", ephemeral.publicKeyBase64URL()},
        {"envelope", {{"format", 2}, {"nonce", base64urlEncode(nonce)}, {"ciphertext", base64urlEncode(ciphertext)}}},
    };
    return box.dump();
}

std::optional<SecureBytes> openBox(std::string_view sealedJSON, std::string_view aad,
                                   const SecureBytes& recipientPrivateKey) {
    const nlohmann::json box = nlohmann::json::parse(sealedJSON, nullptr, false);
    if (!box.is_object() || !integerMemberEquals(box, "format", 1)) return std::nullopt;
    const auto envelope = box.find("envelope");
    if (envelope == box.end() || !envelope->is_object() || !integerMemberEquals(*envelope, "format", 2)) {
        return std::nullopt;
    }
    const std::string* epkText = stringMember(box, "epk");
    const std::string* nonceText = stringMember(*envelope, "nonce");
    const std::string* ciphertextText = stringMember(*envelope, "ciphertext");
    if (!epkText || !nonceText || !ciphertextText) return std::nullopt;
    const auto epk = base64urlDecode(*epkText);
    const auto nonce = base64urlDecode(*nonceText);
    const auto ciphertext = base64urlDecode(*ciphertextText);
    if (!epk || epk->size() != crypto_scalarmult_BYTES || !nonce ||
        nonce->size() != crypto_aead_xchacha20poly1305_ietf_NPUBBYTES || !ciphertext ||
        ciphertext->size() < crypto_aead_xchacha20poly1305_ietf_ABYTES ||
        recipientPrivateKey.size() != crypto_scalarmult_SCALARBYTES) {
        return std::nullopt;
    }

    SecureBytes shared(crypto_scalarmult_BYTES);
    if (crypto_scalarmult(shared.data(), recipientPrivateKey.data(), epk->data()) != 0) return std::nullopt;
    const SecureBytes key = deriveKey(shared, aad);

    SecureBytes plaintext(ciphertext->size() - crypto_aead_xchacha20poly1305_ietf_ABYTES);
    unsigned long long length = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plaintext.data(), &length, nullptr, ciphertext->data(), ciphertext->size(),
            reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), nonce->data(), key.data()) != 0) {
        return std::nullopt;
    }
    return plaintext;
}

}  // namespace tessaro::sandbox::detail

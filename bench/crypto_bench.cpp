// Sealed boxes and request signing against bare libsodium, measured in the same run.
// Goals: the kit's seal and open within 1.25x of crypto_box_seal / crypto_box_seal_open of the
// same bytes (both make two X25519 operations per seal); signing a canonical request string within
// 1.1x of a bare crypto_sign_detached of the same bytes.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <string>

#include <tessaro/crypto/tessaro_crypto.hpp>

namespace {

using namespace tessaro;
using namespace tessaro::TessaroCrypto;

Bytes record() {
    // A 1 KiB item record as JSON text.
    std::string text = R"({"fields":[{"id":"username","value":"someone@example.org"},{"id":"password","value":")";
    while (text.size() < 1024 - 4)
        text.push_back('x');
    text += "\"}]}";
    return Bytes(text.begin(), text.end());
}

const Bytes kRecord = record();

void BM_KitSeal(benchmark::State& state) {
    const SealKeypair recipient;
    const std::string publicKey = recipient.publicKeyBase64URL();
    const std::string aad = resultAAD("grant-0123456789", "request-0123456789");
    for (auto _ : state)
        benchmark::DoNotOptimize(seal(publicKey, aad, kRecord));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord.size()));
}

void BM_SodiumBoxSeal(benchmark::State& state) {
    unsigned char pk[crypto_box_PUBLICKEYBYTES], sk[crypto_box_SECRETKEYBYTES];
    crypto_box_keypair(pk, sk);
    Bytes out(kRecord.size() + crypto_box_SEALBYTES);
    for (auto _ : state) {
        crypto_box_seal(out.data(), kRecord.data(), kRecord.size(), pk);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord.size()));
}

void BM_KitOpen(benchmark::State& state) {
    const SealKeypair recipient;
    const std::string aad = resultAAD("grant-0123456789", "request-0123456789");
    const std::string box = seal(recipient.publicKeyBase64URL(), aad, kRecord);
    for (auto _ : state)
        benchmark::DoNotOptimize(open(box, aad, recipient.privateKey()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord.size()));
}

void BM_SodiumBoxSealOpen(benchmark::State& state) {
    unsigned char pk[crypto_box_PUBLICKEYBYTES], sk[crypto_box_SECRETKEYBYTES];
    crypto_box_keypair(pk, sk);
    Bytes box(kRecord.size() + crypto_box_SEALBYTES);
    crypto_box_seal(box.data(), kRecord.data(), kRecord.size(), pk);
    Bytes out(kRecord.size());
    for (auto _ : state) {
        if (crypto_box_seal_open(out.data(), box.data(), box.size(), pk, sk) != 0) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord.size()));
}

// A representative signed POST: about 200 bytes of sorted, compact JSON.
const std::string kBody =
    R"({"client_id":"demo-client-0123456789","hint":{"kind":"login","url":"https://accounts.example.org/sign-in"},)"
    R"("reason":"Sign in to the example service","redirect_uri":"tessarodemo://tessaro/callback","type":"pick"})";
const std::string kNonce = "q9Xw2mB7cT4vL0sK8pZr1nYe";
constexpr std::int64_t kTimestamp = 1700000000;

void BM_KitSignCanonicalRequest(benchmark::State& state) {
    const ApprovalKeypair key;
    const std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(kBody.data()), kBody.size());
    for (auto _ : state) {
        const Bytes canonical = canonicalString("POST", "/api/oauth/requests", kTimestamp, kNonce, body);
        benchmark::DoNotOptimize(key.sign(canonical));
    }
}

void BM_SodiumSignDetached(benchmark::State& state) {
    const ApprovalKeypair key;
    const std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(kBody.data()), kBody.size());
    const Bytes canonical = canonicalString("POST", "/api/oauth/requests", kTimestamp, kNonce, body);
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, key.seed().data());
    unsigned char signature[crypto_sign_BYTES];
    for (auto _ : state) {
        crypto_sign_detached(signature, nullptr, canonical.data(), canonical.size(), sk);
        benchmark::DoNotOptimize(signature);
    }
    sodium_memzero(sk, sizeof sk);
}

BENCHMARK(BM_KitSeal);
BENCHMARK(BM_SodiumBoxSeal);
BENCHMARK(BM_KitOpen);
BENCHMARK(BM_SodiumBoxSealOpen);
BENCHMARK(BM_KitSignCanonicalRequest);
BENCHMARK(BM_SodiumSignDetached);

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

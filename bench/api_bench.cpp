// Signed API round trips over loopback: one shared transport (keep-alive connections) against a
// fresh transport per call (a new connection each time), and the cost of signing a request as a
// share of one round trip. The ratios are printed after the runs.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/crypto/tessaro_crypto.hpp>
#include <testing/loopback_server.hpp>

namespace {

using namespace tessaro;

// A keep-alive server on 127.0.0.1 answering every status read with a small status object.
testing::LoopbackServer& server() {
    static testing::LoopbackServer instance([](httplib::Server& server) {
        server.Get(".*", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(
                R"({"request_id":"r1","state":"awaiting_user","op":"pick_item",)"
                R"("expires_at":"2025-01-02T03:04:05.678Z","waiting_on":"user","waiting_reason":"pick"})",
                "application/json");
        });
    });
    return instance;
}

const TessaroAPI::Credentials& credentials() {
    static const TessaroAPI::Credentials value{"access-token-0123456789", TessaroCrypto::ApprovalKeypair()};
    return value;
}

std::shared_ptr<TessaroAPI> makeAPI(std::shared_ptr<HTTPTransport> transport) {
    return TessaroAPI::create(*URL::parse(server().origin()), "client-1", *URL::parse("tessarodemo://tessaro/callback"),
                              std::move(transport));
}

// Seconds per iteration of the last (longest) run of each benchmark, for the ratios.
std::mutex resultsMutex;
std::map<std::string, double> secondsPerIteration;

void record(const std::string& name, benchmark::State& state, std::chrono::steady_clock::duration elapsed) {
    if (state.iterations() == 0) return;
    std::lock_guard guard(resultsMutex);
    secondsPerIteration[name] =
        std::chrono::duration<double>(elapsed).count() / static_cast<double>(state.iterations());
}

void BM_SignedGet_SharedTransport(benchmark::State& state) {
    auto api = makeAPI(std::make_shared<CurlTransport>());
    api->getRequest("r1", credentials());  // opens the connection the loop reuses
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(api->getRequest("r1", credentials()));
    }
    record("shared", state, std::chrono::steady_clock::now() - start);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignedGet_SharedTransport)->UseRealTime();

void BM_SignedGet_FreshTransport(benchmark::State& state) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto api = makeAPI(std::make_shared<CurlTransport>());
        benchmark::DoNotOptimize(api->getRequest("r1", credentials()));
    }
    record("fresh", state, std::chrono::steady_clock::now() - start);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignedGet_FreshTransport)->UseRealTime();

// What signing adds to a request: the nonce, the canonical string with its body digest, Ed25519.
void BM_SignRequest(benchmark::State& state) {
    const auto& key = credentials().approvalKey;
    const std::string body = R"({"hint":{"url":"https://shop.example/login"},"op":"pick_item","vault_id":null})";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto timestamp =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const std::string nonce = TessaroCrypto::randomToken(18);
        const Bytes canonical = TessaroCrypto::canonicalString("POST", "/api/oauth/requests", timestamp, nonce, bytes);
        benchmark::DoNotOptimize(key.sign(canonical));
    }
    record("sign", state, std::chrono::steady_clock::now() - start);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignRequest)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const auto shared = secondsPerIteration.find("shared");
    const auto fresh = secondsPerIteration.find("fresh");
    const auto sign = secondsPerIteration.find("sign");
    if (shared != secondsPerIteration.end() && fresh != secondsPerIteration.end()) {
        std::printf("shared transport: %.0f round trips/s, fresh transport per call: %.0f round trips/s, ratio %.2fx\n",
                    1.0 / shared->second, 1.0 / fresh->second, fresh->second / shared->second);
    }
    if (sign != secondsPerIteration.end() && shared != secondsPerIteration.end()) {
        std::printf("signing: %.1f us, %.1f%% of one keep-alive loopback round trip (%.1f us)\n", sign->second * 1e6,
                    100.0 * sign->second / shared->second, shared->second * 1e6);
    }
    return 0;
}

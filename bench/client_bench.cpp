// The client's two shared-session paths, each against a baseline in the same run:
// - 64 callers finding one expired session at once (one refresh through the gate, then 64 signed
//   calls), against 64 callers with a fresh session (the same 64 signed calls, no refresh). The
//   token requests per round are reported as a counter: anything but 1 is a fault.
// - loading the session from the desktop secret store with the client's one readMany, against nine
//   single reads of the same keys.
// The ratios (medians over repetitions) are printed after the runs.
// Run inside the private keyring: scripts/with-keyring build/default/bench/client_bench
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/client/internal/client_internals.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>

namespace {

using namespace tessaro;
using detail::ClientInternals;
using detail::Session;

constexpr int callers = 64;

// A loopback server for the token endpoint and one signed endpoint; counts token requests.
class LoopbackServer {
public:
    LoopbackServer() {
        // A worker per caller: the transport keeps its connections alive between rounds.
        server_.new_task_queue = [] { return new httplib::ThreadPool(callers + 8); };
        server_.set_keep_alive_max_count(1000000);
        server_.set_tcp_nodelay(true);
        server_.Post("/api/oauth/token", [this](const httplib::Request&, httplib::Response& response) {
            ++tokenRequests;
            // A POST always goes out on a fresh connection; closing it here keeps those from piling
            // up in the transport's idle lanes, each holding one of the server's workers.
            response.set_header("Connection", "close");
            response.set_content(nlohmann::json{{"access_token", "at-" + std::to_string(tokenRequests.load())},
                                                {"expires_in", 3600},
                                                {"refresh_token", "rt-next"},
                                                {"grant_id", "g1"},
                                                {"account_id", "acct"}}
                                     .dump(),
                                 "application/json");
        });
        server_.Get("/api/oauth/account", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"account_id":"acct","identity_public_key":"ipk","vaults":[]})", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 2000 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~LoopbackServer() {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::atomic<int> tokenRequests{0};

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

LoopbackServer& server() {
    static LoopbackServer instance;
    return instance;
}

// Opens nothing: the benchmarks never start a flow.
class NoSwitcher final : public TessaroAppSwitching {
public:
    void open(const URL&, const URL& downloadURL, std::stop_token) override { throw TessaroError::notInstalled(downloadURL); }
    [[nodiscard]] Registration onForeground(std::function<void()>) override { return Registration([] {}); }
};

std::shared_ptr<TessaroClient> makeClient(std::shared_ptr<TessaroSecretStore> store, const std::string& origin,
                                          std::shared_ptr<HTTPTransport> transport = nullptr) {
    return TessaroClient::create({"pmc_bench", *URL::parse("tessarobench://tessaro/callback"), *URL::parse(origin),
                                  TessaroError::defaultDownloadURL()},
                                 {.store = std::move(store), .transport = std::move(transport),
                                  .switcher = std::make_shared<NoSwitcher>(), .pollInterval = 2.0,
                                  .authorizeTimeout = 600.0});
}

Session sampleSession(double secondsLeft) {
    Session session{TessaroCrypto::ApprovalKeypair(), TessaroCrypto::SealKeypair()};
    session.accessToken = "at-0";
    session.accessExpiresAt = timestampFromSeconds(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + secondsLeft);
    session.refreshToken = "rt-0";
    session.grantID = "g1";
    session.accountID = "acct";
    session.identityPublicKey = std::string(43, 'k');
    session.vaults = {{"v1", "个人", std::nullopt, 1}, {"v2", std::nullopt, "shared", 2}};
    return session;
}

// Iterations and seconds per iteration of every run of each benchmark, for the ratios.
struct Run {
    benchmark::IterationCount iterations;
    double seconds;
};
std::mutex resultsMutex;
std::map<std::string, std::vector<Run>> runs;

void record(const std::string& name, benchmark::State& state, double seconds) {
    if (state.iterations() == 0) return;
    std::lock_guard guard(resultsMutex);
    runs[name].push_back({state.iterations(), seconds / static_cast<double>(state.iterations())});
}

// The median over the measured repetitions: the runs with the most iterations (the shorter ones
// only sized the iteration count).
std::pair<double, std::size_t> median(const std::vector<Run>& all) {
    benchmark::IterationCount most = 0;
    for (const auto& run : all) most = std::max(most, run.iterations);
    std::vector<double> values;
    for (const auto& run : all) {
        if (run.iterations == most) values.push_back(run.seconds);
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return {n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, n};
}

// One round: 64 threads released at once, each making one signed call through withCredentials.
void sixtyFourCallers(benchmark::State& state, double secondsLeft, const char* name) {
    auto store = std::make_shared<TessaroMemoryStore>();
    // An idle connection kept for every caller: each round measures the calls, not 56 connection
    // set-ups against the test server's short listen backlog.
    CurlTransport::Options transport;
    transport.maxIdleConnections = callers + 8;
    auto client = makeClient(store, server().origin(), std::make_shared<CurlTransport>(transport));
    double timed = 0;
    int refreshes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        detail::saveSession(*store, sampleSession(secondsLeft));
        server().tokenRequests = 0;
        std::atomic<int> failed{0};
        std::latch ready(callers + 1);
        std::latch go(1);
        std::vector<std::thread> threads;
        for (int i = 0; i < callers; ++i) {
            threads.emplace_back([&] {
                ready.count_down();
                go.wait();
                try {
                    ClientInternals::withCredentials(*client, [&](const TessaroAPI::Credentials& credentials) {
                        client->api()->account(credentials);
                    });
                } catch (...) {
                    ++failed;
                }
            });
        }
        ready.arrive_and_wait();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        go.count_down();
        for (auto& thread : threads) thread.join();
        timed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        refreshes += server().tokenRequests.load();
        if (failed.load() != 0) {
            state.SkipWithError("a call failed");
            break;  // a skipped run may not resume its timer
        }
        state.ResumeTiming();
    }
    state.counters["token_requests"] = benchmark::Counter(refreshes, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * callers);
    record(name, state, timed);
}

void BM_64Callers_ExpiredSession(benchmark::State& state) { sixtyFourCallers(state, -60, "expired"); }
void BM_64Callers_FreshSession(benchmark::State& state) { sixtyFourCallers(state, 3600, "fresh"); }
BENCHMARK(BM_64Callers_ExpiredSession)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_64Callers_FreshSession)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// ---- session load from the desktop secret store ----

const std::vector<std::string> sessionKeys = {
    detail::sessionKey::approvalSeed, detail::sessionKey::sealPrivateKey, detail::sessionKey::grantID,
    detail::sessionKey::accessExpiresAt, detail::sessionKey::vaults,      detail::sessionKey::accessToken,
    detail::sessionKey::refreshToken, detail::sessionKey::accountID,      detail::sessionKey::identityPublicKey};

std::shared_ptr<TessaroKeychain> keychain() {
    static const auto store = [] {
        auto keychain = std::make_shared<TessaroKeychain>("pmc_bench_client_load");
        detail::saveSession(*keychain, sampleSession(3600));
        return keychain;
    }();
    return store;
}

// The baseline: the nine keys of the session layout, one read each.
void BM_LoadSession_NineReads(benchmark::State& state) {
    auto store = keychain();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::size_t found = 0;
        for (const auto& key : sessionKeys) found += store->read(key).has_value();
        if (found != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(found);
    }
    record("nine reads", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The client's load: one readMany, then the keys rebuilt and the entries decoded.
void BM_LoadSession_Client(benchmark::State& state) {
    auto client = makeClient(keychain(), "http://127.0.0.1:9");
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto session = ClientInternals::loadSession(*client);
        if (!session || !session->refreshToken) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(session);
    }
    record("loadSession", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_LoadSession_NineReads)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadSession_Client)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    const char* inKeyring = std::getenv("TESSARO_IN_KEYRING");
    if (!inKeyring || std::string(inKeyring) != "1") {
        std::cerr << "client_bench writes to the keyring: run it under scripts/with-keyring\n";
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    keychain()->deleteAll();

    const auto ratio = [](const char* slow, const char* fast, const char* what) {
        const auto a = runs.find(slow);
        const auto b = runs.find(fast);
        if (a == runs.end() || b == runs.end()) return;
        const auto [x, n] = median(a->second);
        const auto [y, m] = median(b->second);
        std::printf("%s: %s %.3f ms, %s %.3f ms, ratio %.2fx (medians of %zu and %zu runs)\n", what, slow, x * 1e3,
                    fast, y * 1e3, x / y, n, m);
    };
    ratio("expired", "fresh", "64 callers, one session");
    ratio("nine reads", "loadSession", "session load from the secret store");
    return 0;
}

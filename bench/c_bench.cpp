// One pick through the C interface (tessaro_client_pick_item: the hint in as JSON text, the item out
// as JSON text and its password as a secret, both freed) against the same pick through
// TessaroClient::pickItem, in the same run. Each client has a memory store and an in-process sandbox
// whose simulated user answers at once; both open launch URLs through the same function, which
// hands them to the sandbox, and get their callbacks from its delivery hook. The ratio of the
// median times per pick (C to C++) over nine interleaved repetitions is printed after the runs:
// the cost of the C layer.
// Run: build/default/bench/c_bench
#include <benchmark/benchmark.h>

#include "ratios.hpp"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include <tessaro/c/tessaro.h>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/stores/memory_store.hpp>

namespace {

using namespace tessaro;

constexpr const char* redirectURL = "tessarodemo://tessaro/callback";

tessaro::bench::Ratios ratios;

// An in-process sandbox answering at once; its callbacks go to `route`.
struct InProcess {
    InProcess() {
        sandbox::Options options;
        options.policy.step = std::chrono::milliseconds(0);
        options.deliver = [this](const std::string& url) {
            std::function<void(const std::string&)> target;
            {
                std::lock_guard guard(mutex);
                target = route;
            }
            if (target) target(url);
        };
        sandbox = std::make_unique<sandbox::Sandbox>(options);
    }
    ~InProcess() {
        {
            std::lock_guard guard(mutex);
            route = nullptr;
        }
        sandbox->stop();
    }

    std::mutex mutex;
    std::function<void(const std::string&)> route;
    // Last: destroyed first, while what its delivery hook touches is still there.
    std::unique_ptr<sandbox::Sandbox> sandbox;
};

// The opener both clients use: hands the launch URL to the sandbox, as its application would.
int openInSandbox(const char* url, void* sandbox) {
    return static_cast<sandbox::Sandbox*>(sandbox)->open(url).accepted ? 0 : 1;
}

// The C++ client's app switching through the same opener.
class OpenerSwitcher final : public TessaroAppSwitching {
public:
    explicit OpenerSwitcher(sandbox::Sandbox& sandbox) : sandbox_(sandbox) {}
    void open(const URL& url, const URL& downloadURL, std::stop_token) override {
        if (openInSandbox(url.absoluteString().c_str(), &sandbox_) != 0) throw TessaroError::notInstalled(downloadURL);
    }
    [[nodiscard]] Registration onForeground(std::function<void()>) override {
        return Registration([] {});
    }

private:
    sandbox::Sandbox& sandbox_;
};

void BM_Pick_CXX(benchmark::State& state) {
    InProcess sandbox;
    auto client = TessaroClient::create({std::string(sandbox::Sandbox::demoClientID), *URL::parse(redirectURL),
                                         *URL::parse(sandbox.sandbox->origin()), TessaroError::defaultDownloadURL()},
                                        {.store = std::make_shared<TessaroMemoryStore>(),
                                         .transport = nullptr,
                                         .switcher = std::make_shared<OpenerSwitcher>(*sandbox.sandbox),
                                         .pollInterval = 2.0,
                                         .authorizeTimeout = 600.0});
    {
        std::lock_guard guard(sandbox.mutex);
        sandbox.route = [&client](const std::string& url) { client->handleCallback(*URL::parse(url)); };
    }
    client->authorize();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const TessaroItem item = client->pickItem(TessaroHint{.url = "https://bank.example"});
        if (item.id != "itm_bank" || item.record.password.empty()) {
            state.SkipWithError("wrong item");
            break;
        }
    }
    ratios.record("C++", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::lock_guard guard(sandbox.mutex);
    sandbox.route = nullptr;
}

void BM_Pick_C(benchmark::State& state) {
    InProcess sandbox;
    tessaro_client_options* options = tessaro_client_options_new();
    tessaro_client* client = nullptr;
    if (!options || tessaro_client_options_set_store(options, TESSARO_STORE_MEMORY, nullptr) != TESSARO_OK ||
        tessaro_client_options_set_poll_interval(options, 2.0, nullptr) != TESSARO_OK ||
        tessaro_client_options_set_authorize_timeout(options, 600.0, nullptr) != TESSARO_OK ||
        tessaro_client_options_set_opener(options, openInSandbox, sandbox.sandbox.get(), nullptr) != TESSARO_OK ||
        tessaro_client_new(sandbox.sandbox->origin().c_str(), std::string(sandbox::Sandbox::demoClientID).c_str(),
                           redirectURL, options, &client, nullptr) != TESSARO_OK) {
        throw std::runtime_error("cannot build the C client");
    }
    tessaro_client_options_free(options);
    {
        std::lock_guard guard(sandbox.mutex);
        sandbox.route = [client](const std::string& url) {
            bool taken = false;
            tessaro_client_handle_callback(client, url.c_str(), &taken, nullptr);
        };
    }
    char* grant = nullptr;
    if (tessaro_client_authorize(client, nullptr, &grant, nullptr) != TESSARO_OK) {
        state.SkipWithError("authorize failed");
    }
    tessaro_free(grant);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        char* item = nullptr;
        tessaro_secret* password = nullptr;
        const tessaro_status status = tessaro_client_pick_item(client, R"({"url": "https://bank.example"})", nullptr,
                                                               nullptr, nullptr, &item, &password, nullptr);
        const bool right = status == TESSARO_OK && std::strstr(item, R"("id":"itm_bank")") && password->length > 0;
        tessaro_free(item);
        tessaro_free_secret(password);
        if (!right) {
            state.SkipWithError("wrong item");
            break;
        }
    }
    ratios.record("C", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    {
        std::lock_guard guard(sandbox.mutex);
        sandbox.route = nullptr;
    }
    tessaro_client_free(client);
}

BENCHMARK(BM_Pick_CXX)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(9);
BENCHMARK(BM_Pick_C)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(9);

}  // namespace

int main(int argc, char** argv) {
    // The repetitions of the two run in random interleaved order, so that a drift of the machine
    // (the picks vary by a fifth from run to run) falls on both alike; a later flag overrides it.
    static char interleaved[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> arguments(argv, argv + argc);
    arguments.insert(arguments.begin() + 1, interleaved);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ratios.print("one pickItem against the in-process sandbox", "C", "C++");
    return 0;
}

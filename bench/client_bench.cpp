// The client's shared-session and request-wait paths, each against a baseline in the same run:
// - 64 callers finding one expired session at once (one refresh through the gate, then 64 signed
//   calls), against 64 callers with a fresh session (the same 64 signed calls, no refresh). The
//   token requests per round are reported as a counter: anything but 1 is a fault. Memory store.
// - loading the session from the desktop secret store with the client's one readMany, against nine
//   single reads of the same keys.
// - the wake-up of a request wait: from the callback's delivery to pickItem returning (median over
//   60 picks, in-process sandbox, poll interval 2 s), with the memory store and with the desktop
//   store (gnome-keyring), against the same flow with the callback dropped, where the wait sleeps
//   out its interval. CPU per pick of this process (getrusage) and of gnome-keyring
//   (/proc/PID/stat).
// - a refresh storm: 64 threads calling getItem at once on a session whose access token has expired
//   (token requests counted: anything but 1 is a fault), against the same 64 on a fresh session.
// - the idle cost of one wait held open for 20 s at a 2 s poll interval against a tessaro-sandbox in
//   another process, with each store: status reads, the CPU time of this process and of
//   gnome-keyring, against the same process idling for as long.
// The ratios (medians over repetitions) are printed after the runs.
// Run inside the private keyring: scripts/with-keyring build/default/bench/client_bench
#include <benchmark/benchmark.h>
#include <httplib.h>

#include "ratios.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <iostream>
#include <latch>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tessaro/client/testing/client_internals.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/sandbox/app_switcher.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/stores/secret_service_backend.hpp>
#include <testing/loopback_server.hpp>

namespace {

using namespace tessaro;
using detail::ClientInternals;
using detail::Session;

constexpr int callers = 64;

// A loopback server for the token endpoint and one signed endpoint; counts token requests.
struct TokenServer {
    std::atomic<int> tokenRequests{0};
    testing::LoopbackServer http{[this](httplib::Server& server) {
        // A worker per caller: the transport keeps its connections alive between rounds.
        server.new_task_queue = [] { return new httplib::ThreadPool(callers + 8); };
        server.Post("/api/oauth/token", [this](const httplib::Request&, httplib::Response& response) {
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
        server.Get("/api/oauth/account", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"account_id":"acct","identity_public_key":"ipk","vaults":[]})",
                                 "application/json");
        });
    }};
    std::string origin() const { return http.origin(); }
};

TokenServer& server() {
    static TokenServer instance;
    return instance;
}

// Opens nothing: the benchmarks never start a flow.
class NoSwitcher final : public TessaroAppSwitching {
public:
    void open(const URL&, const URL& downloadURL, std::stop_token) override {
        throw TessaroError::notInstalled(downloadURL);
    }
    [[nodiscard]] Registration onForeground(std::function<void()>) override {
        return Registration([] {});
    }
};

std::shared_ptr<TessaroClient> makeClient(std::shared_ptr<TessaroSecretStore> store, const std::string& origin,
                                          std::shared_ptr<HTTPTransport> transport = nullptr) {
    return TessaroClient::create({"pmc_bench", *URL::parse("tessarobench://tessaro/callback"), *URL::parse(origin),
                                  TessaroError::defaultDownloadURL()},
                                 {.store = std::move(store),
                                  .transport = std::move(transport),
                                  .switcher = std::make_shared<NoSwitcher>(),
                                  .pollInterval = 2.0,
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

tessaro::bench::Ratios ratios;

void record(const std::string& name, benchmark::State& state, double seconds) { ratios.record(name, state, seconds); }

// Starts `callers` threads, releases them at once into `call` (false or a throw: a failure) while
// the timer runs, and adds the time until the last one is done to `timed`. The failures.
int releasedAtOnce(benchmark::State& state, double& timed, const std::function<bool()>& call) {
    std::atomic<int> failed{0};
    std::latch ready(callers + 1);
    std::latch go(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&] {
            ready.count_down();
            go.wait();
            try {
                if (!call()) ++failed;
            } catch (...) {
                ++failed;
            }
        });
    }
    ready.arrive_and_wait();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    go.count_down();
    for (auto& thread : threads)
        thread.join();
    timed += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    return failed.load();
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
        const int failed = releasedAtOnce(state, timed, [&] {
            ClientInternals::withCredentials(
                *client, [&](const TessaroAPI::Credentials& credentials) { client->api()->account(credentials); });
            return true;
        });
        refreshes += server().tokenRequests.load();
        if (failed != 0) {
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
    detail::sessionKey::approvalSeed,    detail::sessionKey::sealPrivateKey, detail::sessionKey::grantID,
    detail::sessionKey::accessExpiresAt, detail::sessionKey::vaults,         detail::sessionKey::accessToken,
    detail::sessionKey::refreshToken,    detail::sessionKey::accountID,      detail::sessionKey::identityPublicKey};

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
        for (const auto& key : sessionKeys)
            found += store->read(key).has_value();
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

// ---- request waits against the sandbox ----

using Clock = std::chrono::steady_clock;

// Counts what the client sends, by method and path, on top of a CurlTransport.
class CountingTransport final : public HTTPTransport {
public:
    explicit CountingTransport(CurlTransport::Options options = {}) : inner_(std::move(options)) {}
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop) override {
        {
            std::lock_guard guard(mutex_);
            ++counts_[request.method + " " + request.url.path()];
            if (request.method == "GET" && request.url.path().rfind("/api/oauth/requests/", 0) == 0) ++statusReads_;
        }
        return inner_.send(request, stop);
    }
    int count(const std::string& methodAndPath) {
        std::lock_guard guard(mutex_);
        return counts_[methodAndPath];
    }
    int statusReads() {
        std::lock_guard guard(mutex_);
        return statusReads_;
    }

private:
    CurlTransport inner_;
    std::mutex mutex_;
    std::map<std::string, int> counts_;
    int statusReads_ = 0;
};

// An in-process sandbox whose callbacks go to one client (or are dropped), with the time of the
// last delivery of a finished request.
struct InProcess {
    explicit InProcess(sandbox::Policy policy = {}) {
        sandbox::Options options;
        options.policy = policy;
        options.workers = 4 * callers;  // fresh connections for every POST besides the reused ones
        options.deliver = [this](const std::string& url) {
            std::shared_ptr<TessaroClient> target;
            {
                std::lock_guard guard(mutex);
                if (url.find("status=completed") != std::string::npos) deliveredAt = Clock::now();
                target = (dropRequestCallbacks && url.find("tq=request") != std::string::npos) ? nullptr : client;
            }
            if (target) target->handleCallback(*URL::parse(url));
        };
        sandbox = std::make_unique<sandbox::Sandbox>(options);
    }
    ~InProcess() {
        {
            std::lock_guard guard(mutex);
            client.reset();
        }
        sandbox->stop();
    }
    // An authorized client on a memory store of its own.
    std::shared_ptr<TessaroClient> authorizedClient(std::shared_ptr<TessaroSecretStore> store,
                                                    std::shared_ptr<HTTPTransport> transport) {
        auto made = TessaroClient::create(
            {std::string(sandbox::Sandbox::demoClientID), *URL::parse("tessarodemo://tessaro/callback"),
             *URL::parse(sandbox->origin()), TessaroError::defaultDownloadURL()},
            {.store = std::move(store),
             .transport = std::move(transport),
             .switcher = std::make_shared<sandbox::SandboxAppSwitcher>(*sandbox),
             .pollInterval = 2.0,
             .authorizeTimeout = 60});
        {
            std::lock_guard guard(mutex);
            client = made;
        }
        made->authorize();
        return made;
    }

    std::mutex mutex;
    std::shared_ptr<TessaroClient> client;
    bool dropRequestCallbacks = false;
    Clock::time_point deliveredAt{};
    // Last: destroyed first, while what its delivery hook touches is still there.
    std::unique_ptr<sandbox::Sandbox> sandbox;
};

// ---- CPU time of this process and of the Secret Service, and the two stores ----

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process owning org.freedesktop.secrets on the session bus (gnome-keyring-daemon); 0 if none.
pid_t keyringPID() {
    static const pid_t pid = [] {
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!bus) return pid_t{0};
        GVariant* reply =
            g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.secrets"),
                                        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint32 found = 0;
        if (reply) {
            g_variant_get(reply, "(u)", &found);
            g_variant_unref(reply);
        }
        g_object_unref(bus);
        return static_cast<pid_t>(found);
    }();
    return pid;
}

// The keyring daemon's CPU time so far (user and system, /proc/PID/stat; clock-tick resolution).
double keyringCPUSeconds() {
    std::ifstream in("/proc/" + std::to_string(keyringPID()) + "/stat");
    std::string stat(std::istreambuf_iterator<char>(in), {});
    const auto end = stat.rfind(')');
    if (keyringPID() == 0 || end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(end + 2));  // from field 3 (state) on
    std::string field;
    double ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process and of the keyring daemon between start() and stop().
struct CPUMeter {
    double client = 0;
    double keyring = 0;
    void start() {
        client = -cpuSeconds();
        keyring = -keyringCPUSeconds();
    }
    void stop() {
        client += cpuSeconds();
        keyring += keyringCPUSeconds();
    }
};

// The memory store, the desktop store as a host gets it (gnome-keyring through the process-wide
// backend, which remembers the items it found), and the desktop store searching on every read.
enum class StoreKind { memory, desktop, desktopSearching };
const char* nameOf(StoreKind kind) {
    switch (kind) {
        case StoreKind::memory: return "memory store";
        case StoreKind::desktop: return "desktop store";
        default: return "desktop store, searching every read";
    }
}

// An empty store of `kind`.
std::shared_ptr<TessaroSecretStore> emptyStore(StoreKind kind, const std::string& name) {
    if (kind == StoreKind::memory) return std::make_shared<TessaroMemoryStore>();
    std::shared_ptr<SecretServiceBackend> backend;
    if (kind == StoreKind::desktopSearching) {
        SecretServiceBackend::Options options;
        options.rememberItemPaths = false;
        backend = std::make_shared<SecretServiceBackend>(options);
    }
    auto store = std::make_shared<TessaroKeychain>("pmc_bench_" + name, std::nullopt, backend);
    store->deleteAll();
    return store;
}

std::map<std::string, std::vector<double>> latencies;  // seconds, per benchmark
std::map<std::string, CPUMeter> cpuOf;                 // per benchmark (per pick for the wakes)

// One pick per iteration; the time from the completion's callback (delivered or dropped) to the
// pick's return. The user takes a random 0 to 2 s before answering, so a dropped callback costs on
// average half the poll interval. The CPU time of this process (sandbox included) and of the
// keyring daemon is reported per pick.
enum class Callbacks { delivered, dropped };
void pickWake(benchmark::State& state, Callbacks callbacks, StoreKind kind, const std::string& name) {
    const bool dropped = callbacks == Callbacks::dropped;
    sandbox::Policy policy;
    policy.step = std::chrono::milliseconds(0);
    InProcess sandbox(policy);
    auto store = emptyStore(kind, "wake");
    auto client = sandbox.authorizedClient(store, nullptr);
    sandbox.dropRequestCallbacks = dropped;
    unsigned seed = 12345;
    std::vector<double> samples;
    CPUMeter cpu;
    cpu.start();
    for (auto _ : state) {
        seed = seed * 1103515245u + 12345u;
        policy.delay = std::chrono::milliseconds(dropped ? (seed >> 8) % 2000 : (seed >> 8) % 50);
        sandbox.sandbox->setPolicy(policy);
        const TessaroItem item = client->pickItem(TessaroHint{.url = "https://bank.example"});
        const auto returned = Clock::now();
        Clock::time_point delivered;
        {
            std::lock_guard guard(sandbox.mutex);
            delivered = sandbox.deliveredAt;
        }
        const double seconds = std::chrono::duration<double>(returned - delivered).count();
        if (item.id != "itm_bank" || seconds < 0) {
            state.SkipWithError("wrong item or no delivery");
            break;
        }
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    cpu.stop();
    store->deleteAll();
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) return;
    state.counters["median_ms"] = samples[samples.size() / 2] * 1e3;
    state.counters["cpu_ms_per_pick"] = cpu.client * 1e3 / static_cast<double>(samples.size());
    state.counters["keyring_cpu_ms_per_pick"] = cpu.keyring * 1e3 / static_cast<double>(samples.size());
    latencies[name] = samples;
    const auto picks = static_cast<double>(samples.size());
    cpuOf[name] = {cpu.client / picks, cpu.keyring / picks};
}
void BM_PickWake_Callback_MemoryStore(benchmark::State& state) {
    pickWake(state, Callbacks::delivered, StoreKind::memory, "woken");
}
void BM_PickWake_Callback_DesktopStore(benchmark::State& state) {
    pickWake(state, Callbacks::delivered, StoreKind::desktop, "woken desktop");
}
void BM_PickWake_Callback_DesktopStoreSearching(benchmark::State& state) {
    pickWake(state, Callbacks::delivered, StoreKind::desktopSearching, "woken searching");
}
void BM_PickWake_Dropped_MemoryStore(benchmark::State& state) {
    pickWake(state, Callbacks::dropped, StoreKind::memory, "slept");
}
BENCHMARK(BM_PickWake_Callback_MemoryStore)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PickWake_Callback_DesktopStore)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PickWake_Callback_DesktopStoreSearching)
    ->UseManualTime()
    ->Iterations(60)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PickWake_Dropped_MemoryStore)
    ->UseManualTime()
    ->Iterations(20)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

// 64 threads released at once, each reading one item through its own request.
enum class Access { fresh, expired };  // the stored access token
void storm(benchmark::State& state, Access access, const char* name) {
    sandbox::Policy policy;
    policy.step = std::chrono::milliseconds(0);
    InProcess sandbox(policy);
    auto store = std::make_shared<TessaroMemoryStore>();
    CurlTransport::Options options;
    options.maxIdleConnections = callers + 8;
    auto transport = std::make_shared<CountingTransport>(options);
    auto client = sandbox.authorizedClient(store, transport);
    double timed = 0;
    int tokenRequests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (access == Access::expired) store->writeString(detail::sessionKey::accessExpiresAt, "1000000000.0");
        const int before = transport->count("POST /api/oauth/token");
        std::string problem;
        std::mutex problemMutex;
        const int failed = releasedAtOnce(state, timed, [&] {
            try {
                return client->getItem("itm_card", "vlt_personal").id == "itm_card";
            } catch (const std::exception& error) {
                std::lock_guard guard(problemMutex);
                problem = error.what();
                throw;
            }
        });
        tokenRequests += transport->count("POST /api/oauth/token") - before;
        if (failed != 0) {
            state.SkipWithError(("a getItem failed: " + problem).c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.counters["token_requests"] = benchmark::Counter(tokenRequests, benchmark::Counter::kAvgIterations);
    record(name, state, timed);
}
void BM_64GetItem_ExpiredSession(benchmark::State& state) { storm(state, Access::expired, "storm expired"); }
void BM_64GetItem_FreshSession(benchmark::State& state) { storm(state, Access::fresh, "storm fresh"); }
BENCHMARK(BM_64GetItem_ExpiredSession)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3);
BENCHMARK(BM_64GetItem_FreshSession)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3);

// ---- the idle cost of a wait, against a sandbox in another process ----

// tessaro-sandbox as a child process printing its callbacks; a reader hands them to the client.
class ChildSandbox {
public:
    ChildSandbox() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const char* argv[] = {TESSARO_SANDBOX_EXE, "--deliver", "print", "--no-state-file", "--quiet", nullptr};
        if (posix_spawn(&pid_, TESSARO_SANDBOX_EXE, &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            throw std::runtime_error("cannot start tessaro-sandbox");
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        output_ = fdopen(fds[0], "r");
        origin_ = readLine().substr(std::string("TESSARO_SANDBOX_ORIGIN=").size());
        reader_ = std::thread([this] {
            for (std::string line = readLine(); !line.empty(); line = readLine()) {
                if (line.rfind("callback ", 0) != 0) continue;
                std::shared_ptr<TessaroClient> target;
                {
                    std::lock_guard guard(mutex_);
                    target = client_;
                }
                if (target) target->handleCallback(*URL::parse(line.substr(9)));
            }
        });
    }
    ~ChildSandbox() {
        {
            std::lock_guard guard(mutex_);
            client_.reset();
        }
        kill(pid_, SIGTERM);
        reader_.join();
        fclose(output_);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& origin() const { return origin_; }
    void route(std::shared_ptr<TessaroClient> client) {
        std::lock_guard guard(mutex_);
        client_ = std::move(client);
    }
    void post(const std::string& path, const nlohmann::json& body) {
        httplib::Client http(origin_);
        http.Post(path, body.dump(), "application/json");
    }

private:
    std::string readLine() {
        char buffer[8192];
        if (!fgets(buffer, sizeof buffer, output_)) return {};
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return line.empty() ? " " : line;
    }

    pid_t pid_ = 0;
    FILE* output_ = nullptr;
    std::string origin_;
    std::thread reader_;
    std::mutex mutex_;
    std::shared_ptr<TessaroClient> client_;
};

// Opens launch URLs through the child's POST /sandbox/open.
class HTTPSwitcher final : public TessaroAppSwitching {
public:
    explicit HTTPSwitcher(ChildSandbox& child) : child_(child) {}
    void open(const URL& url, const URL&, std::stop_token) override {
        child_.post("/sandbox/open", {{"url", url.absoluteString()}});
    }
    [[nodiscard]] Registration onForeground(std::function<void()>) override {
        return Registration([] {});
    }

private:
    ChildSandbox& child_;
};

constexpr double idleSeconds = 20.0;
double idleBaseline = -1;  // CPU seconds of this process idling for idleSeconds

// One wait held open for idleSeconds at a 2 s interval on a store of `kind`; the process's own idle
// CPU (nothing waiting) is measured once, after the first.
void idleWait(benchmark::State& state, StoreKind kind, const std::string& name) {
    ChildSandbox child;
    auto transport = std::make_shared<CountingTransport>();
    auto store = emptyStore(kind, "idle");
    auto client = TessaroClient::create(
        {std::string(sandbox::Sandbox::demoClientID), *URL::parse("tessarodemo://tessaro/callback"),
         *URL::parse(child.origin()), TessaroError::defaultDownloadURL()},
        {.store = store,
         .transport = transport,
         .switcher = std::make_shared<HTTPSwitcher>(child),
         .pollInterval = 2.0,
         .authorizeTimeout = 60});
    child.route(client);
    client->authorize();
    child.post("/sandbox/policy", {{"decision", "never"}});
    for (auto _ : state) {
        std::stop_source stop;
        std::thread waiting([&] {
            try {
                client->pickItem({}, std::nullopt, std::nullopt, stop.get_token());
            } catch (...) {}
        });
        // The wait is set up (request created, application opened) before the measurement starts.
        while (transport->count("POST /api/oauth/requests") == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int readsBefore = transport->statusReads();
        CPUMeter cpu;
        cpu.start();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        cpu.stop();
        const int reads = transport->statusReads() - readsBefore;
        stop.request_stop();
        waiting.join();
        client->drain(std::chrono::seconds(5));

        if (idleBaseline < 0) {  // the same process with nothing waiting
            const double idleBefore = cpuSeconds();
            std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
            idleBaseline = cpuSeconds() - idleBefore;
        }

        state.SetIterationTime(idleSeconds);
        state.counters["status_reads"] = reads;
        state.counters["cpu_ms"] = cpu.client * 1e3;
        state.counters["keyring_cpu_ms"] = cpu.keyring * 1e3;
        cpuOf[name] = cpu;
        std::printf(
            "idle wait of %.0f s at a 2 s interval, %s: %d status reads (budget 11), %.1f ms CPU (budget 50 ms), "
            "gnome-keyring %.0f ms, against %.1f ms for the same process idle\n",
            idleSeconds, nameOf(kind), reads, cpu.client * 1e3, cpu.keyring * 1e3, idleBaseline * 1e3);
    }
    store->deleteAll();
}
void BM_IdleWait_MemoryStore(benchmark::State& state) { idleWait(state, StoreKind::memory, "idle memory"); }
void BM_IdleWait_DesktopStore(benchmark::State& state) { idleWait(state, StoreKind::desktop, "idle desktop"); }
BENCHMARK(BM_IdleWait_MemoryStore)->UseManualTime()->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);
void BM_IdleWait_DesktopStoreSearching(benchmark::State& state) {
    idleWait(state, StoreKind::desktopSearching, "idle searching");
}
BENCHMARK(BM_IdleWait_DesktopStoreSearching)->UseManualTime()->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleWait_DesktopStore)->UseManualTime()->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);

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

    ratios.print("64 callers, one session (memory store)", "expired", "fresh");
    ratios.print("session load from the desktop store", "nine reads", "loadSession");
    ratios.print("64 getItem calls, one session (memory store)", "storm expired", "storm fresh");
    const auto medianOf = [](const std::string& name) {
        const auto found = latencies.find(name);
        return found == latencies.end() ? 0.0 : found->second[found->second.size() / 2];
    };
    const double woken = medianOf("woken");
    const double wokenDesktop = medianOf("woken desktop");
    const double wokenSearching = medianOf("woken searching");
    const double slept = medianOf("slept");
    if (woken > 0 && slept > 0) {
        std::printf(
            "wake latency (callback to return), memory store: %.2f ms median, callback dropped %.0f ms, "
            "ratio %.4f\n",
            woken * 1e3, slept * 1e3, woken / slept);
    }
    if (woken > 0 && wokenDesktop > 0) {
        std::printf(
            "wake latency, desktop store against memory store: %.2f ms against %.2f ms, ratio %.2fx (goal: 2x "
            "or less); CPU per pick: client %.2f ms against %.2f ms, gnome-keyring %.2f ms against %.2f ms\n",
            wokenDesktop * 1e3, woken * 1e3, wokenDesktop / woken, cpuOf["woken desktop"].client * 1e3,
            cpuOf["woken"].client * 1e3, cpuOf["woken desktop"].keyring * 1e3, cpuOf["woken"].keyring * 1e3);
    }
    if (wokenDesktop > 0 && wokenSearching > 0) {
        std::printf(
            "wake latency, desktop store against the same store searching every read: %.2f ms against %.2f "
            "ms, ratio %.2fx; CPU per pick: client %.2f ms against %.2f ms, gnome-keyring %.2f ms against "
            "%.2f ms\n",
            wokenDesktop * 1e3, wokenSearching * 1e3, wokenDesktop / wokenSearching,
            cpuOf["woken desktop"].client * 1e3, cpuOf["woken searching"].client * 1e3,
            cpuOf["woken desktop"].keyring * 1e3, cpuOf["woken searching"].keyring * 1e3);
    }
    if (cpuOf.contains("idle memory") && cpuOf.contains("idle desktop")) {
        const auto& memory = cpuOf["idle memory"];
        const auto& desktop = cpuOf["idle desktop"];
        std::printf(
            "idle wait of %.0f s, desktop store against memory store: client CPU %.1f ms against %.1f ms, "
            "ratio %.2fx (goal: 1.5x or less); gnome-keyring %.0f ms against %.0f ms\n",
            idleSeconds, desktop.client * 1e3, memory.client * 1e3, desktop.client / memory.client,
            desktop.keyring * 1e3, memory.keyring * 1e3);
        if (cpuOf.contains("idle searching")) {
            std::printf("idle wait, searching every read: client CPU %.1f ms, gnome-keyring %.0f ms\n",
                        cpuOf["idle searching"].client * 1e3, cpuOf["idle searching"].keyring * 1e3);
        }
    }
    return 0;
}

// Loading a whole session from the Secret Service (gnome-keyring in scripts/with-keyring): nine
// single reads, one libsecret search loading every secret, the two-call floor of paths and secrets,
// and TessaroKeychain::readMany cold (a full read every time) and warm (one GetSecrets for the
// remembered items). The warm-to-cold ratio is printed after the runs; the goal is 0.4 or less.
// Run inside the private keyring: scripts/with-keyring build/default/bench/stores_bench
#include <benchmark/benchmark.h>
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "ratios.hpp"

#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/secret_service_backend.hpp>

namespace {

using tessaro::TessaroKeychain;

const std::vector<std::string> sessionKeys = {
    "approval_seed", "seal_private_key",  "grant_id",      "account_id",
    "access_token",  "access_expires_at", "refresh_token", "account_identity_public_key",
    "vaults"};

const std::string clientID = "bench-client";

std::shared_ptr<TessaroKeychain> sessionStore() {
    static const auto store = [] {
        auto keychain = std::make_shared<TessaroKeychain>(clientID);
        keychain->deleteAll();
        for (const auto& key : sessionKeys) {
            std::string value = key == "vaults" ? std::string(400, 'v') : std::string(64, 'x');
            keychain->writeString(key, value);
        }
        return keychain;
    }();
    return store;
}

// The client's way: one read per key of the session layout.
void BM_NineReads(benchmark::State& state) {
    auto store = sessionStore();
    for (auto _ : state) {
        std::size_t found = 0;
        for (const auto& key : sessionKeys)
            found += store->read(key).has_value();
        if (found != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(found);
    }
}

// The Secret Service with a session for secrets, or null after marking the benchmark skipped.
SecretService* openServiceOrSkip(benchmark::State& state) {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        g_clear_error(&error);
        state.SkipWithError("no Secret Service");
    }
    return service;
}

// The search attributes that match every item of `store`; the table borrows the store's text.
GHashTable* serviceAttributes(const TessaroKeychain& store) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(store.service().c_str()));
    return attributes;
}

// The batched way: every item of the service with its secret, in one search request
// (plus the one GetSecrets call libsecret makes for all of them).
void BM_OneSearchAllSecrets(benchmark::State& state) {
    auto store = sessionStore();
    GError* error = nullptr;
    SecretService* service = openServiceOrSkip(state);
    if (!service) return;
    GHashTable* attributes = serviceAttributes(*store);
    for (auto _ : state) {
        GList* items = secret_service_search_sync(
            service, nullptr, attributes,
            SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS | SECRET_SEARCH_UNLOCK), nullptr, &error);
        std::size_t found = 0;
        for (GList* at = items; at; at = at->next) {
            if (SecretValue* value = secret_item_get_secret(SECRET_ITEM(at->data))) {
                ++found;
                secret_value_unref(value);
            }
        }
        g_list_free_full(items, g_object_unref);
        g_clear_error(&error);  // a failed search is reported as an incomplete session below
        if (found != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(found);
    }
    g_hash_table_unref(attributes);
    g_object_unref(service);
}

// The floor of a batched read: the object paths of the service's items in one Search call and all
// their secrets in one GetSecrets call, without per-item proxies (so without their attributes).
void BM_TwoCallsPathsAndSecrets(benchmark::State& state) {
    auto store = sessionStore();
    GError* error = nullptr;
    SecretService* service = openServiceOrSkip(state);
    if (!service) return;
    GHashTable* attributes = serviceAttributes(*store);
    for (auto _ : state) {
        gchar** unlocked = nullptr;
        gchar** locked = nullptr;
        std::size_t found = 0;
        if (secret_service_search_for_dbus_paths_sync(service, nullptr, attributes, nullptr, &unlocked, &locked,
                                                      &error)) {
            GHashTable* secrets = secret_service_get_secrets_for_dbus_paths_sync(
                service, const_cast<const gchar**>(unlocked), nullptr, &error);
            if (secrets) {
                found = g_hash_table_size(secrets);
                g_hash_table_unref(secrets);
            }
        }
        g_strfreev(unlocked);
        g_strfreev(locked);
        g_clear_error(&error);  // a failed call is reported as an incomplete session below
        if (found != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(found);
    }
    g_hash_table_unref(attributes);
    g_object_unref(service);
}

tessaro::bench::Ratios ratios;

double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The batched read the client uses, TessaroKeychain::readMany, on a backend of its own that
// remembers the items it found (warm: one GetSecrets) or not (cold: a search, pipelined attribute
// reads and a GetSecrets every time).
void readMany(benchmark::State& state, bool remember) {
    sessionStore();
    tessaro::SecretServiceBackend::Options options;
    options.rememberItemPaths = remember;
    TessaroKeychain store(clientID, std::nullopt, std::make_shared<tessaro::SecretServiceBackend>(options));
    (void)store.readMany(sessionKeys);  // connects (and, warm, remembers)
    const double cpuBefore = processCPUSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto values = store.readMany(sessionKeys);
        if (values.size() != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(values.size());
    }
    // GDBus reads and writes the bus on a thread of its own, which the CPU column does not count.
    state.counters["process_cpu_ms"] =
        benchmark::Counter((processCPUSeconds() - cpuBefore) * 1e3, benchmark::Counter::kAvgIterations);
    ratios.record(remember ? "warm" : "cold", state,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
void BM_ReadMany_Cold(benchmark::State& state) { readMany(state, false); }
void BM_ReadMany_Warm(benchmark::State& state) { readMany(state, true); }

BENCHMARK(BM_NineReads)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadMany_Cold)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadMany_Warm)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OneSearchAllSecrets)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TwoCallsPathsAndSecrets)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    const char* inKeyring = std::getenv("TESSARO_IN_KEYRING");
    if (!inKeyring || std::string(inKeyring) != "1") {
        std::cerr << "stores_bench writes to the keyring: run it under scripts/with-keyring\n";
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sessionStore()->deleteAll();
    const double ratio = ratios.print("readMany of a session (gnome-keyring)", "warm", "cold");
    if (ratio > 0) std::printf("warm against cold: %.2fx (goal: 0.40 or less)\n", ratio);
    return 0;
}

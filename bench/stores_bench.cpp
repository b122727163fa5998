// Loading a whole session from the Secret Service: the nine reads the client makes, against one
// search that fetches every item of the service with its secret in a single request.
// Run inside the private keyring: scripts/with-keyring build/default/bench/stores_bench
#include <benchmark/benchmark.h>
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/secret_service_backend.hpp>

namespace {

using tessaro::TessaroKeychain;

const std::vector<std::string> sessionKeys = {
    "approval_seed", "seal_private_key", "grant_id", "account_id", "access_token",
    "access_expires_at", "refresh_token", "account_identity_public_key", "vaults"};

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
        for (const auto& key : sessionKeys) found += store->read(key).has_value();
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
            SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS | SECRET_SEARCH_UNLOCK),
            nullptr, &error);
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
        if (secret_service_search_for_dbus_paths_sync(service, nullptr, attributes, nullptr, &unlocked,
                                                      &locked, &error)) {
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

// The batched read the client uses: TessaroKeychain::readMany (one search, pipelined attribute
// reads, one GetSecrets).
void BM_ReadMany(benchmark::State& state) {
    auto store = sessionStore();
    for (auto _ : state) {
        const auto values = store->readMany(sessionKeys);
        if (values.size() != sessionKeys.size()) state.SkipWithError("session incomplete");
        benchmark::DoNotOptimize(values.size());
    }
}

BENCHMARK(BM_NineReads)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadMany)->Unit(benchmark::kMillisecond)->MinTime(2.0);
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
    return 0;
}

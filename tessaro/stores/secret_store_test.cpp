// The store contract, run against the in-memory store and the desktop keyring store alike.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <tessaro/stores/testing/store_test_support.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>

namespace tessaro {
namespace {

using testing::bytesOf;

struct StoreKind {
    std::string name;
    bool needsKeyring;
    std::function<std::shared_ptr<TessaroSecretStore>()> make;
};

void PrintTo(const StoreKind& kind, std::ostream* out) { *out << kind.name; }

class StoreContract : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        if (GetParam().needsKeyring) {
            ASSERT_NO_FATAL_FAILURE(testing::requirePrivateKeyring());
        }
        store = GetParam().make();
        ASSERT_NO_THROW(store->deleteAll());
    }
    void TearDown() override {
        if (store) store->deleteAll();
    }
    std::shared_ptr<TessaroSecretStore> store;
};

// Each step writes (a value), removes (none) or wipes (no key) the store and a map alike; after
// each, read and readMany of every key, a repeated one among them, agree with the map, and
// readString gives a written value as text exactly when it is valid UTF-8. Keys differ in case
// only; values are empty, binary or text.
TEST_P(StoreContract, ReadsAgreeWithAPlainMapAfterEveryStep) {
    const struct {
        const char* key;
        std::optional<Bytes> value;
        bool text = true;
    } steps[] = {
        {"grant_id", bytesOf("first")},
        {"grant_id", Bytes{0x00, 0xFF, 0x10, 0x00, 0x80}, false},
        {"GRANT_ID", bytesOf("upper")},
        {"Grant_Id", Bytes{}},
        {"access_token", bytesOf("授权-γ")},
        {"vaults", Bytes{0x61, 0x00, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x94, 0x91, 0xF4, 0x8F, 0xBF, 0xBF}},
        {"vaults", Bytes{0xFF, 0xFE}, false},              // not UTF-8 at all
        {"vaults", Bytes{0xC0, 0x80}, false},              // overlong NUL
        {"vaults", Bytes{0xE0, 0x80, 0xAF}, false},        // overlong "/"
        {"vaults", Bytes{0xED, 0xA0, 0x80}, false},        // a UTF-16 surrogate
        {"vaults", Bytes{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
        {"vaults", Bytes{0x61, 0xE2, 0x82}, false},        // truncated sequence
        {"vaults", Bytes{0x80, 0x61}, false},              // continuation byte without lead
        {"GRANT_ID", std::nullopt},
        {"absent", std::nullopt},
        {nullptr, std::nullopt},
        {"grant_id", bytesOf("again")},
    };
    const std::vector<std::string> keys = {"grant_id", "GRANT_ID", "Grant_Id", "access_token",
                                           "vaults",   "absent",   "grant_id"};
    std::map<std::string, Bytes> expected;
    for (const auto& step : steps) {
        if (!step.key) {
            store->deleteAll();
            expected.clear();
        } else if (step.value) {
            store->write(step.key, *step.value);
            expected[step.key] = *step.value;
            EXPECT_EQ(store->readString(step.key),
                      step.text ? std::optional<std::string>(std::in_place, step.value->begin(), step.value->end())
                                : std::nullopt)
                << ::testing::PrintToString(*step.value);
        } else {
            store->remove(step.key);
            expected.erase(step.key);
        }
        std::map<std::string, Bytes> many, single;
        for (const auto& [key, value] : store->readMany(keys))
            many.emplace(key, Bytes(value.begin(), value.end()));
        for (const auto& key : keys) {
            if (const auto value = store->read(key)) single.emplace(key, Bytes(value->begin(), value->end()));
        }
        const std::string after = step.key ? step.key : "the wipe";
        EXPECT_EQ(many, expected) << "readMany after " << after;
        EXPECT_EQ(single, expected) << "read after " << after;
    }
    EXPECT_TRUE(store->readMany({}).empty());
}

// Writers on their own keys and on one shared key, racing a thread that wipes the store: every
// operation succeeds, and afterwards each key is absent or holds one complete value written to it.
TEST_P(StoreContract, ConcurrentWritersAndDeleteAllLeaveNoTornState) {
    constexpr int writers = 3;
    constexpr int rounds = 6;
    auto valueFor = [](int writer, int round) {
        return bytesOf("writer-" + std::to_string(writer) + "-round-" + std::to_string(round) +
                       std::string(40, static_cast<char>('a' + writer)));
    };
    std::atomic<int> failures{0};
    std::vector<std::jthread> threads;
    for (int w = 0; w <= writers; ++w) {
        threads.emplace_back([&, w] {
            for (int r = 0; r < rounds; ++r) {
                try {
                    if (w == writers) {  // the wiper, every other round
                        if (r % 2 == 0) store->deleteAll();
                        continue;
                    }
                    store->write("own_" + std::to_string(w), valueFor(w, r));
                    store->write("shared", valueFor(w, r));
                    (void)store->read("shared");
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(failures.load(), 0);

    // Absent, or a value one of the writers [first, last] wrote; never two items for one key.
    auto expectAbsentOrWritten = [&](const std::string& key, int first, int last) {
        const auto found = store->read(key);
        bool written = !found;
        for (int w = first; w <= last; ++w) {
            for (int r = 0; r < rounds; ++r)
                written = written || Bytes(found->begin(), found->end()) == valueFor(w, r);
        }
        EXPECT_TRUE(written) << key;
        if (auto* keychain = dynamic_cast<TessaroKeychain*>(store.get())) {
            EXPECT_LE(testing::searchItems({{"service", keychain->service()}, {"account", key}}).size(), 1u) << key;
        }
    };
    for (int w = 0; w < writers; ++w)
        expectAbsentOrWritten("own_" + std::to_string(w), w, w);
    expectAbsentOrWritten("shared", 0, writers - 1);
    // Once the race is over, a write wins.
    store->writeString("shared", "final");
    EXPECT_EQ(store->readString("shared"), std::optional<std::string>("final"));
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreContract,
    ::testing::Values(StoreKind{"Memory", false, [] { return std::make_shared<TessaroMemoryStore>(); }},
                      StoreKind{"Keychain", true,
                                [] { return std::make_shared<TessaroKeychain>(testing::uniqueClientID("contract")); }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaro

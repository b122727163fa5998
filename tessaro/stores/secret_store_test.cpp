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
    Bytes value(const std::string& key) {
        auto found = store->read(key);
        EXPECT_TRUE(found) << key;
        return found ? Bytes(found->begin(), found->end()) : Bytes{};
    }
    std::shared_ptr<TessaroSecretStore> store;
};

TEST_P(StoreContract, MissingKeysAreNoErrorsAndAnEmptyValueDiffersFromAbsence) {
    EXPECT_EQ(store->read("approval_seed"), std::nullopt);
    EXPECT_EQ(store->readString("grant_id"), std::nullopt);
    EXPECT_NO_THROW(store->remove("approval_seed"));
    EXPECT_NO_THROW(store->deleteAll());
    EXPECT_EQ(store->read("approval_seed"), std::nullopt);
    store->write("access_token", Bytes{});
    auto raw = store->read("access_token");
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->empty());
    store->writeString("refresh_token", "");
    EXPECT_EQ(store->readString("refresh_token"), std::optional<std::string>(""));
}

TEST_P(StoreContract, ReadManyAgreesWithReadForEveryKindOfValue) {
    const Bytes notText{0xFF, 0x00, 0xFE};
    store->write("approval_seed", notText);
    store->write("access_token", Bytes{});
    store->writeString("grant_id", "g-1");
    const std::vector<std::string> keys = {"grant_id",      "approval_seed", "access_token",
                                           "never_written", "grant_id",      "Grant_ID"};
    const auto values = store->readMany(keys);
    EXPECT_EQ(values.size(), 3u);
    for (const auto& key : keys) {
        const auto single = store->read(key);
        const auto found = values.find(key);
        ASSERT_EQ(found != values.end(), single.has_value()) << key;
        if (single) {
            EXPECT_EQ(found->second, *single) << key;
        }
    }
    EXPECT_TRUE(store->readMany({}).empty());
}

TEST_P(StoreContract, WriteReplacesAndBinaryValuesRoundTrip) {
    const Bytes binary{0x00, 0xFF, 0x10, 0x00, 0x80, 0x7F};
    store->write("seal_private_key", bytesOf("first"));
    store->write("seal_private_key", binary);
    EXPECT_EQ(value("seal_private_key"), binary);
    store->writeString("grant_id", "授权-γ-1");
    EXPECT_EQ(store->readString("grant_id"), std::optional<std::string>("授权-γ-1"));
}

TEST_P(StoreContract, KeysDifferingOnlyInCaseAreDifferentKeys) {
    store->writeString("grant_id", "lower");
    store->writeString("GRANT_ID", "upper");
    store->writeString("Grant_Id", "mixed");
    EXPECT_EQ(store->readString("grant_id"), std::optional<std::string>("lower"));
    EXPECT_EQ(store->readString("GRANT_ID"), std::optional<std::string>("upper"));
    store->remove("GRANT_ID");
    EXPECT_EQ(store->read("GRANT_ID"), std::nullopt);
    EXPECT_EQ(store->readString("grant_id"), std::optional<std::string>("lower"));
    EXPECT_EQ(store->readString("Grant_Id"), std::optional<std::string>("mixed"));
}

TEST_P(StoreContract, NonUTF8ValuesReadAsNoStringButStayReadable) {
    const std::vector<Bytes> invalid = {
        {0xFF, 0xFE},              // not UTF-8 at all
        {0xC0, 0x80},              // overlong NUL
        {0xE0, 0x80, 0xAF},        // overlong "/"
        {0xED, 0xA0, 0x80},        // a UTF-16 surrogate
        {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
        {0x61, 0xE2, 0x82},        // truncated sequence
        {0x80, 0x61},              // continuation byte without lead
    };
    for (const auto& bytes : invalid) {
        store->write("vaults", bytes);
        EXPECT_EQ(store->readString("vaults"), std::nullopt) << ::testing::PrintToString(bytes);
        EXPECT_EQ(value("vaults"), bytes);
    }
    const Bytes valid{0x61, 0x00, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x94, 0x91, 0xF4, 0x8F, 0xBF, 0xBF};
    store->write("vaults", valid);
    EXPECT_EQ(store->readString("vaults"), std::optional<std::string>(std::in_place, valid.begin(), valid.end()));
}

TEST_P(StoreContract, RemoveAndDeleteAllRemoveExactlyWhatTheySay) {
    store->writeString("a", "1");
    store->writeString("b", "2");
    store->remove("a");
    EXPECT_EQ(store->read("a"), std::nullopt);
    EXPECT_EQ(store->readString("b"), std::optional<std::string>("2"));
    store->writeString("c", "3");
    store->deleteAll();
    EXPECT_EQ(store->read("b"), std::nullopt);
    EXPECT_EQ(store->read("c"), std::nullopt);
    store->writeString("b", "again");  // a wiped store is usable again
    EXPECT_EQ(store->readString("b"), std::optional<std::string>("again"));
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
    const auto counted = [&](const std::function<void()>& operation) {
        try {
            operation();
        } catch (...) {
            ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int r = 0; r < rounds; ++r) {
                counted([&] {
                    store->write("own_" + std::to_string(w), valueFor(w, r));
                    store->write("shared", valueFor(w, r));
                    (void)store->read("shared");
                });
            }
        });
    }
    threads.emplace_back([&] {
        for (int r = 0; r < rounds / 2; ++r)
            counted([&] { store->deleteAll(); });
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);

    // Absent, or a value one of the writers [first, last] wrote.
    auto isAbsentOrWritten = [&](const std::string& key, int first, int last) {
        const auto found = store->read(key);
        for (int w = first; found && w <= last; ++w) {
            for (int r = 0; r < rounds; ++r) {
                if (Bytes(found->begin(), found->end()) == valueFor(w, r)) return true;
            }
        }
        return !found;
    };
    for (int w = 0; w < writers; ++w)
        EXPECT_TRUE(isAbsentOrWritten("own_" + std::to_string(w), w, w)) << w;
    EXPECT_TRUE(isAbsentOrWritten("shared", 0, writers - 1));
    if (auto* keychain = dynamic_cast<TessaroKeychain*>(store.get())) {
        for (const std::string key : {"own_0", "own_1", "own_2", "shared"}) {
            EXPECT_LE(testing::searchItems({{"service", keychain->service()}, {"account", key}}).size(), 1u) << key;
        }
    }
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

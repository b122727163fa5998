// TessaroKeychain's algorithm and item layout, against the Secret Service of the private keyring.
#include <gtest/gtest.h>

#include <functional>
#include <type_traits>

#include <tessaro/stores/testing/store_test_support.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/secret_service_backend.hpp>

namespace tessaro {
namespace {

using testing::bytesOf;
using Query = TessaroKeychain::Query;
using KeychainError = TessaroKeychain::KeychainError;

// An exception is copied while it propagates: a copy that could throw would terminate the host.
static_assert(std::is_nothrow_copy_constructible_v<KeychainError> && std::is_nothrow_copy_assignable_v<KeychainError>);

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(testing::requirePrivateKeyring()); }
    void TearDown() override {
        for (auto& store : cleanup)
            store->deleteAll();
    }
    std::shared_ptr<TessaroKeychain> make(const std::string& clientID, std::optional<std::string> group = std::nullopt,
                                          std::shared_ptr<TessaroKeychain::Backend> backend = nullptr) {
        auto store = std::make_shared<TessaroKeychain>(clientID, std::move(group), std::move(backend));
        cleanup.push_back(store);
        return store;
    }
    std::vector<std::shared_ptr<TessaroKeychain>> cleanup;
};

TEST_F(KeychainTest, AnAccessGroupIsAPartitionOfItsOwn) {
    const auto clientID = testing::uniqueClientID("groups");
    auto plain = make(clientID);
    auto team = make(clientID, "team.shared");
    auto other = make(clientID, "team.other");
    auto stranger = make(testing::uniqueClientID("stranger"));  // another client
    plain->writeString("grant_id", "plain");
    team->writeString("grant_id", "team");
    stranger->writeString("grant_id", "stranger");
    EXPECT_EQ(plain->readString("grant_id"), std::optional<std::string>("plain"));
    EXPECT_EQ(team->readString("grant_id"), std::optional<std::string>("team"));
    EXPECT_EQ(other->read("grant_id"), std::nullopt);

    const auto grouped = testing::searchItems({{"service", team->service()}, {"access_group", "team.shared"}});
    ASSERT_EQ(grouped.size(), 1u);
    EXPECT_EQ(grouped.front().at("account"), "grant_id");

    other->deleteAll();
    plain->deleteAll();  // must leave the group's item and the other client's alone
    EXPECT_EQ(plain->read("grant_id"), std::nullopt);
    EXPECT_EQ(team->readString("grant_id"), std::optional<std::string>("team"));
    EXPECT_EQ(stranger->readString("grant_id"), std::optional<std::string>("stranger"));
    // A write without a group creates its own item: the group's item stays as it was.
    plain->writeString("grant_id", "plain again");
    EXPECT_EQ(testing::searchItems({{"service", team->service()}}).size(), 2u);
    // readMany keeps the same partitions, and each store names its own refresh lock.
    team->writeString("account_id", "team only");
    const std::vector<std::string> keys = {"grant_id", "account_id"};
    const auto plainValues = plain->readMany(keys);
    const auto teamValues = team->readMany(keys);
    ASSERT_EQ(plainValues.size(), 1u);
    EXPECT_EQ(plainValues.at("grant_id").view(), "plain again");
    ASSERT_EQ(teamValues.size(), 2u);
    EXPECT_EQ(teamValues.at("grant_id").view(), "team");
    EXPECT_TRUE(other->readMany(keys).empty());
    EXPECT_EQ(stranger->readMany(keys).size(), 1u);
    EXPECT_EQ(plain->lockName(), plain->service());
    EXPECT_EQ(team->lockName(), team->service() + "\nteam.shared");
    EXPECT_NE(team->lockName(), other->lockName());
    team->remove("grant_id");
    EXPECT_EQ(plain->readString("grant_id"), std::optional<std::string>("plain again"));
}

TEST_F(KeychainTest, KeysThatCannotBeAttributesFailWithoutTouchingTheKeyring) {
    auto store = make(testing::uniqueClientID("invalid"));
    const auto invalid = SecretServiceBackend::statusInvalidParameter;
    for (const std::string& key : {std::string("bad\xFF"), std::string("nul\0key", 7)}) {
        EXPECT_EQ(0, testing::countNotFailingWith(invalid, {{"read", [&] { (void)store->read(key); }},
                                                            {"write", [&] { store->writeString(key, "v"); }},
                                                            {"remove", [&] { store->remove(key); }}}));
    }
    EXPECT_THROW(TessaroKeychain("client\xC3", std::nullopt).deleteAll(), TessaroKeychain::KeychainError);
    const Query noAccount{store->service(), std::nullopt, std::nullopt};
    EXPECT_EQ(SecretServiceBackend().add(noAccount, bytesOf("v")), SecretServiceBackend::statusInvalidParameter);
    EXPECT_TRUE(testing::searchItems({{"service", store->service()}}).empty());
}

// The real backend with one operation replaced, to drive the algorithm's failure paths.
class HookedBackend : public TessaroKeychain::Backend {
public:
    std::shared_ptr<SecretServiceBackend> real = std::make_shared<SecretServiceBackend>();
    std::function<std::int32_t(const Query&)> onCopy, onUpdate, onRemove;
    int adds = 0, updates = 0;

    std::int32_t copyMatching(const Query& q, std::optional<SecureBytes>& data) override {
        return onCopy ? onCopy(q) : real->copyMatching(q, data);
    }
    std::int32_t add(const Query& q, std::span<const std::uint8_t> value) override {
        ++adds;
        return real->add(q, value);
    }
    std::int32_t update(const Query& q, std::span<const std::uint8_t> value) override {
        ++updates;
        if (onUpdate) {
            if (auto status = onUpdate(q); status != TessaroKeychain::statusSuccess) return status;
        }
        return real->update(q, value);
    }
    std::int32_t remove(const Query& q) override { return onRemove ? onRemove(q) : real->remove(q); }
};

TEST_F(KeychainTest, AWriteThatRacesADeleteStillLands) {
    auto backend = std::make_shared<HookedBackend>();
    auto store = make(testing::uniqueClientID("race"), std::nullopt, backend);
    store->writeString("access_token", "old");
    // Another party removes the item between the duplicate add and the update (once; the hook
    // stays installed, since resetting it would destroy the running lambda).
    backend->onUpdate = [backend = backend.get()](const Query& q) {
        if (backend->updates == 1) backend->real->remove(q);
        return TessaroKeychain::statusSuccess;
    };
    backend->adds = backend->updates = 0;
    store->writeString("access_token", "new");
    EXPECT_EQ(backend->adds, 2);
    EXPECT_EQ(backend->updates, 1);
    EXPECT_EQ(store->readString("access_token"), std::optional<std::string>("new"));
}

// A failed update after a duplicate add included: it reports its status and keeps the item.
TEST_F(KeychainTest, NotFoundIsSuccessOnlyForDeletesAndOtherStatusesAlwaysThrow) {
    auto backend = std::make_shared<HookedBackend>();
    auto store = make(testing::uniqueClientID("statuses"), std::nullopt, backend);
    store->writeString("refresh_token", "kept");
    backend->onRemove = [](const Query&) { return TessaroKeychain::statusItemNotFound; };
    EXPECT_NO_THROW(store->remove("grant_id"));
    EXPECT_NO_THROW(store->deleteAll());
    const std::vector<std::pair<std::int32_t, std::string>> failures = {
        {SecretServiceBackend::statusNotAvailable, "notAvailable"}, {-1, "failure"}};
    for (const auto& [status, caseName] : failures) {
        backend->onRemove = backend->onCopy = backend->onUpdate = [status](const Query&) { return status; };
        EXPECT_EQ(0, testing::countNotFailingWith(status,
                                                  {{"remove", [&] { store->remove("k"); }},
                                                   {"deleteAll", [&] { store->deleteAll(); }},
                                                   {"read", [&] { (void)store->read("k"); }},
                                                   {"readString", [&] { (void)store->readString("k"); }},
                                                   {"update", [&] { store->writeString("refresh_token", "lost"); }}}));
        // The same failure through the kit's interface, naming its case, and its standard base.
        try {
            (void)store->read("k");
        } catch (const tessaro::Exception& error) {
            const auto* standard = dynamic_cast<const std::exception*>(&error);
            ASSERT_NE(standard, nullptr);
            EXPECT_EQ(std::string(error.family()) + "." + error.caseName(), "KeychainError." + caseName);
            EXPECT_STREQ(error.message(), standard->what());
        }
    }
    // A write that loses every retry to a concurrent delete reports "not found".
    backend->onUpdate = [](const Query&) { return TessaroKeychain::statusItemNotFound; };
    EXPECT_EQ(0, testing::countNotFailingWith(TessaroKeychain::statusItemNotFound,
                                              {{"write", [&] { store->writeString("refresh_token", "x"); }}}));
    for (const auto& [status, caseName] : std::vector<std::pair<std::int32_t, const char*>>{
             {TessaroKeychain::statusItemNotFound, "itemNotFound"},
             {TessaroKeychain::statusDuplicateItem, "duplicateItem"},
             {SecretServiceBackend::statusLocked, "locked"},
             {SecretServiceBackend::statusPromptDismissed, "promptDismissed"},
             {SecretServiceBackend::statusAccessDenied, "accessDenied"},
             {SecretServiceBackend::statusInvalidParameter, "invalidParameter"},
             {SecretServiceBackend::statusInternal, "internal"}}) {
        EXPECT_STREQ(TessaroKeychain::KeychainError(status).caseName(), caseName);
    }
    backend->onRemove = backend->onCopy = backend->onUpdate = nullptr;
    EXPECT_EQ(store->readString("refresh_token"), std::optional<std::string>("kept"));
}

}  // namespace
}  // namespace tessaro

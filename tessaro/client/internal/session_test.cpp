// The stored session: its layout, the load decisions, saving over an earlier grant, and a store
// that fails half way through a save.
#include <tessaro/client/internal/session.hpp>

#include <gtest/gtest.h>

#include <cstdlib>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/stores/testing/scripted_store.hpp>

namespace tessaro::detail {
namespace {

Session sampleSession(std::string grant) {
    Session session{TessaroCrypto::ApprovalKeypair(), TessaroCrypto::SealKeypair()};
    session.accessToken = "at-" + grant;
    session.accessExpiresAt = timestampFromSeconds(1700000000.5);
    session.refreshToken = "rt-" + grant;
    session.grantID = std::move(grant);
    session.accountID = "acct";
    session.identityPublicKey = "ipk";
    session.vaults = {{"v1", "个人", std::nullopt, 1}, {"v2", std::nullopt, "shared", 2}};
    return session;
}

// Every entry `session` is saved as.
TessaroSecretStore::Values entriesOf(const Session& session) {
    TessaroMemoryStore store;
    saveSession(store, session);
    return store.readMany(sessionKeys());
}

TEST(Session, ExpiryTextIsTheShortestRoundTripWithAFraction) {
    // Each text is the one written for the number it reads as.
    for (const char* text :
         {"1700000000.0", "1700000000.5", "0.0", "0.0000001", "-1.25", "1000000000000000000000.0", "0.1"}) {
        const double seconds = std::strtod(text, nullptr);
        EXPECT_EQ(expiryText(timestampFromSeconds(seconds)), text);
        EXPECT_EQ(secondsSince1970(expiryFromText(text)), seconds) << text;
    }
    for (const char* corrupt : {"", "abc", "12abc", " 5", "5 ", "inf", "nan", "-inf", "1,5"}) {
        EXPECT_EQ(secondsSince1970(expiryFromText(corrupt)), 0.0) << corrupt;
    }
}

TEST(Session, OnlyTheThreeDefiningEntriesMakeASession) {
    for (const std::string key : {"approval_seed", "seal_private_key", "grant_id", ""}) {  // "": a grant ID not text
        TessaroMemoryStore partial;
        saveSession(partial, sampleSession("g1"));
        key.empty() ? partial.write("grant_id", Bytes{0xFF}) : partial.remove(key);
        EXPECT_FALSE(loadSession(partial)) << key;
    }

    // The three alone: a session with nothing else.
    TessaroMemoryStore minimal;
    const Session full = sampleSession("g2");
    minimal.write("approval_seed", full.approval.seed());
    minimal.write("seal_private_key", full.seal.rawPrivateKey());
    minimal.writeString("grant_id", "g2");
    minimal.writeString("vaults", R"({"vault_id":"v1"})");  // an object, not a list
    const auto loaded = loadSession(minimal);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->approval.publicKey(), full.approval.publicKey());
    EXPECT_FALSE(loaded->accessToken || loaded->refreshToken || loaded->identityPublicKey);
    EXPECT_EQ(secondsSince1970(loaded->accessExpiresAt), 0.0);
    EXPECT_EQ(loaded->accountID, "");
    EXPECT_TRUE(loaded->vaults.empty());

    minimal.write("seal_private_key", Bytes(31, 1));
    EXPECT_THROW(loadSession(minimal), TessaroCrypto::CryptoError);
}

TEST(Session, SavingReplacesEveryEntryOfAnEarlierGrantAndRemovesAbsentTokens) {
    TessaroMemoryStore store;
    saveSession(store, sampleSession("old"));
    store.writeString("stray", "x");
    Session next = sampleSession("new");
    next.identityPublicKey.reset();
    next.accessToken.reset();
    saveSession(store, next);
    EXPECT_EQ(store.read("account_identity_public_key"), std::nullopt);
    EXPECT_EQ(store.read("access_token"), std::nullopt) << "an absent token is removed, not written empty";
    EXPECT_EQ(store.read("stray"), std::nullopt);
    EXPECT_EQ(store.readString("access_expires_at"), "1700000000.5");
    EXPECT_EQ(store.readString("vaults"),
              R"([{"mode":1,"name":"个人","vault_id":"v1"},{"kind":"shared","mode":2,"vault_id":"v2"}])");
    EXPECT_EQ(entriesOf(*loadSession(store)), entriesOf(next));

    // saveTokens touches the three token entries only.
    next.refreshToken.reset();
    next.accessToken = "fresh";
    next.grantID = "ignored";
    saveTokens(store, next);
    const auto loaded = loadSession(store);
    EXPECT_EQ(loaded->accessToken, "fresh");
    EXPECT_EQ(loaded->refreshToken, std::nullopt);
    EXPECT_EQ(loaded->grantID, "new");
}

// A save that fails at any of its writes leaves the earlier grant whole; when putting it back fails
// too, nothing at all. Never a mix of two grants, and the store's error reaches the caller.
TEST(Session, AFailedSaveKeepsTheEarlierGrantWholeOrLeavesNothing) {
    // The earlier grant has no identity key: one the failed save wrote must not stay behind.
    Session first = sampleSession("first");
    first.identityPublicKey.reset();
    const Session second = sampleSession("second");
    for (const bool restoreFails : {false, true}) {
        for (int k = 0; k < 9; ++k) {  // saveSession makes nine writes
            SCOPED_TRACE(::testing::Message() << "write " << k << (restoreFails ? ", restore fails" : ""));
            testing::ScriptedStore store;
            saveSession(store, first);
            store.failAfter(k, restoreFails);
            EXPECT_THROW(saveSession(store, second), std::runtime_error);
            EXPECT_EQ(store.readMany(sessionKeys()), restoreFails ? TessaroSecretStore::Values{} : entriesOf(first));
        }
    }
    // A refresh writes the new refresh token first: once the server has rotated it, a failure of
    // any later write must not leave the spent one stored.
    testing::ScriptedStore store;
    saveSession(store, sampleSession("g"));
    Session next = sampleSession("g");
    next.refreshToken = "rt-next";
    store.failAfter(1, false);
    EXPECT_THROW(saveTokens(store, next), std::runtime_error);
    EXPECT_EQ(store.readString("refresh_token"), "rt-next");
}

}  // namespace
}  // namespace tessaro::detail

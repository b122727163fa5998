// Writes of the stored session against each other: a refresh's tokens or an identity key that come
// after a new authorization or a reset are not written, and a write in progress holds the others
// off until it is done.
#include <tessaro/client/internal/session_keeper.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <tessaro/client/testing/client_test_support.hpp>
#include <tessaro/stores/internal/process_lock.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro {
namespace {

using namespace tessaro::testing::client;

enum class First { refresh, identityKey };  // the write on behalf of grant g1
enum class HeldAt { server, storeWrite };   // its answer on the server, or its first store write
enum class Second { authorize, reset };     // what happens meanwhile

TEST(SessionWrites, AWriteForAGrantNeverLandsInAnotherGrantOrAnEmptiedStore) {
    const struct {
        const char* name;
        First first;
        HeldAt held;
        Second second;
    } cases[] = {
        {"refresh answer held, then a new authorization", First::refresh, HeldAt::server, Second::authorize},
        {"refresh writing its tokens, then a new authorization", First::refresh, HeldAt::storeWrite, Second::authorize},
        {"refresh answer held, then a reset", First::refresh, HeldAt::server, Second::reset},
        {"refresh writing its tokens, then a reset", First::refresh, HeldAt::storeWrite, Second::reset},
        {"account read held, then a new authorization", First::identityKey, HeldAt::server, Second::authorize},
        {"identity key being written, then a new authorization", First::identityKey, HeldAt::storeWrite,
         Second::authorize},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto store = std::make_shared<ScriptedStore>();
        Harness h({.store = store});
        Hold hold;
        const bool refresh = c.first == First::refresh, serverHeld = c.held == HeldAt::server;
        h.seed("at-old", refresh ? -5 : 3600, "rt-old");
        if (!refresh) store->remove("account_identity_public_key");
        h.answerAuthorizations();
        const Answer exchange{200, tokenBody("at-2", "rt-2", "ipk-2", "g2")}, account{200, accountBody};
        const Answer firstAnswer = refresh ? Answer{200, tokenBody("at-new", "rt-new")} : account;
        const Answer held = serverHeld ? hold.around(firstAnswer) : firstAnswer;
        h.routes.on(tokenPath, refresh ? std::vector{held, exchange} : std::vector{exchange});
        h.routes.on(accountPath, {refresh ? account : held});
        h.routes.on("/api/oauth/requests", {{400, R"({"error":"not_this_time"})"}});  // the update ends there
        if (!serverHeld) store->pauseWriteOf(refresh ? "refresh_token" : "account_identity_public_key");

        auto first = launch([&] {
            if (refresh) h.callAccount();
            else h.client->updateItem("i1", "v1", {{TessaroField::password, "x"}});
        });
        ASSERT_TRUE(serverHeld ? hold.waitArrived() : store->waitPaused());

        std::optional<TessaroGrant> grant;
        auto second = launch([&] {
            if (c.second == Second::authorize) grant = h.client->authorize();
            else h.client->reset();
        });
        if (serverHeld) {
            // Nothing of the first write is in the way while its answer is on the network.
            EXPECT_EQ(finished(second), "ok");
            hold.release();
        } else {
            EXPECT_FALSE(eventually([&] { return second.wait_for(0ms) == std::future_status::ready; }, 300ms))
                << "wrote while another write of the session was in progress";
            store->resume();
            EXPECT_EQ(finished(second), "ok");
        }
        finished(first);  // its own outcome is not the point here
        EXPECT_TRUE(h.client->drain(waitLimit));

        // Nothing, or the new grant whole: its tokens, its identity key, its own keys.
        EXPECT_EQ(h.storedTokens(), c.second == Second::reset ? "empty" : "g2 at-2 rt-2 ipk-2");
        EXPECT_EQ(h.client->grant(), grant);
    }
}

// Another process writing the session (holding its session-write lock) holds off this one's
// writes, not its refreshes: the refresh goes out, and its tokens are stored once the lock is free.
// A reset does not wait for it for long: it wipes regardless.
TEST(SessionWrites, AnotherProcessWritingTheSessionHoldsOffWritesOnly) {
    using detail::ProcessLock;
    const std::string lockName = tessaro::testing::uniqueClientID("writes");
    auto store = std::make_shared<ScriptedStore>(lockName);
    Harness h({.store = store});
    h.seed("at-old", -5, "rt-old");
    h.routes.on(tokenPath, {{200, tokenBody("at-new", "rt-new")}});
    h.routes.on(accountPath, {{200, accountBody}});
    auto other = ProcessLock::acquire(lockName, {}, ProcessLock::Purpose::sessionWrite);
    ASSERT_TRUE(other);

    auto call = launch([&] { h.callAccount(); });
    EXPECT_TRUE(eventually([&] { return !h.requestsTo(tokenPath).empty(); }));
    EXPECT_FALSE(eventually([&] { return call.wait_for(0ms) == std::future_status::ready; }, 300ms));
    EXPECT_EQ(h.stored("refresh_token"), "rt-old");
    other.reset();
    EXPECT_EQ(finished(call), "ok");
    EXPECT_EQ(h.stored("refresh_token"), "rt-new");

    other = ProcessLock::acquire(lockName, {}, ProcessLock::Purpose::sessionWrite);
    h.client->reset();  // a few seconds, then without the lock
    EXPECT_EQ(h.storedTokens(), "empty");
}

}  // namespace
}  // namespace tessaro

// Item operations end to end, where the layers meet: the sandbox's simulated user approves, results
// come back sealed and are opened by the client, patches go up sealed to the account's identity
// key; and what happens to the server and the grant in the middle of a wait. Refusals, expiry,
// callbacks, cancels and overlapping waits are the client's and the sandbox's own tests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include <tessaro/stores/memory_store.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {
namespace {

using sandbox::Policy;
using Code = TessaroError::Code;

constexpr const char* bankURL = "https://bank.example";

// One full run, where every layer meets: the authorization through the sandbox's simulated user
// (its grant stored, reported and accepted by the server), then each item operation approved, with
// the results sealed to the grant's key and the patch to the account's identity key.
TEST(Items, AuthorizeThenPickGetCreateAndUpdateAsApproved) {
    Environment env;
    auto store = std::make_shared<TessaroMemoryStore>();
    auto client = env.client(store, 0.2);
    WaitingLog waiting(*client);
    const TessaroGrant grant = client->authorize();
    client->setOnWaiting(nullptr);
    EXPECT_EQ(client->grant(), grant);
    EXPECT_EQ(grant.accountID, "acct_demo");
    const auto reported = waiting.all();
    ASSERT_EQ(reported.size(), 2u);  // the consent wait, then none
    EXPECT_TRUE(reported[0] && reported[0]->phase.isAuthorize());
    EXPECT_FALSE(reported[1]);

    const auto bank = env.sandbox().item("itm_bank");
    const TessaroItem picked = client->pickItem(TessaroHint{.url = bankURL}, "登录银行");
    EXPECT_EQ(picked.id, "itm_bank");
    EXPECT_EQ(picked.record.password, bank->record.password);
    EXPECT_EQ(client->getItem("itm_card", "vlt_personal").record.title, env.sandbox().item("itm_card")->record.title);

    const TessaroCreated created =
        client->createItem(TessaroItemKind::login, TessaroPrefill{.title = "新条目", .url = "https://new.example"});
    EXPECT_FALSE(created.savedOutOfScope);
    ASSERT_TRUE(created.item);
    const auto stored = env.sandbox().item(created.item->id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->vaultID, "vlt_personal");  // the first vault the grant may write
    EXPECT_EQ(created.item->record.title, stored->record.title);

    const TessaroUpdated updated = client->updateItem(
        "itm_bank", "vlt_personal", {{TessaroField::password, "n3w/pässword"}, {TessaroField::title, "银行"}});
    EXPECT_EQ(updated.revision, bank->revision + 1);
    EXPECT_EQ(env.sandbox().item("itm_bank")->record.password, "n3w/pässword");
    EXPECT_EQ(env.sandbox().item("itm_bank")->record.title, "银行");
    EXPECT_EQ(env.proxy().count("GET", "/api/oauth/account"), 0u);  // the identity key came with the grant

    // What was stored is what the server issued: its token and approval key sign a call it accepts.
    const auto account = client->api()->account(credentialsOf(snapshot(*store)));
    EXPECT_EQ(account.identityPublicKey, env.sandbox().identityPublicKey());
}

// Events in the middle of a wait, each against the real sandbox: the access token runs out (the
// next status read refreshes it, once, and the wait goes on), the grant is revoked elsewhere (the
// wait ends as revoked and the session is wiped), the server goes away (the wait ends as expired
// after the failure budget, and the session stays).
TEST(Items, EventsInTheMiddleOfAWait) {
    enum class Event { tokenExpires, grantRevoked, serverGone };
    const struct {
        const char* name;
        Event event;
        double pollInterval;
        std::optional<Code> code;  // none: the pick returns the item
        bool sessionKept;
    } cases[] = {{"the access token expires", Event::tokenExpires, 0.1, std::nullopt, true},
                 {"the grant is revoked elsewhere", Event::grantRevoked, 0.1, Code::revoked, false},
                 {"the server goes away", Event::serverGone, 0.01, Code::expired, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Environment env;
        auto store = std::make_shared<TessaroMemoryStore>();
        auto client = env.client(store, c.pollInterval);
        client->authorize();
        Policy policy;
        if (c.event == Event::tokenExpires) {
            policy.step = std::chrono::milliseconds(600);
        } else {
            policy.decision = Policy::Decision::never;
        }
        env.sandbox().setPolicy(policy);
        auto expired = std::make_shared<std::atomic<bool>>(false);
        if (c.event == Event::tokenExpires) {
            env.proxy().setIntercept([store = store, expired](const Seen& seen) {
                // With the first status read, the token the client holds passes its expiry.
                if (seen.method == "GET" && seen.path.rfind("/api/oauth/requests/", 0) == 0 &&
                    !expired->exchange(true)) {
                    expireAccessToken(*store);
                }
            });
        }
        auto pick = std::async(std::launch::async, [&] {
            return errorOf([&] { EXPECT_EQ(client->pickItem(TessaroHint{.url = bankURL}).id, "itm_bank"); });
        });
        if (c.event != Event::tokenExpires) {
            ASSERT_TRUE(eventually([&] { return env.proxy().count("POST", "/api/oauth/requests") == 1; }));
            if (c.event == Event::serverGone) {
                env.proxy().stop();
            } else {
                // Revoked by another host of the same grant, or by the user in the application.
                const auto credentials = credentialsOf(snapshot(*store));
                client->api()->revoke(credentials.accessToken, credentials);
            }
        }
        ASSERT_EQ(pick.wait_for(waitLimit), std::future_status::ready);
        const auto error = pick.get();
        EXPECT_EQ(error ? std::optional(error->code()) : std::nullopt, c.code) << (error ? error->what() : "");
        EXPECT_EQ(client->isAuthorized(), c.sessionKept);
        if (c.event == Event::tokenExpires) {
            EXPECT_EQ(env.proxy().count("POST", "/api/oauth/token", "refresh_token"), 1u);
        }
    }
}

}  // namespace
}  // namespace tessaro::e2e

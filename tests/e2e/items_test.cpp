// Item operations end to end: the sandbox's simulated user decides, results come back sealed and
// are opened by the client, patches go up sealed to the account's identity key; cancellation,
// token refresh, revocation and an unreachable server in the middle of a wait.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <tessaro/stores/memory_store.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {
namespace {

using sandbox::Policy;
using Code = TessaroError::Code;

constexpr const char* bankURL = "https://bank.example";

// An authorized client of its own environment, with a memory store.
struct Authorized {
    explicit Authorized(double pollInterval = 2.0, sandbox::Options options = {}, bool routeCallbacks = true)
        : env(std::move(options), routeCallbacks) {
        client = env.client(store, 60, std::string(sandbox::Sandbox::demoClientID), pollInterval);
        client->authorize();
    }
    std::string statusPath(const std::string& requestID) { return "/api/oauth/requests/" + requestID; }
    // The identifier of the only request created so far.
    std::string onlyRequest() {
        std::string id;
        for (const Seen& seen : env.proxy().seen()) {
            if (seen.method == "GET" && seen.path.rfind("/api/oauth/requests/", 0) == 0) {
                id = seen.path.substr(std::string("/api/oauth/requests/").size());
            }
        }
        return id;
    }

    Environment env;
    std::shared_ptr<TessaroMemoryStore> store = std::make_shared<TessaroMemoryStore>();
    std::shared_ptr<TessaroClient> client;
};

// Status reads the proxy has seen.
std::size_t statusReads(Proxy& proxy) {
    std::size_t reads = 0;
    for (const Seen& seen : proxy.seen())
        reads += seen.method == "GET" && seen.path.rfind("/api/oauth/requests/", 0) == 0;
    return reads;
}

template <typename T>
std::future<T> launch(std::function<T()> operation) {
    return std::async(std::launch::async, std::move(operation));
}

TEST(Items, PickGetCreateAndUpdateAsApproved) {
    Authorized a(0.2);
    const auto bank = a.env.sandbox().item("itm_bank");
    ASSERT_TRUE(bank);

    const TessaroItem picked = a.client->pickItem(TessaroHint{.url = bankURL}, "登录银行");
    EXPECT_EQ(picked.id, "itm_bank");
    EXPECT_EQ(picked.revision, bank->revision);
    EXPECT_EQ(picked.record.password, bank->record.password);
    EXPECT_EQ(picked.record.username, bank->record.username);
    EXPECT_FALSE(picked.record.password.empty());

    const TessaroItem card = a.client->getItem("itm_card", "vlt_personal");
    EXPECT_EQ(card.id, "itm_card");
    EXPECT_EQ(card.record.title, a.env.sandbox().item("itm_card")->record.title);

    const TessaroCreated created =
        a.client->createItem(TessaroItemKind::login, TessaroPrefill{.title = "新条目", .url = "https://new.example"});
    EXPECT_FALSE(created.savedOutOfScope);
    ASSERT_TRUE(created.item);
    ASSERT_TRUE(created.summary);
    EXPECT_EQ(created.summary->id, created.item->id);
    const auto stored = a.env.sandbox().item(created.item->id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->vaultID, "vlt_personal");  // the first vault the grant may write
    EXPECT_EQ(created.item->record.title, stored->record.title);

    const TessaroUpdated updated = a.client->updateItem(
        "itm_bank", "vlt_personal", {{TessaroField::password, "n3w/pässword"}, {TessaroField::title, "银行"}});
    EXPECT_EQ(updated.itemID, "itm_bank");
    EXPECT_EQ(updated.revision, bank->revision + 1);
    EXPECT_EQ(a.env.sandbox().item("itm_bank")->record.password, "n3w/pässword");
    EXPECT_EQ(a.env.sandbox().item("itm_bank")->record.title, "银行");
    EXPECT_EQ(a.env.proxy().count("GET", "/api/oauth/account"), 0u);  // the identity key came with the grant
}

// Every answer of the simulated user other than an approval, and what the host gets for it.
TEST(Items, EveryRefusalEndsAsTheUserDecided) {
    const struct {
        const char* name;
        std::function<void(Policy&)> policy;
        std::function<void(TessaroClient&)> operation;
        Code code;
        bool serverCancel;  // whether the request is cancelled on the server afterwards
    } cases[] = {
        {"denied", [](Policy& p) { p.decision = Policy::Decision::deny; },
         [](TessaroClient& c) { c.pickItem(TessaroHint{.url = bankURL}); }, Code::denied, false},
        {"not signed in", [](Policy& p) { p.decision = Policy::Decision::notSignedIn; },
         [](TessaroClient& c) { c.getItem("itm_bank", "vlt_personal"); }, Code::notSignedIn, false},
        {"an update refused for a conflict", [](Policy& p) { p.update = Policy::Update::conflict; },
         [](TessaroClient& c) {
             c.updateItem("itm_bank", "vlt_personal", {{TessaroField::password, "x"}});
         },
         Code::conflict, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Authorized a(0.2);
        Policy policy;
        c.policy(policy);
        a.env.sandbox().setPolicy(policy);
        const auto passwordBefore = a.env.sandbox().item("itm_bank")->record.password;
        EXPECT_EQ(errorCodeOf([&] { c.operation(*a.client); }), c.code);
        EXPECT_EQ(a.env.sandbox().item("itm_bank")->record.password, passwordBefore);
        EXPECT_TRUE(a.client->isAuthorized());
        EXPECT_EQ(a.env.proxy().count("POST", a.statusPath(a.onlyRequest()) + "/cancel"), 0u);
    }
}

TEST(Items, ACreateOutsideTheGrantComesBackWithoutContents) {
    Authorized a(0.2);
    Policy policy;
    policy.create = Policy::Create::outOfScope;
    a.env.sandbox().setPolicy(policy);
    const std::size_t itemsBefore = a.env.sandbox().items().size();
    const TessaroCreated created = a.client->createItem(TessaroItemKind::login, TessaroPrefill{.title = "外部"});
    EXPECT_TRUE(created.savedOutOfScope);
    EXPECT_FALSE(created.item);
    EXPECT_FALSE(created.summary);  // nothing about the item comes back
    const auto items = a.env.sandbox().items();
    ASSERT_EQ(items.size(), itemsBefore + 1);
    EXPECT_EQ(items.back().vaultID, "vlt_work");
    EXPECT_EQ(items.back().record.title, "外部");
}

// The user never answers: the wait ends by the request's own expiry (plus the grace), measured on
// the client's clock, without another status read. The sandbox's clock runs 40 s behind, so a
// request it gives 20 s is already 20 s over for the client, while the sandbox still calls it open.
TEST(Items, AnUnansweredRequestExpiresLocally) {
    sandbox::Options options;
    options.requestLifetime = std::chrono::seconds(20);
    Authorized a(0.05, options);
    Policy policy;
    policy.decision = Policy::Decision::never;
    a.env.sandbox().setPolicy(policy);
    a.env.advanceClock(std::chrono::seconds(-40));
    WaitingLog waiting;
    a.client->setOnWaiting(waiting.handler());
    EXPECT_EQ(errorCodeOf([&] { a.client->pickItem(); }), Code::expired);
    EXPECT_EQ(statusReads(a.env.proxy()), 0u);
    const auto values = waiting.values();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_TRUE(values[0]);
    EXPECT_FALSE(values[1]);
}

// The real host path: the sandbox calls the loopback redirect URI over HTTP and the host's
// listener hands each URL to handleCallback. The poll interval is far beyond the test's bound:
// only the callback can end the wait in time, with one status read.
TEST(Items, CallbacksDeliveredOverLoopbackHTTP) {
    httplib::Server listener;
    const int port = listener.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::shared_ptr<TessaroClient> client;
    std::mutex clientMutex;
    std::atomic<int> taken{0};
    listener.Get("/tessaro/callback", [&](const httplib::Request& request, httplib::Response& response) {
        std::shared_ptr<TessaroClient> target;
        {
            std::lock_guard guard(clientMutex);
            target = client;
        }
        const auto url = URL::parse("http://127.0.0.1:" + std::to_string(port) + request.target);
        if (target && url && target->handleCallback(*url)) ++taken;
        response.set_content("ok", "text/plain");
    });
    std::thread serving([&] { listener.listen_after_bind(); });

    {
        Environment env({}, false);
        auto store = std::make_shared<TessaroMemoryStore>();
        auto configuration = env.configuration();
        configuration.redirectURL = *URL::parse("http://127.0.0.1:" + std::to_string(port) + "/tessaro/callback");
        TessaroClient::Options options;
        options.store = store;
        options.switcher = env.switcher();
        options.pollInterval = 3600;
        {
            std::lock_guard guard(clientMutex);
            client = TessaroClient::create(configuration, options);
        }
        client->authorize();
        Policy policy;
        policy.delay = std::chrono::milliseconds(200);
        policy.step = std::chrono::milliseconds(50);
        env.sandbox().setPolicy(policy);
        EXPECT_EQ(client->pickItem(TessaroHint{.url = bankURL}).id, "itm_bank");
        EXPECT_GE(taken.load(), 2);
        EXPECT_EQ(statusReads(env.proxy()), 1u);
        std::lock_guard guard(clientMutex);
        client.reset();
    }
    listener.stop();
    serving.join();
}

TEST(Items, CancelPendingEndsTheWaitAndTheSandboxSeesTheCancel) {
    Authorized a(3600);
    Policy policy;
    policy.decision = Policy::Decision::never;
    a.env.sandbox().setPolicy(policy);
    auto pick = launch<std::optional<Code>>([&] { return errorCodeOf([&] { a.client->pickItem(); }); });
    ASSERT_TRUE(a.env.switcher()->waitForOpens(2));  // the authorization, then the request
    a.client->cancelPending();
    ASSERT_EQ(pick.wait_for(waitLimit), std::future_status::ready);
    EXPECT_EQ(pick.get(), Code::cancelled);
    EXPECT_TRUE(a.client->drain(waitLimit));
    std::string cancelled;
    for (const Seen& seen : a.env.proxy().seen()) {
        if (seen.method == "POST" && seen.path.ends_with("/cancel")) {
            EXPECT_EQ(seen.status, 200);
            cancelled = seen.path;
        }
    }
    EXPECT_FALSE(cancelled.empty());
}

// The stored access token runs out during the wait: the next status read refreshes it first,
// once, and the wait goes on.
TEST(Items, ATokenExpiringMidWaitIsRefreshedOnce) {
    Authorized a(0.1);
    Policy policy;
    policy.step = std::chrono::milliseconds(600);
    a.env.sandbox().setPolicy(policy);
    auto expired = std::make_shared<std::atomic<bool>>(false);
    a.env.proxy().setIntercept([store = a.store, expired](const Seen& seen) -> std::optional<int> {
        // With the first status read, the token the client holds passes its expiry.
        if (seen.method == "GET" && seen.path.rfind("/api/oauth/requests/", 0) == 0 && !expired->exchange(true)) {
            expireAccessToken(*store);
        }
        return std::nullopt;
    });
    EXPECT_EQ(a.client->pickItem(TessaroHint{.url = bankURL}).id, "itm_bank");
    EXPECT_EQ(a.env.proxy().count("POST", "/api/oauth/token", "refresh_token"), 1u);
}

TEST(Items, AGrantRevokedMidWaitEndsItAndWipesTheSession) {
    Authorized a(0.1);
    Policy policy;
    policy.decision = Policy::Decision::never;
    a.env.sandbox().setPolicy(policy);
    auto pick = launch<std::optional<Code>>([&] { return errorCodeOf([&] { a.client->pickItem(); }); });
    ASSERT_TRUE(eventually([&] { return !a.onlyRequest().empty(); }));
    // Revoked elsewhere (another host of the same grant, or the user in the application).
    const auto credentials = credentialsOf(snapshot(*a.store));
    a.client->api()->revoke(credentials.accessToken, credentials);
    ASSERT_EQ(pick.wait_for(waitLimit), std::future_status::ready);
    EXPECT_EQ(pick.get(), Code::revoked);
    EXPECT_TRUE(snapshot(*a.store).empty());
    EXPECT_FALSE(a.client->isAuthorized());
}

TEST(Items, AnUnreachableServerExpiresTheWaitAfterTheFailureBudget) {
    Authorized a(0.01);
    Policy policy;
    policy.decision = Policy::Decision::never;
    a.env.sandbox().setPolicy(policy);
    auto pick = launch<std::optional<Code>>([&] { return errorCodeOf([&] { a.client->pickItem(); }); });
    ASSERT_TRUE(eventually([&] { return !a.onlyRequest().empty(); }));
    a.env.proxy().stop();
    ASSERT_EQ(pick.wait_for(waitLimit), std::future_status::ready);
    EXPECT_EQ(pick.get(), Code::expired);
    EXPECT_TRUE(a.client->isAuthorized());  // nothing lost
}

TEST(Items, TwoOverlappingOperationsBothFinish) {
    Authorized a(0.1);
    Policy policy;
    policy.step = std::chrono::milliseconds(200);
    a.env.sandbox().setPolicy(policy);
    auto pick = launch<TessaroItem>([&] { return a.client->pickItem(TessaroHint{.url = bankURL}); });
    auto get = launch<TessaroItem>([&] { return a.client->getItem("itm_card", "vlt_personal"); });
    ASSERT_EQ(pick.wait_for(waitLimit), std::future_status::ready);
    ASSERT_EQ(get.wait_for(waitLimit), std::future_status::ready);
    EXPECT_EQ(pick.get().id, "itm_bank");
    EXPECT_EQ(get.get().id, "itm_card");
}

}  // namespace
}  // namespace tessaro::e2e

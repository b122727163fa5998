// TessaroClient's own logic against a loopback server: when a token is refreshed and with which
// refresh token, what each server answer does to the call and to the stored session, revocation,
// onWaiting delivery, the authorization wait, and the client's lifetime around a slow switcher.
#include <tessaro/client/tessaro_client.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <testing/child_process.hpp>
#include <tessaro/client/testing/client_test_support.hpp>
#include <tessaro/records/exception.hpp>

namespace tessaro {
namespace {

using namespace tessaro::testing::client;
using Code = TessaroError::Code;
using tessaro::testing::thrown;

TEST(TessaroClientCreate, RefusesDurationsThatAreNegativeOrNotFinite) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(Harness({.authorizeTimeout = 0, .pollInterval = 0}));
    for (const auto& [poll, timeout] : {std::pair{2.0, -1.0}, {2, inf}, {2, nan}, {-0.5, 600}, {inf, 600}}) {
        EXPECT_THROW(Harness({.authorizeTimeout = timeout, .pollInterval = poll}), InvalidArgument)
            << poll << " " << timeout;
    }
}

// A harness seeded from "access refresh [extra]" ("-": an absent token; no words: no session), the
// access token with `secondsLeft` to live. extra: "bad-expiry" (an expiry that is no number),
// "bad-key" (a private key of the wrong length) or "server-down" (nothing listens).
std::unique_ptr<Harness> seeded(const std::string& text, double secondsLeft) {
    std::istringstream words(text);
    std::string access, refresh, extra;
    words >> access >> refresh >> extra;
    auto h = std::make_unique<Harness>(HarnessOptions{.serverDown = extra == "server-down"});
    const auto token = [](const std::string& word) { return word == "-" ? std::nullopt : std::optional(word); };
    if (!access.empty()) h->seed(token(access), secondsLeft, token(refresh));
    if (extra == "bad-expiry") h->store->writeString("access_expires_at", "soon");
    if (extra == "bad-key") h->store->write("seal_private_key", Bytes(5, 1));
    return h;
}

// One signed call: whether it refreshes first (less than 30 s left, no access token, an unreadable
// expiry), what each answer of the call and of the refresh makes of it, the bearer of each call and
// what the store holds afterwards. Without a usable session nothing is sent.
TEST(TessaroClientCredentials, ServerAnswersToTheCallAndToTheRefresh) {
    const Answer ok{200, accountBody}, none{}, expired{401, R"({"error":"token_expired"})"}, members{200, "{}"};
    const Answer invalid{401, R"({"error":"invalid_token"})"}, revoked{403, R"({"error":"grant_revoked"})"};
    const Answer fresh{200, tokenBody("at-new", "rt-new")}, keeps{200, tokenBody("at-new")};
    const Answer withKey{200, tokenBody("at-new", "rt-new", "ipk-new")}, busy{409, R"({"error":"busy"})"};
    const Answer reused{400, R"({"error":"refresh_token_reused"})"}, refused{400, R"({"error":"invalid_grant"})"};
    const Answer reused401{401, R"({"error":"refresh_token_reused"})"};
    const std::string both = "at-old rt-old", old = "g1 at-old rt-old ipk-old", renewed = "g1 at-new rt-new ipk-old";
    const std::string call = "account:at-old", refreshed = "token account:at-new", retried = call + " " + refreshed;
    const struct {
        const char* name;
        std::string seed;
        double secondsLeft;
        std::vector<Answer> call;  // in order; the last repeats
        Answer refresh;
        std::string outcome;
        std::string trail;
        std::string stored;
    } cases[] = {
        {"31 s left", both, 31, {ok}, none, "ok", call, old},
        {"29 s left", both, 29, {ok}, fresh, "ok", refreshed, renewed},
        {"no access token", "- rt-old", 3600, {ok}, fresh, "ok", refreshed, renewed},
        {"an expiry that is no number", both + " bad-expiry", 3600, {ok}, fresh, "ok", refreshed, renewed},
        {"the refresh token kept", both, 0, {ok}, keeps, "ok", refreshed, "g1 at-new rt-old ipk-old"},
        {"an identity key refreshed", both, 0, {ok}, withKey, "ok", refreshed, "g1 at-new rt-new ipk-new"},
        {"401 token_expired, then 200", both, 3600, {expired, ok}, fresh, "ok", retried, renewed},
        {"401 expired twice", both, 3600, {expired}, fresh, "protocol:token_expired", retried, renewed},
        {"401 invalid_token twice", both, 3600, {invalid}, fresh, "revoked", retried, "empty"},
        {"403 grant_revoked", both, 3600, {revoked}, none, "revoked", call, "empty"},
        {"409 with another code", both, 3600, {busy}, none, "protocol:busy", call, old},
        {"refresh reused", both, 0, {ok}, reused, "revoked", "token", "empty"},
        {"refresh refused", both, 0, {ok}, refused, "protocol:invalid_grant", "token", old},
        {"refresh answer without its members", both, 0, {ok}, members, "protocol:malformed_response", "token", old},
        {"401 token_expired, refresh reused", both, 3600, {expired}, reused401, "revoked", call + " token", "empty"},
        {"no session", "", 0, {}, none, "notAuthorized", "", "empty"},
        {"neither token", "- -", -10, {}, none, "notAuthorized", "", "g1 - - ipk-old"},
        {"an expired access token only", "at-old -", -10, {}, none, "revoked", "", "empty"},
        {"server down: the call", both + " server-down", 3600, {}, none, "network", "", old},
        {"server down: the refresh", both + " server-down", 0, {}, none, "network", "", old},
        {"a stored key of the wrong length", both + " bad-key", 3600, {}, none, "crypto", "", old},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto h = seeded(c.seed, c.secondsLeft);
        h->routes.on(accountPath, c.call);
        h->routes.on(tokenPath, {c.refresh});

        EXPECT_EQ(outcome([&] { h->callAccount(); }), c.outcome);
        EXPECT_EQ(h->trail(), c.trail);
        EXPECT_EQ(h->storedTokens(), c.stored);
        if (c.stored == renewed) {
            EXPECT_NEAR(secondsSince1970(ClientInternals::loadSession(*h->client)->accessExpiresAt),
                        nowSeconds() + 3600, 60);
        }
        if (c.stored == "empty" || c.outcome == "crypto") {
            EXPECT_FALSE(h->client->isAuthorized() || h->client->grant());
        }
    }
}

// Another caller (or process) rotated the refresh token and has no usable access token left: the
// refresh token in the store is presented, never the stale one the call started with (that one
// would be answered refresh_token_reused and end the grant).
TEST(TessaroClientCredentials, PresentsTheRotatedRefreshTokenFromTheStore) {
    Harness h;
    h.seed("at-1", 3600, "rt-1");
    h.routes.on(accountPath, {{401, R"({"error":"token_expired"})"}, {200, accountBody}});
    h.routes.on(tokenPath, {{200, tokenBody("at-3", "rt-3")}});
    int runs = 0;
    ClientInternals::withCredentials(*h.client, [&](const TessaroAPI::Credentials& credentials) {
        if (++runs == 1) {
            // Meanwhile: rotated to rt-2, and the access token it bought is already gone.
            h.store->writeString("refresh_token", "rt-2");
            h.store->remove("access_token");
        }
        h.client->api()->account(credentials);
    });
    EXPECT_EQ(h.trail(), "account:at-1 token account:at-3");
    EXPECT_EQ(bodyOf(h.requestsTo(tokenPath).at(0)).value("refresh_token", ""), "rt-2");
    EXPECT_EQ(h.storedTokens(), "g1 at-3 rt-3 ipk-old");
}

// A caller that reads the store while a refresh is writing its tokens sees the new access token
// with the old expiry. Entering the gate after that refresh it must take the stored session, not
// refresh a second time (and rotate the grant's refresh token once more).
TEST(TessaroClientCredentials, ACallerThatReadsTheTokensHalfWrittenDoesNotRefreshAgain) {
    auto store = std::make_shared<ScriptedStore>();
    Harness h({.store = store});
    h.seed("at-old", -5, "rt-old");
    h.routes.on(tokenPath, {{200, tokenBody("at-new", "rt-new")}, {200, tokenBody("at-2", "rt-2")}});
    h.routes.on(accountPath, {{200, accountBody}});
    store->pauseWriteOf("access_expires_at");
    std::thread first([&] { EXPECT_NO_THROW(h.callAccount()); });
    ASSERT_TRUE(store->waitPaused());  // "access_token" is at-new, "access_expires_at" still old
    const int before = store->snapshots.load();
    std::thread second([&] { EXPECT_NO_THROW(h.callAccount()); });
    // Once it has read the half-written tokens, whether it reaches the gate before or after the
    // first refresh ends makes no difference.
    for (int i = 0; i < 10000 && store->snapshots.load() == before; ++i)
        std::this_thread::sleep_for(1ms);
    store->resume();
    first.join();
    second.join();
    EXPECT_EQ(h.trail(), "token account:at-new account:at-new");
    EXPECT_EQ(h.stored("refresh_token"), "rt-new");
}

// Many callers find one expired token at once: exactly one refresh, and every call succeeds with
// the token it bought. Like a real server, this one ends the grant when the old refresh token comes
// a second time, so a second refresh would fail calls, not merely add a request.
TEST(TessaroClientCredentials, SixtyFourConcurrentCallersShareOneRefresh) {
    const struct {
        const char* name;
        double secondsLeft;  // expired in the store, or valid in the store but refused by the server
        int clients;         // on the one store
    } cases[] = {{"expired in the store", -5, 1}, {"refused by the server", 3600, 1}, {"two clients", -5, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.seed("at-old", c.secondsLeft, "rt-old");
        // The first refresh buys at-1 and rt-1, and only at-1 is accepted; any later refresh is
        // refused as reused, which ends the grant.
        auto refreshes = std::make_shared<std::atomic<int>>(0);
        h.server.respond([refreshes](const httplib::Request& request, httplib::Response& response) {
            // Closing each connection keeps 64 callers from queueing behind idle keep-alive workers.
            response.set_header("Connection", "close");
            const bool token = request.path == tokenPath;
            const bool ok = token ? ++*refreshes == 1 : request.get_header_value("Authorization") == "Bearer at-1";
            response.status = ok ? 200 : token ? 400 : 401;
            response.set_content(ok ? (token ? tokenBody("at-1", "rt-1") : accountBody)
                                    : (token ? R"({"error":"refresh_token_reused"})" : R"({"error":"token_expired"})"),
                                 "application/json");
        });
        std::vector<std::shared_ptr<TessaroClient>> clients = {h.client};
        if (c.clients == 2) {
            clients.push_back(TessaroClient::create(h.client->configuration(),
                                                    {.store = h.store, .transport = nullptr, .switcher = h.switcher}));
        }
        constexpr int callers = 64;
        std::latch start(callers);
        std::vector<std::future<std::string>> calls;
        for (int i = 0; i < callers; ++i) {
            calls.push_back(launch([&, client = clients[i % clients.size()]] {
                start.arrive_and_wait();
                ClientInternals::withCredentials(
                    *client, [&](const TessaroAPI::Credentials& credentials) { client->api()->account(credentials); });
            }));
        }
        for (auto& call : calls)
            EXPECT_EQ(finished(call), "ok");
        EXPECT_EQ(h.requestsTo(tokenPath).size(), 1u);
        EXPECT_EQ(h.stored("access_token"), "at-1");
        EXPECT_EQ(h.stored("refresh_token"), "rt-1");
    }
}

// The server may have rotated the refresh token by the time the caller stops: the answer is still
// taken and stored, and the gate stays held until it is, so nobody presents the spent token again.
TEST(TessaroClientTokens, ARefreshWhoseCallerStoppedIsFinishedAndStored) {
    for (const bool dropClient : {false, true}) {
        SCOPED_TRACE(dropClient ? "the client is dropped" : "another caller follows");
        Harness h;
        Hold hold;
        h.seed("at-old", -5, "rt-old");
        h.routes.on(tokenPath, {hold.around({200, tokenBody("at-new", "rt-new")})});
        h.routes.on(accountPath, {{200, accountBody}});
        std::stop_source stop;
        auto first = launch([&] { h.callAccount(stop.get_token()); });
        ASSERT_TRUE(hold.waitArrived());
        stop.request_stop();
        EXPECT_EQ(finished(first), "cancelled");  // while the answer is still held

        // The client's end waits for the answer to be stored, as the next caller does.
        auto next = dropClient ? launch([client = std::exchange(h.client, nullptr)]() mutable { client.reset(); })
                               : launch([&] { h.callAccount(); });
        EXPECT_EQ(next.wait_for(100ms), std::future_status::timeout) << "did not wait for the refresh in flight";
        hold.release();
        EXPECT_EQ(finished(next), "ok");
        if (h.client) {
            EXPECT_TRUE(h.client->drain(waitLimit));
        }
        EXPECT_EQ(h.trail(), dropClient ? "token" : "token account:at-new");
        EXPECT_EQ(h.storedTokens(), "g1 at-new rt-new ipk-old");
    }
}

// The user gave up after approving: the grant the server issued is revoked, and the earlier
// session stays as it was.
TEST(TessaroClientTokens, ACodeExchangeWhoseCallerStoppedIsRevokedNotStored) {
    Harness h;
    Hold hold;
    h.seed("at-old", 3600, "rt-old");
    h.answerAuthorizations();
    h.routes.on(tokenPath, {hold.around({200, tokenBody("at-2", "rt-2", std::nullopt, "g2")})});
    std::stop_source stop;
    auto authorize = launch([&] { h.client->authorize(stop.get_token()); });
    ASSERT_TRUE(hold.waitArrived());
    stop.request_stop();
    EXPECT_EQ(finished(authorize), "cancelled");
    hold.release();
    EXPECT_TRUE(h.client->drain(waitLimit));
    EXPECT_EQ(h.trail(), "token revoke:at-2");
    EXPECT_EQ(bodyOf(h.requestsTo(revokePath).at(0)).value("token", ""), "at-2");
    EXPECT_EQ(h.storedTokens(), "g1 at-old rt-old ipk-old");
}

TEST(TessaroClientRevoke, WipesWhateverTheServerSays) {
    const Answer confirmed{200, "{}"}, none{}, fresh{200, tokenBody("at-new", "rt-new")}, failed{500, ""};
    const Answer revoked{403, R"({"error":"grant_revoked"})"}, gone{400, R"({"error":"invalid_refresh_token"})"};
    const std::string both = "at-old rt-old";
    const struct {
        const char* name;
        std::string seed;
        double secondsLeft;
        Answer revoke, refresh;
        std::string outcome;
        std::string trail;  // the token revoked is in the body too
        std::string stored;
    } cases[] = {
        {"fresh client", "", 0, none, none, "notAuthorized", "", "empty"},
        {"session without tokens", "- -", 3600, none, none, "ok", "", "empty"},
        {"server confirms", both, 3600, confirmed, none, "ok", "revoke:at-old", "empty"},
        {"expired access token", both, -60, confirmed, fresh, "ok", "token revoke:at-new", "empty"},
        {"403 grant_revoked", both, 3600, revoked, none, "ok", "revoke:at-old", "empty"},
        {"refresh says the grant is gone", both, -60, none, gone, "ok", "token", "empty"},
        {"500", both, 3600, failed, none, "protocol:http_500", "revoke:at-old", "empty"},
        {"network down", both + " server-down", 3600, none, none, "network", "", "empty"},
        {"stored key unreadable", both + " bad-key", 3600, none, none, "notAuthorized", "", "g1 at-old rt-old ipk-old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto h = seeded(c.seed, c.secondsLeft);
        h->routes.on(revokePath, {c.revoke});
        h->routes.on(tokenPath, {c.refresh});
        EXPECT_EQ(outcome([&] { h->client->revoke(); }), c.outcome);
        EXPECT_EQ(h->trail(), c.trail);
        for (const auto& revoke : h->requestsTo(revokePath))
            EXPECT_EQ("Bearer " + bodyOf(revoke).value("token", ""), revoke.header("Authorization"));
        EXPECT_EQ(h->storedTokens(), c.stored);
        EXPECT_FALSE(h->client->isAuthorized());
    }
}

// A grant authorized while the revocation is on its way (by another client of the store) stays:
// revoke() wipes only the grant it revoked.
TEST(TessaroClientRevoke, AGrantAuthorizedMeanwhileStays) {
    Harness h;
    h.seed("at-old", 3600, "rt-old");
    Hold hold;
    h.routes.on(revokePath, {hold.around({200, "{}"})});
    auto revoking = launch([&] { h.client->revoke(); });
    ASSERT_TRUE(hold.waitArrived());
    h.seed("at-2", 3600, "rt-2", "g2");
    hold.release();
    EXPECT_EQ(finished(revoking), "ok");
    EXPECT_EQ(h.storedTokens(), "g2 at-2 rt-2 ipk-old");
}

// Keeps posted calls for the test to run; isCurrent() as set: whether the reporting thread counts as
// the executor's.
enum class Reporting { onExecutor, elsewhere };
struct QueueExecutor final : TessaroExecutor {
    explicit QueueExecutor(Reporting reporting) : current(reporting == Reporting::onExecutor) {}
    bool isCurrent() const override { return current; }
    void post(std::function<void()> call) override { queued.push_back(std::move(call)); }
    const bool current;
    std::vector<std::function<void()>> queued;
};

// Without an executor or on its thread onWaiting is called at once, else posted with its own copy
// of the value; a handler may replace itself while it is called. The handler and the executor may
// be replaced from other threads while values are delivered.
TEST(TessaroClientWaiting, HandlerAndExecutorReplacedFromOtherThreadsWhileDelivering) {
    Harness h;
    std::atomic<int> replacedCalls{0};
    h.client->setOnWaiting([&](const std::optional<TessaroWaiting>&) {
        h.client->setOnWaiting([&](const std::optional<TessaroWaiting>&) { ++replacedCalls; });
    });
    ClientInternals::notifyWaiting(*h.client, std::nullopt);
    ClientInternals::notifyWaiting(*h.client, std::nullopt);
    EXPECT_EQ(replacedCalls.load(), 1);

    const TessaroWaiting waiting(TessaroWaiting::Phase::authorize(), std::nullopt, "user", "consent",
                                 timestampFromSeconds(1700000000.5));
    WaitingLog log(*h.client);
    auto posting = std::make_shared<QueueExecutor>(Reporting::elsewhere);
    h.client->setExecutor(posting);
    auto value = std::make_optional(waiting);
    ClientInternals::notifyWaiting(*h.client, value);
    value.reset();  // gone before the posted call runs
    EXPECT_TRUE(log.all().empty());
    posting->queued.at(0)();
    h.client->setExecutor(std::make_shared<QueueExecutor>(Reporting::onExecutor));
    ClientInternals::notifyWaiting(*h.client, waiting);
    EXPECT_EQ(log.all(), (std::vector{std::optional(waiting), std::optional(waiting)}));

    auto delivered = std::make_shared<std::atomic<int>>(0);
    auto inlineExecutor = std::make_shared<QueueExecutor>(Reporting::onExecutor);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const TessaroWaiting waiting(TessaroWaiting::Phase::request("pick_item"), "r" + std::to_string(t));
            for (int i = 0; i < 400; ++i) {
                ClientInternals::notifyWaiting(*h.client, i % 2 ? std::optional(waiting) : std::nullopt);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 400; ++i) {
            // The captured text makes every handler own heap memory that a torn copy would touch.
            h.client->setOnWaiting(
                [delivered, text = std::string(64 + i % 7, 'x')](const std::optional<TessaroWaiting>&) {
                    if (!text.empty()) ++*delivered;
                });
            if (auto copy = h.client->onWaiting()) copy(std::nullopt);
            if (i % 50 == 0) h.client->setOnWaiting(nullptr);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 400; ++i)
            h.client->setExecutor(i % 2 ? inlineExecutor : nullptr);
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(delivered->load(), 0);
}

// The application answers with a callback while it is being opened (before the host could even
// lose the focus); the outcome follows the callback and the code exchange. A failed authorization
// leaves the earlier grant as it was; a new one replaces all of it.
TEST(TessaroClientFlows, AuthorizeFollowsTheCallbackAndTheExchange) {
    const struct {
        const char* name;
        const char* callback;  // query items of the callback, besides its state
        Answer exchange;
        std::string outcome;
    } cases[] = {
        {"approved", "code=c1", {200, tokenBody("at-2", "rt-2", std::nullopt, "g2")}, "ok"},
        {"denied", "tq=authorize&error=access_denied", {}, "denied"},
        {"not signed in", "tq=authorize&error=not_signed_in", {}, "notSignedIn"},
        {"another error", "tq=authorize&error=server_busy", {}, "protocol:server_busy"},
        {"a request callback", "tq=request&code=c1", {}, "protocol:invalid_callback"},
        {"code refused", "code=c1", {400, R"({"error":"invalid_grant"})"}, "protocol:invalid_grant"},
        {"client revoked", "code=c1", {401, R"({"error":"invalid_client"})"}, "revoked"},
        {"malformed answer", "code=c1", {200, R"({"access_token":"at-2"})"}, "protocol:malformed_response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.seed("at-old", 3600, "rt-old");  // an earlier grant
        h.routes.on(tokenPath, {c.exchange});
        WaitingLog waiting(*h.client);
        h.answerAuthorizations(c.callback);
        std::optional<TessaroGrant> grant;
        EXPECT_EQ(outcome([&] { grant = h.client->authorize(); }), c.outcome);
        ASSERT_TRUE(h.client->drain(waitLimit));  // the switcher has returned
        ASSERT_EQ(h.switcher->opened().size(), 1u);
        const URL launch = *URL::parse(h.switcher->opened()[0]);
        EXPECT_EQ(queryItem(launch, "state").size(), 32u);
        // The flow is over: there is nothing to re-open.
        EXPECT_EQ(outcome([&] { h.client->retryOpen(); }), "protocol:nothing_pending");
        const auto reported = waiting.all();
        ASSERT_EQ(reported.size(), 2u);
        EXPECT_TRUE(reported[0] && reported[0]->phase == TessaroWaiting::Phase::authorize() && !reported[1]);
        // Nothing of the earlier grant survives a new one.
        EXPECT_EQ(h.storedTokens(), grant ? "g2 at-2 rt-2 -" : "g1 at-old rt-old ipk-old");
        if (!grant) continue;
        EXPECT_EQ(h.client->grant(), grant);
        const auto exchange = bodyOf(h.requestsTo(tokenPath).at(0));
        EXPECT_EQ(exchange.value("code", ""), "c1");
        EXPECT_EQ(TessaroCrypto::PKCE(exchange.value("code_verifier", "")).challenge,
                  queryItem(launch, "code_challenge"));
        const auto session = ClientInternals::loadSession(*h.client);
        ASSERT_TRUE(session);
        EXPECT_EQ(session->approval.publicKeyBase64URL(), queryItem(launch, "approval_key"));
        EXPECT_EQ(session->seal.publicKeyBase64URL(), queryItem(launch, "seal_key"));
    }
}

// A stop ends its own authorization at once, also when a later one has become the current flow;
// the later one waits on, a retry re-opens its URL, and cancelPending() ends it. Nothing is sent.
TEST(TessaroClientFlows, AStopEndsAnAuthorizationThatIsNoLongerCurrent) {
    Harness h;
    h.seed("at-old", 3600, "rt-old");
    std::stop_source first;
    auto earlier = launch([&] { h.client->authorize(first.get_token()); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    WaitingLog waiting(*h.client);
    auto later = launch([&] { h.client->authorize(); });
    ASSERT_TRUE(h.switcher->waitForOpens(2));
    h.client->retryOpen();
    ASSERT_TRUE(h.switcher->waitForOpens(3));
    first.request_stop();
    EXPECT_EQ(finished(earlier), "cancelled");
    EXPECT_EQ(later.wait_for(0ms), std::future_status::timeout);
    h.client->cancelPending();
    EXPECT_EQ(finished(later), "cancelled");
    const auto opened = h.switcher->opened();
    EXPECT_EQ(opened[1], opened[2]);
    EXPECT_NE(opened[0], opened[1]);
    EXPECT_EQ(outcome([&] { h.client->retryOpen(); }), "protocol:nothing_pending");
    EXPECT_FALSE(waiting.all().back());
    EXPECT_EQ(h.stored("grant_id"), "g1");
    EXPECT_TRUE(h.server.requests().empty());
}

// A host's switcher may throw anything: as for the first open, any failure of a re-open is
// notInstalled (with the download URL), and the flow keeps waiting.
TEST(TessaroClientFlows, RetryOpenFailurePassesToTheCallerAndTheFlowWaitsOn) {
    Harness h;
    const auto testThread = std::this_thread::get_id();
    h.switcher->setOnOpen([&](const URL&) {
        if (std::this_thread::get_id() == testThread) throw std::runtime_error("the desktop said no");
    });
    auto authorize = launch([&] { h.client->authorize(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    const auto retry = thrown<TessaroError>([&] { h.client->retryOpen(); }, TessaroError::conflict());
    EXPECT_EQ(retry.code(), Code::notInstalled);
    EXPECT_EQ(retry.downloadURL(), download());
    EXPECT_EQ(authorize.wait_for(50ms), std::future_status::timeout);  // still waiting
    h.client->cancelPending();
    EXPECT_EQ(finished(authorize), "cancelled");
}

// In a child that can start no thread (no processes left under its limit): an authorization fails
// with the system's error and leaves nothing registered, and drain() does not wait for a thread
// that never started.
int noThreadsChild() {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_NPROC, &none) != 0) return 11;
    auto client = TessaroClient::create({"pmc_test", redirect(), *URL::parse("http://127.0.0.1:9"), download()},
                                        {.store = std::make_shared<TessaroMemoryStore>(),
                                         .transport = nullptr,
                                         .switcher = std::make_shared<ScriptedSwitcher>()});
    try {
        client->authorize();
        return 1;  // authorized without a thread to open the application
    } catch (const std::system_error&) {}
    if (!(ClientInternals::registrations(*client) == ClientInternals::Registrations{})) return 2;
    return client->drain(0ms) ? 0 : 3;
}
const int noThreadsHook = tessaro::testing::runChildMode("no-threads", noThreadsChild);

TEST(TessaroClientLifetime, WithoutAThreadToSpareNothingStaysRegisteredOrCounted) {
    EXPECT_EQ(tessaro::testing::runSelf("no-threads"), 0);
}

// An authorization with no time to wait expires while the switcher is still opening: its callback
// finds nobody, the stored grant stays, and the launch keeps the client alive until the switcher
// answers (drain() waits for it).
TEST(TessaroClientLifetime, DestroyedRightAfterAnOperationWhileTheSwitcherIsStillOpening) {
    for (const bool drainFirst : {false, true}) {
        SCOPED_TRACE(drainFirst ? "drained, then destroyed" : "destroyed while the launch runs");
        Harness h({.authorizeTimeout = 0});
        h.seed("at-old", 3600, "rt-old");
        Hold opening;
        h.switcher->setOnOpen([&](const URL&) { opening.wait(); });
        WaitingLog waiting(*h.client);
        EXPECT_EQ(outcome([&] { h.client->authorize(); }), "expired");
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        EXPECT_FALSE(h.client->handleCallback(callbackTo(*URL::parse(h.switcher->opened()[0]), "code=c1")));
        EXPECT_EQ(waiting.all().size(), 2u);
        EXPECT_FALSE(waiting.all().back());
        EXPECT_EQ(h.stored("grant_id"), "g1");
        std::weak_ptr<TessaroClient> weak = h.client;
        if (drainFirst) opening.release();
        EXPECT_EQ(h.client->drain(drainFirst ? waitLimit : 20ms), drainFirst);
        h.client.reset();
        EXPECT_EQ(weak.expired(), drainFirst);  // else the launch keeps it until the switcher answers
        opening.release();
        EXPECT_TRUE(eventually([&] { return weak.expired(); }));
    }
}

TEST(TessaroClientFlows, ASwitcherThatThrowsEndsTheAuthorization) {
    const URL elsewhere = *URL::parse("https://elsewhere.example/get");
    const struct {
        const char* name;
        std::function<void()> fail;
        Code code;
        std::optional<URL> downloadURL;
    } cases[] = {
        {"not installed", [&] { throw TessaroError::notInstalled(elsewhere); }, Code::notInstalled, elsewhere},
        {"cancelled", [] { throw TessaroError::cancelled(); }, Code::cancelled, std::nullopt},
        // Not a TessaroError, on the launch thread: were it to escape there, the process would end.
        {"anything else", [] { throw 42; }, Code::notInstalled, download()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.switcher->setOnOpen([&](const URL&) { c.fail(); });
        const auto error = thrown<TessaroError>([&] { h.client->authorize(); }, TessaroError::conflict());
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.downloadURL(), c.downloadURL);
        EXPECT_TRUE(h.client->drain(waitLimit));
    }
}

}  // namespace
}  // namespace tessaro

// TessaroClient's own logic against a loopback server: when a token is refreshed and with which
// refresh token, what each server answer does to the call and to the stored session, revocation,
// onWaiting delivery, the authorization wait, and the client's lifetime around a slow switcher.
#include <tessaro/client/tessaro_client.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <latch>
#include <limits>
#include <map>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <testing/child_process.hpp>
#include <tessaro/api/testing/test_server.hpp>
#include <tessaro/client/testing/client_test_support.hpp>
#include <tessaro/client/internal/client_internals.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/stores/memory_store.hpp>

namespace tessaro {
namespace {

using namespace std::chrono_literals;
using namespace tessaro::testing::client;
using detail::ClientInternals;
using detail::Session;
using Code = TessaroError::Code;
using tessaro::testing::TestServer;
using tessaro::testing::thrown;

// ---- construction ----

TEST(TessaroClientCreate, RefusesDurationsThatAreNegativeOrNotFinite) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double pollInterval, authorizeTimeout;
        bool accepted;
    } cases[] = {{2, 600, true},  {0, 0, true},       {2, -1, false},   {2, inf, false},
                 {2, nan, false}, {-0.5, 600, false}, {inf, 600, false}};
    for (const auto& c : cases) {
        TessaroClient::Options options{.store = std::make_shared<TessaroMemoryStore>(),
                                       .transport = nullptr,
                                       .switcher = std::make_shared<ScriptedSwitcher>(),
                                       .pollInterval = c.pollInterval,
                                       .authorizeTimeout = c.authorizeTimeout};
        const TessaroConfiguration configuration{"pmc_test", redirect(), *URL::parse("https://server.example"),
                                                 download()};
        if (c.accepted) {
            EXPECT_NO_THROW(TessaroClient::create(configuration, options))
                << c.pollInterval << " " << c.authorizeTimeout;
        } else {
            EXPECT_THROW(TessaroClient::create(configuration, options), std::invalid_argument)
                << c.pollInterval << " " << c.authorizeTimeout;
        }
    }
}

// ---- withCredentials: when to refresh, and what the refresh leaves in the store ----

TEST(TessaroClientCredentials, RefreshesOnlyAMissingTokenOrOneWithLessThan30SecondsLeft) {
    const struct {
        const char* name;
        bool hasAccess;
        double secondsLeft;
        bool corruptExpiry;
        Answer refreshAnswer;
        bool refreshes;
        const char* storedRefresh;
        const char* storedIdentity;
    } cases[] = {
        {"31 s left", true, 31, false, {}, false, "rt-old", "ipk-old"},
        {"29 s left", true, 29, false, {200, tokenBody("at-new", "rt-new")}, true, "rt-new", "ipk-old"},
        {"long expired", true, -3600, false, {200, tokenBody("at-new", "rt-new")}, true, "rt-new", "ipk-old"},
        {"no access token", false, 3600, false, {200, tokenBody("at-new", "rt-new")}, true, "rt-new", "ipk-old"},
        {"corrupt expiry", true, 3600, true, {200, tokenBody("at-new", "rt-new")}, true, "rt-new", "ipk-old"},
        {"answer keeps the refresh token", true, 0, false, {200, tokenBody("at-new")}, true, "rt-old", "ipk-old"},
        {"answer with identity key",
         true,
         0,
         false,
         {200, tokenBody("at-new", "rt-new", "ipk-new")},
         true,
         "rt-new",
         "ipk-new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.seed(c.hasAccess ? std::optional<std::string>("at-old") : std::nullopt, c.secondsLeft, "rt-old");
        if (c.corruptExpiry) h.store->writeString("access_expires_at", "soon");
        h.routes.on(tokenPath, {c.refreshAnswer});
        h.routes.on(accountPath, {{200, accountBody}});

        ASSERT_NO_THROW(h.callAccount());

        const auto refreshes = h.requestsTo(tokenPath);
        const auto calls = h.requestsTo(accountPath);
        ASSERT_EQ(calls.size(), 1u);
        if (!c.refreshes) {
            EXPECT_TRUE(refreshes.empty());
            EXPECT_EQ(bearer(calls[0]), "Bearer at-old");
            EXPECT_EQ(h.stored("access_token"), "at-old");
            continue;
        }
        ASSERT_EQ(refreshes.size(), 1u);
        EXPECT_EQ(bodyOf(refreshes[0]).value("refresh_token", ""), "rt-old");
        EXPECT_EQ(bodyOf(refreshes[0]).value("grant_type", ""), "refresh_token");
        EXPECT_EQ(h.trail().front(), std::string("POST ") + tokenPath);  // refreshed before the call
        EXPECT_EQ(bearer(calls[0]), "Bearer at-new");
        EXPECT_EQ(h.stored("access_token"), "at-new");
        EXPECT_EQ(h.stored("refresh_token"), c.storedRefresh);
        EXPECT_EQ(h.stored("account_identity_public_key"), c.storedIdentity);
        EXPECT_EQ(h.stored("grant_id"), "g1");
        const auto session = ClientInternals::loadSession(*h.client);
        ASSERT_TRUE(session);
        EXPECT_NEAR(secondsSince1970(session->accessExpiresAt), nowSeconds() + 3600, 60);
    }
}

enum class StoreAfter { unchanged, refreshed, wiped, empty };

// What the server answers to a signed call and to the refresh, what is stored, and whether the
// server can be reached at all: the error, the requests sent and what the store holds afterwards.
TEST(TessaroClientCredentials, ServerAnswersToTheCallAndToTheRefresh) {
    enum class Seed { both, none, neither, accessOnly };  // the tokens stored ("at-old", "rt-old")
    using enum StoreAfter;
    const Answer expired{401, R"({"error":"token_expired"})"}, invalid{401, R"({"error":"invalid_token"})"};
    const Answer ok{200, accountBody}, fresh{200, tokenBody("at-new", "rt-new")};
    const Answer reused{400, R"({"error":"refresh_token_reused"})"};
    const struct {
        const char* name;
        Seed seed;
        double secondsLeft;        // of the stored access token
        std::vector<Answer> call;  // answers of the signed call, in order
        Answer refresh;
        std::optional<Code> error;  // none: the call succeeds
        const char* protocolCode;
        std::size_t refreshes, calls;
        StoreAfter store;
        bool serverDown = false;
    } cases[] = {
        {"401 token_expired, then success", Seed::both, 3600, {expired, ok}, fresh, {}, "", 1, 2, refreshed},
        {"401 token_expired twice: no third attempt",
         Seed::both,
         3600,
         {expired},
         fresh,
         Code::protocol,
         "token_expired",
         1,
         2,
         refreshed},
        {"401 invalid_token twice: the retry's answer ends the grant",
         Seed::both,
         3600,
         {invalid},
         fresh,
         Code::revoked,
         "",
         1,
         2,
         wiped},
        {"403 grant_revoked",
         Seed::both,
         3600,
         {{403, R"({"error":"grant_revoked"})"}},
         {},
         Code::revoked,
         "",
         0,
         1,
         wiped},
        {"500 without a code", Seed::both, 3600, {{500, ""}}, {}, Code::protocol, "http_500", 0, 1, unchanged},
        {"409 with another code",
         Seed::both,
         3600,
         {{409, R"({"error":"busy"})"}},
         {},
         Code::protocol,
         "busy",
         0,
         1,
         unchanged},
        {"success body that is no JSON",
         Seed::both,
         3600,
         {{200, "<html>"}},
         {},
         Code::protocol,
         "malformed_response",
         0,
         1,
         unchanged},
        {"refresh answered refresh_token_reused", Seed::both, 0, {ok}, reused, Code::revoked, "", 1, 0, wiped},
        {"refresh answered another code",
         Seed::both,
         0,
         {ok},
         {400, R"({"error":"invalid_grant"})"},
         Code::protocol,
         "invalid_grant",
         1,
         0,
         unchanged},
        {"refresh answer missing its members",
         Seed::both,
         0,
         {ok},
         {200, "{}"},
         Code::protocol,
         "malformed_response",
         1,
         0,
         unchanged},
        {"401 token_expired, refresh reused",
         Seed::both,
         3600,
         {expired},
         {401, R"({"error":"refresh_token_reused"})"},
         Code::revoked,
         "",
         1,
         1,
         wiped},
        // Without a usable session nothing is sent.
        {"no session", Seed::none, 0, {}, {}, Code::notAuthorized, "", 0, 0, empty},
        {"neither token", Seed::neither, -10, {}, {}, Code::notAuthorized, "", 0, 0, unchanged},
        {"expired access token, no refresh token", Seed::accessOnly, -10, {}, {}, Code::revoked, "", 0, 0, wiped},
        // Network failures pass through and leave the store.
        {"server down: the call fails", Seed::both, 3600, {}, {}, Code::network, "", 0, 0, unchanged, true},
        {"server down: the refresh fails", Seed::both, 0, {}, {}, Code::network, "", 0, 0, unchanged, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(30, c.serverDown);
        if (c.seed != Seed::none) {
            h.seed(c.seed == Seed::neither ? std::nullopt : std::optional<std::string>("at-old"), c.secondsLeft,
                   c.seed == Seed::both ? std::optional<std::string>("rt-old") : std::nullopt);
        }
        h.routes.on(accountPath, c.call);
        h.routes.on(tokenPath, {c.refresh});

        if (c.error) {
            const auto error = thrown<TessaroError>([&] { h.callAccount(); }, TessaroError::conflict());
            EXPECT_EQ(error.code(), *c.error);
            EXPECT_EQ(error.protocolCode(), c.protocolCode);
        } else {
            EXPECT_NO_THROW(h.callAccount());
        }
        EXPECT_EQ(h.requestsTo(tokenPath).size(), c.refreshes);
        const auto calls = h.requestsTo(accountPath);
        ASSERT_EQ(calls.size(), c.calls);
        if (c.calls == 2) {
            EXPECT_EQ(bearer(calls[1]), "Bearer at-new");  // the retry uses the new token
        }
        switch (c.store) {
            case unchanged:
                EXPECT_TRUE(h.stored("grant_id"));
                EXPECT_EQ(h.stored("access_token"), c.seed == Seed::neither ? std::nullopt : std::optional("at-old"));
                EXPECT_EQ(h.stored("refresh_token"), c.seed == Seed::both ? std::optional("rt-old") : std::nullopt);
                break;
            case refreshed:
                EXPECT_EQ(h.stored("access_token"), "at-new");
                EXPECT_EQ(h.stored("refresh_token"), "rt-new");
                break;
            case wiped:
            case empty:
                EXPECT_TRUE(h.storeEmpty());
                EXPECT_FALSE(h.client->isAuthorized());
                break;
        }
    }
}

TEST(TessaroClientCredentials, AStoredKeyOfTheWrongLengthIsTheCryptoError) {
    Harness h;
    h.seed("at-old", 3600, "rt-old");
    h.store->write("approval_seed", Bytes(31, 7));
    try {
        h.callAccount();
        ADD_FAILURE() << "no error";
    } catch (const TessaroCrypto::CryptoError& error) {
        EXPECT_EQ(error, TessaroCrypto::CryptoError::Code::invalidKey);
    }
    EXPECT_TRUE(h.server.requests().empty());
    EXPECT_FALSE(h.client->isAuthorized());
    EXPECT_FALSE(h.client->grant());
    EXPECT_TRUE(h.stored("grant_id"));  // nothing wiped
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
    const auto refreshes = h.requestsTo(tokenPath);
    ASSERT_EQ(refreshes.size(), 1u);
    EXPECT_EQ(bodyOf(refreshes[0]).value("refresh_token", ""), "rt-2");
    EXPECT_EQ(h.stored("refresh_token"), "rt-3");
    EXPECT_EQ(h.stored("access_token"), "at-3");
}

// A caller that reads the store while a refresh is writing its tokens sees the new access token
// with the old expiry. Entering the gate after that refresh it must take the stored session, not
// refresh a second time (and rotate the grant's refresh token once more).
TEST(TessaroClientCredentials, ACallerThatReadsTheTokensHalfWrittenDoesNotRefreshAgain) {
    auto store = std::make_shared<ScriptedStore>();
    Harness h(30, false, store);
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
    EXPECT_EQ(h.requestsTo(tokenPath).size(), 1u);
    EXPECT_EQ(h.stored("refresh_token"), "rt-new");
    for (const auto& call : h.requestsTo(accountPath))
        EXPECT_EQ(bearer(call), "Bearer at-new");
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
        // A rotating server: the current refresh token buys at-N and rt-N once; any other (a
        // presented one, "rt-old" included) is refused as reused, which ends the grant.
        struct Rotation {
            std::mutex mutex;
            std::string current = "rt-old";
            int issued = 0;
        };
        auto rotation = std::make_shared<Rotation>();
        h.server.respond([rotation](const httplib::Request& request, httplib::Response& response) {
            // Closing each connection keeps 64 callers from queueing behind idle keep-alive workers.
            response.set_header("Connection", "close");
            if (request.path == tokenPath) {
                const std::string presented = nlohmann::json::parse(request.body).value("refresh_token", "");
                std::lock_guard guard(rotation->mutex);
                if (presented != rotation->current) {
                    rotation->current.clear();
                    response.status = 400;
                    response.set_content(R"({"error":"refresh_token_reused"})", "application/json");
                    return;
                }
                const std::string n = std::to_string(++rotation->issued);
                rotation->current = "rt-" + n;
                response.set_content(tokenBody("at-" + n, "rt-" + n), "application/json");
            } else if (const auto bearer = request.get_header_value("Authorization");
                       bearer.rfind("Bearer at-", 0) == 0 && bearer != "Bearer at-old") {
                response.set_content(accountBody, "application/json");
            } else {
                response.status = 401;
                response.set_content(R"({"error":"token_expired"})", "application/json");
            }
        });

        std::vector<std::shared_ptr<TessaroClient>> clients = {h.client};
        if (c.clients == 2) {
            clients.push_back(TessaroClient::create(h.client->configuration(),
                                                    {.store = h.store, .transport = nullptr, .switcher = h.switcher}));
        }
        constexpr int callers = 64;
        std::atomic<int> succeeded{0};
        std::latch start(callers);
        std::vector<std::thread> threads;
        for (int i = 0; i < callers; ++i) {
            threads.emplace_back([&, client = clients[i % clients.size()]] {
                start.arrive_and_wait();
                try {
                    ClientInternals::withCredentials(*client, [&](const TessaroAPI::Credentials& credentials) {
                        client->api()->account(credentials);
                    });
                    ++succeeded;
                } catch (const std::exception& error) {
                    ADD_FAILURE() << error.what();
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(succeeded.load(), callers);
        EXPECT_EQ(h.requestsTo(tokenPath).size(), 1u);
        EXPECT_EQ(h.stored("access_token"), "at-1");
        EXPECT_EQ(h.stored("refresh_token"), "rt-1");
    }
}

// ---- token requests whose caller stopped ----

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
        const auto error = finished(first);  // while the answer is still held
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::cancelled) << error->errorDescription();

        std::future<std::optional<TessaroError>> next;
        if (dropClient) {
            // Its end waits for the answer to be stored.
            next = launch([client = std::exchange(h.client, nullptr)]() mutable { client.reset(); });
        } else {
            next = launch([&] { h.callAccount(); });
        }
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(next.wait_for(0ms), std::future_status::timeout) << "did not wait for the refresh in flight";
        hold.release();
        EXPECT_EQ(finished(next), std::nullopt);
        if (h.client) {
            EXPECT_TRUE(h.client->drain(waitLimit));
        }
        EXPECT_EQ(h.requestsTo(tokenPath).size(), 1u);
        EXPECT_EQ(h.stored("refresh_token"), "rt-new");
        EXPECT_EQ(h.stored("access_token"), "at-new");
        for (const auto& call : h.requestsTo(accountPath))
            EXPECT_EQ(bearer(call), "Bearer at-new");
    }
}

// The user gave up after approving: the grant the server issued is revoked, and the earlier
// session stays as it was.
TEST(TessaroClientTokens, ACodeExchangeWhoseCallerStoppedIsRevokedNotStored) {
    Harness h;
    Hold hold;
    h.seed("at-old", 3600, "rt-old");
    h.approveAuthorizations();
    h.routes.on(tokenPath, {hold.around({200, tokenBody("at-2", "rt-2", std::nullopt, "g2")})});
    h.routes.on(revokePath, {{200, "{}"}});
    std::stop_source stop;
    auto authorize = launch([&] { h.client->authorize(stop.get_token()); });
    ASSERT_TRUE(hold.waitArrived());
    stop.request_stop();
    const auto error = finished(authorize);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::cancelled) << error->errorDescription();
    hold.release();
    EXPECT_TRUE(h.client->drain(waitLimit));
    const auto revocations = h.requestsTo(revokePath);
    ASSERT_EQ(revocations.size(), 1u);
    EXPECT_EQ(bearer(revocations[0]), "Bearer at-2");
    EXPECT_EQ(bodyOf(revocations[0]).value("token", ""), "at-2");
    EXPECT_EQ(h.stored("grant_id"), "g1");
    EXPECT_EQ(h.stored("access_token"), "at-old");
}

// ---- revoke ----

TEST(TessaroClientRevoke, WipesWhateverTheServerSays) {
    enum class Seed { none, noTokens, valid, expired, badKey };
    const std::string revoke = std::string("POST ") + revokePath;
    const std::string refresh = std::string("POST ") + tokenPath;
    const struct {
        const char* name;
        Seed seed;
        bool serverDown;
        Answer revokeAnswer;
        Answer refreshAnswer;
        std::optional<Code> error;
        const char* protocolCode;
        std::vector<std::string> trail;
        const char* revokedToken;  // the token sent, in the body and as the bearer
        bool emptyAfter;
    } cases[] = {
        {"fresh client", Seed::none, false, {}, {}, Code::notAuthorized, "", {}, "", true},
        {"session without tokens", Seed::noTokens, false, {}, {}, std::nullopt, "", {}, "", true},
        {"server confirms", Seed::valid, false, {200, "{}"}, {}, std::nullopt, "", {revoke}, "at-old", true},
        {"expired access token",
         Seed::expired,
         false,
         {200, "{}"},
         {200, tokenBody("at-new", "rt-new")},
         std::nullopt,
         "",
         {refresh, revoke},
         "at-new",
         true},
        {"403 grant_revoked",
         Seed::valid,
         false,
         {403, R"({"error":"grant_revoked"})"},
         {},
         std::nullopt,
         "",
         {revoke},
         "at-old",
         true},
        {"refresh says the grant is gone",
         Seed::expired,
         false,
         {},
         {400, R"({"error":"invalid_refresh_token"})"},
         std::nullopt,
         "",
         {refresh},
         "",
         true},
        {"500", Seed::valid, false, {500, ""}, {}, Code::protocol, "http_500", {revoke}, "at-old", true},
        {"network down", Seed::valid, true, {}, {}, Code::network, "", {}, "", true},
        {"stored key unreadable", Seed::badKey, false, {}, {}, Code::notAuthorized, "", {}, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(30, c.serverDown);
        switch (c.seed) {
            case Seed::none: break;
            case Seed::noTokens: h.seed(std::nullopt, 3600, std::nullopt); break;
            case Seed::valid: h.seed("at-old", 3600, "rt-old"); break;
            case Seed::expired: h.seed("at-old", -60, "rt-old"); break;
            case Seed::badKey:
                h.seed("at-old", 3600, "rt-old");
                h.store->write("seal_private_key", Bytes(5, 1));
                break;
        }
        h.routes.on(revokePath, {c.revokeAnswer});
        h.routes.on(tokenPath, {c.refreshAnswer});

        if (c.error) {
            const auto error = thrown<TessaroError>([&] { h.client->revoke(); }, TessaroError::conflict());
            EXPECT_EQ(error.code(), *c.error);
            EXPECT_EQ(error.protocolCode(), c.protocolCode);
        } else {
            EXPECT_NO_THROW(h.client->revoke());
        }
        EXPECT_EQ(h.trail(), c.trail);
        if (const auto revokes = h.requestsTo(revokePath); !revokes.empty()) {
            EXPECT_EQ(bodyOf(revokes[0]), (nlohmann::json{{"token", c.revokedToken}, {"client_id", "pmc_test"}}));
            EXPECT_EQ(bearer(revokes[0]), std::string("Bearer ") + c.revokedToken);
        }
        EXPECT_EQ(h.storeEmpty(), c.emptyAfter);
        EXPECT_FALSE(h.client->isAuthorized());
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
    Session fresh{TessaroCrypto::ApprovalKeypair(), TessaroCrypto::SealKeypair()};
    fresh.grantID = "g2";
    fresh.accessToken = "at-2";
    fresh.refreshToken = "rt-2";
    detail::saveSession(*h.store, fresh);
    hold.release();
    EXPECT_FALSE(finished(revoking));
    EXPECT_EQ(h.stored("grant_id"), "g2");
    EXPECT_EQ(h.stored("access_token"), "at-2");
}

// ---- onWaiting ----

// Runs posted calls when asked; isCurrent() as set.
class QueueExecutor final : public TessaroExecutor {
public:
    explicit QueueExecutor(bool current) : current_(current) {}
    bool isCurrent() const override { return current_; }
    void post(std::function<void()> call) override {
        std::lock_guard guard(mutex_);
        queued_.push_back(std::move(call));
    }
    std::size_t runAll() {
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard guard(mutex_);
            calls.swap(queued_);
        }
        for (auto& call : calls)
            call();
        return calls.size();
    }

private:
    const bool current_;
    std::mutex mutex_;
    std::vector<std::function<void()>> queued_;
};

TEST(TessaroClientWaiting, DeliveredInlineOnTheExecutorsThreadAndPostedFromElsewhere) {
    const TessaroWaiting waiting(TessaroWaiting::Phase::authorize(), std::nullopt, "user", "consent",
                                 timestampFromSeconds(1700000000.5));
    const struct {
        const char* name;
        std::shared_ptr<QueueExecutor> executor;
        bool inlineCall;
    } cases[] = {{"no executor", nullptr, true},
                 {"on the executor's thread", std::make_shared<QueueExecutor>(true), true},
                 {"on another thread", std::make_shared<QueueExecutor>(false), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.client->setExecutor(c.executor);
        std::vector<std::optional<TessaroWaiting>> received;
        std::thread::id calledOn;
        h.client->setOnWaiting([&](const std::optional<TessaroWaiting>& value) {
            received.push_back(value);
            calledOn = std::this_thread::get_id();
        });
        {
            // The reported value may be gone before a posted call runs.
            auto value = std::make_optional(waiting);
            ClientInternals::notifyWaiting(*h.client, value);
            value.reset();
        }
        EXPECT_EQ(received.size(), c.inlineCall ? 1u : 0u);
        if (c.executor) {
            EXPECT_EQ(c.executor->runAll(), c.inlineCall ? 0u : 1u);
        }
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0], waiting);
        EXPECT_EQ(calledOn, std::this_thread::get_id());
    }
}

TEST(TessaroClientWaiting, HandlerAndExecutorReplacedFromOtherThreadsWhileDelivering) {
    Harness h;
    // A handler may replace itself while it is called.
    std::atomic<int> replacedCalls{0};
    h.client->setOnWaiting([&](const std::optional<TessaroWaiting>&) {
        h.client->setOnWaiting([&](const std::optional<TessaroWaiting>&) { ++replacedCalls; });
    });
    ClientInternals::notifyWaiting(*h.client, std::nullopt);
    ClientInternals::notifyWaiting(*h.client, std::nullopt);
    EXPECT_EQ(replacedCalls.load(), 1);

    auto delivered = std::make_shared<std::atomic<int>>(0);
    auto inlineExecutor = std::make_shared<QueueExecutor>(true);
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

// ---- flows: callbacks, retry, cancel, authorization ----

TEST(TessaroClientFlows, WithNothingPendingCallbacksAreRefusedAndRetryFails) {
    Harness h;
    EXPECT_FALSE(h.client->handleCallback(*URL::parse("tessarotest://tessaro/callback?state=unknown-state&code=c1")));
    EXPECT_FALSE(h.client->handleCallback(*URL::parse("https://elsewhere.example/cb?state=s&code=c1")));
    const auto error = thrown<TessaroError>([&] { h.client->retryOpen(); }, TessaroError::conflict());
    EXPECT_EQ(error.code(), Code::protocol);
    EXPECT_EQ(error.protocolCode(), "nothing_pending");
    EXPECT_NO_THROW(h.client->cancelPending());
    EXPECT_TRUE(h.switcher->opened().empty());
    EXPECT_TRUE(h.server.requests().empty());
}

// The application answers with a callback while it is being opened (before the host could even
// lose the focus); the outcome follows the callback and the code exchange.
TEST(TessaroClientFlows, AuthorizeFollowsTheCallbackAndTheExchange) {
    const struct {
        const char* name;
        const char* callback;  // query items of the callback, besides its state
        Answer exchange;
        std::optional<Code> error;
        const char* protocolCode;
    } cases[] = {
        {"approved", "code=c1", {200, tokenBody("at-2", "rt-2", std::nullopt, "g2")}, std::nullopt, ""},
        {"denied", "tq=authorize&error=access_denied", {}, Code::denied, ""},
        {"not signed in", "tq=authorize&error=not_signed_in", {}, Code::notSignedIn, ""},
        {"another error", "tq=authorize&error=server_busy", {}, Code::protocol, "server_busy"},
        {"a request callback", "tq=request&code=c1", {}, Code::protocol, "invalid_callback"},
        {"code refused", "code=c1", {400, R"({"error":"invalid_grant"})"}, Code::protocol, "invalid_grant"},
        {"client revoked", "code=c1", {401, R"({"error":"invalid_client"})"}, Code::revoked, ""},
        {"malformed answer", "code=c1", {200, R"({"access_token":"at-2"})"}, Code::protocol, "malformed_response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.seed("at-old", 3600, "rt-old");  // an earlier grant
        h.routes.on(tokenPath, {c.exchange});
        WaitingLog waiting(*h.client);
        std::string state;
        std::atomic<bool> taken{false};
        h.switcher->onOpen = [&, weak = std::weak_ptr(h.client)](const URL& url) {
            state = queryItem(url, "state");
            if (auto client = weak.lock()) {
                taken = client->handleCallback(
                    *URL::parse(redirect().absoluteString() + "?" + c.callback + "&state=" + state));
            }
        };

        std::optional<TessaroGrant> grant;
        if (c.error) {
            const auto error = thrown<TessaroError>([&] { h.client->authorize(); }, TessaroError::conflict());
            EXPECT_EQ(error.code(), *c.error);
            EXPECT_EQ(error.protocolCode(), c.protocolCode);
        } else {
            EXPECT_NO_THROW(grant = h.client->authorize());
        }
        ASSERT_TRUE(h.client->drain(waitLimit));  // the switcher has returned
        EXPECT_TRUE(taken);
        const auto opened = h.switcher->opened();
        ASSERT_EQ(opened.size(), 1u);
        const URL launch = *URL::parse(opened[0]);
        EXPECT_EQ(state.size(), 32u);
        // The flow is over: the same callback again finds nobody, and there is nothing to re-open.
        EXPECT_FALSE(h.client->handleCallback(*URL::parse(redirect().absoluteString() + "?code=c1&state=" + state)));
        EXPECT_THROW(h.client->retryOpen(), TessaroError);
        const auto reported = waiting.all();
        ASSERT_EQ(reported.size(), 2u);
        EXPECT_EQ(reported[0]->phase, TessaroWaiting::Phase::authorize());
        EXPECT_EQ(reported[0]->waitingReason, "consent");
        EXPECT_FALSE(reported[1]);

        if (c.error) {
            // A failed authorization leaves the earlier grant as it was.
            EXPECT_EQ(h.stored("grant_id"), "g1");
            EXPECT_EQ(h.stored("access_token"), "at-old");
            continue;
        }
        ASSERT_TRUE(grant);
        EXPECT_EQ(grant->grantID, "g2");
        EXPECT_EQ(h.client->grant(), grant);
        EXPECT_EQ(h.stored("access_token"), "at-2");
        EXPECT_FALSE(h.stored("account_identity_public_key"));  // nothing of the earlier grant survives
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

TEST(TessaroClientFlows, RetryOpensTheSameURLAndCancelOrStopEndsTheWait) {
    const struct {
        const char* name;
        bool byStop;  // else cancelPending()
    } cases[] = {{"cancelPending", false}, {"stop request", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.seed("at-old", 3600, "rt-old");
        WaitingLog waiting(*h.client);
        std::stop_source stop;
        std::optional<TessaroError> error;
        std::thread caller([&] {
            try {
                h.client->authorize(stop.get_token());
            } catch (const TessaroError& e) {
                error = e;
            }
        });
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        h.client->retryOpen();
        ASSERT_TRUE(h.switcher->waitForOpens(2));
        if (c.byStop) {
            stop.request_stop();
        } else {
            h.client->cancelPending();
        }
        caller.join();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::cancelled);
        const auto opened = h.switcher->opened();
        ASSERT_EQ(opened.size(), 2u);
        EXPECT_EQ(opened[0], opened[1]);
        EXPECT_THROW(h.client->retryOpen(), TessaroError);
        EXPECT_FALSE(waiting.all().back());
        EXPECT_EQ(h.stored("grant_id"), "g1");
        EXPECT_TRUE(h.server.requests().empty());
    }
}

// A stop ends its own authorization at once, also when a later one has become the current flow;
// the later one waits on.
TEST(TessaroClientFlows, AStopEndsAnAuthorizationThatIsNoLongerCurrent) {
    Harness h;
    std::stop_source first;
    auto earlier = launch([&] { h.client->authorize(first.get_token()); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    auto later = launch([&] { h.client->authorize(); });
    ASSERT_TRUE(h.switcher->waitForOpens(2));
    first.request_stop();
    const auto error = finished(earlier);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::cancelled);
    EXPECT_EQ(later.wait_for(0ms), std::future_status::timeout);
    h.client->cancelPending();
    const auto laterError = finished(later);
    ASSERT_TRUE(laterError);
    EXPECT_EQ(laterError->code(), Code::cancelled);
}

// A host's switcher may throw anything: as for the first open, any failure of a re-open is
// notInstalled (with the download URL), and the flow keeps waiting.
TEST(TessaroClientFlows, RetryOpenFailurePassesToTheCallerAndTheFlowWaitsOn) {
    for (const bool standard : {true, false}) {
        SCOPED_TRACE(standard ? "notInstalled" : "another exception");
        Harness h;
        const auto testThread = std::this_thread::get_id();
        h.switcher->onOpen = [&](const URL&) {
            if (std::this_thread::get_id() != testThread) return;
            if (standard) throw TessaroError::notInstalled(download());
            throw std::runtime_error("the desktop said no");
        };
        std::optional<TessaroError> error;
        std::thread caller([&] {
            try {
                h.client->authorize();
            } catch (const TessaroError& e) {
                error = e;
            }
        });
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        const auto retry = thrown<TessaroError>([&] { h.client->retryOpen(); }, TessaroError::conflict());
        EXPECT_EQ(retry.code(), Code::notInstalled);
        EXPECT_EQ(retry.downloadURL(), download());
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(error);  // still waiting
        h.client->cancelPending();
        caller.join();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::cancelled);
    }
}

TEST(TessaroClientFlows, AuthorizeTimeoutZeroExpires) {
    Harness h(0);
    h.seed("at-old", 3600, "rt-old");
    Gate gate;
    h.switcher->onOpen = [&](const URL&) { gate.wait(); };
    WaitingLog waiting(*h.client);
    const auto error = thrown<TessaroError>([&] { h.client->authorize(); }, TessaroError::conflict());
    EXPECT_EQ(error.code(), Code::expired);
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    const std::string state = queryItem(*URL::parse(h.switcher->opened()[0]), "state");
    EXPECT_FALSE(h.client->handleCallback(*URL::parse(redirect().absoluteString() + "?code=c1&state=" + state)));
    const auto reported = waiting.all();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_TRUE(reported[0]);
    EXPECT_FALSE(reported[1]);
    EXPECT_EQ(h.stored("grant_id"), "g1");
    gate.release();
    EXPECT_TRUE(h.client->drain(waitLimit));
}

// ---- the application switcher: slow, failing ----

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
                                         .switcher = std::make_shared<ScriptedSwitcher>(),
                                         .pollInterval = 1,
                                         .authorizeTimeout = 30});
    try {
        client->authorize();
        std::cerr << "authorized without a thread to open the application\n";
        return 1;
    } catch (const std::system_error&) {}
    if (!(ClientInternals::registrations(*client) == ClientInternals::Registrations{})) {
        std::cerr << "the failed authorization left its flow registered\n";
        return 2;
    }
    if (!client->drain(0ms)) {
        std::cerr << "drain() waits for a thread that never started\n";
        return 3;
    }
    return 0;
}
const int noThreadsHook = tessaro::testing::runChildMode("no-threads", noThreadsChild);

TEST(TessaroClientLifetime, WithoutAThreadToSpareNothingStaysRegisteredOrCounted) {
    EXPECT_EQ(tessaro::testing::runSelf("no-threads"), 0);
}

TEST(TessaroClientLifetime, DestroyedRightAfterAnOperationWhileTheSwitcherIsStillOpening) {
    for (const bool drainFirst : {false, true}) {
        SCOPED_TRACE(drainFirst ? "drained, then destroyed" : "destroyed while the launch runs");
        Harness h(0);
        Gate gate;
        h.switcher->onOpen = [&](const URL&) { gate.wait(); };
        EXPECT_THROW(h.client->authorize(), TessaroError);
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        EXPECT_FALSE(h.client->drain(20ms));
        std::weak_ptr<TessaroClient> weak = h.client;
        if (drainFirst) {
            gate.release();
            EXPECT_TRUE(h.client->drain(waitLimit));
            h.client.reset();
            EXPECT_TRUE(weak.expired());
            continue;
        }
        h.client.reset();
        EXPECT_FALSE(weak.expired());  // the launch keeps it until the switcher answers
        gate.release();
        for (int i = 0; i < 1000 && !weak.expired(); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(weak.expired());
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
        {"a standard exception", [] { throw std::runtime_error("gio"); }, Code::notInstalled, download()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.switcher->onOpen = [&](const URL&) { c.fail(); };
        const auto error = thrown<TessaroError>([&] { h.client->authorize(); }, TessaroError::conflict());
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.downloadURL(), c.downloadURL);
        EXPECT_TRUE(h.client->drain(waitLimit));
    }
}

// A host's own switcher may throw anything; the launch thread must not let it end the process.
TEST(TessaroClientFlowsDeathTest, ASwitcherThrowingANonStandardExceptionIsNoCrash) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Harness h;
            h.switcher->onOpen = [](const URL&) { throw 42; };
            try {
                h.client->authorize();
            } catch (...) {
                std::_Exit(h.client->drain(waitLimit) ? 0 : 3);
            }
            std::_Exit(2);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaro

// The request runner and the item operations against a loopback server with scripted statuses:
// how each way a request can end is reported, what wakes the wait, what is left behind, what is
// sent and sealed, and how results are opened.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <limits>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/internal/item_payloads.hpp>
#include <tessaro/client/testing/client_test_support.hpp>
#include <tessaro/crypto/sealed_box.hpp>
#include <tessaro/stores/internal/process_lock.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro {
namespace {

using namespace tessaro::testing::client;
using Registrations = ClientInternals::Registrations;
using json = nlohmann::json;

constexpr const char* requestsPath = "/api/oauth/requests";

std::string statusPath(const std::string& id) { return std::string(requestsPath) + "/" + id; }

std::string statusBody(const std::string& id, const std::string& state, json extra = json::object()) {
    extra["request_id"] = id;
    extra["state"] = state;
    return extra.dump();
}

std::string sealResult(const Session& session, const std::string& requestID, const std::string& plaintext) {
    return TessaroCrypto::seal(session.seal.publicKeyBase64URL(), TessaroCrypto::resultAAD("g1", requestID),
                               Bytes(plaintext.begin(), plaintext.end()));
}

const std::string itemPlaintext =
    R"({"item":{"id":"i1","revision":3,"record":{"title":"Bank","username":"ann","password":"pw/1","url":"https://bank.example"}}})";

// A client with a stored session (vaults v0 read-only, v1 and v2 writable) and an identity key
// whose private half the test holds.
struct RequestHarness : Harness {
    explicit RequestHarness(double pollInterval = 0.05, std::shared_ptr<TessaroSecretStore> customStore = nullptr)
        : Harness({.pollInterval = pollInterval, .store = std::move(customStore)}) {
        session.emplace(seed("at-1", 3600, "rt-1"));
        session->vaults = {{.id = "v0", .mode = 2}, {.id = "v1", .mode = 1}, {.id = "v2", .mode = 1}};
        session->identityPublicKey = identity.publicKeyBase64URL();
        detail::saveSession(*store, *session);
        waiting = std::make_unique<WaitingLog>(*client);
    }
    std::string completed(const std::string& id, const std::string& plaintext = itemPlaintext) {
        return statusBody(id, "completed", {{"result_enc", sealResult(*session, id, plaintext)}});
    }
    std::size_t reads(const std::string& id) { return requestsTo(statusPath(id)).size(); }
    std::size_t cancels(const std::string& id) { return requestsTo(statusPath(id) + "/cancel").size(); }
    Registrations registrations() { return ClientInternals::registrations(*client); }

    TessaroCrypto::SealKeypair identity;
    std::optional<Session> session;
    std::unique_ptr<WaitingLog> waiting;
};

// An ISO 8601 time `seconds` from now.
std::string isoFromNow(int seconds) {
    const std::time_t time = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + seconds;
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// ---- the runner: every way a wait ends ----

// What an operation returned, as the final-status table writes it.
std::string returned(const TessaroItem& item) { return item.id + " " + item.record.password; }
std::string returned(const TessaroCreated& created) {
    EXPECT_EQ(created.requestID, "r1");
    EXPECT_EQ(created.summary, (TessaroItemSummary{"i9", "New", "https://new.example", TessaroItemKind::login}));
    return "i9" + (created.item ? " with " + created.item->id : "") + (created.savedOutOfScope ? " out of scope" : "");
}

// How a request ends by the status its creation, its upload or a status read answers; what the wait
// reported and left behind. "$sealed" in an answer is the item result sealed for r1.
TEST(RequestRunner, EndsByTheFinishingTableAndLeavesNothingBehind) {
    enum Op { pick, update, updateForAnOddKey, create };  // an odd key: the stored identity key is no X25519 key
    const auto status = [](const char* state, json extra = json::object()) { return statusBody("r1", state, extra); };
    const std::string done = status("completed", {{"result_enc", "$sealed"}}), pending = status("pending");
    const std::string conflict = status("denied", {{"denied_reason", "conflict"}}), noResult = status("completed");
    const std::string notSealed = status("completed", {{"result_enc", R"({"v":1})"}});
    const std::string failed = R"({"error":"server_error"})", notAStatus = R"({"state":7})";
    const std::string unknown = status("Completed");  // states are matched exactly
    const auto created = [&](json extra) {
        extra["created_item"] = {{"id", "i9"}, {"title", "New"}, {"url", "https://new.example"}, {"kind", "login"}};
        return status("completed", extra);
    };
    const std::string createdOut = created({{"saved_out_of_scope", true}, {"result_enc", "not a sealed box"}});
    const auto pendingUntil = [&](int in) { return status("pending", {{"expires_at", isoFromNow(in)}}); };
    const struct {
        const char* name;
        Op op;
        std::string created;                // the creation's answer
        std::vector<std::string> statuses;  // the upload's answer, or the status reads, each read once
        std::string outcome;                // outcome() or, when it returns, what it returned
        std::string reports;                // onWaiting values: + a waiting value, - none (the application is opened)
    } cases[] = {
        {"completed at creation", pick, done, {}, "i1 pw/1", ""},
        {"conflict at creation", pick, conflict, {}, "conflict", ""},
        {"completed without a result", pick, noResult, {}, "protocol:result_missing", ""},
        {"a result that is no sealed box", pick, notSealed, {}, "protocol:result_open_failed", ""},
        {"open, unknown, then completed", pick, pending, {status("waiting_user"), unknown, done}, "i1 pw/1", "+++--"},
        {"denied for a conflict", pick, pending, {conflict}, "conflict", "+--"},
        {"denied for another reason", pick, pending, {status("denied", {{"denied_reason", "user"}})}, "denied", "+--"},
        {"cancelled by the server", pick, pending, {status("cancelled")}, "cancelled", "+--"},
        {"expired on the server", pick, pending, {status("expired")}, "expired", "+--"},
        {"a status read answered 500", pick, pending, {failed}, "protocol:server_error", "+-"},
        {"a status read that is not a status", pick, pending, {notAStatus}, "protocol:malformed_response", "+-"},
        // Within the 15 s of grace past its expiry, the wait reads the status once more.
        {"past its expiry by 5 seconds", pick, pendingUntil(-5), {done}, "i1 pw/1", "+--"},
        {"past its expiry by 20 seconds", pick, pendingUntil(-20), {}, "expired", "+-"},
        // Never opened in the application: no status of it could ever be read.
        {"a request ID the kit refuses", pick, statusBody("../account", "pending"), {}, "protocol:invalid_path", ""},
        {"updated without an updated item", update, pending, {noResult}, "protocol:updated_item_missing", ""},
        {"update for an odd identity key", updateForAnOddKey, pending, {}, "crypto", ""},
        {"created in scope", create, created({{"result_enc", "$sealed"}}), {}, "i9 with i1", ""},
        {"created out of scope, a result not opened", create, createdOut, {}, "i9 out of scope", ""},
        {"created in scope without a result", create, created({}), {}, "i9 out of scope", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestHarness h;
        const auto seal = [&](std::string text) {
            if (const auto at = text.find("\"$sealed\""); at != std::string::npos)
                text.replace(at, 9, json(sealResult(*h.session, "r1", itemPlaintext)).dump());
            return text;
        };
        if (c.op == updateForAnOddKey) h.store->writeString("account_identity_public_key", "c2hvcnQ");
        h.routes.on(requestsPath, {{200, seal(c.created)}});
        // An update's statuses answer its upload; its status is never read.
        const std::string readPath = statusPath("r1") + (c.op == pick || c.op == create ? "" : "/patch");
        std::vector<Answer> reads;
        for (const auto& body : c.statuses)
            reads.push_back({body == failed ? 500 : 200, seal(body)});
        h.routes.on(readPath, reads);
        std::string result;
        const std::string ended = outcome([&] {
            if (c.op == pick) result = returned(h.client->pickItem());
            else if (c.op == create) result = returned(h.client->createItem(TessaroItemKind::login, {}));
            else h.client->updateItem("i1", "v1", {{TessaroField::password, "x"}});
        });
        EXPECT_EQ(ended == "ok" ? result : ended, c.outcome);
        EXPECT_EQ(h.switcher->opened().size(), c.reports.empty() ? 0u : 1u);
        EXPECT_EQ(h.requestsTo(readPath).size(), c.statuses.size());
        std::string reports;
        for (const auto& value : h.waiting->all())
            reports += value ? '+' : '-';
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(h.registrations(), Registrations{});
        EXPECT_EQ(h.cancels("r1"), 0u);
        EXPECT_TRUE(h.stored("refresh_token"));  // nothing lost
    }
}

// The 150 consecutive transport failures a wait tolerates, counted afresh after each success.
TEST(RequestRunner, NetworkFailureBudget) {
    const struct {
        const char* name;
        std::vector<int> failuresBetweenReads;  // failures before each successful read
        std::string outcome;
    } cases[] = {
        {"150 failures, then completed", {150}, "ok"},
        {"the 151st failure", {151}, "expired"},
        {"a success between two runs of 100", {100, 100}, "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestHarness h(0.001);
        h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}});
        // Each run of failures comes before a read: the last read completes, each other one arms the next run.
        const auto& runs = c.failuresBetweenReads;
        std::vector<Answer> reads;
        for (std::size_t i = 1; i < runs.size(); ++i)
            reads.push_back(
                {200, statusBody("r1", "pending"), [&h, n = runs[i]] { h.transport->failNext(statusPath("r1"), n); }});
        reads.push_back({200, h.completed("r1")});
        h.routes.on(statusPath("r1"), reads);
        h.transport->failNext(statusPath("r1"), runs[0]);
        EXPECT_EQ(outcome([&] { h.client->pickItem(); }), c.outcome);
        EXPECT_EQ(h.reads("r1"), c.outcome == "ok" ? c.failuresBetweenReads.size() : 0u);
        EXPECT_EQ(h.registrations(), Registrations{});
    }
}

// ---- what wakes a wait, and what ends it from outside ----

// The launch URL carries the request's four items in order; the waiting value, its status. Then a
// callback, the foreground or a retry wakes the wait: the poll interval is far beyond the test's
// bound.
TEST(RequestRunner, CallbacksForegroundAndRetryWakeTheWaitEarly) {
    // What wakes it: "foreground", "retry", or the query of a callback URL (its state added); the
    // outcome (after one status read when it is "ok").
    const std::pair<std::string, std::string> cases[] = {
        {"tq=request&request_id=r1&status=denied", "ok"},  // wakes; the server decides
        {"foreground", "ok"},
        {"retry", "ok"},
        {"tq=request&error=access_denied", "denied"},
        {"tq=request&error=not_signed_in", "notSignedIn"},
        {"tq=request&error=app_crashed", "protocol:app_crashed"},
    };
    for (const auto& [wake, expected] : cases) {
        SCOPED_TRACE(wake);
        RequestHarness h(3600);
        h.routes.on(requestsPath,
                    {{200, statusBody("r1", "pending",
                                      {{"op", "pick_item"}, {"waiting_on", "user"}, {"waiting_reason", "pick"}})}});
        h.routes.on(statusPath("r1"), {{200, h.completed("r1")}});
        auto pick = launch([&] { h.client->pickItem(); });
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        const std::string opened = h.switcher->opened()[0], state = queryItem(*URL::parse(opened), "state");
        EXPECT_TRUE(std::regex_match(opened, std::regex("tessaro://request\\?id=r1&client_id=pmc_test&redirect_uri="
                                                        "tessarotest%3A%2F%2Ftessaro%2Fcallback&state=[\\w-]{32}")))
            << opened;
        EXPECT_EQ(h.waiting->all().at(0),
                  TessaroWaiting(TessaroWaiting::Phase::request("pick_item"), "r1", "user", "pick"));
        if (wake == "foreground") h.switcher->comeToForeground();
        else if (wake == "retry") h.client->retryOpen();
        else h.client->handleCallback(*URL::parse("tessarotest://tessaro/callback?" + wake + "&state=" + state));
        EXPECT_EQ(finished(pick), expected);
        EXPECT_EQ(h.reads("r1"), expected == "ok" ? 1u : 0u);
        EXPECT_EQ(h.cancels("r1"), 0u);
        EXPECT_EQ(h.registrations(), Registrations{});
        // The wait's handlers are gone: a late callback of the flow is not taken.
        EXPECT_FALSE(h.client->handleCallback(*URL::parse("tessarotest://tessaro/callback?tq=request&state=" + state)));
    }
}

// A wake-up that arrives while the status is being read is kept for the next wait, which then
// returns at once instead of sleeping out the interval.
TEST(RequestRunner, AWakeDuringAStatusReadIsNotLost) {
    RequestHarness h(3600);
    h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}});
    std::string state;
    h.routes.on(
        statusPath("r1"),
        {{200, statusBody("r1", "pending"),
          [&] { h.client->handleCallback(*URL::parse("tessarotest://tessaro/callback?tq=request&state=" + state)); }},
         {200, h.completed("r1")}});
    auto pick = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    state = queryItem(*URL::parse(h.switcher->opened()[0]), "state");
    h.switcher->comeToForeground();  // the first read
    EXPECT_EQ(finished(pick), "ok");
    EXPECT_EQ(h.reads("r1"), 2u);
}

TEST(RequestRunner, CancellingTellsTheServerInTheBackgroundWhenItCan) {
    // When the client is dropped right after, its end waits for the cancel.
    enum Way { cancelPending, aStopRequest, aStopWhileOpening, noAccessTokenStored, theClientDroppedRightAfter };
    for (const Way way :
         {cancelPending, aStopRequest, aStopWhileOpening, noAccessTokenStored, theClientDroppedRightAfter}) {
        SCOPED_TRACE(way);
        RequestHarness h(3600);
        Hold hold;  // the cancel's answer: the caller does not wait for it
        h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}});
        h.routes.on(statusPath("r1") + "/cancel", {hold.around({200, "{}"})});
        std::stop_source stop;
        if (way == aStopWhileOpening) {
            // A switcher stopped before its launch began throws cancelled.
            h.switcher->setOnOpen([&](const URL&) {
                stop.request_stop();
                throw TessaroError::cancelled();
            });
        }
        auto pick = launch([&] { h.client->pickItem({}, std::nullopt, std::nullopt, stop.get_token()); });
        ASSERT_TRUE(h.switcher->waitForOpens(1));
        if (way == noAccessTokenStored) h.store->remove("access_token");
        if (way == aStopRequest) {
            stop.request_stop();
        } else if (way != aStopWhileOpening) {
            h.client->cancelPending();
        }
        EXPECT_EQ(finished(pick), "cancelled");
        EXPECT_EQ(h.registrations(), Registrations{});
        if (way == theClientDroppedRightAfter) {
            auto drop = launch([&] {
                h.waiting.reset();
                h.client.reset();
            });
            // Not over while the cancel is unanswered (a drop that returns at once left the cancel
            // holding the client, which then ends on the cancel's own thread).
            EXPECT_EQ(drop.wait_for(100ms), std::future_status::timeout);
            hold.release();
            EXPECT_EQ(finished(drop), "ok");
        } else {
            hold.release();
            EXPECT_TRUE(h.client->drain(waitLimit));
        }
        EXPECT_EQ(h.cancels("r1"), way == noAccessTokenStored ? 0u : 1u);
        EXPECT_EQ(h.reads("r1"), 0u);
    }
}

// The server cancel reads the stored credentials on its own thread: a store that takes its time (an
// unlock prompt) does not hold up the cancelled caller.
TEST(RequestRunner, ACancelDoesNotWaitForTheStore) {
    auto store = std::make_shared<ScriptedStore>();
    RequestHarness h(3600, store);
    h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}});
    h.routes.on(statusPath("r1") + "/cancel", {{200, "{}"}});
    auto pick = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    store->pauseNextLoad();
    h.client->cancelPending();
    ASSERT_EQ(pick.wait_for(2s), std::future_status::ready) << "the caller waited for the store";
    EXPECT_EQ(pick.get(), "cancelled");
    EXPECT_TRUE(store->waitPaused());
    store->resume();
    EXPECT_TRUE(h.client->drain(waitLimit));
    EXPECT_EQ(h.cancels("r1"), 1u);
}

TEST(RequestRunner, ASwitchFailureLeavesNoFlowAndDoesNotRestoreTheOneItReplaced) {
    RequestHarness h(3600);
    h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}, {200, statusBody("r2", "pending")}});
    h.routes.on(statusPath("r1"), {{200, h.completed("r1")}});
    auto first = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));

    h.switcher->setOnOpen([](const URL&) { throw TessaroError::notInstalled(download()); });
    h.waiting->values.clear();
    EXPECT_EQ(outcome([&] { h.client->pickItem(); }), "notInstalled");
    const auto reports = h.waiting->all();
    EXPECT_TRUE(reports.size() == 2 && reports[0] && !reports[1]);  // the failed wait's report, then none
    EXPECT_EQ(h.registrations(), (Registrations{1, 1, ""}));        // the first wait's, and no current flow
    EXPECT_EQ(h.cancels("r2"), 0u);

    // The first wait goes on and ends by itself.
    h.switcher->comeToForeground();
    EXPECT_EQ(finished(first), "ok");
    EXPECT_EQ(h.registrations(), Registrations{});
}

TEST(RequestRunner, OverlappingWaitsEachEndOnTheirOwn) {
    RequestHarness h(3600);
    h.routes.on(requestsPath, {{200, statusBody("rA", "pending")}, {200, statusBody("rB", "pending")}});
    h.routes.on(statusPath("rA"), {{200, h.completed("rA")}});
    h.routes.on(statusPath("rB"), {{200, statusBody("rB", "pending")}});
    auto first = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    auto second = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(2));
    const std::string secondState = queryItem(*URL::parse(h.switcher->opened()[1]), "state");
    ASSERT_TRUE(eventually([&] { return h.registrations() == Registrations{2, 2, secondState}; }));

    // The first ends; its cleanup leaves the second current.
    h.client->handleCallback(*URL::parse("tessarotest://tessaro/callback?tq=request&state=" +
                                         queryItem(*URL::parse(h.switcher->opened()[0]), "state")));
    EXPECT_EQ(finished(first), "ok");
    EXPECT_EQ(h.registrations(), (Registrations{1, 1, secondState}));

    // Cancelling acts on the current (second) flow only.
    h.client->cancelPending();
    EXPECT_EQ(finished(second), "cancelled");
    EXPECT_TRUE(h.client->drain(waitLimit));
    EXPECT_EQ(h.cancels("rB"), 1u);
    EXPECT_EQ(h.cancels("rA"), 0u);
    EXPECT_EQ(h.registrations(), Registrations{});
}

// ---- a stop request ----

// Whatever step an operation is in when its stop is requested (a server call in flight, a wait for
// the refresh gate or for another process's refresh lock), it ends with cancelled, and at once:
// nothing waits for the held answer. (A stop during a token request: TessaroClientTokens.)
TEST(Cancellation, AStopInAnyStepEndsWithCancelled) {
    enum Step { creating, uploading, readingAccount, revoking, atTheRefreshGate, atAnotherProcesssRefreshLock };
    // Whose answer is held while the stop is requested; at the gate, another caller's refresh.
    const std::string held[] = {requestsPath, statusPath("r1") + "/patch", accountPath, revokePath, tokenPath};
    for (const Step step :
         {creating, uploading, readingAccount, revoking, atTheRefreshGate, atAnotherProcesssRefreshLock}) {
        SCOPED_TRACE(step);
        const std::string lockName = tessaro::testing::uniqueClientID("stop");
        RequestHarness h(0.05, std::make_shared<ScriptedStore>(lockName));
        Hold hold;
        if (step >= atTheRefreshGate) h.seed("at-1", -5, "rt-1");  // the operation refreshes first
        if (step == readingAccount) h.store->remove("account_identity_public_key");
        h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}});
        if (step != atAnotherProcesssRefreshLock) h.routes.on(held[step], {hold.around({})});
        std::optional<detail::ProcessLock> otherProcess;
        if (step == atAnotherProcesssRefreshLock) otherProcess = detail::ProcessLock::acquire(lockName, {});
        std::future<std::string> other;
        if (step == atTheRefreshGate) {
            other = launch([&] { h.callAccount(); });
            ASSERT_TRUE(hold.waitArrived());
        }

        std::stop_source source;
        auto operation = launch([&, stop = source.get_token()] {
            if (step == revoking) return h.client->revoke(stop);
            if (step == uploading || step == readingAccount)
                return (void)h.client->updateItem("i1", "v1", {{TessaroField::password, "x"}}, std::nullopt, stop);
            h.client->pickItem({}, std::nullopt, std::nullopt, stop);
        });
        if (step < atTheRefreshGate) {
            ASSERT_TRUE(hold.waitArrived());
        } else {
            std::this_thread::sleep_for(100ms);  // at the gate or the lock by now (or soon: a stop wins either way)
        }
        source.request_stop();
        EXPECT_EQ(finished(operation), "cancelled");  // while the answer is still held
        hold.release();
        otherProcess.reset();
        if (other.valid()) finished(other);
        EXPECT_TRUE(h.client->drain(waitLimit));
    }
}

// ---- item operations: bodies, vault choice, sealing ----

// The arguments as they reach the body (the bodies' own layout: the API's tests), and the vault a
// create without one goes to: the first writable one.
TEST(ItemOperations, BodiesAsSent) {
    RequestHarness h;
    h.routes.on(requestsPath, {{200, h.completed("r1")}});
    h.client->pickItem(TessaroHint{.url = "https://bank.example/"}, "", "v1");
    h.client->getItem("i1", "v2");
    h.client->createItem(TessaroItemKind::login, {});
    h.client->createItem(TessaroItemKind::login, TessaroPrefill{.title = "T"}, "y", "v0");
    json bodies = json::array();
    for (const auto& request : h.requestsTo(requestsPath))
        bodies.push_back(bodyOf(request));
    EXPECT_EQ(bodies, json::parse(R"([
        {"op":"pick_item","vault_id":"v1","hint":{"url":"https://bank.example/"},"reason":""},
        {"op":"get_item","vault_id":"v2","item_id":"i1"},
        {"op":"create_item","vault_id":"v1","kind":"login","prefill":{}},
        {"op":"create_item","vault_id":"v0","kind":"login","prefill":{"title":"T"},"reason":"y"}])"));
}

// Text that is not UTF-8 is refused wherever it is given (a command line's raw bytes, say), and so
// is what no session or vault allows.
TEST(ItemOperations, RefusedBeforeAnythingIsSent) {
    RequestHarness h;
    auto& c = *h.client;
    const auto pw = TessaroField::password;
    const std::string invalid = "protocol:invalid_input";
    EXPECT_EQ(outcome([&] { c.updateItem("i1", "v1", {{pw, "\xff"}}); }), "protocol:invalid_patch");
    EXPECT_EQ(outcome([&] { c.updateItem("i1", "v1", {{TessaroField("\xc3"), "x"}}); }), "protocol:invalid_patch");
    EXPECT_EQ(outcome([&] { c.updateItem("i1", "v\x80", {{pw, "x"}}); }), invalid);
    EXPECT_EQ(outcome([&] { c.pickItem(TessaroHint{.url = "https://b\xe4nk.example"}); }), invalid);
    EXPECT_EQ(outcome([&] { c.pickItem({}, "\xff"); }), invalid);
    EXPECT_EQ(outcome([&] { c.getItem("i\xc3", "v1"); }), invalid);
    EXPECT_EQ(outcome([&] { c.createItem(TessaroItemKind::login, {.extraHint = {{"pin", "\xfe"}}}); }), invalid);

    h.session->vaults = {{.id = "v0", .mode = 2}, {.id = "v9", .mode = 0}};  // none writable
    detail::saveSession(*h.store, *h.session);
    EXPECT_EQ(outcome([&] { c.createItem(TessaroItemKind::login, {}); }), "protocol:no_granted_vault");

    h.store->deleteAll();
    EXPECT_EQ(outcome([&] { c.updateItem("i1", "v1", {}); }), "protocol:empty_patch");
    EXPECT_EQ(outcome([&] { c.pickItem(); }), "notAuthorized");
    EXPECT_EQ(outcome([&] { c.createItem(TessaroItemKind::login, {}); }), "notAuthorized");
    EXPECT_EQ(outcome([&] { c.updateItem("i1", "v1", {{pw, "x"}}); }), "notAuthorized");
    EXPECT_TRUE(h.server.requests().empty());
}

TEST(ItemOperations, AnUpdateSealsThePatchToTheIdentityKeyReadOnce) {
    RequestHarness h;
    h.store->remove("account_identity_public_key");
    h.routes.on(accountPath,
                {{200, json{{"account_id", "acct"}, {"identity_public_key", h.identity.publicKeyBase64URL()}}.dump()}});
    h.routes.on(requestsPath, {{200, statusBody("r1", "pending")}, {200, statusBody("r2", "pending")}});
    h.routes.on(statusPath("r1") + "/patch", {{200, statusBody("r1", "pending")}});
    h.routes.on(statusPath("r1"),
                {{200, statusBody("r1", "completed", {{"updated_item", {{"id", "i1"}, {"revision", 8}}}})}});
    h.routes.on(statusPath("r2") + "/patch",
                {{200, statusBody("r2", "completed", {{"updated_item", {{"id", "i1"}}}})}});

    const TessaroClient::Patch patch = {{TessaroField::title, "T\"itle/\n"}, {TessaroField::password, "pässword"}};
    EXPECT_EQ(h.client->updateItem("i1", "v1", patch, "rotate"), (TessaroUpdated{"r1", "i1", 8}));
    EXPECT_EQ(h.stored("account_identity_public_key"), h.identity.publicKeyBase64URL());
    // The second update: no account read, revision 0 when the status names none, no wait at all
    // when the upload's answer is already final.
    EXPECT_EQ(h.client->updateItem("i1", "v1", {{TessaroField::password, "x"}}), (TessaroUpdated{"r2", "i1", 0}));
    EXPECT_EQ(h.requestsTo(accountPath).size(), 1u);
    EXPECT_EQ(h.switcher->opened().size(), 1u);

    // The field names only, never a value.
    EXPECT_EQ(bodyOf(h.requestsTo(requestsPath).at(0)),
              json::parse(R"({"op":"update_item","vault_id":"v1","item_id":"i1",
                                               "fields":["password","title"],"reason":"rotate"})"));
    const std::string sealed = bodyOf(h.requestsTo(statusPath("r1") + "/patch").at(0)).at("patch_enc");
    const SecureBytes plaintext = TessaroCrypto::open(sealed, "password-manager/oauth-patch/v1/g1/r1", h.identity);
    EXPECT_EQ(plaintext.view(), R"({"patch":{"password":"pässword","title":"T\"itle/\n"}})");
    EXPECT_THROW(TessaroCrypto::open(sealed, "password-manager/oauth-patch/v1/g1/r2", h.identity), std::exception);
}

// ---- results: reading ----

// An item's revision: a whole number or the decimal text of one in 64 bits; anything else is 0. A
// result without an item object that has a string ID is malformed.
TEST(ItemPayloads, ResultItemsAndTheirRevisions) {
    using Limits = std::numeric_limits<std::int64_t>;
    // Each revision read, and the "revision" members read as it (none: no member).
    const std::pair<std::int64_t, std::vector<const char*>> cases[] = {
        {7, {"7", R"("7")", "7.0"}},
        {-2, {R"("-2")"}},
        {5, {R"("+5")"}},
        {Limits::max(), {R"("9223372036854775807")"}},
        {Limits::min(), {R"("-9223372036854775808")"}},
        {0,
         {R"("9223372036854775808")", R"("7a")", R"("")", R"("-")", R"("+-5")", R"(" 7")", "7.5",
          "18446744073709551615", "true", nullptr}},
    };
    for (const auto& [revision, members] : cases) {
        for (const char* member : members) {
            const std::string text = std::string(R"({"other":1,"item":{"id":"i1")") +
                                     (member ? std::string(",\"revision\":") + member : "") + "}}";
            SCOPED_TRACE(text);
            const TessaroItem item = detail::readItemResult(SecureBytes(Bytes(text.begin(), text.end())));
            EXPECT_EQ(item.id, "i1");
            EXPECT_EQ(item.revision, revision);
            EXPECT_EQ(item.record, TessaroRecord::fromJSON(json::object()));
        }
    }
    for (const std::string text : {"item", "[]", R"({"id":"i1"})", R"({"item":"i1"})", R"({"item":{"id":1}})"}) {
        EXPECT_EQ(outcome([&] { (void)detail::readItemResult(SecureBytes(Bytes(text.begin(), text.end()))); }),
                  "protocol:result_malformed")
            << text;
    }
}

// The patch plaintext is written by hand (so that no copy of a value is left behind); it must be
// exactly what the kit's JSON writer makes of the same object.
TEST(ItemPayloads, PatchPlaintextIsTheWritersJSON) {
    const std::vector<TessaroClient::Patch> patches = {
        {{TessaroField::password, "p"}},
        {{TessaroField::title, "a/b \"q\" \\ é 中"},
         {TessaroField::notes, std::string("\b\f\n\r\t\x01\x1f\x7f", 8)},
         {TessaroField("zz"), ""},
         {TessaroField("Z"), std::string("nul\0in", 6)}},
    };
    for (const auto& patch : patches) {
        json object = json::object();
        for (const auto& [field, value] : patch)
            object[field.rawValue()] = value;
        const auto plaintext = detail::patchPlaintext(patch);
        ASSERT_TRUE(plaintext);
        EXPECT_EQ(plaintext->view(), TessaroAPI::writeJSON(json{{"patch", object}}));
    }
    EXPECT_FALSE(detail::patchPlaintext({{TessaroField::password, "\xed\xa0\x80"}}));  // a surrogate
}

}  // namespace
}  // namespace tessaro

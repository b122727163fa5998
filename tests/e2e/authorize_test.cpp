// Authorization end to end: the client opens the sandbox's simulated user, which calls the host
// back; the host hands the callback to the client, which exchanges the code over loopback HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <tessaro/stores/memory_store.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {
namespace {

using sandbox::Policy;
using Code = TessaroError::Code;

std::vector<std::string> vaultIDs(const std::vector<TessaroVault>& vaults) {
    std::vector<std::string> ids;
    for (const auto& vault : vaults)
        ids.push_back(vault.id);
    return ids;
}

Policy policyOf(Policy::Decision decision) {
    Policy policy;
    policy.decision = decision;
    return policy;
}

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The consent wait, then no wait: what the host must see around every authorization, whatever
// its outcome.
void expectConsentThenNothing(const std::vector<std::optional<TessaroWaiting>>& values, double before, double after,
                              double timeout) {
    ASSERT_EQ(values.size(), 2u);
    ASSERT_TRUE(values[0].has_value());
    EXPECT_TRUE(values[0]->phase.isAuthorize());
    EXPECT_EQ(values[0]->requestID, std::nullopt);
    EXPECT_EQ(values[0]->waitingOn, "user");
    EXPECT_EQ(values[0]->waitingReason, "consent");
    ASSERT_TRUE(values[0]->expiresAt.has_value());
    const double expires = secondsSince1970(*values[0]->expiresAt);
    EXPECT_GE(expires, before + timeout - 1);
    EXPECT_LE(expires, after + timeout + 1);
    EXPECT_FALSE(values[1].has_value());
}

TEST(Authorize, ApprovedGrantIsStoredReportedAndAcceptedByTheServer) {
    Environment env;
    auto store = std::make_shared<TessaroMemoryStore>();
    WaitingLog waiting;
    auto client = env.client(store, 60);
    client->setOnWaiting(waiting.handler());
    ASSERT_FALSE(client->isAuthorized());
    ASSERT_EQ(client->grant(), std::nullopt);

    const double before = secondsNow();
    const TessaroGrant grant = client->authorize();
    const double after = secondsNow();

    EXPECT_TRUE(client->isAuthorized());
    EXPECT_EQ(client->grant(), grant);
    EXPECT_TRUE(grant.grantID.starts_with("grt_")) << grant.grantID;
    EXPECT_EQ(grant.accountID, "acct_demo");
    EXPECT_EQ(vaultIDs(grant.vaults), (std::vector<std::string>{"vlt_family", "vlt_personal"}));
    EXPECT_EQ(grant.approvalKeyFingerprint.size(), 16u);
    expectConsentThenNothing(waiting.values(), before, after, 60);

    // One launch URL, accepted; one callback, taken; one code exchange.
    EXPECT_EQ(env.switcher()->opened().size(), 1u);
    EXPECT_TRUE(env.switcher()->refusals().empty());
    const auto delivered = env.router().delivered();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0].second);
    EXPECT_EQ(env.proxy().count("POST", "/api/oauth/token", "authorization_code"), 1u);
    // The same callback once more finds no flow waiting for it.
    EXPECT_FALSE(client->handleCallback(*URL::parse(delivered[0].first)));

    // What was stored is what the server issued: its token and approval key sign a call the server
    // accepts for the same account.
    const auto account = client->api()->account(credentialsOf(snapshot(*store)));
    EXPECT_EQ(account.accountID, grant.accountID);
    EXPECT_EQ(account.identityPublicKey, env.sandbox().identityPublicKey());
}

enum class Ending { userAnswers, cancelPending, stopRequest };

struct FailureCase {
    const char* name;
    Policy::Decision decision;
    bool installed;
    Ending ending;
    bool shortTimeout;  // the client that gives the user one second
    Code expected;
};

const FailureCase failureCases[] = {
    {"the user refuses", Policy::Decision::deny, true, Ending::userAnswers, false, Code::denied},
    {"the user is not signed in", Policy::Decision::notSignedIn, true, Ending::userAnswers, false, Code::notSignedIn},
    {"nobody answers before the timeout", Policy::Decision::never, true, Ending::userAnswers, true, Code::expired},
    {"the application is not installed", Policy::Decision::approve, false, Ending::userAnswers, false,
     Code::notInstalled},
    {"cancelPending from another thread", Policy::Decision::never, true, Ending::cancelPending, false, Code::cancelled},
    {"a stop request on the caller's token", Policy::Decision::never, true, Ending::stopRequest, false,
     Code::cancelled},
};

// Every way an authorization can fail, each on a store that already holds a grant: the failure is
// reported, the wait is over for the host, and the earlier grant stays stored and usable.
TEST(Authorize, FailuresEndTheWaitAndLeaveTheEarlierGrantUsable) {
    Environment env;
    auto store = std::make_shared<TessaroMemoryStore>();
    // Two clients on one store: the session lives in the store, not in either client.
    auto patient = env.client(store, 60);
    auto hasty = env.client(store, 1);
    const TessaroGrant earlier = patient->authorize();
    const Snapshot stored = snapshot(*store);

    for (const auto& c : failureCases) {
        SCOPED_TRACE(c.name);
        auto& client = c.shortTimeout ? hasty : patient;
        env.sandbox().setPolicy(policyOf(c.decision));
        env.switcher()->setInstalled(c.installed);
        WaitingLog waiting;
        client->setOnWaiting(waiting.handler());
        const std::size_t opens = env.switcher()->opened().size();

        std::stop_source stop;
        std::optional<TessaroError> error;
        const double before = secondsNow();
        std::thread caller([&] { error = errorOf([&] { client->authorize(stop.get_token()); }); });
        if (c.ending != Ending::userAnswers) {
            // Once the application has been opened, the flow is registered and waiting.
            EXPECT_TRUE(env.switcher()->waitForOpens(opens + 1));
            if (c.ending == Ending::cancelPending) client->cancelPending();
            if (c.ending == Ending::stopRequest) stop.request_stop();
        }
        caller.join();
        const double after = secondsNow();
        client->setOnWaiting(nullptr);

        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(codeName(error->code()), codeName(c.expected));
        if (c.expected == Code::notInstalled) {
            EXPECT_EQ(error->downloadURL(), client->configuration().downloadURL);
        }
        expectConsentThenNothing(waiting.values(), before, after, c.shortTimeout ? 1 : 60);
        // The flow is gone: nothing is left to re-open.
        const auto retry = errorOf([&] { client->retryOpen(); });
        ASSERT_TRUE(retry.has_value());
        EXPECT_EQ(retry->protocolCode(), "nothing_pending");

        // Nothing was exchanged or stored: the earlier grant is still the stored one.
        EXPECT_EQ(env.proxy().count("POST", "/api/oauth/token"), 1u);
        EXPECT_EQ(snapshot(*store), stored);
        EXPECT_EQ(client->grant(), earlier);
        EXPECT_TRUE(client->isAuthorized());
    }
    env.switcher()->setInstalled(true);
    EXPECT_TRUE(env.switcher()->refusals().empty());

    // And usable: the revocation goes out with the earlier grant's token and the server takes it.
    EXPECT_EQ(codeName(errorCodeOf([&] { patient->revoke(); })), codeName(std::nullopt));
    const auto seen = env.proxy().seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().path, "/api/oauth/revoke");
    EXPECT_EQ(seen.back().authorization, "Bearer " + stored.at("access_token"));
    EXPECT_EQ(seen.back().status, 200);
}

// retryOpen hands the very same URL (the same state) to the application again; when the user
// finally answers a re-opened URL, that answer completes the one waiting authorization, whose new
// grant replaces the earlier one entirely.
TEST(Authorize, RetryOpenReopensTheSameURLUntilTheUserAnswers) {
    Environment env;
    auto store = std::make_shared<TessaroMemoryStore>();
    auto client = env.client(store, 60);
    const auto idle = errorOf([&] { client->retryOpen(); });
    ASSERT_TRUE(idle.has_value());
    EXPECT_EQ(idle->protocolCode(), "nothing_pending");

    client->cancelPending();  // nothing to cancel: no effect on the next authorization
    const TessaroGrant earlier = client->authorize();
    const Snapshot earlierStored = snapshot(*store);
    env.sandbox().setPolicy(policyOf(Policy::Decision::never));

    std::optional<TessaroGrant> grant;
    std::optional<TessaroError> error;
    std::thread caller([&] { error = errorOf([&] { grant = client->authorize(); }); });
    EXPECT_TRUE(env.switcher()->waitForOpens(2));
    client->retryOpen();  // unanswered again
    EXPECT_TRUE(env.switcher()->waitForOpens(3));
    env.sandbox().setPolicy(policyOf(Policy::Decision::approve));
    client->retryOpen();
    caller.join();

    ASSERT_FALSE(error.has_value()) << error->what();
    ASSERT_TRUE(grant.has_value());
    const auto opened = env.switcher()->opened();
    ASSERT_EQ(opened.size(), 4u);
    EXPECT_NE(opened[1], opened[0]);  // a new authorization: a new state and new keys
    EXPECT_EQ(opened[2], opened[1]);
    EXPECT_EQ(opened[3], opened[1]);
    EXPECT_TRUE(env.switcher()->refusals().empty());

    EXPECT_EQ(client->grant(), grant);
    EXPECT_NE(grant->grantID, earlier.grantID);
    EXPECT_NE(grant->approvalKeyFingerprint, earlier.approvalKeyFingerprint);
    // No entry of the earlier grant is left.
    const Snapshot stored = snapshot(*store);
    for (const char* key : {"approval_seed", "seal_private_key", "grant_id", "access_token", "refresh_token"}) {
        ASSERT_TRUE(stored.contains(key) && earlierStored.contains(key)) << key;
        EXPECT_NE(stored.at(key), earlierStored.at(key)) << key;
    }
    EXPECT_EQ(stored.at("grant_id"), grant->grantID);
}

// Two authorizations at once: the later one is the current flow, so cancelPending ends it alone;
// the earlier one waits on until its own timeout.
TEST(Authorize, CancelPendingReachesOnlyTheLatestOfTwoAuthorizations) {
    Environment env;
    env.sandbox().setPolicy(policyOf(Policy::Decision::never));
    auto client = env.client(std::make_shared<TessaroMemoryStore>(), 3);

    std::mutex mutex;
    std::vector<std::pair<const char*, std::optional<TessaroError::Code>>> endings;
    const auto run = [&](const char* name) {
        const auto code = errorCodeOf([&] { client->authorize(); });
        std::lock_guard guard(mutex);
        endings.emplace_back(name, code);
    };
    std::thread earlier(run, "earlier");
    EXPECT_TRUE(env.switcher()->waitForOpens(1));
    std::thread later(run, "later");
    EXPECT_TRUE(env.switcher()->waitForOpens(2));
    client->cancelPending();
    later.join();
    earlier.join();

    ASSERT_EQ(endings.size(), 2u);
    EXPECT_STREQ(endings[0].first, "later");
    EXPECT_EQ(codeName(endings[0].second), codeName(Code::cancelled));
    EXPECT_STREQ(endings[1].first, "earlier");
    EXPECT_EQ(codeName(endings[1].second), codeName(Code::expired));
    EXPECT_FALSE(client->isAuthorized());
}

}  // namespace
}  // namespace tessaro::e2e

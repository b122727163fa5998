// One stored session shared through the desktop keyring by several clients and processes: what
// only the real keyring and two processes show. Refresh, rotation and revocation themselves are the
// client's unit tables and the sandbox's token tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <testing/temporary_directory.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {

namespace fs = std::filesystem;

namespace {

constexpr const char* originVariable = "TESSARO_E2E_ORIGIN";
constexpr const char* clientIDVariable = "TESSARO_E2E_CLIENT_ID";
constexpr const char* barrierVariable = "TESSARO_E2E_DIR";

// A child revoking the session of `clientID` through the proxy once `dir`/go exists.
std::unique_ptr<ChildProcess> revokingChild(Environment& env, const std::string& clientID, const fs::path& dir) {
    return std::make_unique<ChildProcess>(
        ChildMode{"revoke-shared-session"},
        testing::ChildOptions{.environment = {std::string(originVariable) + "=" + env.proxy().origin(),
                                              std::string(clientIDVariable) + "=" + clientID,
                                              std::string(barrierVariable) + "=" + dir.string()}});
}

// In a child: revokes the session stored for the client named in the environment, through the
// origin named there, starting when the parent says go.
int childRevokeSharedSession() {
    const char* origin = std::getenv(originVariable);
    const char* clientID = std::getenv(clientIDVariable);
    const char* directory = std::getenv(barrierVariable);
    if (!origin || !clientID || !directory) return 2;
    TessaroClient::Options options;
    options.store = std::make_shared<TessaroKeychain>(clientID);
    auto client = TessaroClient::create(
        {clientID, *URL::parse(demoRedirect), *URL::parse(origin), TessaroError::defaultDownloadURL()},
        std::move(options));
    std::cout << "ready" << std::endl;
    if (!eventually([&] { return fs::exists(fs::path(directory) / "go"); })) {
        std::cerr << "revoke child: no go from the parent\n";
        return 4;
    }
    try {
        client->revoke();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "revoke child: revoke() threw " << error.what() << "\n";
        return 1;
    }
}
const int childHook = testing::runChildMode("revoke-shared-session", childRevokeSharedSession);

// Two clients on new store objects (two threads, or two processes) find the same expired session
// in the keyring and revoke at once: the refresh token is presented once (the other client takes
// the tokens the first stored) and both succeed.
TEST(KeychainSession, TwoClientsRefreshingOneStoredSessionAtOncePresentTheRefreshTokenOnce) {
    testing::requirePrivateKeyring();
    if (HasFatalFailure()) return;
    for (const bool processes : {false, true}) {
        SCOPED_TRACE(processes ? "two processes" : "two clients in this process");
        Environment env;
        const std::string clientID = testing::uniqueRegisteredClientID("e2e");
        env.sandbox().registerClient({clientID, {demoRedirect}});
        testing::ScopedKeychain keychain(clientID);
        env.client(keychain.store, 2.0, clientID)->authorize();
        expireAccessToken(*keychain.store);
        const Snapshot stored = snapshot(*keychain.store);
        // Each revocation waits (bounded) for the other, so both clients are at it at once.
        env.proxy().setIntercept([arrived = std::make_shared<std::atomic<int>>(0)](const Seen& seen) {
            if (seen.path != "/api/oauth/revoke") return;
            ++*arrived;
            eventually([&] { return *arrived >= 2; });
        });

        if (processes) {
            testing::TemporaryDirectory dir("tessaro-e2e-shared-");
            const auto a = revokingChild(env, clientID, dir.path()), b = revokingChild(env, clientID, dir.path());
            EXPECT_TRUE(a->lineWith("ready", waitLimit) && b->lineWith("ready", waitLimit));
            std::ofstream(dir / "go");
            EXPECT_EQ(a->wait().status, 0) << a->err();
            EXPECT_EQ(b->wait().status, 0) << b->err();
        } else {
            const std::shared_ptr<TessaroClient> clients[] = {
                env.client(std::make_shared<TessaroKeychain>(clientID), 2.0, clientID),
                env.client(std::make_shared<TessaroKeychain>(clientID), 2.0, clientID)};
            std::optional<TessaroError> results[2];
            {
                std::jthread one([&] { results[0] = errorOf([&] { clients[0]->revoke(); }); });
                std::jthread two([&] { results[1] = errorOf([&] { clients[1]->revoke(); }); });
            }
            EXPECT_FALSE(results[0]);
            EXPECT_FALSE(results[1]);
        }

        EXPECT_EQ(env.proxy().count("POST", "/api/oauth/token", "refresh_token"), 1u);
        EXPECT_EQ(env.log().count("refresh_token_reused"), 0u);
        // Both revocations went out with the one refreshed token, signed with the approval key the
        // clients read: the server accepted at least one (a later one may find the grant revoked).
        std::vector<Seen> sent = env.proxy().seen();
        std::erase_if(sent, [](const Seen& seen) { return seen.path != "/api/oauth/revoke"; });
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].authorization, sent[1].authorization);
        EXPECT_NE(sent[0].authorization, "Bearer " + stored.at("access_token"));
        EXPECT_TRUE(sent[0].status == 200 || sent[1].status == 200);
        EXPECT_TRUE(snapshot(*keychain.store).empty());
    }
}

}  // namespace
}  // namespace tessaro::e2e

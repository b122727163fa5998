// One stored session shared through the desktop keyring by several clients and processes: what
// only the real keyring and two processes show. Refresh, rotation and revocation themselves are the
// client's unit tables and the sandbox's token tests.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {

namespace fs = std::filesystem;
using Code = TessaroError::Code;

namespace {

constexpr const char* originVariable = "TESSARO_E2E_ORIGIN";
constexpr const char* clientIDVariable = "TESSARO_E2E_CLIENT_ID";
constexpr const char* barrierVariable = "TESSARO_E2E_DIR";

// The Authorization header and answer of each request to `path`.
std::vector<std::pair<std::string, int>> sentTo(Proxy& proxy, const std::string& path) {
    std::vector<std::pair<std::string, int>> sent;
    for (const Seen& seen : proxy.seen()) {
        if (seen.path == path) sent.emplace_back(seen.authorization, seen.status);
    }
    return sent;
}

// Holds each revocation until `expected` of them have arrived (or the wait limit passed), then
// forwards them all: no client wipes the shared session before every client has sent its own.
Proxy::Intercept holdRevocationsUntil(int expected) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable arrived;
        int count = 0;
    };
    auto gate = std::make_shared<Gate>();
    return [gate, expected](const Seen& seen) -> std::optional<int> {
        if (seen.path != "/api/oauth/revoke") return std::nullopt;
        std::unique_lock guard(gate->mutex);
        ++gate->count;
        gate->arrived.notify_all();
        gate->arrived.wait_for(guard, waitLimit, [&] { return gate->count >= expected; });
        return std::nullopt;
    };
}

using Keychain = testing::ScopedKeychain;

// ---- one session, several clients ----

}  // namespace

// In a child: revokes the session stored for the client named in the environment, through the
// origin named there, starting when the parent says go.
int childRevokeSharedSession() {
    const char* origin = std::getenv(originVariable);
    const char* clientID = std::getenv(clientIDVariable);
    const char* directory = std::getenv(barrierVariable);
    if (!origin || !clientID || !directory) return 2;
    auto store = std::make_shared<TessaroKeychain>(clientID);
    TessaroClient::Options options;
    options.store = store;
    auto client = TessaroClient::create(
        {clientID, *URL::parse(demoRedirect), *URL::parse(origin), TessaroError::defaultDownloadURL()},
        std::move(options));
    std::ofstream(fs::path(directory) / ("ready-" + std::to_string(::getpid())));
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

namespace {

struct SharedCase {
    const char* name;
    bool processes;  // two child processes; otherwise two clients on two threads of this process
};

// Two clients find the same expired session in the keyring and revoke at once: the refresh token
// is presented once (the other client takes the tokens the first stored) and both succeed.
TEST(KeychainSession, TwoClientsRefreshingOneStoredSessionAtOncePresentTheRefreshTokenOnce) {
    testing::requirePrivateKeyring();
    if (HasFatalFailure()) return;
    for (const auto& c : {SharedCase{"two clients in this process", false}, SharedCase{"two processes", true}}) {
        SCOPED_TRACE(c.name);
        Environment env;
        const std::string clientID = env.registerUniqueClient();
        Keychain keychain(clientID);
        {
            auto client = env.client(keychain.store, 60, clientID);
            client->authorize();
        }
        expireAccessToken(*keychain.store);
        const Snapshot stored = snapshot(*keychain.store);
        env.proxy().setIntercept(holdRevocationsUntil(2));

        if (c.processes) {
            char pattern[] = "/tmp/tessaro-e2e-shared-XXXXXX";
            ASSERT_NE(::mkdtemp(pattern), nullptr);
            const fs::path dir = pattern;
            const std::vector<std::string> environment = {std::string(originVariable) + "=" + env.proxy().origin(),
                                                          std::string(clientIDVariable) + "=" + clientID,
                                                          std::string(barrierVariable) + "=" + dir.string()};
            ChildProcess a(ChildMode{"revoke-shared-session"}, {.environment = environment});
            ChildProcess b(ChildMode{"revoke-shared-session"}, {.environment = environment});
            const auto ready = [&] {
                int count = 0;
                for (const auto& entry : fs::directory_iterator(dir))
                    count += entry.path().filename().string().starts_with("ready-");
                return count;
            };
            EXPECT_TRUE(eventually([&] { return ready() == 2; }));
            std::ofstream(dir / "go");
            EXPECT_EQ(a.wait().status, 0) << a.err();
            EXPECT_EQ(b.wait().status, 0) << b.err();
            fs::remove_all(dir);
        } else {
            std::vector<std::shared_ptr<TessaroClient>> clients;
            for (int i = 0; i < 2; ++i)
                clients.push_back(env.client(std::make_shared<TessaroKeychain>(clientID), 60, clientID));
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
        // Both revocations went out with the one refreshed token, signed with the approval key
        // that clients on new store objects read: the server accepted the first (the second finds
        // the grant revoked).
        const auto sent = sentTo(env.proxy(), "/api/oauth/revoke");
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].first, sent[1].first);
        EXPECT_TRUE(sent[0].second == 200 || sent[1].second == 200);
        EXPECT_NE(sent[0].first, "Bearer " + stored.at("access_token"));
        EXPECT_TRUE(snapshot(*keychain.store).empty());
    }
}

// Holds every refresh (a token request with grant_type refresh_token) until release(), forwarding
// the rest at once.
class RefreshHold {
public:
    Proxy::Intercept intercept() {
        return [state = state_](const Seen& seen) -> std::optional<int> {
            if (seen.grantType != "refresh_token") return std::nullopt;
            std::unique_lock guard(state->mutex);
            state->arrived = true;
            state->changed.notify_all();
            state->changed.wait_for(guard, waitLimit, [&] { return state->released; });
            return std::nullopt;
        };
    }
    bool waitArrived() {
        std::unique_lock guard(state_->mutex);
        return state_->changed.wait_for(guard, waitLimit, [&] { return state_->arrived; });
    }
    void release() {
        std::lock_guard guard(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }
    ~RefreshHold() { release(); }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool arrived = false;
        bool released = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Another process refreshes the stored grant (to revoke it) while this one authorizes a new grant:
// the other process's tokens and wipe were for the old grant, so the new one stays whole and usable.
TEST(KeychainSession, AnotherProcessRefreshingTheOldGrantLeavesANewAuthorizationWhole) {
    testing::requirePrivateKeyring();
    if (HasFatalFailure()) return;
    Environment env;
    const std::string clientID = env.registerUniqueClient();
    Keychain keychain(clientID);
    auto client = env.client(keychain.store, 60, clientID);
    const TessaroGrant old = client->authorize();
    expireAccessToken(*keychain.store);
    RefreshHold hold;
    env.proxy().setIntercept(hold.intercept());

    char pattern[] = "/tmp/tessaro-e2e-mixed-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    ChildProcess other(ChildMode{"revoke-shared-session"},
                       {.environment = {std::string(originVariable) + "=" + env.proxy().origin(),
                                        std::string(clientIDVariable) + "=" + clientID,
                                        std::string(barrierVariable) + "=" + dir.string()}});
    std::ofstream(dir / "go");
    ASSERT_TRUE(hold.waitArrived()) << "the other process sent no refresh";

    const TessaroGrant fresh = client->authorize();
    EXPECT_NE(fresh.grantID, old.grantID);
    hold.release();
    EXPECT_EQ(other.wait().status, 0) << other.err();
    fs::remove_all(dir);

    EXPECT_EQ(client->grant(), fresh);
    EXPECT_EQ(client->pickItem(TessaroHint{.url = "https://bank.example"}).id, "itm_bank");
}

}  // namespace
}  // namespace tessaro::e2e

#pragma once
// What the client's unit tests share: a loopback server with scripted answers per path, a switcher
// that records what it opens, a client on a memory store with a seeded session, and a log of
// onWaiting values.

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <testing/eventually.hpp>
#include <tessaro/api/http_transport.hpp>
#include <tessaro/api/testing/test_server.hpp>
#include <tessaro/client/internal/client_internals.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/testing/outcomes.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/crypto/keys.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/stores/testing/scripted_store.hpp>

namespace tessaro::testing::client {

using tessaro::testing::eventually;
using namespace std::chrono_literals;
using detail::ClientInternals;
using detail::Session;
using tessaro::testing::TestServer;
using tessaro::testing::waitLimit;

inline constexpr const char* tokenPath = "/api/oauth/token";
inline constexpr const char* accountPath = "/api/oauth/account";
inline constexpr const char* revokePath = "/api/oauth/revoke";

inline const URL& redirect() {
    static const URL url = *URL::parse("tessarotest://tessaro/callback");
    return url;
}
inline const URL& download() {
    static const URL url = *URL::parse("https://download.example/app");
    return url;
}

inline double nowSeconds() { return secondsSince1970(Timestamp(std::chrono::system_clock::now())); }

inline std::string tokenBody(const std::string& access, std::optional<std::string> refresh = {},
                             std::optional<std::string> identity = {}, const std::string& grant = "g1") {
    nlohmann::json body{{"access_token", access}, {"expires_in", 3600}, {"grant_id", grant}, {"account_id", "acct"}};
    if (refresh) body["refresh_token"] = *refresh;
    if (identity) body["account_identity_public_key"] = *identity;
    return body.dump();
}
inline const std::string accountBody = R"({"account_id":"acct","identity_public_key":"ipk","vaults":[]})";

struct Answer {
    int status = 200;
    std::string body = "{}";
    // Runs on the server's thread before the answer goes out (the request is then in flight).
    std::function<void()> before{};
};

// Scripted answers per path, taken in order; the last one of a path repeats. Unknown paths: 404.
class Routes {
public:
    explicit Routes(TestServer& server) {
        server.respond([state = state_](const httplib::Request& request, httplib::Response& response) {
            Answer answer{404, R"({"error":"not_found"})"};
            {
                std::lock_guard guard(state->mutex);
                auto& queue = state->answers[request.path];
                if (!queue.empty()) {
                    answer = queue.front();
                    if (queue.size() > 1) queue.pop_front();
                }
            }
            if (answer.before) answer.before();
            response.status = answer.status;
            response.set_content(answer.body, "application/json");
        });
    }
    void on(const std::string& path, std::vector<Answer> answers) {
        std::lock_guard guard(state_->mutex);
        state_->answers[path] = std::deque<Answer>(answers.begin(), answers.end());
    }

private:
    struct State {
        std::mutex mutex;
        std::map<std::string, std::deque<Answer>> answers;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A switcher that records every URL it opens, then runs `onOpen` (set before the client is used).
class ScriptedSwitcher final : public TessaroAppSwitching {
public:
    std::function<void(const URL&)> onOpen;

    void open(const URL& url, const URL&, std::stop_token) override {
        std::function<void(const URL&)> run;
        {
            std::lock_guard guard(mutex_);
            opened_.push_back(url.absoluteString());
            run = onOpen;
        }
        if (run) run(url);
    }
    // Replaces onOpen while other threads may be opening.
    void setOnOpen(std::function<void(const URL&)> handler) {
        std::lock_guard guard(mutex_);
        onOpen = std::move(handler);
    }
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override {
        std::lock_guard guard(mutex_);
        foreground_ = std::move(handler);
        return Registration([] {});
    }
    // The host application returns to the foreground.
    void comeToForeground() {
        std::function<void()> handler;
        {
            std::lock_guard guard(mutex_);
            handler = foreground_;
        }
        if (handler) handler();
    }

    std::vector<std::string> opened() {
        std::lock_guard guard(mutex_);
        return opened_;
    }
    bool waitForOpens(std::size_t count) {
        return eventually([&] { return opened().size() >= count; });
    }

private:
    std::mutex mutex_;
    std::vector<std::string> opened_;
    std::function<void()> foreground_;
};

// A CurlTransport into which a test injects transport failures: the next `count` requests whose
// path starts with a prefix fail with TessaroError::network before anything is sent.
class FlakyTransport final : public HTTPTransport {
public:
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop) override {
        {
            std::lock_guard guard(mutex_);
            for (auto& [prefix, count] : failures_) {
                if (count > 0 && request.url.path().starts_with(prefix)) {
                    --count;
                    throw TessaroError::network("injected failure");
                }
            }
        }
        return inner_.send(request, stop);
    }
    void failNext(const std::string& pathPrefix, int count) {
        std::lock_guard guard(mutex_);
        failures_[pathPrefix] = count;
    }

private:
    CurlTransport inner_{CurlTransport::Options{}};
    std::mutex mutex_;
    std::map<std::string, int> failures_;
};

// Holds whoever calls wait() (an answer on the server, a switcher's open) until release() or its
// own end; bounded, so that a fault cannot hang the suite.
class Hold {
public:
    ~Hold() { release(); }

    // `answer`, held until release(); waitArrived() tells when its request is in.
    Answer around(Answer answer) {
        answer.before = [state = state_] { state->wait(); };
        return answer;
    }
    void wait() { state_->wait(); }
    bool waitArrived() {
        return eventually([state = state_] { return state->arrived.load(); });
    }
    void release() {
        std::call_once(state_->once, [state = state_] { state->released.set_value(); });
    }

private:
    struct State {
        std::atomic<bool> arrived{false};
        std::once_flag once;
        std::promise<void> released;
        std::shared_future<void> done = released.get_future().share();
        void wait() {
            arrived = true;
            done.wait_for(30s);
        }
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

using tessaro::testing::ScriptedStore;

// The value of query item `name` of `url`, percent-decoded.
inline std::string queryItem(const URL& url, const std::string& name) {
    for (const auto& [key, value] : url.queryItems())
        if (key == name) return value;
    return {};
}

struct Harness {
    explicit Harness(double authorizeTimeout = 30, bool serverDown = false,
                     std::shared_ptr<TessaroSecretStore> customStore = nullptr, double pollInterval = 0.05,
                     const URL& redirectURL = redirect()) {
        if (customStore) store = std::move(customStore);
        const std::string origin =
            serverDown ? "http://127.0.0.1:" + std::to_string(tessaro::testing::closedPort()) : server.origin();
        client = TessaroClient::create({"pmc_test", redirectURL, *URL::parse(origin), download()},
                                       {.store = store,
                                        .transport = transport,
                                        .switcher = switcher,
                                        .pollInterval = pollInterval,
                                        .authorizeTimeout = authorizeTimeout});
    }

    // A stored session of `grant` whose access token has `secondsLeft` to live.
    Session seed(std::optional<std::string> access, double secondsLeft, std::optional<std::string> refresh,
                 std::string grant = "g1") {
        Session session{TessaroCrypto::ApprovalKeypair(), TessaroCrypto::SealKeypair()};
        session.accessToken = std::move(access);
        session.accessExpiresAt = timestampFromSeconds(nowSeconds() + secondsLeft);
        session.refreshToken = std::move(refresh);
        session.grantID = std::move(grant);
        session.accountID = "acct";
        session.identityPublicKey = "ipk-old";
        detail::saveSession(*store, session);
        return session;
    }

    // One signed call (GET /api/oauth/account) through withCredentials.
    void callAccount(std::stop_token stop = {}) {
        ClientInternals::withCredentials(
            *client, [&](const TessaroAPI::Credentials& credentials) { client->api()->account(credentials, stop); },
            stop);
    }

    // The application approves every authorization at once, calling back with code c1.
    void approveAuthorizations() {
        switcher->setOnOpen([weak = std::weak_ptr(client)](const URL& url) {
            auto self = weak.lock();
            if (!self || url.host() != "authorize") return;
            self->handleCallback(
                *URL::parse(redirect().absoluteString() + "?code=c1&state=" + queryItem(url, "state")));
        });
    }

    std::vector<tessaro::testing::RecordedRequest> requestsTo(const std::string& path) const {
        auto found = server.requests();
        std::erase_if(found, [&](const auto& request) { return request.target != path; });
        return found;
    }
    // The last path segment of every request, in order, with the access token it presented
    // ("token account:at-new").
    std::string trail() const {
        std::string text;
        for (const auto& request : server.requests()) {
            text += (text.empty() ? "" : " ") + request.target.substr(request.target.rfind('/') + 1);
            if (request.has("Authorization")) text += ":" + request.header("Authorization").substr(7);  // "Bearer "
        }
        return text;
    }
    std::optional<std::string> stored(const char* key) { return store->readString(key); }
    bool storeEmpty() { return store->readMany(detail::sessionKeys()).empty(); }
    // "grant access refresh identity-key" as stored, "-" for an absent entry; "empty" for no session.
    std::string storedTokens() {
        if (storeEmpty()) return "empty";
        std::string text;
        for (const char* key : {"grant_id", "access_token", "refresh_token", "account_identity_public_key"})
            text += (text.empty() ? "" : " ") + stored(key).value_or("-");
        return text;
    }

    TestServer server;
    Routes routes{server};
    std::shared_ptr<TessaroSecretStore> store = std::make_shared<TessaroMemoryStore>();
    std::shared_ptr<ScriptedSwitcher> switcher = std::make_shared<ScriptedSwitcher>();
    std::shared_ptr<FlakyTransport> transport = std::make_shared<FlakyTransport>();
    std::shared_ptr<TessaroClient> client;
};

inline nlohmann::json bodyOf(const tessaro::testing::RecordedRequest& request) {
    return nlohmann::json::parse(request.body);
}

// Runs `operation` on a thread of its own; its outcome(), as finished() reads it.
inline std::future<std::string> launch(std::function<void()> operation) {
    return std::async(std::launch::async, [operation = std::move(operation)] { return outcome(operation); });
}
// The outcome of a launched operation (a failure when it is not over within waitLimit).
inline std::string finished(std::future<std::string>& future) {
    EXPECT_EQ(future.wait_for(waitLimit), std::future_status::ready);
    return future.get();
}

}  // namespace tessaro::testing::client

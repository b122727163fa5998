#pragma once
// The client's test harness: a loopback server with scripted answers per path, a switcher that
// records what it opens, and a client on a memory store with a seeded session.

#include <atomic>
#include <chrono>
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
#include <tessaro/client/testing/client_internals.hpp>
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
using tessaro::testing::waitLimit;

inline constexpr const char* tokenPath = "/api/oauth/token";
inline constexpr const char* accountPath = "/api/oauth/account";
inline constexpr const char* revokePath = "/api/oauth/revoke";

inline URL redirect() { return *URL::parse("tessarotest://tessaro/callback"); }
inline URL download() { return *URL::parse("https://download.example/app"); }

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
            std::unique_lock lock(state->mutex);
            auto& queue = state->answers[request.path];
            const Answer answer = queue.empty() ? Answer{404, R"({"error":"not_found"})"} : queue.front();
            if (queue.size() > 1) queue.erase(queue.begin());
            lock.unlock();
            if (answer.before) answer.before();
            response.status = answer.status;
            response.set_content(answer.body, "application/json");
        });
    }
    void on(const std::string& path, std::vector<Answer> answers) {
        std::lock_guard guard(state_->mutex);
        state_->answers[path] = std::move(answers);
    }

private:
    struct State {
        std::mutex mutex;
        std::map<std::string, std::vector<Answer>> answers;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A switcher that records every URL it opens, then runs the handler of setOnOpen (replaceable while
// other threads open).
class ScriptedSwitcher final : public TessaroAppSwitching {
public:
    void open(const URL& url, const URL&, std::stop_token) override {
        std::unique_lock lock(mutex_);
        opened_.push_back(url.absoluteString());
        const auto run = onOpen_;
        lock.unlock();
        if (run) run(url);
    }
    void setOnOpen(std::function<void(const URL&)> handler) {
        std::lock_guard guard(mutex_);
        onOpen_ = std::move(handler);
    }
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override {
        std::lock_guard guard(mutex_);
        foreground_ = std::move(handler);
        return Registration([] {});
    }
    // The host application returns to the foreground.
    void comeToForeground() {
        if (auto handler = copied(foreground_)) handler();
    }
    std::vector<std::string> opened() { return copied(opened_); }
    bool waitForOpens(std::size_t count) {
        return eventually([&] { return opened().size() >= count; });
    }

private:
    template <class T>
    T copied(const T& member) {
        std::lock_guard guard(mutex_);
        return member;
    }

    std::mutex mutex_;
    std::vector<std::string> opened_;
    std::function<void(const URL&)> onOpen_;
    std::function<void()> foreground_;
};

// A CurlTransport whose next `count` requests under `prefix` (set by failNext) fail with
// TessaroError::network before anything is sent.
class FlakyTransport final : public HTTPTransport {
public:
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        if (count_ > 0 && request.url.path().starts_with(prefix_)) {
            --count_;
            throw TessaroError::network("injected failure");
        }
        lock.unlock();
        return inner_.send(request, stop);
    }
    void failNext(const std::string& prefix, int count) {
        std::lock_guard guard(mutex_);
        prefix_ = prefix;
        count_ = count;
    }

private:
    CurlTransport inner_{CurlTransport::Options{}};
    std::mutex mutex_;
    std::string prefix_;
    int count_ = 0;
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
    void release() { state_->released = true; }

private:
    struct State {
        std::atomic<bool> arrived{false}, released{false};
        void wait() {
            arrived = true;
            eventually([this] { return released.load(); });
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
// The application's callback, with query items `items`, to the flow whose launch URL is `launch`.
inline URL callbackTo(const URL& launch, const std::string& items) {
    return *URL::parse(redirect().absoluteString() + "?" + items + "&state=" + queryItem(launch, "state"));
}

// How a Harness builds its client.
struct HarnessOptions {
    double authorizeTimeout = 30;
    double pollInterval = 0.05;
    // The client's server origin is a closed port instead of the harness's server.
    bool serverDown = false;
    // Null: a memory store.
    std::shared_ptr<TessaroSecretStore> store = nullptr;
    std::optional<URL> redirectURL = std::nullopt;  // none: redirect()
};

struct Harness {
    explicit Harness(HarnessOptions options = {}) {
        if (options.store) store = std::move(options.store);
        const std::string origin =
            options.serverDown ? "http://127.0.0.1:" + std::to_string(tessaro::testing::closedPort()) : server.origin();
        client = TessaroClient::create(
            {"pmc_test", options.redirectURL.value_or(redirect()), *URL::parse(origin), download()},
            {.store = store,
             .transport = transport,
             .switcher = switcher,
             .pollInterval = options.pollInterval,
             .authorizeTimeout = options.authorizeTimeout});
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

    // The application answers every authorization at once with a callback of `items`.
    void answerAuthorizations(const std::string& items = "code=c1") {
        switcher->setOnOpen([weak = std::weak_ptr(client), items](const URL& url) {
            if (auto self = weak.lock(); self && url.host() == "authorize")
                self->handleCallback(callbackTo(url, items));
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
    // "grant access refresh identity-key" as stored, "-" for an absent entry; "empty" for no session.
    std::string storedTokens() {
        if (store->readMany(detail::sessionKeys()).empty()) return "empty";
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

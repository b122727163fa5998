#pragma once
// Test harness for the sandbox's own tests: a sandbox on an ephemeral loopback port with a
// movable clock and an inbox for callback URLs, a host-side session built with the kit's crypto,
// and signed HTTP calls made with cpp-httplib. Every wait is bounded.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/crypto/tessaro_crypto.hpp>
#include <tessaro/sandbox/sandbox.hpp>

namespace tessaro::sandbox::testing {

using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace tc = tessaro::TessaroCrypto;

inline constexpr const char* demoRedirect = "tessarodemo://tessaro/callback";
inline constexpr auto waitLimit = 10s;

// Query items of a URL, decoded independently of the sandbox ("+" stays "+").
inline std::map<std::string, std::string> queryOf(const std::string& url) {
    std::map<std::string, std::string> items;
    const auto mark = url.find('?');
    if (mark == std::string::npos) return items;
    auto decode = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
                i += 2;
            } else {
                out.push_back(text[i]);
            }
        }
        return out;
    };
    std::string query = url.substr(mark + 1);
    std::size_t start = 0;
    while (start <= query.size()) {
        const auto amp = query.find('&', start);
        const std::string item = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const auto eq = item.find('=');
        if (!item.empty()) items.emplace(decode(item.substr(0, eq)), eq == std::string::npos ? "" : decode(item.substr(eq + 1)));
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return items;
}

inline std::string encode(const std::string& text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', digits[c >> 4], digits[c & 15]};
        }
    }
    return out;
}

// Collects callback URLs delivered by the sandbox.
class Inbox {
public:
    void deliver(const std::string& url) {
        {
            std::lock_guard lock(mutex_);
            urls_.push_back(url);
        }
        changed_.notify_all();
    }
    // The first callback carrying `state`, waiting at most waitLimit.
    std::optional<std::string> waitFor(const std::string& state) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        changed_.wait_for(lock, waitLimit, [&] {
            for (const auto& url : urls_) {
                if (queryOf(url)["state"] == state) found = url;
            }
            return found.has_value();
        });
        return found;
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return urls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> urls_;
};

struct Response {
    int status = 0;
    Json body;
    std::string error() const { return body.is_object() ? body.value("error", "") : ""; }
};

inline Response toResponse(const httplib::Result& result) {
    if (!result) return {0, nullptr};
    return {result->status, Json::parse(result->body, nullptr, false)};
}

// A host that authorized: its key pairs and what the token response gave.
struct Session {
    tc::ApprovalKeypair approval;
    tc::SealKeypair seal;
    tc::PKCE pkce;
    std::string accessToken;
    std::string refreshToken;
    std::string grantID;
    std::string identityKey;
    Json tokenResponse;
};

// One signed request, before it is sent: tests change members after signing to tamper.
struct Signed {
    std::string method;
    std::string path;
    std::string body;
    std::string token;
    std::string timestamp;
    std::string nonce;
    std::string signature;
};

class Harness {
public:
    // With `capture`, callbacks land in the inbox; without, the sandbox delivers them itself.
    explicit Harness(Options options = {}, bool capture = true)
        : sandbox_(withDefaults(std::move(options), capture)), http_("127.0.0.1", sandbox_.port()) {
        http_.set_connection_timeout(5, 0);
        http_.set_read_timeout(10, 0);
    }

    Sandbox& sandbox() { return sandbox_; }
    Inbox& inbox() { return *inbox_; }
    httplib::Client& http() { return http_; }
    void advanceClock(std::chrono::seconds by) { *offset_ += by.count(); }
    std::int64_t serverSeconds() const {
        return std::chrono::duration_cast<std::chrono::seconds>(sandbox_.now().time_since_epoch()).count();
    }

    Response post(const std::string& path, const Json& body) {
        return toResponse(http_.Post(path.c_str(), body.dump(), "application/json"));
    }

    std::string authorizeURL(const Session& s, const std::string& state, const std::string& redirect = demoRedirect,
                             const std::string& clientID = std::string(Sandbox::demoClientID)) const {
        return "tessaro://authorize?client_id=" + encode(clientID) + "&redirect_uri=" + encode(redirect) +
               "&state=" + encode(state) + "&code_challenge=" + encode(s.pkce.challenge) +
               "&code_challenge_method=S256&approval_key=" + s.approval.publicKeyBase64URL() +
               "&seal_key=" + s.seal.publicKeyBase64URL();
    }

    Response exchange(const std::string& code, const std::string& verifier, const std::string& redirect = demoRedirect) {
        return post("/api/oauth/token", {{"grant_type", "authorization_code"},
                                         {"code", code},
                                         {"client_id", std::string(Sandbox::demoClientID)},
                                         {"redirect_uri", redirect},
                                         {"code_verifier", verifier}});
    }

    Response refresh(const std::string& refreshToken) {
        return post("/api/oauth/token", {{"grant_type", "refresh_token"},
                                         {"refresh_token", refreshToken},
                                         {"client_id", std::string(Sandbox::demoClientID)}});
    }

    // Launch URL in through the C++ door, code out of the callback.
    std::string codeFor(const Session& s) {
        const std::string state = tc::randomToken(24);
        EXPECT_TRUE(sandbox_.open(authorizeURL(s, state)).accepted);
        const auto callback = inbox_->waitFor(state);
        if (!callback) {
            ADD_FAILURE() << "no authorization callback";
            return {};
        }
        return queryOf(*callback)["code"];
    }

    Session authorize() {
        Session s;
        const Response tokens = exchange(codeFor(s), s.pkce.verifier);
        EXPECT_EQ(tokens.status, 200) << tokens.body.dump();
        s.tokenResponse = tokens.body;
        s.accessToken = tokens.body.value("access_token", "");
        s.refreshToken = tokens.body.value("refresh_token", "");
        s.grantID = tokens.body.value("grant_id", "");
        s.identityKey = tokens.body.value("account_identity_public_key", "");
        return s;
    }

    // Signed with the server clock (which tests may move) and a fresh nonce.
    Signed sign(const Session& s, const std::string& method, const std::string& path, const std::optional<Json>& body = {}) {
        Signed r{method, path, body ? body->dump() : "", s.accessToken, std::to_string(serverSeconds()),
                 tc::randomToken(18), ""};
        resign(s, r);
        return r;
    }

    void resign(const Session& s, Signed& r) const {
        const auto canonical = tc::canonicalString(
            r.method, r.path, std::stoll(r.timestamp), r.nonce,
            {reinterpret_cast<const std::uint8_t*>(r.body.data()), r.body.size()});
        r.signature = s.approval.sign(canonical);
    }

    Response send(const Signed& r) {
        httplib::Headers headers = {{"Authorization", "Bearer " + r.token},
                                    {"x-pm-timestamp", r.timestamp},
                                    {"x-pm-nonce", r.nonce},
                                    {"x-pm-signature", r.signature},
                                    {"Accept", "application/json"}};
        if (r.method == "GET") return toResponse(http_.Get(r.path.c_str(), headers));
        if (r.method == "PUT") return toResponse(http_.Put(r.path.c_str(), headers, r.body, "application/json"));
        return toResponse(http_.Post(r.path.c_str(), headers, r.body, "application/json"));
    }

    Response call(const Session& s, const std::string& method, const std::string& path, const std::optional<Json>& body = {}) {
        return send(sign(s, method, path, body));
    }

    Response createRequest(const Session& s, const Json& body) { return call(s, "POST", "/api/oauth/requests", body); }
    Response readRequest(const Session& s, const std::string& id) { return call(s, "GET", "/api/oauth/requests/" + id); }

    std::string requestURL(const std::string& id, const std::string& state) const {
        return "tessaro://request?id=" + encode(id) + "&client_id=" + std::string(Sandbox::demoClientID) +
               "&redirect_uri=" + encode(demoRedirect) + "&state=" + encode(state);
    }

    // Opens the request's launch URL and returns the callback that ends it.
    std::map<std::string, std::string> runToCallback(const std::string& id) {
        const std::string state = tc::randomToken(24);
        EXPECT_EQ(sandbox_.open(requestURL(id, state)), (OpenResult{true, ""}));
        const auto callback = inbox_->waitFor(state);
        if (!callback) {
            ADD_FAILURE() << "no request callback";
            return {};
        }
        return queryOf(*callback);
    }

    // Opens the sealed result of a completed request as the host would.
    Json openResult(const Session& s, const Json& status) {
        const SecureBytes plaintext =
            tc::open(status.at("result_enc").get<std::string>(),
                     tc::resultAAD(s.grantID, status.at("request_id").get<std::string>()), s.seal);
        return Json::parse(plaintext.view());
    }

private:
    Options withDefaults(Options options, bool capture) {
        if (capture) options.deliver = [inbox = inbox_](const std::string& url) { inbox->deliver(url); };
        options.clock = [offset = offset_] { return std::chrono::system_clock::now() + std::chrono::seconds(offset->load()); };
        options.policy.step = 0ms;
        return options;
    }

    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::shared_ptr<std::atomic<std::int64_t>> offset_ = std::make_shared<std::atomic<std::int64_t>>(0);
    Sandbox sandbox_;
    httplib::Client http_;
};

}  // namespace tessaro::sandbox::testing

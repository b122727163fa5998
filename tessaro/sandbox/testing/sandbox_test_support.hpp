#pragma once
// Test harness for the sandbox's own tests: a sandbox on an ephemeral loopback port with a
// movable clock and an inbox for callback URLs, a host-side session built with the kit's crypto,
// and signed HTTP calls over loopback. Every wait is bounded. The HTTP client lives in
// sandbox_test_support.cpp, so the tests never compile cpp-httplib themselves.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
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
std::map<std::string, std::string> queryOf(const std::string& url);
// Percent-encodes everything but unreserved characters.
std::string encode(const std::string& text);

// Collects callback URLs delivered by the sandbox.
class Inbox {
public:
    void deliver(const std::string& url);
    // The first callback carrying `state`, waiting at most waitLimit.
    std::optional<std::string> waitFor(const std::string& state);
    std::vector<std::string> all();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> urls_;
};

// Collects the lines of a sandbox's log hook.
class LogLines {
public:
    void add(const std::string& line);
    std::vector<std::string> all();
    // The first line containing `needle`, waiting at most waitLimit.
    std::optional<std::string> waitFor(const std::string& needle);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// A host listening on a loopback redirect URI (http://127.0.0.1:PORT/cb), as RFC 8252 native
// apps do; what arrives lands in its inbox.
class LoopbackHost {
public:
    LoopbackHost();
    ~LoopbackHost();
    LoopbackHost(const LoopbackHost&) = delete;
    LoopbackHost& operator=(const LoopbackHost&) = delete;

    std::string redirect() const;
    Inbox& inbox() { return inbox_; }

private:
    struct Impl;
    Inbox inbox_;
    std::unique_ptr<Impl> impl_;
};

struct Response {
    int status = 0;  // 0: no answer
    Json body;
    std::string error() const { return body.is_object() ? body.value("error", "") : ""; }
};

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
    // The sandbox's log lines land in log() unless `options.log` is set.
    explicit Harness(Options options = {}, bool capture = true);
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    Sandbox& sandbox() { return sandbox_; }
    Inbox& inbox() { return *inbox_; }
    LogLines& log() { return *log_; }
    void advanceClock(std::chrono::seconds by) { *offset_ += by.count(); }
    std::int64_t serverSeconds() const;

    Response post(const std::string& path, const Json& body);
    // A POST with any body and content type, unsigned.
    Response postRaw(const std::string& path, const std::string& body, const std::string& contentType);

    std::string authorizeURL(const Session& s, const std::string& state, const std::string& redirect = demoRedirect,
                             const std::string& clientID = std::string(Sandbox::demoClientID)) const;
    Response exchange(const std::string& code, const std::string& verifier, const std::string& redirect = demoRedirect);
    Response refresh(const std::string& refreshToken);

    // Launch URL in through the C++ door, code out of the callback.
    std::string codeFor(const Session& s);
    Session authorize();

    // Signed with the server clock (which tests may move) and a fresh nonce.
    Signed sign(const Session& s, const std::string& method, const std::string& path,
                const std::optional<Json>& body = {});
    void resign(const Session& s, Signed& r) const;
    Response send(const Signed& r);
    Response call(const Session& s, const std::string& method, const std::string& path,
                  const std::optional<Json>& body = {});

    Response createRequest(const Session& s, const Json& body) { return call(s, "POST", "/api/oauth/requests", body); }
    Response readRequest(const Session& s, const std::string& id) {
        return call(s, "GET", "/api/oauth/requests/" + id);
    }

    std::string requestURL(const std::string& id, const std::string& state) const;
    // Opens the request's launch URL and returns the callback that ends it.
    std::map<std::string, std::string> runToCallback(const std::string& id);
    // Opens the sealed result of a completed request as the host would.
    Json openResult(const Session& s, const Json& status);

private:
    struct Http;
    Options withDefaults(Options options, bool capture);

    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    std::shared_ptr<LogLines> log_ = std::make_shared<LogLines>();
    std::shared_ptr<std::atomic<std::int64_t>> offset_ = std::make_shared<std::atomic<std::int64_t>>(0);
    Sandbox sandbox_;
    std::unique_ptr<Http> http_;
};

}  // namespace tessaro::sandbox::testing

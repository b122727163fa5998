#pragma once
// The sandbox's own tests' harness: the fixture, a host-side session built with the kit's crypto, and
// signed HTTP calls over loopback (cpp-httplib compiled in the .cpp only). Every wait is bounded.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/crypto/tessaro_crypto.hpp>
#include <tessaro/records/url.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/sandbox/testing/sandbox_fixture.hpp>

namespace tessaro::testing {
class LoopbackServer;
}

namespace tessaro::sandbox::testing {

using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace tc = tessaro::TessaroCrypto;

inline constexpr const char* demoRedirect = "tessarodemo://tessaro/callback";

// Query items of a URL, decoded independently of the sandbox ("+" stays "+").
std::map<std::string, std::string> queryOf(const std::string& url);
// Percent-encodes everything but unreserved characters.
inline std::string encode(std::string_view text) { return URL::encodeQueryComponent(text); }

// The first callback URL in `urls` carrying `state`, waiting at most waitLimit.
std::optional<std::string> callbackFor(Collector& urls, const std::string& state);

// A host listening on a loopback redirect URI (http://127.0.0.1:PORT/cb), as RFC 8252 native
// apps do; what arrives lands in its inbox.
class LoopbackHost {
public:
    LoopbackHost();
    ~LoopbackHost();

    std::string redirect() const;
    Collector& inbox() { return inbox_; }

private:
    Collector inbox_;
    std::unique_ptr<tessaro::testing::LoopbackServer> server_;  // stops before the inbox goes
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
    std::string accessToken, refreshToken, grantID, identityKey;
    Json tokenResponse;
};

// One signed request, before it is sent: tests change members after signing to tamper.
struct Signed {
    std::string method, path, body, token, timestamp, nonce, signature;
};

// The sandbox fixture with the simulated user answering at once, and the host's side of the wire.
class Harness : public SandboxFixture {
public:
    explicit Harness(Options options = {}, Delivery delivery = Delivery::collect);
    ~Harness();

    // Unsigned.
    Response post(const std::string& path, const Json& body, const char* contentType = "application/json");

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
    std::unique_ptr<Http> http_;
};

}  // namespace tessaro::sandbox::testing

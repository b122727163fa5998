#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

#include <httplib.h>

#include <sstream>

#include <testing/loopback_server.hpp>

namespace tessaro::sandbox::testing {

namespace {

Response toResponse(const httplib::Result& result) {
    if (!result) return {0, nullptr};
    return {result->status, Json::parse(result->body, nullptr, false)};
}

}  // namespace

std::map<std::string, std::string> queryOf(const std::string& url) {
    const auto decode = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool escaped = text[i] == '%' && i + 2 < text.size();
            out.push_back(escaped ? static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)) : text[i]);
            if (escaped) i += 2;
        }
        return out;
    };
    std::map<std::string, std::string> items;
    const auto mark = url.find('?');
    std::istringstream query(mark == std::string::npos ? "" : url.substr(mark + 1));
    for (std::string item; std::getline(query, item, '&');) {
        const auto eq = item.find('=');
        if (!item.empty())
            items.emplace(decode(item.substr(0, eq)), eq == std::string::npos ? "" : decode(item.substr(eq + 1)));
    }
    return items;
}

std::optional<std::string> callbackFor(Collector& urls, const std::string& state) {
    return urls.waitFor([&](const std::string& url) { return queryOf(url)["state"] == state; });
}

LoopbackHost::LoopbackHost() {
    server_ = std::make_unique<tessaro::testing::LoopbackServer>([this](httplib::Server& server) {
        server.Get("/cb", [this](const httplib::Request& request, httplib::Response& response) {
            inbox_.add("http://127.0.0.1/cb?" + request.target.substr(request.target.find('?') + 1));
            response.set_content("ok", "text/plain");
        });
    });
}

LoopbackHost::~LoopbackHost() = default;

std::string LoopbackHost::redirect() const { return server_->origin() + "/cb"; }

struct Harness::Http {
    explicit Http(int port) : client("127.0.0.1", port) {
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(10, 0);
    }
    httplib::Client client;
};

Harness::Harness(Options options, Delivery delivery)
    : SandboxFixture((options.policy.step = 0ms, std::move(options)), delivery),
      http_(std::make_unique<Http>(sandbox().port())) {}

Harness::~Harness() = default;

Response Harness::post(const std::string& path, const Json& body, const char* contentType) {
    return toResponse(http_->client.Post(path.c_str(), body.dump(), contentType));
}

std::string Harness::authorizeURL(const Session& s, const std::string& state, const std::string& redirect,
                                  const std::string& clientID) const {
    return "tessaro://authorize?client_id=" + encode(clientID) + "&redirect_uri=" + encode(redirect) +
           "&state=" + encode(state) + "&code_challenge=" + encode(s.pkce.challenge) +
           "&code_challenge_method=S256&approval_key=" + s.approval.publicKeyBase64URL() +
           "&seal_key=" + s.seal.publicKeyBase64URL();
}

Response Harness::exchange(const std::string& code, const std::string& verifier, const std::string& redirect) {
    return post("/api/oauth/token", {{"grant_type", "authorization_code"},
                                     {"code", code},
                                     {"client_id", std::string(Sandbox::demoClientID)},
                                     {"redirect_uri", redirect},
                                     {"code_verifier", verifier}});
}

Response Harness::refresh(const std::string& refreshToken) {
    return post("/api/oauth/token", {{"grant_type", "refresh_token"},
                                     {"refresh_token", refreshToken},
                                     {"client_id", std::string(Sandbox::demoClientID)}});
}

std::string Harness::codeFor(const Session& s) {
    const std::string state = tc::randomToken(24);
    EXPECT_TRUE(sandbox().open(authorizeURL(s, state)).accepted);
    const auto callback = callbackFor(callbacks(), state);
    EXPECT_TRUE(callback) << "no authorization callback";
    return queryOf(callback.value_or(""))["code"];
}

Session Harness::authorize() {
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

Signed Harness::sign(const Session& s, const std::string& method, const std::string& path,
                     const std::optional<Json>& body) {
    Signed r{
        method, path, body ? body->dump() : "", s.accessToken, std::to_string(serverSeconds()), tc::randomToken(18),
        ""};
    resign(s, r);
    return r;
}

void Harness::resign(const Session& s, Signed& r) const {
    const auto canonical = tc::canonicalString(r.method, r.path, std::stoll(r.timestamp), r.nonce,
                                               {reinterpret_cast<const std::uint8_t*>(r.body.data()), r.body.size()});
    r.signature = s.approval.sign(canonical);
}

Response Harness::send(const Signed& r) {
    httplib::Headers headers = {{"Authorization", "Bearer " + r.token},
                                {"x-pm-timestamp", r.timestamp},
                                {"x-pm-nonce", r.nonce},
                                {"x-pm-signature", r.signature},
                                {"Accept", "application/json"}};
    httplib::Client& http = http_->client;
    if (r.method == "GET") return toResponse(http.Get(r.path.c_str(), headers));
    if (r.method == "PUT") return toResponse(http.Put(r.path.c_str(), headers, r.body, "application/json"));
    return toResponse(http.Post(r.path.c_str(), headers, r.body, "application/json"));
}

Response Harness::call(const Session& s, const std::string& method, const std::string& path,
                       const std::optional<Json>& body) {
    return send(sign(s, method, path, body));
}

std::string Harness::requestURL(const std::string& id, const std::string& state) const {
    return "tessaro://request?id=" + encode(id) + "&client_id=" + std::string(Sandbox::demoClientID) +
           "&redirect_uri=" + encode(demoRedirect) + "&state=" + encode(state);
}

std::map<std::string, std::string> Harness::runToCallback(const std::string& id) {
    const std::string state = tc::randomToken(24);
    EXPECT_EQ(sandbox().open(requestURL(id, state)), (OpenResult{true, ""}));
    const auto callback = callbackFor(callbacks(), state);
    EXPECT_TRUE(callback) << "no request callback";
    return queryOf(callback.value_or(""));
}

Json Harness::openResult(const Session& s, const Json& status) {
    const SecureBytes plaintext =
        tc::open(status.at("result_enc").get<std::string>(),
                 tc::resultAAD(s.grantID, status.at("request_id").get<std::string>()), s.seal);
    return Json::parse(plaintext.view());
}

}  // namespace tessaro::sandbox::testing

#include <tessaro/api/tessaro_api.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <type_traits>

#include <tessaro/api/testing/test_server.hpp>
#include <tessaro/crypto/tessaro_crypto.hpp>

namespace tessaro {
namespace {

using APIError = TessaroAPI::APIError;
using testing::RecordedRequest;
using testing::TestServer;

// An exception is copied while it propagates: a copy that could throw would terminate the host.
static_assert(std::is_nothrow_copy_constructible_v<APIError> && std::is_nothrow_copy_assignable_v<APIError>);

class TessaroAPITest : public ::testing::Test {
protected:
    std::shared_ptr<TessaroAPI> makeAPI(const std::string& origin) {
        return TessaroAPI::create(*URL::parse(origin), "client-1", *URL::parse("tessarodemo://tessaro/callback"));
    }

    // Rebuilds the signed text from what arrived and checks the signature against it.
    void expectValidSignature(const RecordedRequest& seen) {
        EXPECT_EQ(seen.header("Authorization"), "Bearer access-1");
        const std::string timestamp = seen.header("x-pm-timestamp");
        const std::string canonical = seen.method + "\n" + seen.target + "\n" + timestamp + "\n" +
                                      seen.header("x-pm-nonce") + "\n" + TessaroCrypto::sha256Hex(seen.body);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(canonical.data());
        EXPECT_TRUE(
            TessaroCrypto::verify(seen.header("x-pm-signature"), {bytes, canonical.size()}, key.publicKeyBase64URL()));
    }

    TestServer server;
    std::shared_ptr<TessaroAPI> api = makeAPI(server.origin());
    TessaroCrypto::ApprovalKeypair key;
    TessaroAPI::Credentials credentials{"access-1", key};
};

// Every endpoint: method, path, body (sorted compact JSON, with a Content-Type exactly when there
// is one); a signed one with a signature over those bytes timestamped while the call ran, the token
// endpoint with no credentials at all.
TEST_F(TessaroAPITest, EndpointsSendTheirMethodPathBodyAndSignature) {
    server.respond(201, R"({"account_id":"acc","identity_public_key":"ik","vaults":[{"vault_id":"v1","mode":2}],)"
                        R"("request_id":"r1","state":"awaiting_user","op":"pick_item","access_token":"at",)"
                        R"("grant_id":"g","refresh_token":"rt","expires_in":60})");
    const nlohmann::json pickBody = {{"vault_id", nullptr}, {"op", "pick_item"}, {"reason", "需要登录"}};
    TessaroAPI::AccountInfo account;
    TessaroAPI::RequestStatus created, fetched;
    TessaroAPI::TokenResponse token;
    struct Case {
        std::string method, path, body;
        std::function<void()> call;
        bool isSigned = true;
    };
    const std::vector<Case> cases = {
        {"GET", "/api/oauth/account", "", [&] { account = api->account(credentials); }},
        {"POST", "/api/oauth/requests", R"({"op":"pick_item","reason":"需要登录","vault_id":null})",
         [&] { created = api->createRequest(pickBody, credentials); }},
        {"PUT", "/api/oauth/requests/req-7/patch", R"({"patch_enc":"{\"v\":1,\"x\":\"a/b\"}"})",
         [&] { api->putPatch("req-7", R"({"v":1,"x":"a/b"})", credentials); }},
        {"GET", "/api/oauth/requests/req-7", "", [&] { fetched = api->getRequest("req-7", credentials); }},
        {"POST", "/api/oauth/revoke", R"({"client_id":"client-1","token":"refresh-9"})",
         [&] { api->revoke("refresh-9", credentials); }},
        {"POST", "/api/oauth/requests/req-1/cancel", "{}", [&] { api->cancelRequest("req-1", credentials); }},
        {"POST", "/api/oauth/token",
         R"({"client_id":"client-1","code":"code-1","code_verifier":"verifier-1",)"
         R"("grant_type":"authorization_code","redirect_uri":"tessarodemo://tessaro/callback"})",
         [&] { token = api->exchangeCode("code-1", "verifier-1"); }, false},
        {"POST", "/api/oauth/token", R"({"client_id":"client-1","grant_type":"refresh_token","refresh_token":"rt-1"})",
         [&] { api->refresh("rt-1"); }, false},
    };
    // The kit's clock (time(2) reads a coarser clock that may lag it by a tick).
    const auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto before = now();
        c.call();
        const auto after = now();
        const auto seen = server.last();
        EXPECT_EQ(seen.method + " " + seen.target + " " + seen.body, c.method + " " + c.path + " " + c.body);
        EXPECT_EQ(seen.header("Accept"), "application/json");
        EXPECT_EQ(seen.header("Content-Type"), c.body.empty() ? "" : "application/json");
        if (!c.isSigned) {
            for (const char* name : {"Authorization", "x-pm-timestamp", "x-pm-nonce", "x-pm-signature"})
                EXPECT_FALSE(seen.has(name)) << name;
            continue;
        }
        expectValidSignature(seen);
        EXPECT_GE(std::stoll(seen.header("x-pm-timestamp")), before);
        EXPECT_LE(std::stoll(seen.header("x-pm-timestamp")), after);
    }
    EXPECT_EQ(account, (TessaroAPI::AccountInfo{"acc", "ik", {TessaroVault{"v1", std::nullopt, std::nullopt, 2}}}));
    EXPECT_EQ((std::vector<std::string>{created.requestID, fetched.state, token.accessToken}),
              (std::vector<std::string>{"r1", "awaiting_user", "at"}));
}

// Answers outside 200-299 are http errors carrying the answer's "error" string when it has one
// (a redirect included: it is not followed); success bodies that are no usable object are
// decoding errors, except for cancel and revoke, which ignore the answer.
TEST_F(TessaroAPITest, ErrorAnswersAreSortedByStatusAndCode) {
    const auto getRequest = [&] { api->getRequest("r", credentials); };
    const auto cancel = [&] { api->cancelRequest("r", credentials); };
    const char* json = "application/json";
    const std::vector<std::tuple<int, const char*, std::string, std::function<void()>, std::optional<APIError>>> cases{
        {401, json, R"({"error":"invalid_token","error_description":"x"})", getRequest,
         APIError::http(401, "invalid_token")},
        {500, "text/html", "<html>Error</html>", [&] { api->account(credentials); }, APIError::http(500, "http_500")},
        {400, json, R"({"error":42})", [&] { api->refresh("rt"); }, APIError::http(400, "http_400")},
        {404, "text/plain", "", cancel, APIError::http(404, "http_404")},
        {307, "text/plain", "", getRequest, APIError::http(307, "http_307")},
        {200, json, R"([{"request_id":"r","state":"completed"}])", getRequest, APIError::decoding()},
        {204, json, "", cancel, std::nullopt},
        {200, "text/plain", "", [&] { api->revoke("t", credentials); }, std::nullopt},
    };
    for (const auto& [status, contentType, body, call, expected] : cases) {
        server.respond([&](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_header("Location", "/api/oauth/other");
            response.set_content(body, contentType);
        });
        std::optional<APIError> error;
        try {
            call();
        } catch (const tessaro::Exception& thrown) {
            // One object, caught through the kit's interface and its standard base alike.
            const auto* standard = dynamic_cast<const std::exception*>(&thrown);
            const auto* apiError = dynamic_cast<const APIError*>(&thrown);
            ASSERT_TRUE(standard && apiError) << thrown.family() << ": " << thrown.message();
            error = *apiError;
            EXPECT_STREQ(thrown.family(), "APIError");
            EXPECT_STREQ(thrown.caseName(), apiError->kind() == APIError::Kind::http ? "http" : "decoding");
            EXPECT_STREQ(thrown.message(), standard->what());
        }
        EXPECT_EQ(error, expected) << status << " " << body << ": got " << (error ? error->what() : "none");
    }
}

// Failures without an answer, and requests refused before sending, are TessaroErrors (never
// APIErrors): network ones with a description, a path-changing identifier a protocol one.
TEST_F(TessaroAPITest, FailuresWithoutAnAnswerAreTessaroErrors) {
    auto closed = makeAPI("http://127.0.0.1:" + std::to_string(testing::closedPort()));
    testing::SilentServer silent;
    auto stuck = makeAPI(silent.origin());
    std::stop_source source;
    const auto network = TessaroError::Code::network;
    std::vector<std::tuple<std::function<void()>, TessaroError::Code, std::string>> cases = {
        {[&] { closed->getRequest("r", credentials); }, network, ""},  // libcurl's own text
        {[&] { closed->exchangeCode("c", "v"); }, network, ""},
        {[&] {
             std::jthread stopper([&] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(200));
                 source.request_stop();
             });
             stuck->getRequest("r", credentials, source.get_token());
         },
         network, "cancelled"},
        {[&] { api->getRequest("a?b=c", credentials); }, TessaroError::Code::protocol, ""},
    };
    // Identifiers that would address another resource, or go out other than signed.
    for (const std::string id : {"", ".", "..", "../account", "a/../../revoke", "a/b", "é", "%2e%2e", "a\\b", "a b"}) {
        for (const auto& call : std::vector<std::function<void()>>{
                 // `id` by value: the calls run after this loop, when the loop's string is gone.
                 [this, id] { api->getRequest(id, credentials); }, [this, id] { api->putPatch(id, "p", credentials); },
                 [this, id] { api->cancelRequest(id, credentials); }}) {
            cases.emplace_back(call, TessaroError::Code::protocol, "");
        }
    }
    for (const auto& [call, code, description] : cases) {
        const auto error = testing::thrown<TessaroError>(call, TessaroError::cancelled());
        EXPECT_EQ(error.code(), code);
        if (code == network) {
            EXPECT_FALSE(error.underlyingDescription().empty());
            EXPECT_NE(error.underlyingDescription().find(description), std::string::npos)
                << error.underlyingDescription();
        } else {
            EXPECT_EQ(error.protocolCode(), "invalid_path");
        }
    }
    // A body that is no valid UTF-8 is the caller's error, refused before anything is sent.
    EXPECT_THROW(api->createRequest({{"reason", std::string("\xff\xfe")}}, credentials), tessaro::InvalidArgument);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TessaroAPITest, ManyThreadsSignThroughOneSharedTransport) {
    server.respond([](const httplib::Request& request, httplib::Response& response) {
        // Echo the identifier from the path so each caller can check it got its own answer.
        const std::string id = request.path.substr(request.path.rfind('/') + 1);
        response.set_content(R"({"request_id":")" + id + R"(","state":"pending"})", "application/json");
    });
    constexpr int threads = 6, perThread = 12;
    std::atomic<int> wrong{0};
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                    if (api->getRequest(id, credentials).requestID != id) ++wrong;
                }
            });
    }
    EXPECT_EQ(wrong.load(), 0);
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
    std::set<std::string> nonces;
    for (const auto& request : seen) {
        expectValidSignature(request);
        nonces.insert(request.header("x-pm-nonce"));
    }
    EXPECT_EQ(nonces.size(), seen.size());
}

}  // namespace
}  // namespace tessaro

#include "api/tessaro_api.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "api/test_server.hpp"
#include "crypto/tessaro_crypto.hpp"

namespace tessaro {
namespace {

using APIError = TessaroAPI::APIError;
using testing::RecordedRequest;
using testing::TestServer;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class TessaroAPITest : public ::testing::Test {
protected:
    std::shared_ptr<TessaroAPI> makeAPI(const std::string& origin) {
        return TessaroAPI::create(*URL::parse(origin), "client-1", *URL::parse("tessarodemo://tessaro/callback"));
    }

    // Rebuilds the signed text from what arrived and checks every signing header against it.
    void expectValidSignature(const RecordedRequest& seen, const std::string& expectedPath) {
        EXPECT_EQ(seen.target, expectedPath);
        EXPECT_EQ(seen.header("Authorization"), "Bearer access-1");
        EXPECT_EQ(seen.header("Accept"), "application/json");
        const std::string timestamp = seen.header("x-pm-timestamp");
        const std::string nonce = seen.header("x-pm-nonce");
        const std::string signature = seen.header("x-pm-signature");
        EXPECT_EQ(nonce.size(), 24u);
        EXPECT_EQ(signature.size(), 86u);
        ASSERT_FALSE(timestamp.empty());
        EXPECT_EQ(timestamp.find_first_not_of("0123456789"), std::string::npos) << timestamp;

        const std::string canonical = seen.method + "\n" + seen.target + "\n" + timestamp + "\n" + nonce + "\n" +
                                      TessaroCrypto::sha256Hex(seen.body);
        EXPECT_TRUE(TessaroCrypto::verify(signature, bytesOf(canonical), key.publicKeyBase64URL()));
        EXPECT_FALSE(TessaroCrypto::verify(signature, bytesOf(canonical + " "), key.publicKeyBase64URL()));
        EXPECT_FALSE(TessaroCrypto::verify(signature, bytesOf(canonical), TessaroCrypto::ApprovalKeypair().publicKeyBase64URL()));
    }

    template <typename F>
    APIError apiError(F&& call) {
        try {
            call();
        } catch (const APIError& error) {
            return error;
        }
        ADD_FAILURE() << "expected an APIError";
        return APIError::decoding();
    }

    template <typename F>
    TessaroError tessaroError(F&& call) {
        try {
            call();
        } catch (const TessaroError& error) {
            return error;
        } catch (const APIError& error) {
            ADD_FAILURE() << "expected TessaroError, got APIError " << error.what();
        }
        ADD_FAILURE() << "expected a TessaroError";
        return TessaroError::cancelled();
    }

    TestServer server;
    std::shared_ptr<TessaroAPI> api = makeAPI(server.origin());
    TessaroCrypto::ApprovalKeypair key;
    TessaroAPI::Credentials credentials{"access-1", key};
};

TEST_F(TessaroAPITest, SignedGetHasVerifiableSignatureAndNoBody) {
    server.respond(200, R"({"account_id":"acc","identity_public_key":"ik","vaults":[{"vault_id":"v1","mode":2}]})");
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    const auto info = api->account(credentials);
    const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_EQ(info, (TessaroAPI::AccountInfo{"acc", "ik", {TessaroVault{"v1", std::nullopt, std::nullopt, 2}}}));

    const auto seen = server.last();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_TRUE(seen.body.empty());
    EXPECT_FALSE(seen.has("Content-Type"));
    expectValidSignature(seen, "/api/oauth/account");
    const auto timestamp = std::stoll(seen.header("x-pm-timestamp"));
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, after);

    // The kit's own canonical string is the one the server rebuilt, digest of no bytes included.
    const Bytes canonical = TessaroCrypto::canonicalString("GET", "/api/oauth/account", timestamp,
                                                           seen.header("x-pm-nonce"), {});
    EXPECT_EQ(std::string(canonical.begin(), canonical.end()),
              "GET\n/api/oauth/account\n" + seen.header("x-pm-timestamp") + "\n" + seen.header("x-pm-nonce") +
                  "\ne3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(TessaroAPITest, SignedPostSendsSortedCompactJSONAndSignsThoseBytes) {
    server.respond(201, R"({"request_id":"r1","state":"pending","op":"pick_item"})");
    nlohmann::json body = {{"vault_id", nullptr},
                           {"op", "pick_item"},
                           {"hint", {{"url", "https://shop.example/a/b"}, {"kind", "login"}}},
                           {"reason", "需要登录"}};
    const auto status = api->createRequest(body, credentials);
    EXPECT_EQ(status.requestID, "r1");
    EXPECT_EQ(status.op, "pick_item");

    const auto seen = server.last();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_EQ(seen.body, R"({"hint":{"kind":"login","url":"https://shop.example/a/b"},"op":"pick_item",)"
                         R"("reason":"需要登录","vault_id":null})");
    expectValidSignature(seen, "/api/oauth/requests");
}

TEST_F(TessaroAPITest, RequestEndpointsUseTheirPathsAndBodies) {
    server.respond(200, R"({"request_id":"req-7","state":"awaiting_user"})");
    api->putPatch("req-7", R"({"v":1,"x":"a/b"})", credentials);
    auto seen = server.last();
    EXPECT_EQ(seen.method, "PUT");
    EXPECT_EQ(seen.body, R"({"patch_enc":"{\"v\":1,\"x\":\"a/b\"}"})");
    expectValidSignature(seen, "/api/oauth/requests/req-7/patch");

    EXPECT_EQ(api->getRequest("req-7", credentials).state, "awaiting_user");
    seen = server.last();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_TRUE(seen.body.empty());
    EXPECT_FALSE(seen.has("Content-Type"));
    expectValidSignature(seen, "/api/oauth/requests/req-7");

    api->revoke("refresh-9", credentials);
    seen = server.last();
    EXPECT_EQ(seen.body, R"({"client_id":"client-1","token":"refresh-9"})");
    expectValidSignature(seen, "/api/oauth/revoke");
}

TEST_F(TessaroAPITest, CancelSendsAnEmptyObjectAndIgnoresTheAnswer) {
    server.respond([](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    api->cancelRequest("req-1", credentials);
    const auto seen = server.last();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, "{}");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    expectValidSignature(seen, "/api/oauth/requests/req-1/cancel");

    server.respond(200, "<html>ok</html>", "text/html");
    EXPECT_NO_THROW(api->cancelRequest("req-1", credentials));
    server.respond(200, "", "text/plain");
    EXPECT_NO_THROW(api->revoke("t", credentials));
}

TEST_F(TessaroAPITest, TokenRequestsAreUnsignedWithSortedBodies) {
    server.respond(200, R"({"access_token":"at","grant_id":"g","account_id":"a","refresh_token":"rt","expires_in":60})");
    const auto token = api->exchangeCode("code-1", "verifier-1");
    EXPECT_EQ(token.accessToken, "at");
    EXPECT_EQ(token.expiresIn, 60);
    EXPECT_EQ(token.refreshToken, "rt");
    auto seen = server.last();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/api/oauth/token");
    EXPECT_EQ(seen.body, R"({"client_id":"client-1","code":"code-1","code_verifier":"verifier-1",)"
                         R"("grant_type":"authorization_code","redirect_uri":"tessarodemo://tessaro/callback"})");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_EQ(seen.header("Accept"), "application/json");
    for (const char* name : {"Authorization", "x-pm-timestamp", "x-pm-nonce", "x-pm-signature"}) {
        EXPECT_FALSE(seen.has(name)) << name;
    }

    api->refresh("rt-1");
    seen = server.last();
    EXPECT_EQ(seen.body, R"({"client_id":"client-1","grant_type":"refresh_token","refresh_token":"rt-1"})");
    EXPECT_FALSE(seen.has("Authorization"));
}

TEST_F(TessaroAPITest, ErrorAnswersAreSortedByStatusAndCode) {
    server.respond(401, R"({"error":"invalid_token","error_description":"x"})");
    EXPECT_EQ(apiError([&] { api->getRequest("r", credentials); }), APIError::http(401, "invalid_token"));

    server.respond(500, "<html><body>Internal Server Error</body></html>", "text/html");
    EXPECT_EQ(apiError([&] { api->account(credentials); }), APIError::http(500, "http_500"));

    server.respond(400, R"({"error":42})");
    EXPECT_EQ(apiError([&] { api->refresh("rt"); }), APIError::http(400, "http_400"));

    server.respond(404, "", "text/plain");
    EXPECT_EQ(apiError([&] { api->cancelRequest("r", credentials); }), APIError::http(404, "http_404"));

    server.respond(409, R"(["error","conflict"])");
    EXPECT_EQ(apiError([&] { api->putPatch("r", "p", credentials); }), APIError::http(409, "http_409"));

    // A redirect is an answer outside 200-299, not something to follow.
    server.respond([](const httplib::Request&, httplib::Response& response) {
        response.status = 307;
        response.set_header("Location", "/api/oauth/other");
    });
    EXPECT_EQ(apiError([&] { api->getRequest("r", credentials); }), APIError::http(307, "http_307"));
}

TEST_F(TessaroAPITest, SuccessBodiesThatAreNoObjectAreDecodingErrors) {
    server.respond(200, R"([{"request_id":"r","state":"completed"}])");
    EXPECT_EQ(apiError([&] { api->getRequest("r", credentials); }), APIError::decoding());
    server.respond(200, "", "application/json");
    EXPECT_EQ(apiError([&] { api->exchangeCode("c", "v"); }), APIError::decoding());
    server.respond(200, "{\"account_id\":", "application/json");
    EXPECT_EQ(apiError([&] { api->account(credentials); }), APIError::decoding());
    server.respond(200, R"({"access_token":"at","account_id":"a"})");
    EXPECT_EQ(apiError([&] { api->refresh("rt"); }), APIError::decoding());
    server.respond(204, "", "application/json");
    EXPECT_EQ(apiError([&] { api->createRequest({{"op", "get_item"}}, credentials); }), APIError::decoding());
}

TEST_F(TessaroAPITest, TransportFailuresAreNetworkErrorsNeverAPIErrors) {
    auto closed = makeAPI("http://127.0.0.1:" + std::to_string(testing::closedPort()));
    const auto refusedConnection = tessaroError([&] { closed->getRequest("r", credentials); });
    EXPECT_EQ(refusedConnection.code(), TessaroError::Code::network);
    EXPECT_FALSE(refusedConnection.underlyingDescription().empty());  // libcurl's own text
    EXPECT_EQ(tessaroError([&] { closed->exchangeCode("c", "v"); }).code(), TessaroError::Code::network);

    auto remote = makeAPI("http://192.0.2.1");
    const auto refused = tessaroError([&] { remote->account(credentials); });
    EXPECT_EQ(refused.code(), TessaroError::Code::network);
    EXPECT_NE(refused.underlyingDescription().find("plain http"), std::string::npos);
}

TEST_F(TessaroAPITest, StopTokenCancelsAWaitOnASilentServer) {
    testing::SilentServer silent;
    auto stuck = makeAPI(silent.origin());
    std::stop_source source;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        source.request_stop();
    });
    const auto error = tessaroError([&] { stuck->getRequest("r", credentials, source.get_token()); });
    EXPECT_EQ(error.code(), TessaroError::Code::network);
    EXPECT_NE(error.underlyingDescription().find("cancelled"), std::string::npos);
}

TEST_F(TessaroAPITest, RefusesWhatCannotBeSentBeforeSending) {
    // A request identifier that would change the path's meaning.
    const auto path = tessaroError([&] { api->getRequest("a?b=c", credentials); });
    EXPECT_EQ(path.code(), TessaroError::Code::protocol);
    EXPECT_EQ(path.protocolCode(), "invalid_path");
    // A body that is no valid UTF-8 fails in the JSON writer, unchanged.
    EXPECT_THROW(api->createRequest({{"reason", std::string("\xff\xfe")}}, credentials), nlohmann::json::type_error);
    // An access token that would break the header line.
    TessaroAPI::Credentials injected{"a\r\nX-Evil: 1", key};
    const auto header = tessaroError([&] { api->getRequest("r", injected); });
    EXPECT_EQ(header.code(), TessaroError::Code::network);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TessaroAPITest, APIErrorEquality) {
    EXPECT_EQ(APIError::http(409, "conflict"), APIError::http(409, "conflict"));
    EXPECT_NE(APIError::http(409, "conflict"), APIError::http(400, "conflict"));
    EXPECT_NE(APIError::http(409, "conflict"), APIError::http(409, "http_409"));
    EXPECT_EQ(APIError::decoding(), APIError::decoding());
    EXPECT_NE(APIError::decoding(), APIError::http(0, ""));
    EXPECT_STREQ(APIError::http(401, "invalid_token").what(), "http(401, invalid_token)");
}

TEST_F(TessaroAPITest, ManyThreadsSignThroughOneSharedTransport) {
    server.respond([](const httplib::Request& request, httplib::Response& response) {
        // Echo the identifier from the path so each caller can check it got its own answer.
        const std::string id = request.path.substr(request.path.rfind('/') + 1);
        response.set_content(R"({"request_id":")" + id + R"(","state":"pending"})", "application/json");
    });
    constexpr int threads = 6;
    constexpr int perThread = 12;
    std::atomic<int> wrong{0};
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                    if (api->getRequest(id, credentials).requestID != id) ++wrong;
                }
            });
        }
    }
    EXPECT_EQ(wrong.load(), 0);
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
    std::set<std::string> nonces;
    for (const auto& request : seen) {
        expectValidSignature(request, request.target);
        nonces.insert(request.header("x-pm-nonce"));
    }
    EXPECT_EQ(nonces.size(), seen.size());
}

}  // namespace
}  // namespace tessaro

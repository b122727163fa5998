// Authorization: launch URL in, callback out, code exchanged; and each way it is refused.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

namespace tessaro::sandbox::testing {
namespace {

TEST(Authorize, LaunchURLOverHTTPCallbackOverLoopbackAndCodeExchanged) {
    LoopbackHost host;
    Harness h({}, Harness::Delivery::bySandbox);
    Session s;
    const std::string state = "st " + tc::randomToken(12) + "+/";  // survives encoding both ways

    Response opened = h.post("/sandbox/open", {{"url", h.authorizeURL(s, state, host.redirect())}});
    ASSERT_EQ(opened.status, 202) << opened.body.dump();
    const auto callback = callbackFor(host.inbox(), state);
    ASSERT_TRUE(callback.has_value());
    auto query = queryOf(*callback);
    EXPECT_EQ(query["tq"], "authorize");
    EXPECT_FALSE(query.contains("error"));
    ASSERT_FALSE(query["code"].empty());

    Response tokens = h.exchange(query["code"], s.pkce.verifier, host.redirect());
    ASSERT_EQ(tokens.status, 200) << tokens.body.dump();
    EXPECT_EQ(tokens.body["account_id"], "acct_demo");
    EXPECT_EQ(tokens.body["expires_in"], 3600);
    EXPECT_EQ(tokens.body["account_identity_public_key"], h.sandbox().identityPublicKey());
    EXPECT_TRUE(tokens.body["refresh_token"].is_string());
    // The default grant: the family and personal vaults, not the work vault.
    const Json expectedVaults = Json::array({
        {{"vault_id", "vlt_family"}, {"name", "家庭"}, {"kind", "shared"}, {"mode", 2}},
        {{"vault_id", "vlt_personal"}, {"name", "个人"}, {"kind", "personal"}, {"mode", 1}},
    });
    EXPECT_EQ(tokens.body["vaults"], expectedVaults);

    s.accessToken = tokens.body["access_token"];
    Response account = h.call(s, "GET", "/api/oauth/account");
    ASSERT_EQ(account.status, 200) << account.body.dump();
    EXPECT_EQ(account.body["identity_public_key"], h.sandbox().identityPublicKey());
    EXPECT_EQ(account.body["vaults"], expectedVaults);
}

TEST(Authorize, WrongVerifierIsRefusedAndSpendsTheCode) {
    Harness h;
    Session s;
    const std::string code = h.codeFor(s);
    Response wrong = h.exchange(code, tc::PKCE().verifier);
    EXPECT_EQ(wrong.status, 400);
    EXPECT_EQ(wrong.error(), "invalid_code_verifier");
    EXPECT_EQ(h.exchange(code, s.pkce.verifier).error(), "code_reused");
}

TEST(Authorize, ReusedCodeIsRefusedAndRevokesTheGrantItGave) {
    Harness h;
    Session s;
    const std::string code = h.codeFor(s);
    Response first = h.exchange(code, s.pkce.verifier);
    ASSERT_EQ(first.status, 200);
    s.accessToken = first.body["access_token"];
    ASSERT_EQ(h.call(s, "GET", "/api/oauth/account").status, 200);

    Response again = h.exchange(code, s.pkce.verifier);
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(again.error(), "code_reused");
    Response account = h.call(s, "GET", "/api/oauth/account");
    EXPECT_EQ(account.status, 403);
    EXPECT_EQ(account.error(), "grant_revoked");
}

TEST(Authorize, UnknownRedirectOrClientIsRefusedWithoutCallback) {
    Harness h;
    Session s;
    const std::string state = tc::randomToken(24);
    EXPECT_EQ(h.sandbox().open(h.authorizeURL(s, state, "tessarodemo://evil/callback")),
              (OpenResult{false, "unregistered_redirect_uri"}));
    EXPECT_EQ(h.sandbox().open(h.authorizeURL(s, state, "tessarodemo://tessaro/callback/")),
              (OpenResult{false, "unregistered_redirect_uri"}));
    EXPECT_EQ(h.sandbox().open(h.authorizeURL(s, state, "http://localhost:8080/cb")),
              (OpenResult{false, "unregistered_redirect_uri"}));
    EXPECT_EQ(h.sandbox().open(h.authorizeURL(s, state, "https://127.0.0.1/cb")),
              (OpenResult{false, "unregistered_redirect_uri"}));
    EXPECT_EQ(h.sandbox().open(h.authorizeURL(s, state, demoRedirect, "pmc_nobody")),
              (OpenResult{false, "invalid_client"}));
    Response overHTTP = h.post("/sandbox/open", {{"url", h.authorizeURL(s, state, "tessarodemo://evil/callback")}});
    EXPECT_EQ(overHTTP.status, 400);
    EXPECT_EQ(overHTTP.error(), "unregistered_redirect_uri");
    EXPECT_EQ(h.sandbox().open("tessaro://elsewhere?x=1"), (OpenResult{false, "unsupported_launch_url"}));

    // The simulated user works in order: the next accepted URL's callback is the first one.
    h.codeFor(s);
    ASSERT_EQ(h.callbacks().all().size(), 1u);
}

TEST(Authorize, ExchangeRefusesAnotherRedirectAnExpiredCodeAndBadRequests) {
    Harness h;
    {
        Session s;
        const std::string state = tc::randomToken(24);
        ASSERT_TRUE(h.sandbox().open(h.authorizeURL(s, state, "http://127.0.0.1:4000/cb")).accepted);
        const std::string code = queryOf(callbackFor(h.callbacks(), state).value())["code"];
        EXPECT_EQ(h.exchange(code, s.pkce.verifier, "http://127.0.0.1:4001/cb").error(), "redirect_uri_mismatch");
    }
    {
        Session s;
        const std::string code = h.codeFor(s);
        h.advanceClock(61s);
        EXPECT_EQ(h.exchange(code, s.pkce.verifier).error(), "code_expired");
    }
    EXPECT_EQ(h.exchange("no-such-code", tc::PKCE().verifier).error(), "invalid_grant");
    EXPECT_EQ(h.post("/api/oauth/token", {{"grant_type", "authorization_code"},
                                          {"client_id", "pmc_nobody"},
                                          {"code", "x"},
                                          {"redirect_uri", demoRedirect},
                                          {"code_verifier", "v"}})
                  .error(),
              "invalid_client");
    EXPECT_EQ(
        h.post("/api/oauth/token", {{"grant_type", "password"}, {"client_id", std::string(Sandbox::demoClientID)}})
            .error(),
        "unsupported_grant_type");
    EXPECT_EQ(h.post("/api/oauth/token", {{"grant_type", "authorization_code"}}).error(), "invalid_request");
    Response plain = h.postRaw("/api/oauth/token", "{}", "text/plain");
    EXPECT_EQ(plain.status, 415);
    EXPECT_EQ(plain.error(), "unsupported_media_type");
}

TEST(Authorize, RefusalsAndMalformedRequestsReachTheHostAsErrors) {
    Harness h;
    auto errorFor = [&](Policy::Decision decision) {
        Policy policy = h.sandbox().policy();
        policy.decision = decision;
        h.sandbox().setPolicy(policy);
        Session s;
        const std::string state = tc::randomToken(24);
        EXPECT_TRUE(h.sandbox().open(h.authorizeURL(s, state)).accepted);
        auto query = queryOf(callbackFor(h.callbacks(), state).value_or(""));
        EXPECT_FALSE(query.contains("code"));
        return query["error"];
    };
    EXPECT_EQ(errorFor(Policy::Decision::deny), "access_denied");
    EXPECT_EQ(errorFor(Policy::Decision::notSignedIn), "not_signed_in");

    h.sandbox().setPolicy(Policy{});
    Session s;
    const std::string state = tc::randomToken(24);
    std::string url = h.authorizeURL(s, state);
    url.replace(url.find("S256"), 4, "plain");
    ASSERT_TRUE(h.sandbox().open(url).accepted);
    EXPECT_EQ(queryOf(callbackFor(h.callbacks(), state).value_or(""))["error"], "invalid_request");
}

TEST(Authorize, PolicyNamesTheGrantedVaults) {
    Harness h;
    EXPECT_THROW(h.sandbox().setPolicy(Policy{.grantVaults = std::vector<std::string>{"vlt_nowhere"}}),
                 std::invalid_argument);
    Response changed = h.post("/sandbox/policy", {{"grant_vaults", {"vlt_work"}}, {"step", 0}});
    ASSERT_EQ(changed.status, 200) << changed.body.dump();
    EXPECT_EQ(h.post("/sandbox/policy", {{"decision", "maybe"}}).error(), "invalid_policy");
    const Session s = h.authorize();
    ASSERT_EQ(s.tokenResponse["vaults"].size(), 1u);
    EXPECT_EQ(s.tokenResponse["vaults"][0]["vault_id"], "vlt_work");
}

}  // namespace
}  // namespace tessaro::sandbox::testing

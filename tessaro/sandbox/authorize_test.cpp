// Authorization: launch URL in, callback out, code exchanged, and each way it is refused; then the
// tokens: refresh rotation, reuse detection, expiry and revocation.

#include <tessaro/records/exception.hpp>
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
    auto query = queryOf(callbackFor(host.inbox(), state).value_or(""));
    EXPECT_EQ(query["tq"], "authorize");
    ASSERT_FALSE(query["code"].empty());

    Response tokens = h.exchange(query["code"], s.pkce.verifier, host.redirect());
    ASSERT_EQ(tokens.status, 200) << tokens.body.dump();
    EXPECT_EQ(tokens.body["account_id"], "acct_demo");
    EXPECT_EQ(tokens.body["expires_in"], 3600);
    EXPECT_EQ(tokens.body["account_identity_public_key"], h.sandbox().identityPublicKey());
    // The default grant: the family and personal vaults, not the work vault; the account shows the same.
    const Json vaults = tokens.body["vaults"];
    ASSERT_EQ(vaults.size(), 2u);
    EXPECT_EQ(vaults[0]["vault_id"], "vlt_family");
    EXPECT_EQ(vaults[1]["vault_id"], "vlt_personal");
    s.accessToken = tokens.body["access_token"];
    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").body["vaults"], vaults);
}

TEST(Authorize, AReusedCodeIsRefusedAndRevokesTheGrantItGave) {
    Harness h;
    Session s;
    // A wrong verifier is refused and spends the code.
    const std::string spent = h.codeFor(s);
    EXPECT_EQ(h.exchange(spent, tc::PKCE().verifier).error(), "invalid_code_verifier");
    EXPECT_EQ(h.exchange(spent, s.pkce.verifier).error(), "code_reused");

    const std::string code = h.codeFor(s);
    Response first = h.exchange(code, s.pkce.verifier);
    ASSERT_EQ(first.status, 200);
    s.accessToken = first.body["access_token"];
    ASSERT_EQ(h.call(s, "GET", "/api/oauth/account").status, 200);
    EXPECT_EQ(h.exchange(code, s.pkce.verifier).error(), "code_reused");
    Response account = h.call(s, "GET", "/api/oauth/account");
    EXPECT_EQ(account.status, 403);
    EXPECT_EQ(account.error(), "grant_revoked");
}

TEST(Authorize, LaunchURLsForAnotherRedirectOrClientAreRefusedWithoutCallback) {
    Harness h;
    const Session s;
    const std::pair<std::string, const char*> cases[] = {
        {h.authorizeURL(s, "st", "tessarodemo://evil/callback"), "unregistered_redirect_uri"},
        {h.authorizeURL(s, "st", "tessarodemo://tessaro/callback/"), "unregistered_redirect_uri"},
        {h.authorizeURL(s, "st", "http://localhost:8080/cb"), "unregistered_redirect_uri"},
        {h.authorizeURL(s, "st", "https://127.0.0.1/cb"), "unregistered_redirect_uri"},
        {h.authorizeURL(s, "st", demoRedirect, "pmc_nobody"), "invalid_client"},
        {"tessaro://elsewhere?x=1", "unsupported_launch_url"},
    };
    for (const auto& [url, error] : cases)
        EXPECT_EQ(h.sandbox().open(url), (OpenResult{false, error})) << url;
    Response overHTTP = h.post("/sandbox/open", {{"url", cases[0].first}});
    EXPECT_EQ(overHTTP.status, 400);
    EXPECT_EQ(overHTTP.error(), "unregistered_redirect_uri");
    // The simulated user works in order: the next accepted URL's callback is the first one.
    h.codeFor(s);
    EXPECT_EQ(h.callbacks().all().size(), 1u);
}

TEST(Authorize, TheTokenEndpointRefusesWhatItCannotExchange) {
    Harness h;
    Session loopback, late;
    ASSERT_TRUE(h.sandbox().open(h.authorizeURL(loopback, "lo", "http://127.0.0.1:4000/cb")).accepted);
    const std::string loopbackCode = queryOf(callbackFor(h.callbacks(), "lo").value_or(""))["code"];
    const Response mismatch = h.exchange(loopbackCode, loopback.pkce.verifier, "http://127.0.0.1:4001/cb");
    const std::string lateCode = h.codeFor(late);
    h.advanceClock(61s);
    const Json demo = std::string(Sandbox::demoClientID);
    const std::pair<Response, const char*> cases[] = {
        {mismatch, "redirect_uri_mismatch"},
        {h.exchange(lateCode, late.pkce.verifier), "code_expired"},
        {h.exchange("no-such-code", tc::PKCE().verifier), "invalid_grant"},
        {h.post("/api/oauth/token", {{"grant_type", "authorization_code"},
                                     {"client_id", "pmc_nobody"},
                                     {"code", "x"},
                                     {"redirect_uri", demoRedirect},
                                     {"code_verifier", "v"}}),
         "invalid_client"},
        {h.post("/api/oauth/token", {{"grant_type", "password"}, {"client_id", demo}}), "unsupported_grant_type"},
        {h.post("/api/oauth/token", {{"grant_type", "authorization_code"}}), "invalid_request"},
        {h.post("/api/oauth/token", Json::object(), "text/plain"), "unsupported_media_type"},
    };
    for (const auto& [response, error] : cases) {
        EXPECT_EQ(response.error(), error);
        const std::map<std::string, int> statuses = {{"invalid_client", 401}, {"unsupported_media_type", 415}};
        EXPECT_EQ(response.status, statuses.contains(error) ? statuses.at(error) : 400) << error;
    }
}

TEST(Authorize, DenialAndNotSignedInReachTheHostAsErrors) {
    Harness h;
    // An invalid request (no S256) is RefusalLog's row.
    for (const auto& [decision, error] : {std::pair{Policy::Decision::deny, "access_denied"},
                                          std::pair{Policy::Decision::notSignedIn, "not_signed_in"}}) {
        Policy policy = h.sandbox().policy();
        policy.decision = decision;
        h.sandbox().setPolicy(policy);
        Session s;
        const std::string state = tc::randomToken(24);
        ASSERT_TRUE(h.sandbox().open(h.authorizeURL(s, state)).accepted);
        auto query = queryOf(callbackFor(h.callbacks(), state).value_or(""));
        EXPECT_FALSE(query.contains("code")) << error;
        EXPECT_EQ(query["error"], error);
    }
}

TEST(Authorize, PolicyNamesTheGrantedVaults) {
    Harness h;
    EXPECT_THROW(h.sandbox().setPolicy(Policy{.grantVaults = std::vector<std::string>{"vlt_nowhere"}}),
                 InvalidArgument);
    EXPECT_EQ(h.post("/sandbox/policy", {{"decision", "maybe"}}).error(), "invalid_policy");
    ASSERT_EQ(h.post("/sandbox/policy", {{"grant_vaults", {"vlt_work"}}, {"step", 0}}).status, 200);
    const Session s = h.authorize();
    ASSERT_EQ(s.tokenResponse["vaults"].size(), 1u);
    EXPECT_EQ(s.tokenResponse["vaults"][0]["vault_id"], "vlt_work");
}

TEST(Tokens, RefreshRotatesBothTokensAndAReusedOneRevokesTheWholeGrant) {
    Harness h;
    Session s = h.authorize();
    const Session bystander = h.authorize();  // another grant stays untouched
    Response rotated = h.refresh(s.refreshToken);
    ASSERT_EQ(rotated.status, 200) << rotated.body.dump();
    EXPECT_NE(rotated.body["access_token"], s.accessToken);
    EXPECT_EQ(rotated.body["grant_id"], s.grantID);
    EXPECT_EQ(rotated.body["vaults"], s.tokenResponse["vaults"]);
    Session renewed = s;
    renewed.accessToken = rotated.body["access_token"];
    EXPECT_EQ(h.call(renewed, "GET", "/api/oauth/account").status, 200);

    Response reuse = h.refresh(s.refreshToken);
    EXPECT_EQ(reuse.status, 400);
    EXPECT_EQ(reuse.error(), "refresh_token_reused");
    EXPECT_EQ(h.refresh(rotated.body["refresh_token"]).error(), "grant_revoked");
    for (const Session& revoked : {s, renewed}) {
        Response call = h.call(revoked, "GET", "/api/oauth/account");
        EXPECT_EQ(call.status, 403);
        EXPECT_EQ(call.error(), "grant_revoked");
    }
    EXPECT_EQ(h.call(bystander, "GET", "/api/oauth/account").status, 200);
    EXPECT_EQ(h.refresh("pmrt_unknown").error(), "invalid_refresh_token");
    // A refresh token lives 30 days.
    h.advanceClock(30 * 24 * 3600s);
    EXPECT_EQ(h.refresh(bystander.refreshToken).error(), "refresh_expired");
}

TEST(Tokens, RevocationEndsTheGrantAndItsOpenRequests) {
    Harness h;
    Session s = h.authorize();
    Policy never = h.sandbox().policy();
    never.decision = Policy::Decision::never;
    h.sandbox().setPolicy(never);
    const Json demo = std::string(Sandbox::demoClientID);
    EXPECT_EQ(
        h.call(s, "POST", "/api/oauth/revoke", Json{{"token", s.accessToken}, {"client_id", "pmc_other"}}).error(),
        "client_mismatch");
    EXPECT_EQ(h.call(s, "POST", "/api/oauth/revoke", Json{{"client_id", demo}}).error(), "invalid_request");
    const std::string id = h.createRequest(s, {{"op", "pick_item"}, {"vault_id", nullptr}}).body["request_id"];
    ASSERT_EQ(h.call(s, "POST", "/api/oauth/revoke", Json{{"token", s.accessToken}, {"client_id", demo}}).status, 200);

    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").error(), "grant_revoked");
    EXPECT_EQ(h.refresh(s.refreshToken).error(), "grant_revoked");
    // The application finds the request closed (cancelled with the grant) and reports nothing.
    EXPECT_TRUE(h.sandbox().open(h.requestURL(id, "closed")).accepted);
    never.decision = Policy::Decision::approve;
    h.sandbox().setPolicy(never);
    h.authorize();  // the simulated user works in order: this comes after the request URL
    EXPECT_EQ(h.callbacks().count("state=closed"), 0u);
}

}  // namespace
}  // namespace tessaro::sandbox::testing

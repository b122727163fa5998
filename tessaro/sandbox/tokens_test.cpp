// Tokens: expiry, refresh rotation, reuse detection and revocation.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

namespace tessaro::sandbox::testing {
namespace {

TEST(Tokens, RefreshRotatesBothTokens) {
    Harness h;
    Session s = h.authorize();
    Response refreshed = h.refresh(s.refreshToken);
    ASSERT_EQ(refreshed.status, 200) << refreshed.body.dump();
    EXPECT_NE(refreshed.body["access_token"], s.accessToken);
    EXPECT_NE(refreshed.body["refresh_token"], s.refreshToken);
    EXPECT_EQ(refreshed.body["grant_id"], s.grantID);
    EXPECT_EQ(refreshed.body["vaults"], s.tokenResponse["vaults"]);
    s.accessToken = refreshed.body["access_token"];
    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").status, 200);
    // The new refresh token works in its turn.
    EXPECT_EQ(h.refresh(refreshed.body["refresh_token"]).status, 200);
}

TEST(Tokens, ReusedRefreshTokenRevokesTheWholeGrant) {
    Harness h;
    Session s = h.authorize();
    const Session bystander = h.authorize();  // another grant stays untouched
    Response rotated = h.refresh(s.refreshToken);
    ASSERT_EQ(rotated.status, 200);

    Response reuse = h.refresh(s.refreshToken);
    EXPECT_EQ(reuse.status, 400);
    EXPECT_EQ(reuse.error(), "refresh_token_reused");

    EXPECT_EQ(h.refresh(rotated.body["refresh_token"]).error(), "grant_revoked");
    for (const std::string& token : {s.accessToken, rotated.body["access_token"].get<std::string>()}) {
        s.accessToken = token;
        Response call = h.call(s, "GET", "/api/oauth/account");
        EXPECT_EQ(call.status, 403);
        EXPECT_EQ(call.error(), "grant_revoked");
    }
    EXPECT_EQ(h.call(bystander, "GET", "/api/oauth/account").status, 200);
    EXPECT_EQ(h.refresh("pmrt_unknown").error(), "invalid_refresh_token");
}

TEST(Tokens, ExpiredAccessTokenIsRefusedUntilRefreshed) {
    Options options;
    options.accessTokenLifetime = 120s;
    Harness h(options);
    Session s = h.authorize();
    EXPECT_EQ(s.tokenResponse["expires_in"], 120);
    h.advanceClock(121s);
    Response expired = h.call(s, "GET", "/api/oauth/account");
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.error(), "token_expired");

    Response refreshed = h.refresh(s.refreshToken);
    ASSERT_EQ(refreshed.status, 200);
    s.accessToken = refreshed.body["access_token"];
    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").status, 200);
}

TEST(Tokens, ExpiredRefreshTokenIsRefused) {
    Options options;
    options.refreshTokenLifetime = 3600s;
    Harness h(options);
    const Session s = h.authorize();
    h.advanceClock(3601s);
    EXPECT_EQ(h.refresh(s.refreshToken).error(), "refresh_expired");
}

TEST(Tokens, RevocationEndsTheGrantAndItsOpenRequests) {
    Harness h;
    Session s = h.authorize();
    Policy never = h.sandbox().policy();
    never.decision = Policy::Decision::never;
    h.sandbox().setPolicy(never);

    EXPECT_EQ(
        h.call(s, "POST", "/api/oauth/revoke", Json{{"token", s.accessToken}, {"client_id", "pmc_other"}}).error(),
        "client_mismatch");
    EXPECT_EQ(h.call(s, "POST", "/api/oauth/revoke", Json{{"client_id", std::string(Sandbox::demoClientID)}}).error(),
              "invalid_request");

    Response created = h.createRequest(s, {{"op", "pick_item"}, {"vault_id", nullptr}});
    ASSERT_EQ(created.status, 201);
    Response revoked = h.call(s, "POST", "/api/oauth/revoke",
                              Json{{"token", s.accessToken}, {"client_id", std::string(Sandbox::demoClientID)}});
    ASSERT_EQ(revoked.status, 200) << revoked.body.dump();

    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").error(), "grant_revoked");
    EXPECT_EQ(h.refresh(s.refreshToken).error(), "grant_revoked");
    // The application finds the request closed (cancelled with the grant) and reports nothing.
    const std::string state = tc::randomToken(24);
    EXPECT_TRUE(h.sandbox().open(h.requestURL(created.body["request_id"], state)).accepted);
    h.sandbox().setPolicy(Policy{});
    h.authorize();  // the simulated user works in order: this comes after the request URL
    for (const std::string& url : h.callbacks().all())
        EXPECT_NE(queryOf(url)["state"], state);
}

}  // namespace
}  // namespace tessaro::sandbox::testing

// Tokens: refresh rotation, expiry, reuse detection and revocation.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

namespace tessaro::sandbox::testing {
namespace {

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

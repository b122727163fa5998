// Signed endpoints: the checks in order (token, timestamp, nonce, signature), each with its code.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

namespace tessaro::sandbox::testing {
namespace {

class Signature : public ::testing::Test {
protected:
    Harness h;
    Session s = h.authorize();

    Signed pickRequest() {
        return h.sign(s, "POST", "/api/oauth/requests", Json{{"op", "pick_item"}, {"vault_id", nullptr}});
    }
    // At `timestamp`, which the signature covers only when re-signed.
    Signed at(const std::string& timestamp, bool resign = false) {
        Signed r = pickRequest();
        r.timestamp = timestamp;
        if (resign) h.resign(s, r);
        return r;
    }
    // Signed `skew` seconds off the server clock.
    Signed atSkew(std::int64_t skew) { return at(std::to_string(h.serverSeconds() + skew), true); }
};

// Each request is changed after signing (re-signed where the change alone is under test).
TEST_F(Signature, TamperedRequestsAreRefusedWithTheirCode) {
    const std::string first = h.send(pickRequest()).body["request_id"];
    const Signed genuine = pickRequest();
    Signed body = genuine, path = h.sign(s, "GET", "/api/oauth/requests/" + first),
           method = h.sign(s, "POST", "/api/oauth/account"), otherKey = pickRequest(), noBearer = pickRequest();
    noBearer.token.clear();
    otherKey.token = h.authorize().accessToken;  // signed with a key of another grant than the token's
    body.body[body.body.find("pick")] = 'P';
    path.path = "/api/oauth/requests/req_other";
    method.method = "GET";
    const std::pair<Signed, std::string> cases[] = {
        {body, "401 invalid_signature"},
        {path, "401 invalid_signature"},
        {method, "401 invalid_signature"},
        {otherKey, "401 invalid_signature"},
        {noBearer, "401 invalid_token"},
        {atSkew(-301), "401 stale_timestamp"},
        {atSkew(301), "401 stale_timestamp"},
        {at(""), "401 invalid_timestamp"},
        {at("+1700000000"), "401 invalid_timestamp"},
        {at("017"), "401 invalid_timestamp"},
        {h.sign(h.authorize(), "GET", "/api/oauth/requests/" + first), "404 request_not_found"},
    };
    for (const auto& [request, expected] : cases) {
        const Response response = h.send(request);
        EXPECT_EQ(std::to_string(response.status) + " " + response.error(), expected) << request.method << request.path;
    }
    // Only an authenticated request spends its nonce; 290 s off is within the window.
    EXPECT_EQ(h.send(genuine).status, 201);
    EXPECT_EQ(h.send(atSkew(-290)).status, 201);
}

TEST_F(Signature, ReplayedNonceIsRefused) {
    const Signed request = pickRequest();
    EXPECT_EQ(h.send(request).status, 201);
    // The same nonce, even under a new timestamp and a valid signature, is a replay.
    Signed again = request;
    again.timestamp = std::to_string(std::stoll(request.timestamp) - 1);
    h.resign(s, again);
    EXPECT_EQ(h.send(again).error(), "nonce_reused");

    // Signed 290 s ahead of the server clock, the request is still fresh after the clock moved
    // 400 s: its nonce must outlive one window.
    Signed ahead = atSkew(290);
    EXPECT_EQ(h.send(ahead).status, 201);
    h.advanceClock(std::chrono::seconds(400));
    EXPECT_EQ(h.send(ahead).error(), "nonce_reused");
}

TEST_F(Signature, ChecksRunInOrder) {
    // Unknown token first, whatever else is wrong.
    Signed request = at("0");
    request.token = "pmat_unknown";
    EXPECT_EQ(h.send(request).error(), "invalid_token");

    // A stale timestamp is reported before a bad signature.
    EXPECT_EQ(h.send(at("0")).error(), "stale_timestamp");

    // A replayed nonce is reported before a bad signature.
    Signed replay = pickRequest();
    ASSERT_EQ(h.send(replay).status, 201);
    replay.signature = pickRequest().signature;
    EXPECT_EQ(h.send(replay).error(), "nonce_reused");

    // An expired token comes before the (now stale) timestamp.
    const Signed late = pickRequest();
    h.advanceClock(3601s);
    EXPECT_EQ(h.send(late).error(), "token_expired");
}

}  // namespace
}  // namespace tessaro::sandbox::testing

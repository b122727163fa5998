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
};

TEST_F(Signature, ValidRequestsPass) {
    EXPECT_EQ(h.call(s, "GET", "/api/oauth/account").status, 200);
    Response created = h.send(pickRequest());
    ASSERT_EQ(created.status, 201) << created.body.dump();
    // A multi-segment path is signed exactly as sent.
    EXPECT_EQ(h.readRequest(s, created.body["request_id"]).status, 200);
}

TEST_F(Signature, ChangedBodyByteFailsAndDoesNotSpendTheNonce) {
    Signed request = pickRequest();
    const Signed original = request;
    request.body[request.body.find("pick")] = 'P';
    Response tampered = h.send(request);
    EXPECT_EQ(tampered.status, 401);
    EXPECT_EQ(tampered.error(), "invalid_signature");
    // Only an authenticated request spends its nonce: the genuine one still goes through.
    EXPECT_EQ(h.send(original).status, 201);
}

TEST_F(Signature, ChangedPathFails) {
    const std::string first = h.send(pickRequest()).body["request_id"];
    const std::string second = h.send(pickRequest()).body["request_id"];
    Signed read = h.sign(s, "GET", "/api/oauth/requests/" + first);
    read.path = "/api/oauth/requests/" + second;
    Response response = h.send(read);
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(response.error(), "invalid_signature");
}

TEST_F(Signature, SignatureByAnotherKeyOrOfAnotherMethodFails) {
    Signed request = pickRequest();
    Session impostor = s;
    impostor.approval = tc::ApprovalKeypair();
    h.resign(impostor, request);
    EXPECT_EQ(h.send(request).error(), "invalid_signature");

    Signed account = h.sign(s, "POST", "/api/oauth/account");
    account.method = "GET";
    EXPECT_EQ(h.send(account).error(), "invalid_signature");
}

TEST_F(Signature, TimestampOutsideTheWindowIsStale) {
    for (const std::int64_t skew : {-301, 301, -100000}) {
        Signed request = pickRequest();
        request.timestamp = std::to_string(h.serverSeconds() + skew);
        h.resign(s, request);
        Response response = h.send(request);
        EXPECT_EQ(response.status, 401) << skew;
        EXPECT_EQ(response.error(), "stale_timestamp") << skew;
    }
    Signed inWindow = pickRequest();
    inWindow.timestamp = std::to_string(h.serverSeconds() - 290);
    h.resign(s, inWindow);
    EXPECT_EQ(h.send(inWindow).status, 201);

    for (const char* text : {"", "12a", "+1700000000", "017"}) {
        Signed request = pickRequest();
        request.timestamp = text;
        Response response = h.send(request);
        EXPECT_EQ(response.status, 401) << text;
        EXPECT_EQ(response.error(), "invalid_timestamp") << text;
    }
}

TEST_F(Signature, ReplayedNonceIsRefused) {
    const Signed request = pickRequest();
    EXPECT_EQ(h.send(request).status, 201);
    Response replay = h.send(request);
    EXPECT_EQ(replay.status, 401);
    EXPECT_EQ(replay.error(), "nonce_reused");

    // The same nonce under a new timestamp and a valid signature is still a replay.
    Signed again = request;
    again.timestamp = std::to_string(std::stoll(request.timestamp) - 1);
    h.resign(s, again);
    EXPECT_EQ(h.send(again).error(), "nonce_reused");

    // Signed 290 s ahead of the server clock, the request is still fresh after the clock moved
    // 400 s: its nonce must outlive one window.
    Signed ahead = pickRequest();
    ahead.timestamp = std::to_string(std::stoll(ahead.timestamp) + 290);
    h.resign(s, ahead);
    EXPECT_EQ(h.send(ahead).status, 201);
    h.advanceClock(std::chrono::seconds(400));
    EXPECT_EQ(h.send(ahead).error(), "nonce_reused");
}

TEST_F(Signature, ChecksRunInOrder) {
    // Unknown token first, whatever else is wrong.
    Signed request = pickRequest();
    request.token = "pmat_unknown";
    request.timestamp = "0";
    EXPECT_EQ(h.send(request).error(), "invalid_token");
    Signed noBearer = pickRequest();
    noBearer.token.clear();
    EXPECT_EQ(h.send(noBearer).error(), "invalid_token");

    // A stale timestamp is reported before a bad signature.
    Signed stale = pickRequest();
    stale.timestamp = "0";
    EXPECT_EQ(h.send(stale).error(), "stale_timestamp");

    // A replayed nonce is reported before a bad signature.
    const Signed spent = pickRequest();
    ASSERT_EQ(h.send(spent).status, 201);
    Signed replay = spent;
    replay.signature = pickRequest().signature;
    EXPECT_EQ(h.send(replay).error(), "nonce_reused");

    // An expired token comes before the (now stale) timestamp.
    const Signed late = pickRequest();
    h.advanceClock(3601s);
    Response expired = h.send(late);
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.error(), "token_expired");
}

TEST_F(Signature, RequestOfAnotherGrantIsNotFound) {
    const std::string id = h.send(pickRequest()).body["request_id"];
    const Session other = h.authorize();
    Response response = h.readRequest(other, id);
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.error(), "request_not_found");
}

}  // namespace
}  // namespace tessaro::sandbox::testing

// Requests: what the simulated user picks, refusals, denials, waiting, expiry and cancel, each seen
// through the status the server returns. Approved get, create and update with the kit's sealing
// are the end-to-end full run (Items.AuthorizeThenPickGetCreateAndUpdateAsApproved).

#include <tessaro/records/exception.hpp>
#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

namespace tessaro::sandbox::testing {
namespace {

const Json pickAny = {{"op", "pick_item"}, {"vault_id", nullptr}};
const Json updateBank = {
    {"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}, {"fields", {"password"}}};
const Json newLogin = {
    {"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "login"}, {"prefill", Json::object()}};

// `body` with the members of `more` added or replaced.
Json with(Json body, const Json& more) {
    body.update(more);
    return body;
}

class Requests : public ::testing::Test {
protected:
    Harness h;
    Session s = h.authorize();

    void setPolicy(const std::function<void(Policy&)>& change) {
        Policy policy = h.sandbox().policy();
        change(policy);
        h.sandbox().setPolicy(policy);
    }

    std::string create(const Json& body) {
        Response created = h.createRequest(s, body);
        EXPECT_EQ(created.status, 201) << created.body.dump();
        EXPECT_EQ(created.body.value("state", ""), "pending");
        return created.body.value("request_id", "");
    }

    // Runs the request to its end through its launch URL; the status the server then returns.
    Json run(const std::string& id, const std::string& expectedStatus) {
        auto callback = h.runToCallback(id);
        callback.erase("state");
        EXPECT_EQ(callback, (std::map<std::string, std::string>{
                                {"tq", "request"}, {"request_id", id}, {"status", expectedStatus}}));
        Response status = h.readRequest(s, id);
        EXPECT_EQ(status.body.value("state", ""), expectedStatus);
        return status.body;
    }

    Response cancel(const std::string& id) {
        return h.call(s, "POST", "/api/oauth/requests/" + id + "/cancel", Json::object());
    }
    Response putPatch(const std::string& id, const std::string& sealed) {
        return h.call(s, "PUT", "/api/oauth/requests/" + id + "/patch", Json{{"patch_enc", sealed}});
    }
    // `plaintext` sealed to the account for the request `aadRequestID`.
    std::string seal(const std::string& aadRequestID, const std::string& plaintext) {
        return tc::seal(s.identityKey, tc::patchAAD(s.grantID, aadRequestID),
                        {reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size()});
    }
};

TEST_F(Requests, PickFollowsTheHintURLAndSealsTheItemToTheClient) {
    Json status = run(create(with(pickAny, {{"hint", {{"url", "https://bank.example/login"}}}, {"reason", "登录"}})),
                      "completed");
    EXPECT_EQ(status["picked_item"],
              (Json{{"id", "itm_bank"}, {"title", "示例银行"}, {"url", "https://bank.example"}, {"kind", "login"}}));
    // Sealed for this grant and request (opened with their AAD).
    EXPECT_EQ(h.openResult(s, status)["item"]["record"]["extra"]["login_url"], "https://bank.example/login");

    // Without a hint, the first item of the granted vaults; never an item outside the grant.
    EXPECT_EQ(run(create(pickAny), "completed")["picked_item"]["id"], "itm_wifi");
    setPolicy([](Policy& p) { p.pick = "itm_mail"; });
    EXPECT_EQ(run(create(pickAny), "denied")["deny_reason"], "item_not_available");
}

TEST_F(Requests, CreationBodiesAreValidated) {
    const Json personal = {{"vault_id", "vlt_personal"}}, family = {{"vault_id", "vlt_family"}};
    const std::vector<std::pair<Json, std::string>> cases = {
        {Json::array(), "invalid_request"},
        {{{"vault_id", nullptr}}, "missing_op"},
        {with(personal, {{"op", "delete_item"}}), "unsupported_op"},
        {{{"op", "pick_item"}}, "missing_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", 7}}, "invalid_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", "vlt_work"}}, "vault_not_granted"},
        {with(pickAny, {{"hint", "bank"}}), "invalid_hint"},
        {with(pickAny, {{"reason", 1}}), "invalid_reason"},
        {{{"op", "get_item"}, {"vault_id", nullptr}, {"item_id", "itm_bank"}}, "invalid_vault_id"},
        {with(personal, {{"op", "get_item"}}), "missing_item_id"},
        {with(family, {{"op", "get_item"}, {"item_id", "itm_bank"}}), "item_not_found"},
        {with(personal, {{"op", "create_item"}, {"prefill", Json::object()}}), "missing_kind"},
        {with(newLogin, {{"kind", "Login"}}), "invalid_kind"},
        {with(personal, {{"op", "create_item"}, {"kind", "login"}}), "missing_prefill"},
        {with(newLogin, {{"prefill", {{"extra_hint", {{"a", 1}}}}}}), "invalid_prefill"},
        {with(newLogin, {{"vault_id", "vlt_family"}}), "vault_read_only"},
        {{{"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}}, "missing_fields"},
        {with(updateBank, {{"fields", Json::array()}}), "invalid_fields"},
        {with(updateBank, {{"fields", {"password", "password"}}}), "invalid_fields"},
        {with(updateBank, {{"vault_id", "vlt_family"}, {"item_id", "itm_wifi"}}), "vault_read_only"},
    };
    for (const auto& [body, code] : cases) {
        Response response = h.createRequest(s, body);
        EXPECT_EQ(response.status, 400) << body.dump();
        EXPECT_EQ(response.error(), code) << body.dump();
    }
    Signed notJSON = h.sign(s, "POST", "/api/oauth/requests");
    notJSON.body = "{op";
    h.resign(s, notJSON);
    EXPECT_EQ(h.send(notJSON).error(), "invalid_json");
}

TEST_F(Requests, CreateOutOfScopeReturnsNothingAboutTheItem) {
    setPolicy([](Policy& p) { p.create = Policy::Create::outOfScope; });
    Json status = run(create(newLogin), "completed");
    EXPECT_TRUE(status["saved_out_of_scope"].get<bool>());
    EXPECT_FALSE(status.contains("result_enc") || status.contains("created_item"));
    // Saved (the newest item) into the first vault outside the grant.
    EXPECT_EQ(h.sandbox().items().back().vaultID, "vlt_work");
}

TEST_F(Requests, ConflictAndPatchesThatDoNotOpenAreDenials) {
    setPolicy([](Policy& p) { p.update = Policy::Update::conflict; });
    std::string id = create(updateBank);
    ASSERT_EQ(putPatch(id, seal(id, R"({"patch":{"password":"x"}})")).status, 200);
    EXPECT_EQ(putPatch(id, seal(id, R"({"patch":{"password":"y"}})")).error(), "patch_already_set");
    EXPECT_EQ(run(id, "denied")["deny_reason"], "conflict");
    setPolicy([](Policy& p) { p.update = Policy::Update::apply; });

    // Not sealed at all, the patch sealed for another request, other fields, or a plaintext that is
    // no patch: refused, never applied, never a crash.
    const std::string other = create(updateBank);
    ASSERT_EQ(putPatch(other, "not a sealed box").status, 200);
    EXPECT_EQ(run(other, "denied")["deny_reason"], "patch_open_failed");
    std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"patch":{"password":"x"}})", "patch_open_failed"},
        {R"({"patch":{"password":"x","notes":"y"}})", "patch_fields_mismatch"}};
    for (const char* plaintext : {"", "not json", "[1]", R"({"patch":{}})", R"({"patch":{"password":1}})",
                                  "{\"patch\":{\"password\":\"\xff\"}}"})
        cases.emplace_back(plaintext, "patch_malformed");
    for (const auto& [plaintext, reason] : cases) {
        id = create(updateBank);
        ASSERT_EQ(putPatch(id, seal(reason == "patch_open_failed" ? other : id, plaintext)).status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], reason);
    }
    EXPECT_EQ(h.sandbox().item("itm_bank")->revision, 1);
    EXPECT_EQ(putPatch(create(pickAny), "x").error(), "not_an_update");
}

TEST_F(Requests, DenialAndNotSignedInReachTheHost) {
    // The callback's status/error: a denial ends the request; not signed in leaves it pending.
    for (const auto& [decision, callback, state] :
         {std::tuple{Policy::Decision::deny, "denied/access_denied", "denied"},
          std::tuple{Policy::Decision::notSignedIn, "/not_signed_in", "pending"}}) {
        setPolicy([d = decision](Policy& p) { p.decision = d; });
        const std::string id = create(pickAny);
        auto query = h.runToCallback(id);
        EXPECT_EQ(query["status"] + "/" + query["error"], callback);
        EXPECT_EQ(h.readRequest(s, id).body["state"], state);
    }
}

TEST_F(Requests, WaitingStatesAdvanceAsTheUserActs) {
    setPolicy([](Policy& p) { p.step = 60s; });
    const std::string id = create(newLogin);
    Json status = h.readRequest(s, id).body;
    EXPECT_EQ(status["waiting_on"], "user");
    EXPECT_EQ(status["waiting_reason"], "approval");
    ASSERT_TRUE(h.sandbox().open(h.requestURL(id, "st")).accepted);
    EXPECT_TRUE(
        tessaro::testing::eventually([&] { return (status = h.readRequest(s, id).body)["state"] != "pending"; }));
    EXPECT_EQ(status["state"], "in_progress");
    EXPECT_EQ(status["waiting_reason"], "input");
}

TEST_F(Requests, ExpiredAndCancelledRequestsStayClosed) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::never; });
    const std::string expiring = create(pickAny), cancelled = create(pickAny);
    // expires_at: ISO 8601 in UTC.
    const std::string expiresAt = h.readRequest(s, expiring).body["expires_at"];
    EXPECT_EQ(std::to_string(expiresAt.size()) + expiresAt[10] + expiresAt.back(), "20TZ");

    EXPECT_EQ(cancel(cancelled).body["state"], "cancelled");
    EXPECT_EQ(cancel(cancelled).status, 200);
    h.advanceClock(601s);
    const Json expired = h.readRequest(s, expiring).body;
    EXPECT_EQ(expired["state"], "expired");
    EXPECT_FALSE(expired.contains("waiting_on"));
    EXPECT_EQ(cancel(expiring).error(), "request_closed");
    EXPECT_EQ(h.readRequest(s, cancelled).body["state"], "cancelled");

    // Opening it now only reports the outcome; a finished request cannot be cancelled.
    setPolicy([](Policy& p) { p.decision = Policy::Decision::approve; });
    EXPECT_EQ(h.runToCallback(expiring)["status"], "expired");
    const std::string done = create(pickAny);
    run(done, "completed");
    EXPECT_EQ(cancel(done).error(), "request_closed");
}

TEST_F(Requests, LaunchURLsMustMatchTheRequestsClient) {
    h.sandbox().registerClient({"pmc_other", {"oa://cb"}});
    const std::string id = create(pickAny);
    EXPECT_EQ(
        h.sandbox().open("tessaro://request?id=" + id + "&client_id=pmc_other&redirect_uri=oa%3A%2F%2Fcb&state=s"),
        (OpenResult{false, "client_mismatch"}));
    EXPECT_EQ(h.sandbox().open(h.requestURL("req_none", "s")), (OpenResult{false, "unknown_request"}));
    EXPECT_EQ(h.sandbox().open(h.requestURL(id, "")), (OpenResult{false, "missing_state"}));
    EXPECT_THROW(h.sandbox().registerClient({"other", {"otherapp://cb"}}), InvalidArgument);
    EXPECT_THROW(h.sandbox().registerClient({"pmc_x", {"http://example.com/cb"}}), InvalidArgument);
}

}  // namespace
}  // namespace tessaro::sandbox::testing

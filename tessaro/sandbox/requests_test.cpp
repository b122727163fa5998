// Requests: what the simulated user picks, refusals, denials, waiting, expiry and cancel, each seen
// through the status the server returns. Approved get, create and update with the kit's sealing
// are the end-to-end full run (Items.AuthorizeThenPickGetCreateAndUpdateAsApproved).

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

#include <algorithm>
#include <thread>

namespace tessaro::sandbox::testing {
namespace {

const Json pickAny = {{"op", "pick_item"}, {"vault_id", nullptr}};
const Json updateBank = {
    {"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}, {"fields", {"password"}}};

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
        EXPECT_EQ(callback["tq"], "request");
        EXPECT_EQ(callback["request_id"], id);
        EXPECT_EQ(callback["status"], expectedStatus);
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
    const std::string id = create({{"op", "pick_item"},
                                   {"vault_id", nullptr},
                                   {"hint", {{"url", "https://bank.example/login"}}},
                                   {"reason", "登录"}});
    Json status = run(id, "completed");
    EXPECT_EQ(status["picked_item"],
              (Json{{"id", "itm_bank"}, {"title", "示例银行"}, {"url", "https://bank.example"}, {"kind", "login"}}));
    Json result = h.openResult(s, status);
    EXPECT_EQ(result["item"]["record"]["username"], "demo@bank.example");
    EXPECT_EQ(result["item"]["record"]["extra"]["login_url"], "https://bank.example/login");
    // Sealed for this grant and request only.
    EXPECT_THROW(tc::open(status["result_enc"].get<std::string>(), tc::resultAAD(s.grantID, "req_other"), s.seal),
                 tc::CryptoError);

    // Without a hint, the first item of the granted vaults; never an item outside the grant.
    EXPECT_EQ(run(create(pickAny), "completed")["picked_item"]["id"], "itm_wifi");
    setPolicy([](Policy& p) { p.pick = "itm_mail"; });
    Json refused = run(create(pickAny), "denied");
    EXPECT_EQ(refused["deny_reason"], "item_not_available");
    EXPECT_FALSE(refused.contains("result_enc"));
}

TEST_F(Requests, CreationBodiesAreValidated) {
    const Json personal = {{"vault_id", "vlt_personal"}}, family = {{"vault_id", "vlt_family"}};
    const auto with = [](Json body, const Json& more) {
        body.update(more);
        return body;
    };
    const Json login = {{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "login"}};
    const std::vector<std::pair<Json, std::string>> cases = {
        {Json::array(), "invalid_request"},
        {{{"vault_id", nullptr}}, "missing_op"},
        {with(personal, {{"op", "delete_item"}}), "unsupported_op"},
        {{{"op", "pick_item"}}, "missing_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", 7}}, "invalid_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", "vlt_work"}}, "vault_not_granted"},
        {{{"op", "pick_item"}, {"vault_id", "vlt_nowhere"}}, "vault_not_granted"},
        {with(pickAny, {{"hint", "bank"}}), "invalid_hint"},
        {with(pickAny, {{"reason", 1}}), "invalid_reason"},
        {{{"op", "get_item"}, {"vault_id", nullptr}, {"item_id", "itm_bank"}}, "invalid_vault_id"},
        {with(personal, {{"op", "get_item"}}), "missing_item_id"},
        {{{"op", "get_item"}, {"vault_id", "vlt_work"}, {"item_id", "itm_mail"}}, "vault_not_granted"},
        {with(family, {{"op", "get_item"}, {"item_id", "itm_bank"}}), "item_not_found"},
        {with(personal, {{"op", "create_item"}, {"prefill", Json::object()}}), "missing_kind"},
        {with(login, {{"kind", "Login"}, {"prefill", Json::object()}}), "invalid_kind"},
        {login, "missing_prefill"},
        {with(login, {{"prefill", {{"extra_hint", {{"a", 1}}}}}}), "invalid_prefill"},
        {with(login, {{"vault_id", "vlt_family"}, {"prefill", Json::object()}}), "vault_read_only"},
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
    const std::string id =
        create({{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "api_key"}, {"prefill", Json::object()}});
    Json status = run(id, "completed");
    EXPECT_TRUE(status["saved_out_of_scope"].get<bool>());
    EXPECT_FALSE(status.contains("result_enc"));
    EXPECT_FALSE(status.contains("created_item"));
    // Saved into the first vault outside the grant.
    const auto items = h.sandbox().items();
    EXPECT_EQ(std::count_if(items.begin(), items.end(),
                            [](const Item& i) { return i.vaultID == "vlt_work" && i.record.kind == "api_key"; }),
              1);
}

TEST_F(Requests, ConflictAndPatchesThatDoNotOpenAreDenials) {
    setPolicy([](Policy& p) { p.update = Policy::Update::conflict; });
    std::string id = create(updateBank);
    ASSERT_EQ(putPatch(id, seal(id, R"({"patch":{"password":"x"}})")).status, 200);
    EXPECT_EQ(putPatch(id, seal(id, R"({"patch":{"password":"y"}})")).error(), "patch_already_set");
    EXPECT_EQ(run(id, "denied")["deny_reason"], "conflict");
    setPolicy([](Policy& p) { p.update = Policy::Update::apply; });

    // Sealed for another request, not sealed at all, other fields, or a plaintext that is no patch:
    // refused, never applied, never a crash.
    const std::string other = create(updateBank);
    std::vector<std::pair<std::function<std::string(const std::string&)>, const char*>> cases = {
        {[&](const std::string&) { return seal(other, R"({"patch":{"password":"x"}})"); }, "patch_open_failed"},
        {[](const std::string&) { return std::string("not a sealed box"); }, "patch_open_failed"},
        {[&](const std::string& request) { return seal(request, R"({"patch":{"password":"x","notes":"y"}})"); },
         "patch_fields_mismatch"},
    };
    for (const std::string plaintext : {"", "not json", "[1]", R"({"patch":{}})", R"({"patch":{"password":1}})",
                                        "{\"patch\":{\"password\":\"\xff\"}}"})
        cases.emplace_back([&, plaintext](const std::string& request) { return seal(request, plaintext); },
                           "patch_malformed");
    for (const auto& [sealed, reason] : cases) {
        id = create(updateBank);
        ASSERT_EQ(putPatch(id, sealed(id)).status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], reason);
    }
    EXPECT_EQ(h.sandbox().item("itm_bank")->revision, 1);
    EXPECT_EQ(putPatch(create(pickAny), "x").error(), "not_an_update");
}

TEST_F(Requests, DenialAndNotSignedInReachTheHost) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::deny; });
    const std::string denied = create(pickAny);
    auto callback = h.runToCallback(denied);
    EXPECT_EQ(callback["status"], "denied");
    EXPECT_EQ(callback["error"], "access_denied");
    EXPECT_EQ(h.readRequest(s, denied).body["deny_reason"], "user_denied");

    setPolicy([](Policy& p) { p.decision = Policy::Decision::notSignedIn; });
    const std::string waiting = create(pickAny);
    callback = h.runToCallback(waiting);
    EXPECT_EQ(callback["error"], "not_signed_in");
    EXPECT_FALSE(callback.contains("status"));
    EXPECT_EQ(h.readRequest(s, waiting).body["state"], "pending");
}

TEST_F(Requests, WaitingStatesAdvanceAsTheUserActs) {
    setPolicy([](Policy& p) { p.step = 60s; });
    const std::string id =
        create({{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "login"}, {"prefill", Json::object()}});
    Json status = h.readRequest(s, id).body;
    EXPECT_EQ(status["waiting_on"], "user");
    EXPECT_EQ(status["waiting_reason"], "approval");
    ASSERT_TRUE(h.sandbox().open(h.requestURL(id, "st")).accepted);
    for (int i = 0; i < 500 && status["state"] == "pending"; ++i) {
        std::this_thread::sleep_for(10ms);
        status = h.readRequest(s, id).body;
    }
    EXPECT_EQ(status["state"], "in_progress");
    EXPECT_EQ(status["waiting_reason"], "input");
}

TEST_F(Requests, ExpiredAndCancelledRequestsStayClosed) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::never; });
    Response created = h.createRequest(s, pickAny);
    const std::string expiring = created.body["request_id"], cancelled = create(pickAny);
    // expires_at: ISO 8601 in UTC, the configured lifetime ahead of the server clock.
    const std::string expiresAt = created.body["expires_at"];
    EXPECT_EQ(expiresAt.size(), 20u);
    EXPECT_EQ(expiresAt.substr(10, 1) + expiresAt.back(), "TZ");

    EXPECT_EQ(cancel(cancelled).body["state"], "cancelled");
    EXPECT_EQ(cancel(cancelled).status, 200);
    h.advanceClock(601s);
    Response expired = h.readRequest(s, expiring);
    EXPECT_EQ(expired.body["state"], "expired");
    EXPECT_FALSE(expired.body.contains("waiting_on"));
    EXPECT_EQ(cancel(expiring).error(), "request_closed");
    EXPECT_EQ(h.readRequest(s, cancelled).body["state"], "cancelled");

    // Opening it now only reports the outcome; a finished request cannot be cancelled.
    setPolicy([](Policy& p) { p.decision = Policy::Decision::approve; });
    EXPECT_EQ(h.runToCallback(expiring)["status"], "expired");
    const std::string done = create(pickAny);
    run(done, "completed");
    EXPECT_EQ(cancel(done).status, 409);
    EXPECT_EQ(cancel(done).error(), "request_closed");
}

TEST_F(Requests, LaunchURLsMustMatchTheRequestsClient) {
    h.sandbox().registerClient({"pmc_other", {"otherapp://cb"}});
    const std::string id = create(pickAny);
    const std::string demo = "&client_id=pmc_tessarodemo&redirect_uri=" + encode(demoRedirect);
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=" + id +
                               "&client_id=pmc_other&redirect_uri=otherapp%3A%2F%2Fcb&state=s"),
              (OpenResult{false, "client_mismatch"}));
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=req_none" + demo + "&state=s"),
              (OpenResult{false, "unknown_request"}));
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=" + id + demo), (OpenResult{false, "missing_state"}));
    EXPECT_THROW(h.sandbox().registerClient({"other", {"otherapp://cb"}}), std::invalid_argument);
    EXPECT_THROW(h.sandbox().registerClient({"pmc_x", {"http://example.com/cb"}}), std::invalid_argument);
}

}  // namespace
}  // namespace tessaro::sandbox::testing

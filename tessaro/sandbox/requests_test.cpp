// Requests: pick, get, create, update, refusals, expiry and cancel, each seen through the
// status the server returns.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

#include <thread>

namespace tessaro::sandbox::testing {
namespace {

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
        EXPECT_EQ(status.status, 200);
        EXPECT_EQ(status.body.value("state", ""), expectedStatus);
        return status.body;
    }

    Response putPatch(const std::string& id, const std::string& sealed) {
        return h.call(s, "PUT", "/api/oauth/requests/" + id + "/patch", Json{{"patch_enc", sealed}});
    }

    std::string sealPatch(const std::string& id, const Json& patch, const std::string& aadRequestID = "") {
        const std::string text = Json{{"patch", patch}}.dump();
        return tc::seal(s.identityKey, tc::patchAAD(s.grantID, aadRequestID.empty() ? id : aadRequestID),
                        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
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
    EXPECT_FALSE(status.contains("waiting_on"));
    Json result = h.openResult(s, status);
    EXPECT_EQ(result["item"]["id"], "itm_bank");
    EXPECT_EQ(result["item"]["revision"], 1);
    EXPECT_EQ(result["item"]["record"]["username"], "demo@bank.example");
    EXPECT_EQ(result["item"]["record"]["extra"]["login_url"], "https://bank.example/login");

    // Sealed for this grant and request only.
    EXPECT_THROW(tc::open(status["result_enc"].get<std::string>(), tc::resultAAD(s.grantID, "req_other"), s.seal),
                 tc::CryptoError);
}

TEST_F(Requests, PickWithoutAHintTakesTheFirstItemOfTheGrantedVaults) {
    EXPECT_EQ(run(create({{"op", "pick_item"}, {"vault_id", nullptr}}), "completed")["picked_item"]["id"], "itm_wifi");
    EXPECT_EQ(run(create({{"op", "pick_item"}, {"vault_id", "vlt_personal"}}), "completed")["picked_item"]["id"],
              "itm_bank");
    setPolicy([](Policy& p) { p.pick = "itm_card"; });
    EXPECT_EQ(run(create({{"op", "pick_item"}, {"vault_id", nullptr}}), "completed")["picked_item"]["id"], "itm_card");
    // An item outside the grant cannot be picked.
    setPolicy([](Policy& p) { p.pick = "itm_mail"; });
    Json refused = run(create({{"op", "pick_item"}, {"vault_id", nullptr}}), "denied");
    EXPECT_EQ(refused["deny_reason"], "item_not_available");
    EXPECT_FALSE(refused.contains("result_enc"));
}

TEST_F(Requests, GetReturnsTheNamedItem) {
    Json status = run(create({{"op", "get_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_card"}}), "completed");
    Json result = h.openResult(s, status);
    EXPECT_EQ(result["item"]["id"], "itm_card");
    EXPECT_EQ(result["item"]["revision"], 2);
    EXPECT_EQ(result["item"]["record"]["kind"], "credit_card");
    EXPECT_EQ(result["item"]["record"]["extra"]["number"], "4111 1111 1111 1111");
}

TEST_F(Requests, CreationBodiesAreValidated) {
    const std::vector<std::pair<Json, std::string>> cases = {
        {Json::array(), "invalid_request"},
        {{{"vault_id", nullptr}}, "missing_op"},
        {{{"op", "delete_item"}, {"vault_id", "vlt_personal"}}, "unsupported_op"},
        {{{"op", "pick_item"}}, "missing_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", 7}}, "invalid_vault_id"},
        {{{"op", "pick_item"}, {"vault_id", "vlt_work"}}, "vault_not_granted"},
        {{{"op", "pick_item"}, {"vault_id", "vlt_nowhere"}}, "vault_not_granted"},
        {{{"op", "pick_item"}, {"vault_id", nullptr}, {"hint", "bank"}}, "invalid_hint"},
        {{{"op", "pick_item"}, {"vault_id", nullptr}, {"reason", 1}}, "invalid_reason"},
        {{{"op", "get_item"}, {"vault_id", nullptr}, {"item_id", "itm_bank"}}, "invalid_vault_id"},
        {{{"op", "get_item"}, {"vault_id", "vlt_personal"}}, "missing_item_id"},
        {{{"op", "get_item"}, {"vault_id", "vlt_work"}, {"item_id", "itm_mail"}}, "vault_not_granted"},
        {{{"op", "get_item"}, {"vault_id", "vlt_family"}, {"item_id", "itm_bank"}}, "item_not_found"},
        {{{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"prefill", Json::object()}}, "missing_kind"},
        {{{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "Login"}, {"prefill", Json::object()}},
         "invalid_kind"},
        {{{"op", "create_item"}, {"vault_id", "vlt_personal"}, {"kind", "login"}}, "missing_prefill"},
        {{{"op", "create_item"},
          {"vault_id", "vlt_personal"},
          {"kind", "login"},
          {"prefill", {{"extra_hint", {{"a", 1}}}}}},
         "invalid_prefill"},
        {{{"op", "create_item"}, {"vault_id", "vlt_family"}, {"kind", "login"}, {"prefill", Json::object()}},
         "vault_read_only"},
        {{{"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}}, "missing_fields"},
        {{{"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}, {"fields", Json::array()}},
         "invalid_fields"},
        {{{"op", "update_item"},
          {"vault_id", "vlt_personal"},
          {"item_id", "itm_bank"},
          {"fields", {"password", "password"}}},
         "invalid_fields"},
        {{{"op", "update_item"}, {"vault_id", "vlt_family"}, {"item_id", "itm_wifi"}, {"fields", {"password"}}},
         "vault_read_only"},
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

TEST_F(Requests, CreateInScopeSavesIntoTheVaultAndSealsTheNewItem) {
    const std::string id = create({{"op", "create_item"},
                                   {"vault_id", "vlt_personal"},
                                   {"kind", "login"},
                                   {"prefill",
                                    {{"title", "新银行"},
                                     {"url", "https://bank.example/login"},
                                     {"username_hint", "zhang"},
                                     {"extra_hint", {{"pin", "1234"}}}}}});
    Json status = run(id, "completed");
    EXPECT_FALSE(status["saved_out_of_scope"].get<bool>());
    const std::string itemID = status["created_item"]["id"];
    EXPECT_EQ(status["created_item"]["title"], "新银行");
    Json result = h.openResult(s, status);
    EXPECT_EQ(result["item"]["id"], itemID);
    EXPECT_EQ(result["item"]["record"]["username"], "zhang");
    EXPECT_EQ(result["item"]["record"]["extra"]["pin"], "1234");

    const auto saved = h.sandbox().item(itemID);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->vaultID, "vlt_personal");
    EXPECT_EQ(saved->record.password, result["item"]["record"]["password"]);
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
    std::vector<Item> inWork;
    for (const Item& item : h.sandbox().items()) {
        if (item.vaultID == "vlt_work") inWork.push_back(item);
    }
    ASSERT_EQ(inWork.size(), 2u);
    EXPECT_EQ(inWork.back().record.kind, "api_key");
}

TEST_F(Requests, UpdateOpensTheSealedPatchAppliesItAndBumpsTheRevision) {
    const std::string id = create({{"op", "update_item"},
                                   {"vault_id", "vlt_personal"},
                                   {"item_id", "itm_bank"},
                                   {"fields", {"password", "title"}}});
    Response patched = putPatch(id, sealPatch(id, {{"password", "N3w/Pass"}, {"title", "示例银行（新）"}}));
    ASSERT_EQ(patched.status, 200) << patched.body.dump();
    EXPECT_EQ(putPatch(id, sealPatch(id, {{"password", "x"}})).error(), "patch_already_set");

    Json status = run(id, "completed");
    EXPECT_EQ(status["updated_item"], (Json{{"id", "itm_bank"}, {"revision", 2}}));
    const auto item = h.sandbox().item("itm_bank");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->revision, 2);
    EXPECT_EQ(item->record.password, "N3w/Pass");
    EXPECT_EQ(item->record.title, "示例银行（新）");
    EXPECT_EQ(item->record.username, "demo@bank.example");
}

TEST_F(Requests, ConflictAndPatchesThatDoNotOpenAreDenials) {
    auto update = [&] {
        return create(
            {{"op", "update_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}, {"fields", {"password"}}});
    };
    {
        setPolicy([](Policy& p) { p.update = Policy::Update::conflict; });
        const std::string id = update();
        ASSERT_EQ(putPatch(id, sealPatch(id, {{"password", "x"}})).status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], "conflict");
        setPolicy([](Policy& p) { p.update = Policy::Update::apply; });
    }
    {
        const std::string id = update();
        const std::string other = update();
        ASSERT_EQ(putPatch(id, sealPatch(id, {{"password", "x"}}, other)).status, 200);  // sealed for another request
        EXPECT_EQ(run(id, "denied")["deny_reason"], "patch_open_failed");
    }
    {
        const std::string id = update();
        ASSERT_EQ(putPatch(id, "not a sealed box").status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], "patch_open_failed");
    }
    {
        const std::string id = update();
        ASSERT_EQ(putPatch(id, sealPatch(id, {{"password", "x"}, {"notes", "y"}})).status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], "patch_fields_mismatch");
    }
    // Opens, but the plaintext is not a patch: refused, never applied, never a crash.
    for (const std::string plaintext : {"", "not json", "[1]", R"({"patch":{}})", R"({"patch":{"password":1}})",
                                        "{\"patch\":{\"password\":\"\xff\"}}"}) {
        const std::string id = update();
        const std::string sealed =
            tc::seal(s.identityKey, tc::patchAAD(s.grantID, id),
                     {reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size()});
        ASSERT_EQ(putPatch(id, sealed).status, 200);
        EXPECT_EQ(run(id, "denied")["deny_reason"], "patch_malformed") << plaintext;
    }
    const auto item = h.sandbox().item("itm_bank");
    EXPECT_EQ(item->revision, 1);
    EXPECT_EQ(item->record.password, "Demo-Bank-Pass-1");

    const std::string pick = create({{"op", "pick_item"}, {"vault_id", nullptr}});
    EXPECT_EQ(putPatch(pick, "x").error(), "not_an_update");
}

TEST_F(Requests, DenialAndNotSignedInReachTheHost) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::deny; });
    const std::string denied = create({{"op", "pick_item"}, {"vault_id", nullptr}});
    auto callback = h.runToCallback(denied);
    EXPECT_EQ(callback["status"], "denied");
    EXPECT_EQ(callback["error"], "access_denied");
    Response status = h.readRequest(s, denied);
    EXPECT_EQ(status.body["state"], "denied");
    EXPECT_EQ(status.body["deny_reason"], "user_denied");

    setPolicy([](Policy& p) { p.decision = Policy::Decision::notSignedIn; });
    const std::string waiting = create({{"op", "pick_item"}, {"vault_id", nullptr}});
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
    EXPECT_EQ(status["waiting_on"], "user");
    EXPECT_EQ(status["waiting_reason"], "input");
}

TEST_F(Requests, ExpiredRequestsReadAsExpiredAndStayClosed) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::never; });
    Response created = h.createRequest(s, {{"op", "pick_item"}, {"vault_id", nullptr}});
    const std::string id = created.body["request_id"];
    // expires_at: ISO 8601 with a zone, the configured lifetime ahead of the server clock.
    const std::string expiresAt = created.body["expires_at"];
    ASSERT_EQ(expiresAt.size(), 20u);
    EXPECT_EQ(expiresAt.back(), 'Z');
    EXPECT_EQ(expiresAt[10], 'T');

    h.advanceClock(601s);
    Response status = h.readRequest(s, id);
    EXPECT_EQ(status.body["state"], "expired");
    EXPECT_FALSE(status.body.contains("waiting_on"));
    EXPECT_EQ(h.call(s, "POST", "/api/oauth/requests/" + id + "/cancel", Json::object()).error(), "request_closed");

    // Opening it now only reports the outcome.
    setPolicy([](Policy& p) { p.decision = Policy::Decision::approve; });
    EXPECT_EQ(h.runToCallback(id)["status"], "expired");
    EXPECT_EQ(h.readRequest(s, id).body["state"], "expired");
}

TEST_F(Requests, CancelEndsAnOpenRequest) {
    setPolicy([](Policy& p) { p.decision = Policy::Decision::never; });
    const std::string id = create({{"op", "get_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}});
    Response cancelled = h.call(s, "POST", "/api/oauth/requests/" + id + "/cancel", Json::object());
    ASSERT_EQ(cancelled.status, 200);
    EXPECT_EQ(cancelled.body["state"], "cancelled");
    EXPECT_EQ(h.readRequest(s, id).body["state"], "cancelled");
    EXPECT_EQ(h.call(s, "POST", "/api/oauth/requests/" + id + "/cancel", Json::object()).status, 200);

    // A finished request cannot be cancelled.
    setPolicy([](Policy& p) { p.decision = Policy::Decision::approve; });
    const std::string done = create({{"op", "get_item"}, {"vault_id", "vlt_personal"}, {"item_id", "itm_bank"}});
    run(done, "completed");
    Response late = h.call(s, "POST", "/api/oauth/requests/" + done + "/cancel", Json::object());
    EXPECT_EQ(late.status, 409);
    EXPECT_EQ(late.error(), "request_closed");
}

TEST_F(Requests, LaunchURLsMustMatchTheRequestsClient) {
    h.sandbox().registerClient({"pmc_other", {"otherapp://cb"}});
    const std::string id = create({{"op", "pick_item"}, {"vault_id", nullptr}});
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=" + id +
                               "&client_id=pmc_other&redirect_uri=otherapp%3A%2F%2Fcb&state=s"),
              (OpenResult{false, "client_mismatch"}));
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=req_none&client_id=pmc_tessarodemo&redirect_uri=" +
                               encode(demoRedirect) + "&state=s"),
              (OpenResult{false, "unknown_request"}));
    EXPECT_EQ(h.sandbox().open("tessaro://request?id=" + id +
                               "&client_id=pmc_tessarodemo&redirect_uri=" + encode(demoRedirect)),
              (OpenResult{false, "missing_state"}));
    EXPECT_THROW(h.sandbox().registerClient({"other", {"otherapp://cb"}}), std::invalid_argument);
    EXPECT_THROW(h.sandbox().registerClient({"pmc_x", {"http://example.com/cb"}}), std::invalid_argument);
}

}  // namespace
}  // namespace tessaro::sandbox::testing

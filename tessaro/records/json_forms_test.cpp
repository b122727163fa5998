#include <tessaro/records/json_forms.hpp>

#include <gtest/gtest.h>

#include <string>

namespace tessaro::forms {
namespace {

using nlohmann::json;

TEST(JSONForms, InputFormsRoundTripThroughTheirText) {
    const TessaroHint fullHint{"https://bank.example", "银行", TessaroItemKind::secureNote};
    for (const TessaroHint& h : {fullHint, TessaroHint{}})
        EXPECT_EQ(hint(parseObject(h.json().dump(), "hint_json")), h);
    const TessaroPrefill fullPrefill{"T", "https://x.example", "me", {{"pin", "12"}, {"备注", ""}}};
    for (const TessaroPrefill& p : {fullPrefill, TessaroPrefill{}})
        EXPECT_EQ(prefill(parseObject(p.json().dump(), "prefill_json")), p);
    // Null members are absent; field names of a patch are any text.
    TessaroHint titleOnly;
    titleOnly.title = "t";
    EXPECT_EQ(hint(json::parse(R"({"url": null, "title": "t", "kind": null})")), titleOnly);
    TessaroPrefill extraOnly;
    extraOnly.extraHint = {{"b", "2"}};
    EXPECT_EQ(prefill(json::parse(R"({"extra_hint": {"a": null, "b": "2"}, "url": null})")), extraOnly);
    const std::map<TessaroField, std::string> fields{{"password", "n3w"}, {"一次性", "x"}, {"", ""}};
    EXPECT_EQ(patch(parseObject(R"({"password": "n3w", "一次性": "x", "": "", "notes": null})", "patch_json")), fields);
}

// The input form `what` names ("hint_json", "prefill_json", "patch_json") read from `text` as the
// C interface reads it.
void readForm(std::string_view what, std::string_view text) {
    const json form = parseObject(text, what);
    if (what == "hint_json") (void)hint(form);
    if (what == "prefill_json") (void)prefill(form);
    if (what == "patch_json") (void)patch(form);
}

TEST(JSONForms, InputFormsRefuseAnythingButTheirShape) {
    // The form, its text and the message of the InvalidArgument. A refused text may be a secret:
    // it is never quoted.
    const char* const cases[][3] = {
        {"hint_json", R"(["login"])", "hint_json: not a JSON object"},
        {"patch_json", R"({"password": "s3cret")", "patch_json: not valid JSON"},
        {"patch_json", "{\"password\": \"s3cr\xff\"}", "patch_json: not UTF-8"},
        {"hint_json", R"({"url": "u", "x": 1})", "hint_json: unknown member \"x\""},
        {"hint_json", R"({"url": 5})", "hint_json: \"url\" must be a string"},
        {"prefill_json", R"({"username": "me"})", "prefill_json: unknown member \"username\""},
        {"prefill_json", R"({"extra_hint": {"pin": 1234}})",
         "prefill_json: \"extra_hint\" member \"pin\" must be a string"},
        {"patch_json", R"({"password": 1234})", "patch_json: \"password\" must be a string"},
    };
    for (const auto& [what, text, message] : cases) {
        try {
            readForm(what, text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const InvalidArgument& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
    try {
        (void)hint(json{{"kind", "Login"}}, "hint");
        ADD_FAILURE() << "accepted a kind outside the six";
    } catch (const InvalidArgument& error) {
        EXPECT_EQ(std::string(error.what()).rfind("hint: \"kind\" must be one of \"login\", \"credit_card\"", 0), 0u);
    }
    EXPECT_THROW((void)patch(json::array()), InvalidArgument);
}

TEST(JSONForms, ItemFormsKeepAnUnknownKindRawAndTheExtraFields) {
    const TessaroItem wifi{"itm_1", 7,
                           TessaroRecord("Home", "", "pw", "", "n", TessaroItemKind::login, "wifi",
                                         {{"ssid", "home"}, {"band", "5"}}, "2026-01-02T03:04:05Z")};
    json expected = json::parse(R"({"id": "itm_1", "revision": 7, "title": "Home", "username": "",
        "password": null, "url": "", "notes": "n", "kind": "login", "kind_raw": "wifi",
        "extra": {"ssid": "home", "band": "5"}, "updated_at": "2026-01-02T03:04:05Z"})");
    EXPECT_EQ(item(wifi, Password::withheld), expected);
    expected["password"] = "pw";
    EXPECT_EQ(item(wifi, Password::included), expected);
    const TessaroItem apiKey{"i", 1, TessaroRecord("", "", "", "", "", TessaroItemKind::apiKey)};
    EXPECT_EQ(item(apiKey, Password::withheld).at("kind"), "api_key");

    EXPECT_EQ(created({"req_1", {}, {}, true}, Password::included),
              json::parse(R"({"request_id": "req_1", "saved_out_of_scope": true, "item": null, "summary": null})"));
    const TessaroCreated full{"req_2", wifi, TessaroItemSummary{"itm_1", "Home", "u", TessaroItemKind::server}};
    EXPECT_EQ(created(full, Password::withheld).at("item"), item(wifi, Password::withheld));
    EXPECT_EQ(created(full, Password::withheld).at("summary"),
              json::parse(R"({"id": "itm_1", "title": "Home", "url": "u", "kind": "server"})"));
    EXPECT_EQ(updated({"req_3", "itm_1", 8}),
              json::parse(R"({"request_id": "req_3", "item_id": "itm_1", "revision": 8})"));
}

TEST(JSONForms, GrantFormWritesAbsentVaultMembersAsNull) {
    const TessaroGrant g{"grt", "acct", {{"v1", "个人", "personal", 1}, {"v2", {}, {}, 2}}, "fp"};
    EXPECT_EQ(grant(g), json::parse(R"({"grant_id": "grt", "account_id": "acct", "approval_key_fingerprint": "fp",
        "vaults": [{"id": "v1", "name": "个人", "kind": "personal", "mode": 1},
                   {"id": "v2", "name": null, "kind": null, "mode": 2}]})"));
}

TEST(JSONForms, InvalidUTF8DumpsWithReplacementCharacters) {
    // A stray byte, a truncated three-byte sequence, a surrogate, and an invalid key of "extra".
    const TessaroRecord record(
        "a\xff"
        "b",
        "\xe2\x82x", "\xed\xa0\x80", "", "", TessaroItemKind::login, {}, {{"\xc3", "v"}});
    const std::string text = dump(item({"i", 1, record}, Password::included));
    const json form = json::parse(text);  // throws unless the text is valid UTF-8
    EXPECT_EQ(form.at("title"), "a\uFFFDb");
    EXPECT_NE(form.at("username").get<std::string>().find("\uFFFD"), std::string::npos);
    EXPECT_NE(form.at("password").get<std::string>().find("\uFFFD"), std::string::npos);
    EXPECT_EQ(form.at("extra").size(), 1u);
    EXPECT_NO_THROW(json::parse(dump(error(TessaroError::network("\xff")))));
}

TEST(JSONForms, WaitingFormCarriesOnlyThePresentMembers) {
    const TessaroWaiting consent(TessaroWaiting::Phase::authorize());
    EXPECT_EQ(waiting(consent), json({{"phase", "authorize"}, {"message", consent.message()}}));
    const TessaroWaiting request(TessaroWaiting::Phase::request("get_item"), "req_1", "user", "approval",
                                 timestampFromSeconds(1700000000.5));
    json expected = json::parse(R"({"phase": "request", "op": "get_item", "request_id": "req_1",
        "waiting_on": "user", "waiting_reason": "approval", "expires_at": 1700000000.5})");
    expected["message"] = request.message();
    EXPECT_EQ(waiting(request), expected);
}

TEST(JSONForms, ErrorFormCarriesThePayloadOfItsCase) {
    const auto protocol = TessaroError::protocol("malformed_response");
    EXPECT_EQ(error(protocol),
              json({{"error", "protocol"}, {"message", protocol.what()}, {"protocol_code", "malformed_response"}}));
    const auto notInstalled = TessaroError::notInstalled(TessaroError::defaultDownloadURL());
    EXPECT_EQ(error(notInstalled), json({{"error", "not_installed"},
                                         {"message", notInstalled.what()},
                                         {"download_url", "https://tessaro.example"}}));
    EXPECT_EQ(codeName(static_cast<TessaroError::Code>(99)), "unknown");
}

}  // namespace
}  // namespace tessaro::forms

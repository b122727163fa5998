#include <gtest/gtest.h>

#include "api/tessaro_api.hpp"

namespace tessaro {
namespace {

using json = nlohmann::json;
using APIError = TessaroAPI::APIError;
using TokenResponse = TessaroAPI::TokenResponse;
using AccountInfo = TessaroAPI::AccountInfo;
using RequestStatus = TessaroAPI::RequestStatus;

template <typename F>
void expectDecodingError(F&& read) {
    try {
        read();
        ADD_FAILURE() << "expected APIError::decoding";
    } catch (const APIError& error) {
        EXPECT_EQ(error, APIError::decoding());
    }
}

json minimalToken() { return {{"access_token", "at"}, {"grant_id", "g"}, {"account_id", "a"}}; }

TEST(TokenResponse, MinimalObjectTakesEveryDefault) {
    const TokenResponse token = TokenResponse::fromJSON(minimalToken());
    EXPECT_EQ(token, (TokenResponse{"at", 3600, std::nullopt, std::nullopt, "g", "a", {}, std::nullopt, std::nullopt}));
}

TEST(TokenResponse, ReadsEveryMember) {
    json object = minimalToken();
    object.update({{"expires_in", 900}, {"refresh_token", "rt"}, {"refresh_expires_in", 86400},
                   {"client_type", "public"}, {"account_identity_public_key", "pk"},
                   {"vaults", {{{"vault_id", "v1"}, {"name", "个人"}}, {{"vault_id", "v2"}, {"kind", "shared"}, {"mode", 3}}}},
                   {"unknown", {1, 2}}});
    const TokenResponse token = TokenResponse::fromJSON(object);
    EXPECT_EQ(token.expiresIn, 900);
    EXPECT_EQ(token.refreshToken, "rt");
    EXPECT_EQ(token.refreshExpiresIn, 86400);
    EXPECT_EQ(token.clientType, "public");
    EXPECT_EQ(token.accountIdentityPublicKey, "pk");
    EXPECT_EQ(token.vaults, (std::vector<TessaroVault>{{"v1", "个人", std::nullopt, 1}, {"v2", std::nullopt, "shared", 3}}));
}

TEST(TokenResponse, WrongTypesAndNullsInOptionalMembersCountAsMissing) {
    json object = minimalToken();
    object.update({{"expires_in", "900"}, {"refresh_token", 5}, {"refresh_expires_in", "x"},
                   {"client_type", nullptr}, {"account_identity_public_key", true}});
    EXPECT_EQ(TokenResponse::fromJSON(object), TokenResponse::fromJSON(minimalToken()));
    object["expires_in"] = nullptr;
    EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, 3600);
    object["expires_in"] = 12.5;
    EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, 3600);
    object["expires_in"] = 120.0;  // a whole number written as a float is still that integer
    EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, 120);
    object["expires_in"] = 18446744073709551615ull;  // does not fit a signed 64-bit integer
    EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, 3600);
    object["expires_in"] = true;
    EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, 3600);
}

TEST(TokenResponse, RequiredMembersMustBeStrings) {
    for (const char* key : {"access_token", "grant_id", "account_id"}) {
        json missing = minimalToken();
        missing.erase(key);
        expectDecodingError([&] { TokenResponse::fromJSON(missing); });
        json wrong = minimalToken();
        wrong[key] = 7;
        expectDecodingError([&] { TokenResponse::fromJSON(wrong); });
        wrong[key] = nullptr;
        expectDecodingError([&] { TokenResponse::fromJSON(wrong); });
    }
    expectDecodingError([] { TokenResponse::fromJSON(json::array({minimalToken()})); });
}

TEST(VaultList, OneBadElementOrANonArrayEmptiesTheList) {
    const json good = {{"vault_id", "v1"}};
    const std::vector<json> cases = {
        json::array({good, good, {{"name", "no id"}}}),
        json::array({good, {{"vault_id", 5}}}),
        json::array({good, "v2"}),
        json::object({{"vault_id", "v1"}}),
        "v1",
        7,
        nullptr,
    };
    for (const json& vaults : cases) {
        json token = minimalToken();
        token["vaults"] = vaults;
        EXPECT_TRUE(TokenResponse::fromJSON(token).vaults.empty()) << vaults.dump();
        const json account = {{"account_id", "a"}, {"identity_public_key", "k"}, {"vaults", vaults}};
        EXPECT_TRUE(AccountInfo::fromJSON(account).vaults.empty()) << vaults.dump();
    }
    json token = minimalToken();
    token["vaults"] = json::array({good, good});
    EXPECT_EQ(TokenResponse::fromJSON(token).vaults.size(), 2u);
    token["vaults"] = json::array();
    EXPECT_TRUE(TokenResponse::fromJSON(token).vaults.empty());
}

TEST(AccountInfo, RequiresAccountAndIdentityKey) {
    EXPECT_EQ(AccountInfo::fromJSON({{"account_id", "a"}, {"identity_public_key", "k"}}), (AccountInfo{"a", "k", {}}));
    expectDecodingError([] { AccountInfo::fromJSON({{"account_id", "a"}}); });
    expectDecodingError([] { AccountInfo::fromJSON({{"account_id", "a"}, {"identity_public_key", 1}}); });
    expectDecodingError([] { AccountInfo::fromJSON({{"account_id", nullptr}, {"identity_public_key", "k"}}); });
    expectDecodingError([] { AccountInfo::fromJSON("a"); });
}

TEST(RequestStatus, MinimalObjectHasEveryDefaultAndTerminalStates) {
    const RequestStatus open = RequestStatus::fromJSON({{"request_id", "r1"}, {"state", "awaiting_user"}});
    RequestStatus expected;
    expected.requestID = "r1";
    expected.state = "awaiting_user";
    EXPECT_EQ(open, expected);
    EXPECT_FALSE(open.savedOutOfScope);
    EXPECT_FALSE(open.existing);
    EXPECT_FALSE(open.isTerminal());

    for (const char* state : {"completed", "denied", "expired", "cancelled"}) {
        EXPECT_TRUE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", state}}).isTerminal()) << state;
    }
    for (const char* state : {"Completed", "CANCELLED", "", "pending", "completed "}) {
        EXPECT_FALSE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", state}}).isTerminal()) << state;
    }
}

TEST(RequestStatus, RequiredMembersMustBeStrings) {
    expectDecodingError([] { RequestStatus::fromJSON(json::object()); });
    expectDecodingError([] { RequestStatus::fromJSON({{"request_id", "r"}}); });
    expectDecodingError([] { RequestStatus::fromJSON({{"request_id", 5}, {"state", "completed"}}); });
    expectDecodingError([] { RequestStatus::fromJSON({{"request_id", "r"}, {"state", nullptr}}); });
    expectDecodingError([] { RequestStatus::fromJSON(json::array({"r", "completed"})); });
}

TEST(RequestStatus, ReadsEveryMember) {
    const json object = {
        {"request_id", "r1"},
        {"state", "completed"},
        {"op", "update_item"},
        {"vault_id", "v"},
        {"item_id", "i"},
        {"expires_at", "2025-01-02T03:04:05Z"},
        {"waiting_on", "device"},
        {"waiting_reason", "approval"},
        {"result_enc", "{\"sealed\":1}"},
        {"created_item", {{"id", "c1"}, {"title", "新"}, {"kind", "api_key"}}},
        {"picked_item", {{"id", "p1"}, {"url", "https://a.example"}}},
        {"updated_item", {{"id", "u1"}, {"revision", 8}}},
        {"saved_out_of_scope", true},
        {"existing", true},
        {"deny_reason", "user"},
    };
    const RequestStatus status = RequestStatus::fromJSON(object);
    EXPECT_EQ(status.op, "update_item");
    EXPECT_EQ(status.vaultID, "v");
    EXPECT_EQ(status.itemID, "i");
    ASSERT_TRUE(status.expiresAt);
    EXPECT_EQ(secondsSince1970(*status.expiresAt), 1735787045.0);
    EXPECT_EQ(status.waitingOn, "device");
    EXPECT_EQ(status.waitingReason, "approval");
    EXPECT_EQ(status.resultEnc, "{\"sealed\":1}");
    EXPECT_EQ(status.createdItem, (TessaroItemSummary{"c1", "新", "", TessaroItemKind::apiKey}));
    EXPECT_EQ(status.pickedItem, (TessaroItemSummary{"p1", "", "https://a.example", TessaroItemKind::login}));
    EXPECT_EQ(status.updatedItemID, "u1");
    EXPECT_EQ(status.updatedRevision, 8);
    EXPECT_TRUE(status.savedOutOfScope);
    EXPECT_TRUE(status.existing);
    EXPECT_EQ(status.deniedReason, "user");
}

TEST(RequestStatus, OptionalMembersOfTheWrongTypeFallBack) {
    const json object = {
        {"request_id", "r"},  {"state", "pending"},          {"op", 1},
        {"vault_id", nullptr}, {"item_id", json::array()},   {"expires_at", "soon"},
        {"waiting_on", true},  {"waiting_reason", 2.5},      {"result_enc", json::object()},
        {"created_item", {{"id", 9}}}, {"picked_item", "p1"}, {"updated_item", "u1"},
        {"saved_out_of_scope", "true"}, {"existing", 1},
    };
    RequestStatus expected;
    expected.requestID = "r";
    expected.state = "pending";
    EXPECT_EQ(RequestStatus::fromJSON(object), expected);
    EXPECT_FALSE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", "s"}, {"created_item", json::object()}})
                     .createdItem.has_value());
}

TEST(RequestStatus, UpdatedItemMembersAreIndependent) {
    auto read = [](json updated) {
        return RequestStatus::fromJSON({{"request_id", "r"}, {"state", "completed"}, {"updated_item", updated}});
    };
    auto onlyID = read({{"id", "u1"}});
    EXPECT_EQ(onlyID.updatedItemID, "u1");
    EXPECT_EQ(onlyID.updatedRevision, std::nullopt);
    auto onlyRevision = read({{"revision", 3}});
    EXPECT_EQ(onlyRevision.updatedItemID, std::nullopt);
    EXPECT_EQ(onlyRevision.updatedRevision, 3);
    auto wrong = read({{"id", 3}, {"revision", "3"}});
    EXPECT_EQ(wrong.updatedItemID, std::nullopt);
    EXPECT_EQ(wrong.updatedRevision, std::nullopt);
    EXPECT_EQ(read({{"revision", 3.5}}).updatedRevision, std::nullopt);
    EXPECT_EQ(read({{"revision", -2}}).updatedRevision, -2);
}

TEST(RequestStatus, DeniedReasonTakesTheFirstStringInOrder) {
    auto reason = [](json extra) {
        json object = {{"request_id", "r"}, {"state", "denied"}};
        object.update(extra);
        return RequestStatus::fromJSON(object).deniedReason;
    };
    EXPECT_EQ(reason({{"deny_reason", 4}, {"denied_reason", "x"}}), "x");
    EXPECT_EQ(reason({{"deny_reason", "a"}, {"denied_reason", "b"}}), "a");
    EXPECT_EQ(reason({{"reason_code", "c"}, {"result_reason", "d"}}), "c");
    EXPECT_EQ(reason({{"result_reason", "d"}, {"reason", "conflict"}}), "d");
    EXPECT_EQ(reason({{"reason_code", "a"}, {"reason", "conflict"}}), "a");
    EXPECT_EQ(reason({{"reason", "conflict"}}), "conflict");
    EXPECT_EQ(reason({{"reason", "user_denied"}}), std::nullopt);
    EXPECT_EQ(reason({{"reason", "Conflict"}}), std::nullopt);
    EXPECT_EQ(reason({{"deny_reason", nullptr}, {"denied_reason", false}}), std::nullopt);
}

TEST(RequestBodies, PickBody) {
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::pickItemBody({}, std::nullopt, std::nullopt)),
              R"({"op":"pick_item","vault_id":null})");
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::pickItemBody({"https://a.example/login", std::nullopt,
                                                              TessaroItemKind::apiKey},
                                                             std::string(""), std::string("v1"))),
              R"({"hint":{"kind":"api_key","url":"https://a.example/login"},"op":"pick_item","reason":"",)"
              R"("vault_id":"v1"})");
}

TEST(RequestBodies, GetAndCreateBodies) {
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::getItemBody("v1", "i1")),
              R"({"item_id":"i1","op":"get_item","vault_id":"v1"})");
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::createItemBody("v1", TessaroItemKind::secureNote, {}, std::nullopt)),
              R"({"kind":"secure_note","op":"create_item","prefill":{},"vault_id":"v1"})");
    TessaroPrefill prefill;
    prefill.title = "Shop";
    prefill.usernameHint = "me@example.com";
    prefill.extraHint = {{"b", "2"}, {"a", "1"}};
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::createItemBody("v1", TessaroItemKind::creditCard, prefill, "为什么")),
              R"({"kind":"credit_card","op":"create_item","prefill":{"extra_hint":{"a":"1","b":"2"},"title":"Shop",)"
              R"("username_hint":"me@example.com"},"reason":"为什么","vault_id":"v1"})");
}

TEST(RequestBodies, UpdateBodySortsFieldNames) {
    const std::vector<TessaroField> fields = {TessaroField::title, TessaroField::password, "Zeta", TessaroField::title};
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::updateItemBody("v1", "i1", fields, std::nullopt)),
              R"({"fields":["Zeta","password","title"],"item_id":"i1","op":"update_item","vault_id":"v1"})");
    EXPECT_EQ(TessaroAPI::writeJSON(TessaroAPI::updateItemBody("v1", "i1", {}, "r")),
              R"({"fields":[],"item_id":"i1","op":"update_item","reason":"r","vault_id":"v1"})");
}

TEST(JSONWriting, CompactSortedWithSlashesAndUTF8Unescaped) {
    const json body = {{"z", "https://a.example/p?q=1"}, {"a", {{"d", 1}, {"c", json::array({true, nullptr})}}},
                       {"m", "密码\n\"q\""}};
    EXPECT_EQ(TessaroAPI::writeJSON(body),
              R"({"a":{"c":[true,null],"d":1},"m":"密码\n\"q\"","z":"https://a.example/p?q=1"})");
    EXPECT_THROW(TessaroAPI::writeJSON(json{{"bad", std::string("\xc3")}}), nlohmann::json::type_error);
}

}  // namespace
}  // namespace tessaro

#include <gtest/gtest.h>

#include <functional>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/api/testing/test_server.hpp>

namespace tessaro {
namespace {

using json = nlohmann::json;
using APIError = TessaroAPI::APIError;
using TokenResponse = TessaroAPI::TokenResponse;
using AccountInfo = TessaroAPI::AccountInfo;
using RequestStatus = TessaroAPI::RequestStatus;

json minimalToken() { return {{"access_token", "at"}, {"grant_id", "g"}, {"account_id", "a"}}; }

RequestStatus onlyRequired(std::string requestID, std::string state) {
    RequestStatus status;
    status.requestID = std::move(requestID);
    status.state = std::move(state);
    return status;
}

TEST(APIRecords, MinimalObjectsTakeEveryDefault) {
    EXPECT_EQ(TokenResponse::fromJSON(minimalToken()),
              (TokenResponse{"at", 3600, std::nullopt, std::nullopt, "g", "a", {}, std::nullopt, std::nullopt}));
    EXPECT_EQ(AccountInfo::fromJSON({{"account_id", "a"}, {"identity_public_key", "k"}}), (AccountInfo{"a", "k", {}}));
    EXPECT_EQ(RequestStatus::fromJSON({{"request_id", "r1"}, {"state", "awaiting_user"}}),
              onlyRequired("r1", "awaiting_user"));
}

// Each required member missing, a number or null, and a value that is no object (empty, array,
// string), all throw APIError::decoding.
TEST(APIRecords, RequiredMembersMustBeStrings) {
    struct Case {
        const char* type;
        std::function<void(const json&)> read;
        json valid;
    };
    const std::vector<Case> cases = {
        {"TokenResponse", [](const json& j) { TokenResponse::fromJSON(j); }, minimalToken()},
        {"AccountInfo",
         [](const json& j) { AccountInfo::fromJSON(j); },
         {{"account_id", "a"}, {"identity_public_key", "k"}}},
        {"RequestStatus",
         [](const json& j) { RequestStatus::fromJSON(j); },
         {{"request_id", "r"}, {"state", "completed"}}},
    };
    for (const auto& c : cases) {
        EXPECT_NO_THROW(c.read(c.valid)) << c.type;
        std::vector<json> invalid = {json::object(), json::array({c.valid}), "a"};
        for (const auto& [key, value] : c.valid.items()) {
            json object = c.valid;
            object.erase(key);
            invalid.push_back(object);
            object[key] = 7;
            invalid.push_back(object);
            object[key] = nullptr;
            invalid.push_back(object);
        }
        for (const json& object : invalid) {
            const auto error = testing::thrown<APIError>([&] { c.read(object); }, APIError::http(-1, "none"));
            EXPECT_EQ(error, APIError::decoding()) << c.type << " " << object.dump() << ": got " << error.what();
        }
    }
}

TEST(TokenResponse, ReadsEveryMember) {
    const json vaults = {{{"vault_id", "v1"}, {"name", "个人"}}, {{"vault_id", "v2"}, {"kind", "shared"}, {"mode", 3}}};
    json object = minimalToken();
    object.update({{"expires_in", 900},
                   {"refresh_token", "rt"},
                   {"refresh_expires_in", 86400},
                   {"vaults", vaults},
                   {"client_type", "public"},
                   {"account_identity_public_key", "pk"},
                   {"unknown", {1, 2}}});
    EXPECT_EQ(TokenResponse::fromJSON(object),
              (TokenResponse{"at",
                             900,
                             "rt",
                             86400,
                             "g",
                             "a",
                             {{"v1", "个人", std::nullopt, 1}, {"v2", std::nullopt, "shared", 3}},
                             "public",
                             "pk"}));
}

// A token that no header line can carry would fail every later request before sending.
TEST(TokenResponse, TokensHoldingLineBreaksOrNulAreMalformed) {
    for (const char* member : {"access_token", "refresh_token"}) {
        for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
            json object = minimalToken();
            object[member] = bad;
            EXPECT_THROW(TokenResponse::fromJSON(object), APIError) << member;
        }
    }
    json fine = minimalToken();
    fine["refresh_token"] = "r t\tx";
    EXPECT_EQ(TokenResponse::fromJSON(fine).refreshToken, "r t\tx");
}

TEST(TokenResponse, WrongTypesAndNullsInOptionalMembersCountAsMissing) {
    json object = minimalToken();
    object.update({{"refresh_token", 5},
                   {"refresh_expires_in", "x"},
                   {"client_type", nullptr},
                   {"account_identity_public_key", true}});
    EXPECT_EQ(TokenResponse::fromJSON(object), TokenResponse::fromJSON(minimalToken()));
    // Only an integer that fits a signed 64-bit integer is read, also when written as a float.
    const std::vector<std::pair<json, std::int64_t>> expiresIn = {{"900", 3600},
                                                                  {nullptr, 3600},
                                                                  {12.5, 3600},
                                                                  {120.0, 120},
                                                                  {18446744073709551615ull, 3600},
                                                                  {true, 3600},
                                                                  {9223372036854775807ull, INT64_MAX},
                                                                  {-9223372036854775808.0, INT64_MIN},
                                                                  {9223372036854775808.0, 3600}};
    for (const auto& [value, expected] : expiresIn) {
        object["expires_in"] = value;
        EXPECT_EQ(TokenResponse::fromJSON(object).expiresIn, expected) << value.dump();
    }
}

TEST(VaultList, OneBadElementOrANonArrayEmptiesTheList) {
    const json good = {{"vault_id", "v1"}};
    for (const json& vaults : {json::array({good, good, {{"name", "no id"}}}), json::array({good, {{"vault_id", 5}}}),
                               json::array({good, "v2"}), json::object({{"vault_id", "v1"}}), json("v1"), json(7),
                               json(nullptr), json::array()}) {
        json token = minimalToken();
        token["vaults"] = vaults;
        EXPECT_TRUE(TokenResponse::fromJSON(token).vaults.empty()) << vaults.dump();
        const json account = {{"account_id", "a"}, {"identity_public_key", "k"}, {"vaults", vaults}};
        EXPECT_TRUE(AccountInfo::fromJSON(account).vaults.empty()) << vaults.dump();
    }
    json token = minimalToken();
    token["vaults"] = json::array({good, good});
    EXPECT_EQ(TokenResponse::fromJSON(token).vaults.size(), 2u);
}

TEST(RequestStatus, TerminalStatesMatchExactly) {
    for (const char* state : {"completed", "denied", "expired", "cancelled"}) {
        EXPECT_TRUE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", state}}).isTerminal()) << state;
    }
    for (const char* state : {"awaiting_user", "Completed", "CANCELLED", "", "pending", "completed "}) {
        EXPECT_FALSE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", state}}).isTerminal()) << state;
    }
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
        {"saved_out_of_scope", true},
        {"updated_item", {{"id", "u1"}, {"revision", 8}}},
        {"existing", true},
        {"deny_reason", "user"},
    };
    EXPECT_EQ(RequestStatus::fromJSON(object),
              (RequestStatus{.requestID = "r1",
                             .state = "completed",
                             .op = "update_item",
                             .vaultID = "v",
                             .itemID = "i",
                             .expiresAt = timestampFromSeconds(1735787045.0),
                             .waitingOn = "device",
                             .waitingReason = "approval",
                             .resultEnc = "{\"sealed\":1}",
                             .createdItem = TessaroItemSummary{"c1", "新", "", TessaroItemKind::apiKey},
                             .pickedItem = TessaroItemSummary{"p1", "", "https://a.example", TessaroItemKind::login},
                             .updatedItemID = "u1",
                             .updatedRevision = 8,
                             .savedOutOfScope = true,
                             .existing = true,
                             .deniedReason = "user"}));
}

TEST(RequestStatus, OptionalMembersOfTheWrongTypeFallBack) {
    const json object = {
        {"request_id", "r"},
        {"state", "pending"},
        {"op", 1},
        {"vault_id", nullptr},
        {"item_id", json::array()},
        {"expires_at", "soon"},
        {"waiting_on", true},
        {"waiting_reason", 2.5},
        {"result_enc", json::object()},
        {"created_item", {{"id", 9}}},
        {"picked_item", "p1"},
        {"updated_item", "u1"},
        {"saved_out_of_scope", "true"},
        {"existing", 1},
    };
    EXPECT_EQ(RequestStatus::fromJSON(object), onlyRequired("r", "pending"));
    EXPECT_FALSE(RequestStatus::fromJSON({{"request_id", "r"}, {"state", "s"}, {"created_item", json::object()}})
                     .createdItem.has_value());
}

// "updated_item": "id" only when a string, "revision" only when an integer, each independently.
TEST(RequestStatus, UpdatedItemMembersAreIndependent) {
    const std::vector<std::tuple<json, std::optional<std::string>, std::optional<std::int64_t>>> cases = {
        {{{"id", "u1"}}, "u1", std::nullopt},
        {{{"revision", 3}}, std::nullopt, 3},
        {{{"id", 3}, {"revision", "3"}}, std::nullopt, std::nullopt},
        {{{"revision", 3.5}}, std::nullopt, std::nullopt},
        {{{"revision", -2}}, std::nullopt, -2},
    };
    for (const auto& [updated, id, revision] : cases) {
        const auto status =
            RequestStatus::fromJSON({{"request_id", "r"}, {"state", "completed"}, {"updated_item", updated}});
        EXPECT_EQ(status.updatedItemID, id) << updated.dump();
        EXPECT_EQ(status.updatedRevision, revision) << updated.dump();
    }
}

TEST(RequestStatus, DeniedReasonTakesTheFirstStringInOrder) {
    const std::vector<std::pair<json, std::optional<std::string>>> cases = {
        {{{"deny_reason", 4}, {"denied_reason", "x"}}, "x"},
        {{{"deny_reason", "a"}, {"denied_reason", "b"}}, "a"},
        {{{"reason_code", "c"}, {"result_reason", "d"}}, "c"},
        {{{"result_reason", "d"}, {"reason", "conflict"}}, "d"},
        {{{"reason_code", "a"}, {"reason", "conflict"}}, "a"},
        {{{"reason", "conflict"}}, "conflict"},
        {{{"reason", "user_denied"}}, std::nullopt},
        {{{"reason", "Conflict"}}, std::nullopt},
        {{{"deny_reason", nullptr}, {"denied_reason", false}}, std::nullopt},
    };
    for (const auto& [extra, expected] : cases) {
        json object = {{"request_id", "r"}, {"state", "denied"}};
        object.update(extra);
        EXPECT_EQ(RequestStatus::fromJSON(object).deniedReason, expected) << extra.dump();
    }
}

// Request bodies and the JSON writer: compact, keys sorted, slashes and UTF-8 unescaped.
TEST(RequestBodies, WrittenCompactAndSorted) {
    TessaroPrefill prefill;
    prefill.title = "Shop";
    prefill.usernameHint = "me@example.com";
    prefill.extraHint = {{"b", "2"}, {"a", "1"}};
    const std::vector<TessaroField> fields = {TessaroField::title, TessaroField::password, "Zeta", TessaroField::title};
    const std::vector<std::pair<json, std::string>> cases = {
        {TessaroAPI::pickItemBody({}, std::nullopt, std::nullopt), R"({"op":"pick_item","vault_id":null})"},
        {TessaroAPI::pickItemBody({"https://a.example/login", std::nullopt, TessaroItemKind::apiKey}, std::string(""),
                                  std::string("v1")),
         R"({"hint":{"kind":"api_key","url":"https://a.example/login"},"op":"pick_item","reason":"","vault_id":"v1"})"},
        {TessaroAPI::getItemBody("v1", "i1"), R"({"item_id":"i1","op":"get_item","vault_id":"v1"})"},
        {TessaroAPI::createItemBody("v1", TessaroItemKind::secureNote, {}, std::nullopt),
         R"({"kind":"secure_note","op":"create_item","prefill":{},"vault_id":"v1"})"},
        {TessaroAPI::createItemBody("v1", TessaroItemKind::creditCard, prefill, "为什么"),
         R"({"kind":"credit_card","op":"create_item","prefill":{"extra_hint":{"a":"1","b":"2"},"title":"Shop",)"
         R"("username_hint":"me@example.com"},"reason":"为什么","vault_id":"v1"})"},
        {TessaroAPI::updateItemBody("v1", "i1", fields, std::nullopt),
         R"({"fields":["Zeta","password","title"],"item_id":"i1","op":"update_item","vault_id":"v1"})"},
        {TessaroAPI::updateItemBody("v1", "i1", {}, "r"),
         R"({"fields":[],"item_id":"i1","op":"update_item","reason":"r","vault_id":"v1"})"},
        {{{"z", "https://a.example/p?q=1"},
          {"a", {{"d", 1}, {"c", json::array({true, nullptr})}}},
          {"m", "密码\n\"q\""}},
         R"({"a":{"c":[true,null],"d":1},"m":"密码\n\"q\"","z":"https://a.example/p?q=1"})"},
        // Numbers exactly as given: a whole-number float keeps its fraction.
        {{{"n", 5.0}, {"f", -0.0}, {"i", 5}}, R"({"f":-0.0,"i":5,"n":5.0})"},
    };
    for (const auto& [body, expected] : cases)
        EXPECT_EQ(TessaroAPI::writeJSON(body), expected);
    EXPECT_THROW(TessaroAPI::writeJSON(json{{"bad", std::string("\xc3")}}), nlohmann::json::type_error);
}

}  // namespace
}  // namespace tessaro

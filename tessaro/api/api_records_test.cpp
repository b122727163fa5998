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

// Each required member missing, a number or null, and a value that is no object (empty, array,
// string), all throw APIError::decoding.
TEST(APIRecords, RequiredMembersMustBeStrings) {
    const std::vector<std::pair<std::function<void(const json&)>, json>> cases = {
        {[](const json& j) { TokenResponse::fromJSON(j); }, minimalToken()},
        {[](const json& j) { AccountInfo::fromJSON(j); }, {{"account_id", "a"}, {"identity_public_key", "k"}}},
        {[](const json& j) { RequestStatus::fromJSON(j); }, {{"request_id", "r"}, {"state", "completed"}}},
    };
    for (const auto& [read, valid] : cases) {
        EXPECT_NO_THROW(read(valid)) << valid.dump();
        std::vector<json> invalid = {json::object(), json::array({valid}), "a"};
        for (const auto& [key, value] : valid.items()) {
            json object = valid;
            object.erase(key);
            invalid.push_back(object);
            object[key] = 7;
            invalid.push_back(object);
            object[key] = nullptr;
            invalid.push_back(object);
        }
        for (const json& object : invalid) {
            const auto error = testing::thrown<APIError>([&] { read(object); }, APIError::http(-1, "none"));
            EXPECT_EQ(error, APIError::decoding()) << object.dump() << ": got " << error.what();
        }
    }
}

// Optional members of another type, or null, count as missing; "expires_in" only when an integer
// that fits a signed 64-bit integer, also when written as a float. A token that no header line can
// carry would fail every later request before sending: it makes the answer malformed.
TEST(TokenResponse, ReadsEachMemberOnlyWhenUsable) {
    const TokenResponse minimal{.accessToken = "at", .grantID = "g", .accountID = "a"};
    auto with = [&](auto change) {
        TokenResponse token = minimal;
        change(token);
        return std::optional(token);
    };
    std::vector<std::pair<json, std::optional<TokenResponse>>> cases = {
        {json::object(), minimal},
        {{{"expires_in", 900},
          {"refresh_token", "rt"},
          {"refresh_expires_in", 86400},
          {"vaults", {{{"vault_id", "v2"}, {"kind", "shared"}, {"mode", 3}}}},
          {"client_type", "public"},
          {"account_identity_public_key", "pk"},
          {"unknown", {1, 2}}},
         TokenResponse{"at", 900, "rt", 86400, "g", "a", {{"v2", std::nullopt, "shared", 3}}, "public", "pk"}},
        {{{"refresh_token", 5},
          {"refresh_expires_in", "x"},
          {"client_type", nullptr},
          {"account_identity_public_key", true}},
         minimal},
        {{{"refresh_token", "r t\tx"}}, with([](TokenResponse& t) { t.refreshToken = "r t\tx"; })},
        {{{"expires_in", 120.0}}, with([](TokenResponse& t) { t.expiresIn = 120; })},
        {{{"expires_in", 9223372036854775807ull}}, with([](TokenResponse& t) { t.expiresIn = INT64_MAX; })},
        {{{"expires_in", -9223372036854775808.0}}, with([](TokenResponse& t) { t.expiresIn = INT64_MIN; })},
        {{{"expires_in", 9223372036854775808.0}}, minimal},
        {{{"expires_in", "900"}}, minimal},
    };
    for (const char* member : {"access_token", "refresh_token"}) {
        for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)})
            cases.push_back({{{member, bad}}, std::nullopt});
    }
    for (const auto& [extra, expected] : cases) {
        json object = minimalToken();
        object.update(extra);
        std::optional<TokenResponse> read;
        try {
            read = TokenResponse::fromJSON(object);
        } catch (const APIError& error) {
            EXPECT_EQ(error, APIError::decoding());
        }
        EXPECT_EQ(read, expected) << extra.dump();
    }
}

TEST(RequestStatus, TerminalStatesMatchExactly) {
    const char* states[] = {"completed", "denied",    "expired", "cancelled", "awaiting_user",
                            "Completed", "CANCELLED", "",        "pending",   "completed "};
    for (std::size_t i = 0; i < std::size(states); ++i)
        EXPECT_EQ((RequestStatus{"r", states[i]}.isTerminal()), i < 4) << states[i];
}

// Every optional member falls back to absent or false unless of its type. "updated_item": "id" only
// when a string, "revision" only when an integer, each on its own. The denial reason is the first
// string of "deny_reason", "denied_reason", "reason_code", "result_reason", then "reason" only when
// it is "conflict".
TEST(RequestStatus, ReadsEachMemberOnlyWhenUsable) {
    const std::vector<std::pair<json, RequestStatus>> cases = {
        {{{"op", "update_item"},
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
          {"deny_reason", "user"}},
         {.requestID = "r",
          .state = "s",
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
          .deniedReason = "user"}},
        {{{"op", 1},
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
          {"existing", 1}},
         {"r", "s"}},
        {{{"updated_item", {{"id", "u1"}}}}, {.requestID = "r", .state = "s", .updatedItemID = "u1"}},
        {{{"updated_item", {{"revision", -2}}}}, {.requestID = "r", .state = "s", .updatedRevision = -2}},
        {{{"updated_item", {{"id", 3}, {"revision", "3"}}}}, {"r", "s"}},
        {{{"deny_reason", 4}, {"denied_reason", "x"}}, {.requestID = "r", .state = "s", .deniedReason = "x"}},
        {{{"deny_reason", "a"}, {"denied_reason", "b"}}, {.requestID = "r", .state = "s", .deniedReason = "a"}},
        {{{"reason_code", "c"}, {"result_reason", "d"}}, {.requestID = "r", .state = "s", .deniedReason = "c"}},
        {{{"result_reason", "d"}, {"reason", "conflict"}}, {.requestID = "r", .state = "s", .deniedReason = "d"}},
        {{{"reason", "conflict"}}, {.requestID = "r", .state = "s", .deniedReason = "conflict"}},
        {{{"reason", "Conflict"}}, {"r", "s"}},
    };
    for (const auto& [extra, expected] : cases) {
        json object = {{"request_id", "r"}, {"state", "s"}};
        object.update(extra);
        EXPECT_EQ(RequestStatus::fromJSON(object), expected) << extra.dump();
    }
}

// Request bodies and the JSON writer: compact, keys sorted, slashes and UTF-8 unescaped.
TEST(RequestBodies, WrittenCompactAndSorted) {
    TessaroPrefill prefill;
    prefill.title = "Shop";
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
         R"({"kind":"credit_card","op":"create_item","prefill":{"title":"Shop"},"reason":"为什么","vault_id":"v1"})"},
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
    // Text the writer refuses is the caller's error, never the JSON library's own exception.
    for (const json& bad : {json{{"bad", std::string("\xc3")}}, json::array({1, std::string("a\xff")}),
                            json{{std::string("k\xe2\x82"), 1}}})
        EXPECT_THROW(TessaroAPI::writeJSON(bad), tessaro::InvalidArgument)
            << bad.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace
}  // namespace tessaro

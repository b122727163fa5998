#include <tessaro/records/records.hpp>

#include <unordered_set>

#include <gtest/gtest.h>

namespace tessaro {
namespace {

using nlohmann::json;

TEST(TessaroItemKind, RawValuesAreExactAndCaseSensitive) {
    const char* raws[] = {"login", "credit_card", "bank_card", "api_key", "server", "secure_note"};
    ASSERT_EQ(allItemKinds.size(), 6u);
    for (std::size_t i = 0; i < allItemKinds.size(); ++i) {
        EXPECT_EQ(rawValue(allItemKinds[i]), raws[i]);
        EXPECT_EQ(itemKindFromRaw(raws[i]), allItemKinds[i]);
        EXPECT_EQ(json(allItemKinds[i]), raws[i]);
        EXPECT_EQ(json(raws[i]).get<TessaroItemKind>(), allItemKinds[i]);
    }
    EXPECT_EQ(itemKindFromRaw("secure_note"), TessaroItemKind::secureNote);
    for (const char* bad : {"", "Login", "LOGIN", "secureNote", "login "})
        EXPECT_FALSE(itemKindFromRaw(bad)) << bad;
    EXPECT_THROW(json("Login").get<TessaroItemKind>(), json::exception);
    EXPECT_THROW(json(1).get<TessaroItemKind>(), json::exception);
}

TEST(TessaroRecord, ConstructorDefaultsKindRawToTheKind) {
    const TessaroRecord server("t", "u", "p", "https://x", "n", TessaroItemKind::server);
    EXPECT_EQ(server.kindRaw, "server");
    const TessaroRecord custom("t", "u", "p", "", "", TessaroItemKind::login, "wifi");
    EXPECT_EQ(custom.kindRaw, "wifi");
    EXPECT_NE(server, TessaroRecord("t", "u", "p", "https://x", "n", TessaroItemKind::server, "Server"));
}

TEST(TessaroRecord, FromJSONConvertsTextMembers) {
    const auto record = TessaroRecord::fromJSON(json::parse(R"({
        "title": 42, "username": true, "password": "p\u00e4ss", "url": 1.5, "notes": null,
        "kind": "wifi", "updated_at": [2, {"b": 1, "a": "/"}], "ignored": 1})"));
    EXPECT_EQ(record.title, "42");
    EXPECT_EQ(record.username, "1");
    EXPECT_EQ(record.password, "päss");
    EXPECT_EQ(record.url, "1.5");
    EXPECT_EQ(record.notes, "");
    EXPECT_EQ(record.kindRaw, "wifi");
    EXPECT_EQ(record.kind, TessaroItemKind::login);
    EXPECT_EQ(record.updatedAt, R"([2,{"a":"/","b":1}])");

    const auto numbers =
        TessaroRecord::fromJSON(json::parse(R"({"title": 42.0, "notes": false, "url": -7, "kind": "api_key"})"));
    EXPECT_EQ(numbers.title, "42");
    EXPECT_EQ(numbers.notes, "0");
    EXPECT_EQ(numbers.url, "-7");
    EXPECT_EQ(numbers.kind, TessaroItemKind::apiKey);
    EXPECT_EQ(numbers.kindRaw, "api_key");
}

TEST(TessaroRecord, FromJSONNeverFailsOnMissingOrMalformedInput) {
    for (const json& input : {json::object(), json(nullptr), json::array({1, 2}), json("text"), json(5)}) {
        const auto record = TessaroRecord::fromJSON(input);
        EXPECT_EQ(record.kind, TessaroItemKind::login);
        EXPECT_EQ(record.kindRaw, "");
        EXPECT_TRUE(record.title.empty() && record.extra.empty() && record.updatedAt.empty());
    }
    EXPECT_EQ(TessaroRecord::fromJSON(json{{"kind", ""}}).kind, TessaroItemKind::login);
    // A string holding invalid UTF-8 cannot be written as JSON: that extra entry is skipped.
    json broken = {{"extra", {{"ok", 1}, {"bad", json::array({std::string("\xff")})}}}, {"title", {{"x", "\xfe"}}}};
    const auto record = TessaroRecord::fromJSON(broken);
    EXPECT_EQ(record.extra, (std::map<std::string, std::string>{{"ok", "1"}}));
    EXPECT_EQ(record.title, "");
}

TEST(TessaroRecord, ExtraKeepsStringsSkipsNullsAndWritesOtherValuesAsCompactJSON) {
    const auto record = TessaroRecord::fromJSON(json::parse(R"({"extra": {
        "a": "x", "b": null, "c": 5, "d": [1, 2], "e": true, "f": {"z": 1, "y": ["/", "é"]}, "g": 0.25}})"));
    const std::map<std::string, std::string> expected{
        {"a", "x"}, {"c", "5"}, {"d", "[1,2]"}, {"e", "true"}, {"f", R"({"y":["/","é"],"z":1})"}, {"g", "0.25"}};
    EXPECT_EQ(record.extra, expected);
    EXPECT_TRUE(TessaroRecord::fromJSON(json{{"extra", "a=b"}}).extra.empty());
    EXPECT_TRUE(TessaroRecord::fromJSON(json{{"extra", json::array({"a"})}}).extra.empty());
}

TEST(TessaroRecord, NumbersReadTheSameInTextMembersAndInExtra) {
    const struct {
        const char* number;
        const char* text;
    } cases[] = {
        {"5.0", "5"},  {"-0.0", "0"}, {"1e21", "1e+21"}, {"[1.0, 2.5]", "[1,2.5]"}, {"{\"n\": 7.0}", "{\"n\":7}"},
        {"-12", "-12"}};
    for (const auto& c : cases) {
        const auto record = TessaroRecord::fromJSON(
            json::parse(std::string(R"({"title": )") + c.number + R"(, "extra": {"n": )" + c.number + "}}"));
        EXPECT_EQ(record.title, c.text) << c.number;
        EXPECT_EQ(record.extra.at("n"), c.text) << c.number;
    }
}

TEST(TessaroRecord, DeeplyNestedValuesAreSkippedNotWritten) {
    // The parser reads any depth without recursion; writing such a value back as text must not
    // exhaust the stack. Nesting up to 512 levels is written, deeper values count as unwritable.
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const std::string deep = nested(100000);
    const auto record = TessaroRecord::fromJSON(
        json::parse(R"({"title":)" + deep + R"(,"extra":{"deep":)" + deep + R"(,"ok":)" + nested(512) + "}}"));
    EXPECT_EQ(record.title, "");
    EXPECT_EQ(record.extra.size(), 1u);
    EXPECT_EQ(record.extra.at("ok"), nested(512));
}

TEST(TessaroItemSummary, FromJSONRequiresAStringID) {
    EXPECT_FALSE(TessaroItemSummary::fromJSON(nullptr));
    EXPECT_FALSE(TessaroItemSummary::fromJSON(std::optional<json>{}));
    EXPECT_FALSE(TessaroItemSummary::fromJSON(json::object()));
    EXPECT_FALSE(TessaroItemSummary::fromJSON(json::array({json{{"id", "i"}}})));
    EXPECT_FALSE(TessaroItemSummary::fromJSON(json{{"id", 7}, {"title", "t"}}));
    EXPECT_FALSE(TessaroItemSummary::fromJSON(json{{"title", "t"}}));

    const auto loose = TessaroItemSummary::fromJSON(json{{"id", "i1"}, {"title", 5}, {"url", nullptr}, {"kind", 3}});
    ASSERT_TRUE(loose);
    EXPECT_EQ(*loose, (TessaroItemSummary{"i1", "", "", TessaroItemKind::login}));

    const auto full = TessaroItemSummary::fromJSON(
        std::optional<json>(json{{"id", "i2"}, {"title", "T"}, {"url", "https://x"}, {"kind", "bank_card"}}));
    EXPECT_EQ(*full, (TessaroItemSummary{"i2", "T", "https://x", TessaroItemKind::bankCard}));
    for (const char* kind : {"", "Bank_card", "other"}) {
        EXPECT_EQ(TessaroItemSummary::fromJSON(json{{"id", ""}, {"kind", kind}})->kind, TessaroItemKind::login);
    }
}

TEST(TessaroVault, DecodesWithDefaultsAndFailsWithoutID) {
    EXPECT_EQ(json::parse(R"({"vault_id": "v1"})").get<TessaroVault>(),
              (TessaroVault{"v1", std::nullopt, std::nullopt, 1}));
    EXPECT_EQ(json::parse(R"({"vault_id": "v", "name": "Home", "kind": "shared", "mode": 2})").get<TessaroVault>(),
              (TessaroVault{"v", "Home", "shared", 2}));
    EXPECT_EQ(json::parse(R"({"vault_id": "v", "name": null, "mode": 3.0})").get<TessaroVault>(),
              (TessaroVault{"v", std::nullopt, std::nullopt, 3}));
    try {
        (void)json::parse(R"({"name": "Home", "mode": 1})").get<TessaroVault>();
        FAIL() << "decoded a vault without vault_id";
    } catch (const json::exception& e) {
        EXPECT_NE(std::string(e.what()).find("vault_id"), std::string::npos) << e.what();
    }
    for (const char* bad :
         {R"({"vault_id": null})", R"({"vault_id": 1})", R"({"vault_id": "v", "name": 5})",
          R"({"vault_id": "v", "mode": "2"})", R"({"vault_id": "v", "mode": 2.5})",
          R"({"vault_id": "v", "mode": true})", R"({"vault_id": "v", "mode": 18446744073709551615})", R"(["v"])"}) {
        EXPECT_THROW((void)json::parse(bad).get<TessaroVault>(), json::exception) << bad;
    }
}

TEST(TessaroVault, EncodesOnlyPresentOptionalMembers) {
    EXPECT_EQ(json(TessaroVault{"v1"}).dump(), R"({"mode":1,"vault_id":"v1"})");
    const TessaroVault full{"v/2", "库", "personal", -4};
    EXPECT_EQ(json(full).dump(), R"({"kind":"personal","mode":-4,"name":"库","vault_id":"v/2"})");
    EXPECT_EQ(json(full).get<TessaroVault>(), full);
}

TEST(TessaroVault, ListDecodingIsAllOrNothing) {
    const std::vector<TessaroVault> vaults{{"b", "B", std::nullopt, 2}, {"a"}, {"c", std::nullopt, "k", 1}};
    const json encoded = encodeVaultList(vaults);
    EXPECT_EQ(
        encoded.dump(),
        R"([{"mode":2,"name":"B","vault_id":"b"},{"mode":1,"vault_id":"a"},{"kind":"k","mode":1,"vault_id":"c"}])");
    EXPECT_EQ(decodeVaultList(encoded), vaults);
    EXPECT_EQ(decodeVaultList(json::parse(encoded.dump())), vaults);

    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a"}, {"vault_id": "b"}, {"mode": 1}])")).empty());
    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a"}, "b"])")).empty());
    // A hostile "mode" fails the decoding like any other wrong type, without writing it out.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a", "mode": )" + deep + "}]")).empty());
    for (const json& notList : {json::object(), json("a"), json(1), json(nullptr)})
        EXPECT_TRUE(decodeVaultList(notList).empty());
    EXPECT_EQ(encodeVaultList({}).dump(), "[]");
}

TEST(HintAndPrefill, JSONCarriesOnlyPresentMembers) {
    EXPECT_EQ(TessaroHint{}.json().dump(), "{}");
    EXPECT_EQ((TessaroHint{std::nullopt, std::nullopt, TessaroItemKind::apiKey}.json().dump()),
              R"({"kind":"api_key"})");
    EXPECT_EQ((TessaroHint{"https://a.example/login", "", std::nullopt}.json().dump()),
              R"({"title":"","url":"https://a.example/login"})");

    EXPECT_EQ(TessaroPrefill{}.json().dump(), "{}");
    const TessaroPrefill prefill{"T", std::nullopt, "me@x", {{"pin", "12"}, {"a", ""}}};
    EXPECT_EQ(prefill.json().dump(), R"({"extra_hint":{"a":"","pin":"12"},"title":"T","username_hint":"me@x"})");
}

}  // namespace
}  // namespace tessaro

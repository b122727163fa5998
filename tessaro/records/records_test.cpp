#include <tessaro/records/records.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>

#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/sealed_box.hpp>

namespace tessaro {
namespace {

using nlohmann::json;

TEST(TessaroItemKind, RawValuesAreExactAndCaseSensitive) {
    const char* raws[] = {"login", "credit_card", "bank_card", "api_key", "server", "secure_note"};
    for (std::size_t i = 0; i < allItemKinds.size(); ++i) {
        EXPECT_EQ(itemKindFromRaw(raws[i]), allItemKinds[i]);
        EXPECT_EQ(json(allItemKinds[i]), raws[i]);
        EXPECT_EQ(json(raws[i]).get<TessaroItemKind>(), allItemKinds[i]);
    }
    for (const char* bad : {"", "Login", "LOGIN", "secureNote", "login "})
        EXPECT_FALSE(itemKindFromRaw(bad)) << bad;
    // Unknown texts, including ones that cannot be written back as JSON, and non-strings.
    for (const json& bad : {json("Login"), json(std::string("\xff\xfe")), json(std::string(100000, 'x')), json(1),
                            json(nullptr), json::array({"login"})})
        EXPECT_THROW(bad.get<TessaroItemKind>(), DecodingError) << bad.type_name();
    EXPECT_EQ(TessaroRecord("t", "u", "p", "", "", TessaroItemKind::server).kindRaw, "server");
    EXPECT_EQ(TessaroRecord("t", "u", "p", "", "", TessaroItemKind::login, "wifi").kindRaw, "wifi");
}

TEST(TessaroRecord, FromJSONReadsEachMemberAndKeepsAnUnknownKindRaw) {
    const auto record = TessaroRecord::fromJSON(json::parse(R"({"title": "T", "username": "U", "password": "P",
        "url": "L", "notes": "N", "kind": "wifi", "updated_at": "D", "ignored": 1})"));
    EXPECT_EQ(record, TessaroRecord("T", "U", "P", "L", "N", TessaroItemKind::login, "wifi", {}, "D"));
    EXPECT_EQ(TessaroRecord::fromJSON(json{{"kind", "api_key"}}).kind, TessaroItemKind::apiKey);
}

// One value as a text member (title) and as an extra entry: strings as they are, whole numbers
// without a fraction wherever they stand, other values as compact JSON with sorted keys; a text
// member reads booleans as 1/0 and null as empty, an extra entry skips nulls.
TEST(TessaroRecord, ValuesReadTheSameInTextMembersAndInExtra) {
    // The value, its text as title, its text in extra.
    const char* const cases[][3] = {
        {R"("p\u00e4ss")", "päss", "päss"},
        {"42", "42", "42"},
        {"-12", "-12", "-12"},
        {"42.0", "42", "42"},
        {"-0.0", "0", "0"},
        {"0.25", "0.25", "0.25"},
        {"1e21", "1e+21", "1e+21"},
        {"true", "1", "true"},
        {"false", "0", "false"},
        {"null", "", "(none)"},
        {R"([2, {"b": 1, "a": "/"}])", R"([2,{"a":"/","b":1}])", R"([2,{"a":"/","b":1}])"},
        {R"({"z": 7.0, "y": ["/", "é"]})", R"({"y":["/","é"],"z":7})", R"({"y":["/","é"],"z":7})"},
    };
    for (const auto& [value, text, extra] : cases) {
        const auto record = TessaroRecord::fromJSON(
            json::parse(std::string(R"({"title": )") + value + R"(, "extra": {"n": )" + value + "}}"));
        EXPECT_EQ(record.title, text) << value;
        EXPECT_EQ(record.extra.count("n") ? record.extra.at("n") : "(none)", extra) << value;
    }
}

TEST(TessaroRecord, FromJSONNeverFailsOnMissingOrMalformedInput) {
    for (const json& input : {json::object(), json(nullptr), json::array({1, 2}), json("text"), json(5),
                              json{{"kind", ""}, {"extra", "a=b"}}, json{{"extra", json::array({"a"})}}}) {
        const auto record = TessaroRecord::fromJSON(input);
        EXPECT_EQ(record.kind, TessaroItemKind::login);
        EXPECT_EQ(record.kindRaw, "");
        EXPECT_TRUE(record.title.empty() && record.extra.empty() && record.updatedAt.empty());
    }
    // A string holding invalid UTF-8 cannot be written as JSON: that extra entry is skipped.
    json broken = {{"extra", {{"ok", 1}, {"bad", json::array({std::string("\xff")})}}}, {"title", {{"x", "\xfe"}}}};
    const auto record = TessaroRecord::fromJSON(broken);
    EXPECT_EQ(record.extra, (std::map<std::string, std::string>{{"ok", "1"}}));
    EXPECT_EQ(record.title, "");
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
    for (const json& bad :
         {json(nullptr), json::object(), json::array({json{{"id", "i"}}}), json{{"id", 7}}, json{{"title", "t"}}})
        EXPECT_FALSE(TessaroItemSummary::fromJSON(bad)) << bad;

    EXPECT_EQ(TessaroItemSummary::fromJSON(json{{"id", "i1"}, {"title", 5}, {"url", nullptr}, {"kind", 3}}),
              (TessaroItemSummary{"i1", "", "", TessaroItemKind::login}));
    EXPECT_EQ(
        TessaroItemSummary::fromJSON(json{{"id", "i2"}, {"title", "T"}, {"url", "https://x"}, {"kind", "bank_card"}}),
        (TessaroItemSummary{"i2", "T", "https://x", TessaroItemKind::bankCard}));
    EXPECT_EQ(TessaroItemSummary::fromJSON(json{{"id", ""}, {"kind", "Bank_card"}})->kind, TessaroItemKind::login);
}

TEST(TessaroVault, DecodesWithDefaultsAndFailsWithoutID) {
    EXPECT_EQ(json::parse(R"({"vault_id": "v1"})").get<TessaroVault>(),
              (TessaroVault{"v1", std::nullopt, std::nullopt, 1}));
    EXPECT_EQ(json::parse(R"({"vault_id": "v", "name": "Home", "kind": "shared", "mode": 2})").get<TessaroVault>(),
              (TessaroVault{"v", "Home", "shared", 2}));
    EXPECT_EQ(json::parse(R"({"vault_id": "v", "name": null, "mode": 3.0})").get<TessaroVault>(),
              (TessaroVault{"v", std::nullopt, std::nullopt, 3}));
    for (const char* bad :
         {R"({"name": "Home", "mode": 1})", R"({"vault_id": null})", R"({"vault_id": 1})",
          R"({"vault_id": "v", "name": 5})", R"({"vault_id": "v", "mode": "2"})", R"({"vault_id": "v", "mode": 2.5})",
          R"({"vault_id": "v", "mode": true})", R"({"vault_id": "v", "mode": 18446744073709551615})", R"(["v"])"})
        EXPECT_THROW((void)json::parse(bad).get<TessaroVault>(), DecodingError) << bad;
}

TEST(TessaroVault, ListDecodingIsAllOrNothing) {
    const std::vector<TessaroVault> vaults{{"b", "B", std::nullopt, 2}, {"a"}, {"c", std::nullopt, "k", 1}};
    const json encoded = encodeVaultList(vaults);
    EXPECT_EQ(
        encoded.dump(),
        R"([{"mode":2,"name":"B","vault_id":"b"},{"mode":1,"vault_id":"a"},{"kind":"k","mode":1,"vault_id":"c"}])");
    EXPECT_EQ(decodeVaultList(json::parse(encoded.dump())), vaults);

    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a"}, {"vault_id": "b"}, {"mode": 1}])")).empty());
    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a"}, "b"])")).empty());
    // A hostile "mode" fails the decoding like any other wrong type, without writing it out.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_TRUE(decodeVaultList(json::parse(R"([{"vault_id": "a", "mode": )" + deep + "}]")).empty());
    EXPECT_TRUE(decodeVaultList(json::object()).empty());
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

TEST(TessaroError, PayloadFollowsTheFullWidthColonDirectly) {
    EXPECT_EQ(TessaroError::protocol("malformed_response").errorDescription(), "协议错误：malformed_response");
    const TessaroError network = TessaroError::network("connection refused");
    const TessaroError copy = network;
    EXPECT_STREQ(copy.what(), "网络错误：connection refused");
    EXPECT_EQ(copy.underlyingDescription(), "connection refused");
}

// Copying an exception must not throw: the standard library copies them while propagating.
static_assert(std::is_nothrow_copy_constructible_v<TessaroError> && std::is_nothrow_copy_assignable_v<TessaroError>);
static_assert(std::is_nothrow_copy_constructible_v<TessaroCrypto::PlatformError>);
static_assert(std::is_nothrow_copy_constructible_v<URL>);

// Every exception the kit throws on purpose is caught both as tessaro::Exception, naming its
// family and case, and as std::exception, with message() the same text as what().
TEST(Exception, EveryKitErrorIsCaughtByBothBasesAndNamesItsCase) {
    using Code = TessaroCrypto::CryptoError::Code;
    const struct {
        const char* family;
        const char* caseName;
        std::function<void()> raise;
    } cases[] = {
        {"TessaroError", "notInstalled", [] { throw TessaroError::notInstalled(TessaroError::defaultDownloadURL()); }},
        {"TessaroError", "network", [] { throw TessaroError::network("down"); }},
        {"TessaroError", "protocol", [] { throw TessaroError::protocol("x"); }},
        {"TessaroError", "notAuthorized", [] { throw TessaroError::notAuthorized(); }},
        {"TessaroError", "cancelled", [] { throw TessaroError::cancelled(); }},
        {"TessaroError", "denied", [] { throw TessaroError::denied(); }},
        {"TessaroError", "expired", [] { throw TessaroError::expired(); }},
        {"TessaroError", "notSignedIn", [] { throw TessaroError::notSignedIn(); }},
        {"TessaroError", "revoked", [] { throw TessaroError::revoked(); }},
        {"TessaroError", "conflict", [] { throw TessaroError::conflict(); }},
        {"CryptoError", "invalidKey", [] { throw TessaroCrypto::CryptoError(Code::invalidKey); }},
        {"CryptoError", "invalidSealedBox", [] { (void)TessaroCrypto::SealedBox::decode("{}"); }},
        {"CryptoError", "openFailed", [] { throw TessaroCrypto::CryptoError(Code::openFailed); }},
        {"CryptoError", "randomFailed", [] { throw TessaroCrypto::CryptoError(Code::randomFailed); }},
        {"PlatformError", "refused", [] { throw TessaroCrypto::PlatformError("refused here"); }},
        {"InvalidArgument", "invalidArgument", [] { (void)URL::parse("https://h")->resolvingPath("/a?b"); }},
        {"DecodingError", "decoding", [] { (void)json::parse(R"({"vault_id": 1})").get<TessaroVault>(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.family) + "." + c.caseName);
        try {
            c.raise();
            ADD_FAILURE() << "nothing thrown";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.family(), c.family);
            EXPECT_STREQ(e.caseName(), c.caseName);
            const auto* standard = dynamic_cast<const std::exception*>(&e);
            ASSERT_NE(standard, nullptr);
            EXPECT_STREQ(e.message(), standard->what());
            EXPECT_STRNE(e.message(), "");
        }
        try {
            c.raise();
        } catch (const std::exception& e) {
            EXPECT_NE(dynamic_cast<const Exception*>(&e), nullptr);
        }
    }
}

TEST(TessaroWaiting, MessageRulesApplyInOrder) {
    using Phase = TessaroWaiting::Phase;
    const auto request = [](const char* on, const char* reason) {
        const auto text = [](const char* s) { return s ? std::optional<std::string>(s) : std::nullopt; };
        return TessaroWaiting(Phase::request("pick_item"), "r1", text(on), text(reason)).message();
    };
    EXPECT_EQ(request("user", "approval"), "等你在 Tessaro 里批准这次使用");
    EXPECT_EQ(request("user", "input"), "等你在 Tessaro 的安全卡里填写并保存");
    EXPECT_EQ(request("user", "pick"), "等你在 Tessaro 里选一个条目");
    EXPECT_EQ(request("user", "review"), "等你在 Tessaro 里确认修改");
    EXPECT_EQ(request("device", "pick"), "已批准，等你的任一设备解锁 Tessaro 后执行");
    EXPECT_EQ(request("device", nullptr), request("device", "pick"));
    const std::pair<const char*, const char*> others[] = {{"user", "consent"},    {"User", "pick"},
                                                          {"user", nullptr},      {nullptr, "pick"},
                                                          {"server", "approval"}, {"user", "Pick"}};
    for (const auto& [on, reason] : others)
        EXPECT_EQ(request(on, reason), "等待 Tessaro 处理") << (on ? on : "-") << ' ' << (reason ? reason : "-");
    EXPECT_EQ(TessaroWaiting(Phase::authorize(), "r", "user", "consent").message(), "等你在 Tessaro 里确认授权");
    EXPECT_EQ(TessaroWaiting(Phase::authorize(), "r", "device", "pick").message(), "等你在 Tessaro 里确认授权");
}

}  // namespace
}  // namespace tessaro

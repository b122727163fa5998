#include <tessaro/records/records.hpp>

#include <stdexcept>

#include <gtest/gtest.h>

namespace tessaro {
namespace {

using Code = TessaroError::Code;

TEST(TessaroError, PayloadFollowsTheFullWidthColonDirectly) {
    const auto protocol = TessaroError::protocol("malformed_response");
    EXPECT_EQ(protocol.code(), Code::protocol);
    EXPECT_EQ(protocol.protocolCode(), "malformed_response");
    // U+FF1A is EF BC 9A in UTF-8; no space follows it.
    EXPECT_EQ(protocol.errorDescription(),
              "\xE5\x8D\x8F\xE8\xAE\xAE\xE9\x94\x99\xE8\xAF\xAF\xEF\xBC\x9Amalformed_response");

    const auto network =
        TessaroError::network("connection refused", std::make_exception_ptr(std::runtime_error("connect: refused")));
    EXPECT_EQ(network.code(), Code::network);
    EXPECT_STREQ(network.what(), "网络错误：connection refused");
    EXPECT_EQ(network.underlyingDescription(), "connection refused");
    EXPECT_THROW(std::rethrow_exception(network.underlying()), std::runtime_error);
    EXPECT_FALSE(network.downloadURL());
    EXPECT_FALSE(TessaroError::network("x").underlying());

    const auto custom = *URL::parse("https://get.example/app");
    EXPECT_EQ(TessaroError::notInstalled(custom).downloadURL(), custom);
}

TEST(TessaroWaiting, MessageRulesApplyInOrder) {
    using Phase = TessaroWaiting::Phase;
    const auto request = [](std::optional<std::string> on, std::optional<std::string> reason) {
        return TessaroWaiting(Phase::request("pick_item"), "r1", std::move(on), std::move(reason)).message();
    };
    EXPECT_EQ(request("user", "approval"), "等你在 Tessaro 里批准这次使用");
    EXPECT_EQ(request("user", "input"), "等你在 Tessaro 的安全卡里填写并保存");
    EXPECT_EQ(request("user", "pick"), "等你在 Tessaro 里选一个条目");
    EXPECT_EQ(request("user", "review"), "等你在 Tessaro 里确认修改");
    EXPECT_EQ(request("device", "pick"), "已批准，等你的任一设备解锁 Tessaro 后执行");
    EXPECT_EQ(request("device", std::nullopt), "已批准，等你的任一设备解锁 Tessaro 后执行");
    for (const auto& [on, reason] :
         std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{{"user", "consent"},
                                                                                        {"User", "pick"},
                                                                                        {"user", std::nullopt},
                                                                                        {std::nullopt, "pick"},
                                                                                        {"server", "approval"},
                                                                                        {"user", "Pick"}}) {
        EXPECT_EQ(request(on, reason), "等待 Tessaro 处理");
    }
    EXPECT_EQ(TessaroWaiting(Phase::authorize(), std::nullopt, "user", "consent").message(),
              "等你在 Tessaro 里确认授权");
    EXPECT_EQ(TessaroWaiting(Phase::authorize(), "r", "device", "pick").message(), "等你在 Tessaro 里确认授权");
}

}  // namespace
}  // namespace tessaro

#include <tessaro/records/records.hpp>

#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace tessaro {
namespace {

using Code = TessaroError::Code;

TEST(TessaroError, MessagesAreTheFixedTexts) {
    const std::pair<TessaroError, const char*> cases[] = {
        {TessaroError::notInstalled(TessaroError::defaultDownloadURL()), "未安装 Tessaro"},
        {TessaroError::notAuthorized(), "尚未授权 Tessaro"},
        {TessaroError::cancelled(), "已取消"},
        {TessaroError::denied(), "用户在 Tessaro 中拒绝了"},
        {TessaroError::expired(), "请求已过期"},
        {TessaroError::notSignedIn(), "请先登录 Tessaro"},
        {TessaroError::revoked(), "授权已被撤销，请重新授权"},
        {TessaroError::conflict(), "条目已被修改，请重试"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text);
    }
}

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
    EXPECT_EQ(TessaroError::network("").errorDescription(), "网络错误：");
    EXPECT_FALSE(TessaroError::network("x").underlying());
}

TEST(TessaroError, NotInstalledCarriesItsURLAndTheDefaultIsBuiltOnce) {
    const URL& first = TessaroError::defaultDownloadURL();
    EXPECT_EQ(first.absoluteString(), "https://tessaro.example");
    const URL* seen[4] = {};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&seen, i] { seen[i] = &TessaroError::defaultDownloadURL(); });
    for (auto& t : threads)
        t.join();
    for (const URL* url : seen)
        EXPECT_EQ(url, &first);

    const auto custom = *URL::parse("https://get.example/app");
    const auto error = TessaroError::notInstalled(custom);
    EXPECT_EQ(error.code(), Code::notInstalled);
    EXPECT_EQ(error.downloadURL(), custom);
    EXPECT_TRUE(error.protocolCode().empty());
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

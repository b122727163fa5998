#include <tessaro/records/tessaro_error.hpp>

#include <utility>

namespace tessaro {

// Everything an error carries, shared by its copies: copying an exception must not throw.
struct TESSARO_NO_EXPORT TessaroError::Payload {
    Code code;
    std::optional<URL> downloadURL;
    std::string protocolCode;
    std::string underlyingDescription;
    std::exception_ptr underlying;
    std::string message;

    explicit Payload(Code c, std::string suffix = {}) : code(c), message(baseMessage(c) + suffix) {}

    static std::string baseMessage(Code code) {
        switch (code) {
            case Code::notInstalled: return "未安装 Tessaro";
            case Code::network: return "网络错误：";
            case Code::protocol: return "协议错误：";
            case Code::notAuthorized: return "尚未授权 Tessaro";
            case Code::cancelled: return "已取消";
            case Code::denied: return "用户在 Tessaro 中拒绝了";
            case Code::expired: return "请求已过期";
            case Code::notSignedIn: return "请先登录 Tessaro";
            case Code::revoked: return "授权已被撤销，请重新授权";
            case Code::conflict: return "条目已被修改，请重试";
        }
        return {};
    }
};

TessaroError::TessaroError(std::shared_ptr<const Payload> payload) noexcept : payload_(std::move(payload)) {}
TessaroError::TessaroError(const TessaroError& other) noexcept = default;
TessaroError& TessaroError::operator=(const TessaroError& other) noexcept = default;
TessaroError::~TessaroError() = default;

TessaroError TessaroError::notInstalled(URL downloadURL) {
    auto payload = std::make_shared<Payload>(Code::notInstalled);
    payload->downloadURL = std::move(downloadURL);
    return TessaroError(std::move(payload));
}

TessaroError TessaroError::network(std::string underlyingDescription, std::exception_ptr underlying) {
    auto payload = std::make_shared<Payload>(Code::network, underlyingDescription);
    payload->underlyingDescription = std::move(underlyingDescription);
    payload->underlying = std::move(underlying);
    return TessaroError(std::move(payload));
}

TessaroError TessaroError::protocol(std::string code) {
    auto payload = std::make_shared<Payload>(Code::protocol, code);
    payload->protocolCode = std::move(code);
    return TessaroError(std::move(payload));
}

TessaroError TessaroError::notAuthorized() { return TessaroError(std::make_shared<Payload>(Code::notAuthorized)); }
TessaroError TessaroError::cancelled() { return TessaroError(std::make_shared<Payload>(Code::cancelled)); }
TessaroError TessaroError::denied() { return TessaroError(std::make_shared<Payload>(Code::denied)); }
TessaroError TessaroError::expired() { return TessaroError(std::make_shared<Payload>(Code::expired)); }
TessaroError TessaroError::notSignedIn() { return TessaroError(std::make_shared<Payload>(Code::notSignedIn)); }
TessaroError TessaroError::revoked() { return TessaroError(std::make_shared<Payload>(Code::revoked)); }
TessaroError TessaroError::conflict() { return TessaroError(std::make_shared<Payload>(Code::conflict)); }

TessaroError::Code TessaroError::code() const noexcept { return payload_->code; }
const std::optional<URL>& TessaroError::downloadURL() const noexcept { return payload_->downloadURL; }
const std::string& TessaroError::protocolCode() const noexcept { return payload_->protocolCode; }
const std::string& TessaroError::underlyingDescription() const noexcept { return payload_->underlyingDescription; }
std::exception_ptr TessaroError::underlying() const noexcept { return payload_->underlying; }
const std::string& TessaroError::errorDescription() const noexcept { return payload_->message; }
const char* TessaroError::what() const noexcept { return payload_->message.c_str(); }
const char* TessaroError::family() const noexcept { return "TessaroError"; }
const char* TessaroError::message() const noexcept { return what(); }

const char* TessaroError::caseName() const noexcept {
    switch (payload_->code) {
        case Code::notInstalled: return "notInstalled";
        case Code::network: return "network";
        case Code::protocol: return "protocol";
        case Code::notAuthorized: return "notAuthorized";
        case Code::cancelled: return "cancelled";
        case Code::denied: return "denied";
        case Code::expired: return "expired";
        case Code::notSignedIn: return "notSignedIn";
        case Code::revoked: return "revoked";
        case Code::conflict: return "conflict";
    }
    return "unknown";
}

const URL& TessaroError::defaultDownloadURL() {
    // A function-local static: built once, on first use, safely under concurrent first calls.
    static const URL url = *URL::parse("https://tessaro.example");
    return url;
}

}  // namespace tessaro

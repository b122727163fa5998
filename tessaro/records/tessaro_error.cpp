#include <tessaro/records/tessaro_error.hpp>

#include <utility>

namespace tessaro {

TessaroError::TessaroError(Code code) : code_(code) {
    switch (code) {
        case Code::notInstalled: message_ = "未安装 Tessaro"; break;
        case Code::network: message_ = "网络错误："; break;
        case Code::protocol: message_ = "协议错误："; break;
        case Code::notAuthorized: message_ = "尚未授权 Tessaro"; break;
        case Code::cancelled: message_ = "已取消"; break;
        case Code::denied: message_ = "用户在 Tessaro 中拒绝了"; break;
        case Code::expired: message_ = "请求已过期"; break;
        case Code::notSignedIn: message_ = "请先登录 Tessaro"; break;
        case Code::revoked: message_ = "授权已被撤销，请重新授权"; break;
        case Code::conflict: message_ = "条目已被修改，请重试"; break;
    }
}

TessaroError TessaroError::notInstalled(URL downloadURL) {
    TessaroError error(Code::notInstalled);
    error.downloadURL_ = std::move(downloadURL);
    return error;
}

TessaroError TessaroError::network(std::string underlyingDescription, std::exception_ptr underlying) {
    TessaroError error(Code::network);
    error.message_ += underlyingDescription;
    error.underlyingDescription_ = std::move(underlyingDescription);
    error.underlying_ = std::move(underlying);
    return error;
}

TessaroError TessaroError::protocol(std::string code) {
    TessaroError error(Code::protocol);
    error.message_ += code;
    error.protocolCode_ = std::move(code);
    return error;
}

TessaroError TessaroError::notAuthorized() { return TessaroError(Code::notAuthorized); }
TessaroError TessaroError::cancelled() { return TessaroError(Code::cancelled); }
TessaroError TessaroError::denied() { return TessaroError(Code::denied); }
TessaroError TessaroError::expired() { return TessaroError(Code::expired); }
TessaroError TessaroError::notSignedIn() { return TessaroError(Code::notSignedIn); }
TessaroError TessaroError::revoked() { return TessaroError(Code::revoked); }
TessaroError TessaroError::conflict() { return TessaroError(Code::conflict); }

const URL& TessaroError::defaultDownloadURL() {
    // A function-local static: built once, on first use, safely under concurrent first calls.
    static const URL url = *URL::parse("https://tessaro.example");
    return url;
}

}  // namespace tessaro

#pragma once
// TessaroError: the one error type that reaches a host application.

#include <exception>
#include <optional>
#include <string>

#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

// The error every failing TessaroClient operation throws. Each case carries its payload:
// notInstalled a download URL, network the underlying error's description (and optionally the
// original exception), protocol a short code. errorDescription() and what() give the fixed
// Chinese message (UTF-8), e.g. "协议错误：malformed_response".
// There is deliberately no equality; compare code() and the payload accessors.
// Immutable once built; safe to read from any number of threads. The factories throw only
// std::bad_alloc.
class TESSARO_EXPORT TessaroError : public std::exception {
public:
    enum class Code {
        notInstalled,
        network,
        protocol,
        notAuthorized,
        cancelled,
        denied,
        expired,
        notSignedIn,
        revoked,
        conflict,
    };

    static TessaroError notInstalled(URL downloadURL);
    // `underlyingDescription` is the underlying error's own description; it follows
    // "网络错误：" in the message. `underlying` may keep the original exception for callers.
    static TessaroError network(std::string underlyingDescription, std::exception_ptr underlying = nullptr);
    static TessaroError protocol(std::string code);
    static TessaroError notAuthorized();
    static TessaroError cancelled();
    static TessaroError denied();
    static TessaroError expired();
    static TessaroError notSignedIn();
    static TessaroError revoked();
    static TessaroError conflict();

    Code code() const noexcept { return code_; }
    // The payload of notInstalled; nothing for every other case.
    const std::optional<URL>& downloadURL() const noexcept { return downloadURL_; }
    // The payload of protocol; empty for every other case.
    const std::string& protocolCode() const noexcept { return protocolCode_; }
    // The underlying description of network; empty for every other case.
    const std::string& underlyingDescription() const noexcept { return underlyingDescription_; }
    // The original exception of network when one was given; null otherwise.
    std::exception_ptr underlying() const noexcept { return underlying_; }

    // The user-visible Chinese message of the case.
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // The public site where the password-manager application can be obtained:
    // "https://tessaro.example". Built once on first use; safe from any thread.
    static const URL& defaultDownloadURL();

private:
    explicit TessaroError(Code code);

    Code code_;
    std::optional<URL> downloadURL_;
    std::string protocolCode_;
    std::string underlyingDescription_;
    std::exception_ptr underlying_;
    std::string message_;
};

}  // namespace tessaro

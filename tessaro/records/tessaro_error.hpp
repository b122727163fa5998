#pragma once
/// @file
/// TessaroError: the one error type that reaches a host application.

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <tessaro/records/exception.hpp>
#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// The error every failing TessaroClient operation throws. Each case carries its payload:
/// notInstalled a download URL, network the underlying error's description (and optionally the
/// original exception), protocol a short code. errorDescription(), what() and message() give the
/// fixed Chinese message (UTF-8), e.g. "协议错误：malformed_response". family() is
/// "TessaroError", caseName() the name of code() ("notInstalled", "network", ...).
///
/// There is deliberately no equality; compare code() and the payload accessors.
/// Immutable once built; safe to read from any number of threads. Copying shares the payload and
/// never throws. The factories throw only std::bad_alloc; no other member throws.
class TESSARO_EXPORT TessaroError : public std::exception, public Exception {
public:
    /// The case of the error.
    enum class Code {
        notInstalled,   ///< the password-manager application is not installed (payload: downloadURL())
        network,        ///< the server could not be reached (payload: underlyingDescription(), underlying())
        protocol,       ///< the server or the application answered outside the protocol (payload: protocolCode())
        notAuthorized,  ///< the host holds no grant; authorize first
        cancelled,      ///< the operation was cancelled (by the host or the user)
        denied,         ///< the user refused in the password-manager application
        expired,        ///< the request or authorization ran out of time before it completed
        notSignedIn,    ///< the user is not signed in to the password-manager application
        revoked,        ///< the grant was revoked; authorize again
        conflict,       ///< the item changed since it was read; read it again and retry
    };

    /// A notInstalled error carrying where the application can be obtained.
    static TessaroError notInstalled(URL downloadURL);
    /// A network error. `underlyingDescription` is the underlying error's own description; it
    /// follows "网络错误：" in the message. `underlying` may keep the original exception for callers.
    static TessaroError network(std::string underlyingDescription, std::exception_ptr underlying = nullptr);
    /// A protocol error with its short code (for instance "malformed_response"), which follows
    /// "协议错误：" in the message.
    static TessaroError protocol(std::string code);
    /// A notAuthorized error.
    static TessaroError notAuthorized();
    /// A cancelled error.
    static TessaroError cancelled();
    /// A denied error.
    static TessaroError denied();
    /// An expired error.
    static TessaroError expired();
    /// A notSignedIn error.
    static TessaroError notSignedIn();
    /// A revoked error.
    static TessaroError revoked();
    /// A conflict error.
    static TessaroError conflict();

    /// Shares the payload of `other`; never throws.
    TessaroError(const TessaroError& other) noexcept;
    /// Shares the payload of `other`; never throws.
    TessaroError& operator=(const TessaroError& other) noexcept;
    ~TessaroError() override;

    /// The case.
    Code code() const noexcept;
    /// The payload of notInstalled; nothing for every other case.
    const std::optional<URL>& downloadURL() const noexcept;
    /// The payload of protocol; empty for every other case.
    const std::string& protocolCode() const noexcept;
    /// The underlying description of network; empty for every other case.
    const std::string& underlyingDescription() const noexcept;
    /// The original exception of network when one was given; null otherwise.
    std::exception_ptr underlying() const noexcept;

    /// The user-visible Chinese message of the case (UTF-8), payload included.
    const std::string& errorDescription() const noexcept;
    /// errorDescription() as a C string, valid as long as the error (or a copy) lives.
    const char* what() const noexcept override;
    /// "TessaroError".
    const char* family() const noexcept override;
    /// The name of code() in lower camel case, e.g. "notInstalled".
    const char* caseName() const noexcept override;
    /// The same text as what().
    const char* message() const noexcept override;

    /// The public site where the password-manager application can be obtained:
    /// "https://tessaro.example". Built once on first use; safe from any thread.
    static const URL& defaultDownloadURL();

private:
    struct Payload;
    TESSARO_NO_EXPORT explicit TessaroError(std::shared_ptr<const Payload> payload) noexcept;

    std::shared_ptr<const Payload> payload_;
};

}  // namespace tessaro

#pragma once
/// @file
/// tessaro::Exception, the one base a host catches for every error the kit throws on purpose, and
/// the kit's two plain failures InvalidArgument and DecodingError.

#include <stdexcept>
#include <string>
#include <system_error>

#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// The interface every exception the kit throws on purpose implements, besides its standard base
/// (std::exception once, through std::runtime_error, std::invalid_argument or std::exception
/// itself). So `catch (const tessaro::Exception&)` catches every failure of the kit, and
/// `catch (const std::exception&)` catches the same objects.
///
/// It does not derive from std::exception itself, so an exception never has two std::exception
/// bases. The texts identify the failure without a downcast: family() names the class
/// ("TessaroError", "APIError", "CryptoError", "PlatformError", "KeychainError",
/// "InvalidArgument", "DecodingError", "SystemError"), caseName() the case within it ("notInstalled", "http",
/// "invalidKey", ...; a family with one case answers with its own name in lower camel case,
/// "invalidArgument" or "decoding").
///
/// Thread safety: the objects are immutable; every member may be called from any thread.
/// No member throws.
class TESSARO_EXPORT Exception {
public:
    virtual ~Exception();

    /// The name of the exception's class, a static text such as "TessaroError".
    virtual const char* family() const noexcept = 0;
    /// The name of the case within the family, a static text such as "notInstalled".
    virtual const char* caseName() const noexcept = 0;
    /// The message, the same text as the standard base's what() (UTF-8; the Chinese text to
    /// show for a TessaroError). Valid as long as the exception object lives.
    virtual const char* message() const noexcept = 0;

protected:
    /// Only the kit's exception classes construct the interface.
    Exception() = default;
    /// Copied with the exception that implements it.
    Exception(const Exception&) = default;
    /// Assigned with the exception that implements it.
    Exception& operator=(const Exception&) = default;
};

/// An argument the kit refuses before it does anything: a negative timeout, a URL that cannot
/// be joined, an out-of-range length. Caught as std::invalid_argument as before.
/// Immutable; constructing it may throw std::bad_alloc.
class TESSARO_EXPORT InvalidArgument : public std::invalid_argument, public Exception {
public:
    /// An error whose message is `what`.
    explicit InvalidArgument(const std::string& what);
    /// "InvalidArgument".
    const char* family() const noexcept override;
    /// "invalidArgument".
    const char* caseName() const noexcept override;
    /// The same text as what().
    const char* message() const noexcept override;
};

/// A JSON form the records layer cannot decode: a missing or mistyped member, a value outside
/// its set. Thrown where nlohmann::json would otherwise have thrown its own exception, so no
/// nlohmann exception leaves the kit. Immutable; constructing it may throw std::bad_alloc.
class TESSARO_EXPORT DecodingError : public std::runtime_error, public Exception {
public:
    /// An error whose message is `what`, naming what could not be decoded.
    explicit DecodingError(const std::string& what);
    /// "DecodingError".
    const char* family() const noexcept override;
    /// "decoding".
    const char* caseName() const noexcept override;
    /// The same text as what().
    const char* message() const noexcept override;
};

/// A call to the operating system that failed where the kit cannot go on: a loopback listener that
/// cannot bind, a lock file that cannot be opened or locked. Caught as std::system_error (and so as
/// std::runtime_error) with the errno value as its code(). Immutable; constructing it may throw
/// std::bad_alloc.
class TESSARO_EXPORT SystemError : public std::system_error, public Exception {
public:
    /// An error for the errno value `error`; the message is `what` followed by the system's text.
    SystemError(int error, const std::string& what);
    /// "SystemError".
    const char* family() const noexcept override;
    /// "system".
    const char* caseName() const noexcept override;
    /// The same text as what().
    const char* message() const noexcept override;
};

}  // namespace tessaro

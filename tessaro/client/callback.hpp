#pragma once
/// @file
/// TessaroCallback: a callback URL from the password-manager application, read into a value.

#include <optional>
#include <string>
#include <string_view>

#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// What a callback URL says: which flow it answers (state) and what happened. It only wakes the
/// waiting flow; the flow reads the outcome from the server or exchanges the code with its PKCE
/// verifier, so nothing in it is trusted as a result.
///
/// Plain value with member-wise equality; not synchronised (share copies between threads).
/// matches() and parse() are pure and safe from any thread; they throw only std::bad_alloc and
/// block on nothing.
struct TESSARO_EXPORT TessaroCallback {
    /// Which flow a callback answers.
    enum class Kind {
        authorize,  ///< An authorization; raw value "authorize".
        request     ///< An item request; raw value "request".
    };
    /// How the password-manager application says a request ended.
    enum class Status {
        completed,  ///< Raw value "completed".
        denied,     ///< Raw value "denied".
        cancelled,  ///< Raw value "cancelled".
        expired     ///< Raw value "expired".
    };

    Kind kind{};                             ///< The flow answered.
    std::string state;                       ///< The state token of the flow answered; never empty after parse().
    std::optional<std::string> code{};       ///< The authorization code (authorize callbacks).
    std::optional<std::string> requestID{};  ///< The server's request identifier (request callbacks).
    std::optional<Status> status{};          ///< The request's end as the application reports it.
    std::optional<std::string> error{};      ///< An error code reported by the password-manager application.

    /// True when `url` is `redirectURL` apart from its query: schemes and hosts equal ignoring ASCII
    /// letter case, percent-decoded paths equal case-sensitively after dropping one trailing "/"
    /// from each (a lone "/" stays). User, password, port, query and fragment are not compared.
    static bool matches(const URL& url, const URL& redirectURL);

    /// The callback `url` carries, or nothing. The URL must match `redirectURL`; its query items are
    /// percent-decoded ("+" stays "+"; an item without "=" has the empty value) and the first
    /// occurrence of a name wins. "state" must be non-empty. The kind is "tq" when it holds a raw
    /// value of Kind, else authorize when "code" is present, else request when "request_id" is
    /// present, else there is no callback. "status" outside the raw values gives no status.
    /// A query whose decoded names or values are not UTF-8 cannot be read and gives nothing.
    static std::optional<TessaroCallback> parse(const URL& url, const URL& redirectURL);

    /// Member-wise equality.
    friend bool operator==(const TessaroCallback&, const TessaroCallback&) = default;
};

/// The raw value of `kind`: "authorize", "request". A static text.
TESSARO_EXPORT std::string_view rawValue(TessaroCallback::Kind kind) noexcept;
/// The raw value of `status`: "completed", "denied", "cancelled", "expired". A static text.
TESSARO_EXPORT std::string_view rawValue(TessaroCallback::Status status) noexcept;
/// The kind whose raw value is exactly `raw` (case-sensitive); nothing for any other text.
TESSARO_EXPORT std::optional<TessaroCallback::Kind> callbackKindFromRaw(std::string_view raw) noexcept;
/// The status whose raw value is exactly `raw` (case-sensitive); nothing for any other text.
TESSARO_EXPORT std::optional<TessaroCallback::Status> callbackStatusFromRaw(std::string_view raw) noexcept;

}  // namespace tessaro

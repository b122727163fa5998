#pragma once
/// @file
/// TessaroWaiting: what the kit is waiting for while the user acts in the password-manager application.

#include <optional>
#include <string>
#include <utility>

#include <tessaro/records/timestamp.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// A waiting state as reported through the client's onWaiting callback; message() is the Chinese
/// text a host shows for it. Plain value with member-wise equality (expiresAt included, although
/// it never changes the message). Not synchronised: copy it to share it between threads.
/// Nothing here throws except std::bad_alloc.
struct TESSARO_EXPORT TessaroWaiting {
    /// What is pending: a server request for an operation ("pick_item", "get_item", "create_item",
    /// "update_item", or empty when the status names none), or the authorization consent.
    /// Equal when the kind is the same and, for request, the op texts are equal. An immutable
    /// value; throws only std::bad_alloc.
    class Phase {
    public:
        /// Which of the two waits this is.
        enum class Kind {
            request,    ///< a server request for an operation
            authorize,  ///< the user's consent to an authorization
        };

        /// The wait for a server request performing `op`.
        static Phase request(std::string op) { return Phase(Kind::request, std::move(op)); }
        /// The wait for the user's authorization consent.
        static Phase authorize() { return Phase(Kind::authorize, {}); }

        /// Which wait this is.
        Kind kind() const noexcept { return kind_; }
        /// True for the authorization consent.
        bool isAuthorize() const noexcept { return kind_ == Kind::authorize; }
        /// The operation of a request phase; always empty for authorize.
        const std::string& op() const noexcept { return op_; }

        /// Equal kinds and op texts.
        friend bool operator==(const Phase&, const Phase&) = default;

    private:
        Phase(Kind kind, std::string op) : kind_(kind), op_(std::move(op)) {}
        Kind kind_;
        std::string op_;
    };

    Phase phase;                               ///< what is pending
    std::optional<std::string> requestID;      ///< the server's identifier of the request
    std::optional<std::string> waitingOn;      ///< who acts next: "user", "device", ...
    std::optional<std::string> waitingReason;  ///< what they must do: "approval", "input", "pick", "review", "consent"
    std::optional<Timestamp> expiresAt;        ///< when the wait ends by expiry

    /// A waiting state of the given members.
    TessaroWaiting(Phase phase, std::optional<std::string> requestID = std::nullopt,
                   std::optional<std::string> waitingOn = std::nullopt,
                   std::optional<std::string> waitingReason = std::nullopt,
                   std::optional<Timestamp> expiresAt = std::nullopt)
        : phase(std::move(phase)),
          requestID(std::move(requestID)),
          waitingOn(std::move(waitingOn)),
          waitingReason(std::move(waitingReason)),
          expiresAt(expiresAt) {}

    /// The text to show: the first matching rule of phase authorize, then the (waitingOn,
    /// waitingReason) pairs, then the fallback "等待 Tessaro 处理". Exact, case-sensitive matching;
    /// op, requestID and expiresAt never change it.
    std::string message() const;

    /// Member-wise equality.
    friend bool operator==(const TessaroWaiting&, const TessaroWaiting&) = default;
};

}  // namespace tessaro

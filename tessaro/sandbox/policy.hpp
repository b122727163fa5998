#pragma once
/// @file
/// How the sandbox's simulated user answers launch URLs. Set on the command line, through
/// POST /sandbox/policy, or with Sandbox::setPolicy.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

/// A plain value; not synchronised (the sandbox keeps its own copy under its lock). fromJSON and
/// parse* throw tessaro::InvalidArgument (a std::invalid_argument) with a short message naming
/// the offending member or text; nothing else throws except std::bad_alloc. Nothing blocks.
struct TESSARO_SANDBOX_EXPORT Policy {
    /// What the simulated user answers.
    enum class Decision {
        approve,      ///< approve every authorization and request
        deny,         ///< refuse them
        notSignedIn,  ///< report "not_signed_in"
        never,        ///< never answer at all
    };
    /// Where a created item is saved.
    enum class Create {
        inScope,     ///< into a granted vault with mode 1
        outOfScope,  ///< into the first vault outside the grant
    };
    /// How updates are answered.
    enum class Update {
        apply,     ///< apply the patch
        conflict,  ///< refuse with the reason "conflict"
    };

    /// What the user answers: approve, refuse, not signed in (the application reports
    /// "not_signed_in"), or never answer at all.
    Decision decision = Decision::approve;
    /// Time before the user first reacts to a launch URL.
    std::chrono::milliseconds delay{0};
    /// Time the user spends in each waiting state of a request.
    std::chrono::milliseconds step{300};
    /// "hint": the item whose URL matches the hint URL (same URL, else same host), else the first
    /// item of the granted vaults. Any other text names the item to pick.
    std::string pick = "hint";
    /// inScope: save into the requested vault when it is granted and has mode 1, else into the
    /// first granted mode-1 vault. outOfScope: save into the first vault outside the grant.
    Create create = Create::inScope;
    /// conflict: refuse every update with the reason "conflict".
    Update update = Update::apply;
    /// The vaults an approved authorization grants; absent: the account's default grant.
    std::optional<std::vector<std::string>> grantVaults;

    /// {"decision","delay","step","pick","create","update","grant_vaults"}; delay and step in
    /// seconds; grant_vaults null when absent.
    nlohmann::json toJSON() const;
    /// `base` with the members present in `json` replaced. Unknown members, a non-object and
    /// values of the wrong type or range are refused with tessaro::InvalidArgument.
    static Policy fromJSON(const nlohmann::json& json, const Policy& base);

    /// "approve", "deny", "not_signed_in" (or "not-signed-in"), "never".
    static Decision parseDecision(std::string_view text);
    /// "in_scope" / "out_of_scope" (hyphens accepted).
    static Create parseCreate(std::string_view text);
    /// "apply" / "conflict".
    static Update parseUpdate(std::string_view text);
    /// Seconds as a decimal number, 0 to 86400.
    static std::chrono::milliseconds parseSeconds(std::string_view text);

    /// The text of `decision` as parseDecision reads it ("not_signed_in" for notSignedIn).
    static std::string_view text(Decision decision);
    /// The text of `create` as parseCreate reads it ("in_scope", "out_of_scope").
    static std::string_view text(Create create);
    /// The text of `update` as parseUpdate reads it.
    static std::string_view text(Update update);

    /// Member-wise equality.
    friend bool operator==(const Policy&, const Policy&) = default;
};

}  // namespace tessaro::sandbox

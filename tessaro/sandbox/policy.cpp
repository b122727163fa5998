#include <tessaro/sandbox/policy.hpp>

#include <cmath>
#include <stdexcept>

#include <tessaro/records/exception.hpp>

namespace tessaro::sandbox {

namespace {

std::string normalised(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '-') c = '_';
    }
    return out;
}

std::chrono::milliseconds secondsFromNumber(double seconds, std::string_view what) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
        throw InvalidArgument(std::string(what) + " must be between 0 and 86400 seconds");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000)));
}

}  // namespace

Policy::Decision Policy::parseDecision(std::string_view text) {
    const std::string t = normalised(text);
    if (t == "approve") return Decision::approve;
    if (t == "deny") return Decision::deny;
    if (t == "not_signed_in") return Decision::notSignedIn;
    if (t == "never") return Decision::never;
    throw InvalidArgument("decision must be approve, deny, not_signed_in or never");
}

Policy::Create Policy::parseCreate(std::string_view text) {
    const std::string t = normalised(text);
    if (t == "in_scope") return Create::inScope;
    if (t == "out_of_scope") return Create::outOfScope;
    throw InvalidArgument("create must be in_scope or out_of_scope");
}

Policy::Update Policy::parseUpdate(std::string_view text) {
    if (text == "apply") return Update::apply;
    if (text == "conflict") return Update::conflict;
    throw InvalidArgument("update must be apply or conflict");
}

std::chrono::milliseconds Policy::parseSeconds(std::string_view text) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(std::string(text), &used);
    } catch (const std::exception&) {
        throw InvalidArgument("not a number of seconds: " + std::string(text));
    }
    if (used != text.size()) throw InvalidArgument("not a number of seconds: " + std::string(text));
    return secondsFromNumber(value, "a duration");
}

std::string_view Policy::text(Decision decision) {
    switch (decision) {
        case Decision::approve: return "approve";
        case Decision::deny: return "deny";
        case Decision::notSignedIn: return "not_signed_in";
        case Decision::never: return "never";
    }
    return "approve";
}

std::string_view Policy::text(Create create) { return create == Create::inScope ? "in_scope" : "out_of_scope"; }

std::string_view Policy::text(Update update) { return update == Update::apply ? "apply" : "conflict"; }

nlohmann::json Policy::toJSON() const {
    nlohmann::json json = {
        {"decision", text(decision)},
        {"delay", static_cast<double>(delay.count()) / 1000.0},
        {"step", static_cast<double>(step.count()) / 1000.0},
        {"pick", pick},
        {"create", text(create)},
        {"update", text(update)},
        {"grant_vaults", nullptr},
    };
    if (grantVaults) json["grant_vaults"] = *grantVaults;
    return json;
}

Policy Policy::fromJSON(const nlohmann::json& json, const Policy& base) {
    if (!json.is_object()) throw InvalidArgument("the policy must be a JSON object");
    Policy policy = base;
    for (const auto& [key, value] : json.items()) {
        auto needString = [&]() -> std::string {
            if (!value.is_string()) throw InvalidArgument(key + " must be a string");
            return value.get<std::string>();
        };
        if (key == "decision") {
            policy.decision = parseDecision(needString());
        } else if (key == "delay" || key == "step") {
            if (!value.is_number()) throw InvalidArgument(key + " must be a number of seconds");
            (key == "delay" ? policy.delay : policy.step) = secondsFromNumber(value.get<double>(), key);
        } else if (key == "pick") {
            policy.pick = needString();
            if (policy.pick.empty()) throw InvalidArgument("pick must not be empty");
        } else if (key == "create") {
            policy.create = parseCreate(needString());
        } else if (key == "update") {
            policy.update = parseUpdate(needString());
        } else if (key == "grant_vaults") {
            if (value.is_null()) {
                policy.grantVaults.reset();
                continue;
            }
            if (!value.is_array()) throw InvalidArgument("grant_vaults must be an array of vault IDs or null");
            std::vector<std::string> vaults;
            for (const auto& vault : value) {
                if (!vault.is_string()) throw InvalidArgument("grant_vaults must hold strings");
                vaults.push_back(vault.get<std::string>());
            }
            policy.grantVaults = std::move(vaults);
        } else {
            throw InvalidArgument("unknown policy member: " + key);
        }
    }
    return policy;
}

}  // namespace tessaro::sandbox

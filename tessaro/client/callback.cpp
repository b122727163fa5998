#include <tessaro/client/callback.hpp>

#include <tessaro/records/internal/utf8.hpp>

#include <array>
#include <cstddef>
#include <utility>

namespace tessaro {
namespace {

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The decoded path with one trailing "/" dropped, so that "/cb/" and "/cb" compare equal; a lone
// "/" stays as it is.
std::string comparablePath(const URL& url) {
    std::string path = url.decodedPath();
    if (path.size() >= 2 && path.back() == '/') path.pop_back();
    return path;
}

// The query names a callback reads, in the order of the slots below.
constexpr std::array<std::string_view, 6> readNames{"state", "tq", "code", "request_id", "status", "error"};
enum Slot : std::size_t { stateSlot, tqSlot, codeSlot, requestIDSlot, statusSlot, errorSlot };

}  // namespace

std::string_view rawValue(TessaroCallback::Kind kind) noexcept {
    switch (kind) {
        case TessaroCallback::Kind::authorize: return "authorize";
        case TessaroCallback::Kind::request: return "request";
    }
    return {};
}

std::string_view rawValue(TessaroCallback::Status status) noexcept {
    switch (status) {
        case TessaroCallback::Status::completed: return "completed";
        case TessaroCallback::Status::denied: return "denied";
        case TessaroCallback::Status::cancelled: return "cancelled";
        case TessaroCallback::Status::expired: return "expired";
    }
    return {};
}

std::optional<TessaroCallback::Kind> callbackKindFromRaw(std::string_view raw) noexcept {
    for (const auto kind : {TessaroCallback::Kind::authorize, TessaroCallback::Kind::request}) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::optional<TessaroCallback::Status> callbackStatusFromRaw(std::string_view raw) noexcept {
    for (const auto status : {TessaroCallback::Status::completed, TessaroCallback::Status::denied,
                              TessaroCallback::Status::cancelled, TessaroCallback::Status::expired}) {
        if (rawValue(status) == raw) return status;
    }
    return std::nullopt;
}

bool TessaroCallback::matches(const URL& url, const URL& redirectURL) {
    return asciiLowercase(url.scheme()) == asciiLowercase(redirectURL.scheme()) &&
           asciiLowercase(url.host()) == asciiLowercase(redirectURL.host()) &&
           comparablePath(url) == comparablePath(redirectURL);
}

std::optional<TessaroCallback> TessaroCallback::parse(const URL& url, const URL& redirectURL) {
    if (!matches(url, redirectURL)) return std::nullopt;

    // Only the first occurrence of each read name counts; every item must still be text, because
    // the values go on into JSON bodies and lookups that take UTF-8 only.
    std::array<std::optional<std::string>, readNames.size()> found;
    for (auto& [name, value] : url.queryItems()) {
        if (!detail::isValidUTF8(name) || !detail::isValidUTF8(value)) return std::nullopt;
        for (std::size_t slot = 0; slot < readNames.size(); ++slot) {
            if (name == readNames[slot]) {
                if (!found[slot]) found[slot] = std::move(value);
                break;
            }
        }
    }

    if (!found[stateSlot] || found[stateSlot]->empty()) return std::nullopt;

    std::optional<Kind> kind = found[tqSlot] ? callbackKindFromRaw(*found[tqSlot]) : std::nullopt;
    if (!kind) {
        if (found[codeSlot]) {
            kind = Kind::authorize;
        } else if (found[requestIDSlot]) {
            kind = Kind::request;
        } else {
            return std::nullopt;
        }
    }

    TessaroCallback callback;
    callback.kind = *kind;
    callback.state = std::move(*found[stateSlot]);
    callback.code = std::move(found[codeSlot]);
    callback.requestID = std::move(found[requestIDSlot]);
    if (found[statusSlot]) callback.status = callbackStatusFromRaw(*found[statusSlot]);
    callback.error = std::move(found[errorSlot]);
    return callback;
}

}  // namespace tessaro

#pragma once
// The client's private operations, for its tests and benchmarks; no source of the kit uses this.

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include <tessaro/client/internal/client_impl.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/client/tessaro_client.hpp>

namespace tessaro::detail {

class ClientInternals {
public:
    // Runs `body` with usable credentials: refreshes a token that is missing or about to expire,
    // retries once after a 401 "token_expired"/"invalid_token", maps server errors to
    // TessaroError and wipes the session for a revocation code.
    static void withCredentials(TessaroClient& client, const std::function<void(const TessaroAPI::Credentials&)>& body,
                                std::stop_token stop = {}) {
        client.impl_->withCredentials(body, stop);
    }
    static std::optional<Session> loadSession(TessaroClient& client) { return client.impl_->loadSession(); }
    static void notifyWaiting(TessaroClient& client, const std::optional<TessaroWaiting>& value) {
        client.impl_->notifyWaiting(value);
    }
    // What the client holds for flows in progress: callback handlers, foreground handlers, and
    // the current flow's state token (empty when there is none).
    struct Registrations {
        std::size_t pending = 0;
        std::size_t foreground = 0;
        std::string current;
        friend bool operator==(const Registrations&, const Registrations&) = default;
    };
    static Registrations registrations(TessaroClient& client) {
        auto& impl = *client.impl_;
        std::lock_guard guard(impl.lock);
        return {impl.pending.size(), impl.foregroundHandlers.size(),
                impl.currentFlow ? impl.currentFlow->state : std::string()};
    }
};

}  // namespace tessaro::detail

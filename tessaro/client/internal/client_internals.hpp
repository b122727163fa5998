#pragma once
// The client's private operations, for the kit's other flows and its tests.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <optional>
#include <stop_token>

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
        client.withCredentials(body, stop);
    }
    static std::optional<Session> loadSession(TessaroClient& client) { return client.loadSession(); }
    static void notifyWaiting(TessaroClient& client, const std::optional<TessaroWaiting>& value) {
        client.notifyWaiting(value);
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
        std::lock_guard guard(client.lock_);
        return {client.pending_.size(), client.foregroundHandlers_.size(),
                client.currentFlow_ ? client.currentFlow_->state : std::string()};
    }
};

}  // namespace tessaro::detail

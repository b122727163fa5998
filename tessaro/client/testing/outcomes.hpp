#pragma once
// What a client did, as the tests look at it: the TessaroError an operation threw (or its outcome
// as one word), and every onWaiting value it reported.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/crypto/crypto_error.hpp>

namespace tessaro::testing::client {

// The TessaroError `call` threw; none when it returned.
inline std::optional<TessaroError> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const TessaroError& error) {
        return error;
    }
    return std::nullopt;
}

// How `call` ended, as the tests' tables write it: "ok", the error's code ("revoked"), with its
// protocol code after a colon ("protocol:busy"), or "crypto" for a CryptoError.
inline std::string outcome(const std::function<void()>& call) {
    static const char* const names[] = {"notInstalled", "network", "protocol",    "notAuthorized", "cancelled",
                                        "denied",       "expired", "notSignedIn", "revoked",       "conflict"};
    try {
        const auto error = errorOf(call);
        if (!error) return "ok";
        const std::string name = names[static_cast<int>(error->code())];
        return error->protocolCode().empty() ? name : name + ":" + error->protocolCode();
    } catch (const TessaroCrypto::CryptoError&) {
        return "crypto";
    }
}

// Records every onWaiting value of `client`, in the order reported.
struct WaitingLog {
    explicit WaitingLog(TessaroClient& client) {
        client.setOnWaiting([this](const std::optional<TessaroWaiting>& value) {
            std::lock_guard guard(mutex);
            values.push_back(value);
        });
    }
    std::vector<std::optional<TessaroWaiting>> all() {
        std::lock_guard guard(mutex);
        return values;
    }
    std::mutex mutex;
    std::vector<std::optional<TessaroWaiting>> values;
};

}  // namespace tessaro::testing::client

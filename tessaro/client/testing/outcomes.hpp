#pragma once
// What a client did, as the tests look at it: the TessaroError an operation threw, and every
// onWaiting value it reported.

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include <tessaro/client/tessaro_client.hpp>

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

#pragma once
// Polls a condition until it holds or a bound passes: the one way the tests wait for something
// another thread or process does.

#include <chrono>
#include <functional>
#include <thread>

namespace tessaro::testing {

// Every wait of the tests is bounded by this; a passing run never comes near it.
inline constexpr std::chrono::milliseconds waitLimit{20000};

// Whether `done` held within `limit`, checked every 5 ms.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = waitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace tessaro::testing

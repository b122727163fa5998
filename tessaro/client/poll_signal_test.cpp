#include <tessaro/client/poll_signal.hpp>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace tessaro {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Bounds are generous: the machine may be loaded and sanitized. "Prompt" means well before the
// wait's own length; full sleeps are checked against their lower bound only.
constexpr auto prompt = 10s;
constexpr double longWait = 30.0;

Clock::duration timed(auto&& body) {
    const auto start = Clock::now();
    body();
    return Clock::now() - start;
}

TEST(PollSignal, AFireWhileNobodyWaitsIsRememberedOnce) {
    PollSignal signal;
    signal.fire();
    signal.fire();
    signal.fire();
    EXPECT_LT(timed([&] { signal.wait(longWait); }), prompt);
    EXPECT_GE(timed([&] { signal.wait(0.05); }), 50ms);
    signal.fire();  // just after a wait ended by timeout
    EXPECT_LT(timed([&] { signal.wait(longWait); }), prompt);
}

TEST(PollSignal, WaitsItsFullLengthOfAtLeastTenMilliseconds) {
    const struct {
        double upTo;
        Clock::duration atLeast;
    } cases[] = {
        {0.05, 50ms},
        {0.0, 10ms},
        {-3.0, 10ms},
        {std::numeric_limits<double>::quiet_NaN(), 10ms},
    };
    PollSignal signal;
    for (const auto& c : cases) {
        const auto took = timed([&] { signal.wait(c.upTo); });
        EXPECT_GE(took, c.atLeast) << c.upTo;
        EXPECT_LT(took, prompt) << c.upTo;
    }
}

TEST(PollSignal, AFireDuringTheWaitWakesItWithoutLeavingAPendingFire) {
    const auto signal = std::make_shared<PollSignal>();
    std::atomic<bool> fired = false;
    std::jthread firer([signal, &fired] {
        std::this_thread::sleep_for(20ms);
        fired = true;
        signal->fire();
    });
    EXPECT_LT(timed([&] { signal->wait(30s); }), prompt);
    EXPECT_TRUE(fired);
    firer.join();
    EXPECT_GE(timed([&] { signal->wait(0.05); }), 50ms);
}

TEST(PollSignal, AStopRequestedBeforeTheWaitReturnsAtOnceAndLeavesAPendingFire) {
    PollSignal signal;
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_LT(timed([&] { signal.wait(longWait, stopped.get_token()); }), prompt);

    signal.fire();
    EXPECT_LT(timed([&] { signal.wait(longWait, stopped.get_token()); }), prompt);
    EXPECT_LT(timed([&] { signal.wait(longWait); }), prompt);  // the fire was still pending
}

TEST(PollSignal, AStopDuringTheWaitEndsIt) {
    for (const double upTo : {longWait, std::numeric_limits<double>::infinity(), 1e300}) {
        PollSignal signal;
        std::atomic<bool> returned = false;
        const auto took = timed([&] {
            std::jthread waiter([&](std::stop_token stop) {
                signal.wait(upTo, stop);
                returned = true;
            });
            std::this_thread::sleep_for(20ms);
            EXPECT_FALSE(returned) << upTo;
            // ~jthread requests the stop and joins.
        });
        EXPECT_TRUE(returned) << upTo;
        EXPECT_LT(took, prompt) << upTo;
    }
}

TEST(PollSignal, ANewerWaitReplacesTheOlderOneWhichReturns) {
    PollSignal signal;
    std::atomic<int> returned = 0;
    const auto took = timed([&] {
        std::jthread first([&] {
            signal.wait(longWait);
            ++returned;
        });
        std::jthread second([&] {
            signal.wait(longWait);
            ++returned;
        });
        // Whichever stored itself first is replaced by the other and returns on its own.
        const auto giveUp = Clock::now() + prompt;
        while (returned == 0 && Clock::now() < giveUp)
            std::this_thread::sleep_for(1ms);
        // The one left waiting is still the stored waiter, so a fire wakes it.
        signal.fire();
    });
    EXPECT_EQ(returned, 2);
    EXPECT_LT(took, prompt);
    EXPECT_GE(timed([&] { signal.wait(0.05); }), 50ms);
}

}  // namespace
}  // namespace tessaro

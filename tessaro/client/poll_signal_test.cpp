#include <tessaro/client/poll_signal.hpp>

#include <chrono>
#include <future>
#include <limits>

#include <gtest/gtest.h>

#include <testing/eventually.hpp>

namespace tessaro {
namespace {

using namespace std::chrono_literals;
using tessaro::testing::eventually;
using tessaro::testing::waitLimit;

// A wait on a thread of its own, stopped when it goes out of scope. Waits are an hour long (or
// more), so one that returns was woken.
struct Waiter {
    enum Start { running, stopped };  // stopped: its stop is requested before the wait begins
    Waiter(PollSignal& signal, double upTo = 3600, Start start = running) {
        if (start == stopped) stop.request_stop();
        done = std::async(std::launch::async, [&signal, upTo, token = stop.get_token()] { signal.wait(upTo, token); });
    }
    ~Waiter() { stop.request_stop(); }
    bool returns() { return done.wait_for(waitLimit) == std::future_status::ready; }
    bool over() { return done.wait_for(0s) == std::future_status::ready; }
    bool waiting() { return done.wait_for(50ms) == std::future_status::timeout; }

    std::stop_source stop;
    std::future<void> done;
};

// Several fires while nobody waits wake one wait; a wait that ends by a stop or by its own end leaves
// a later fire for the next one, and a stop already requested consumes none.
TEST(PollSignal, AFireWhileNobodyWaitsIsRememberedOnce) {
    PollSignal signal;
    signal.fire();
    signal.fire();
    EXPECT_TRUE(Waiter(signal).returns());
    {
        Waiter second(signal);
        EXPECT_TRUE(second.waiting());
        second.stop.request_stop();
        EXPECT_TRUE(second.returns());
    }
    signal.wait(0.01);
    signal.fire();
    EXPECT_TRUE(Waiter(signal, 3600, Waiter::stopped).returns());
    EXPECT_TRUE(Waiter(signal).returns());
    EXPECT_TRUE(Waiter(signal).waiting());
}

// A fire or a stop ends a running wait of any length, and a fire that woke a wait is not left
// pending; a wait below 10 ms, NaN included, ends by itself after 10 ms.
TEST(PollSignal, AFireOrAStopEndsTheWait) {
    for (const double upTo : {3600.0, std::numeric_limits<double>::infinity(), 1e300}) {
        PollSignal signal;
        for (const bool byStop : {false, true}) {
            SCOPED_TRACE(::testing::Message() << upTo << (byStop ? " stopped" : " fired"));
            Waiter waiter(signal, upTo);
            EXPECT_TRUE(waiter.waiting());
            byStop ? (void)waiter.stop.request_stop() : signal.fire();
            EXPECT_TRUE(waiter.returns());
        }
        EXPECT_TRUE(Waiter(signal).waiting());
    }
    // The floor keeps a status poll loop from spinning (a lower bound cannot flake).
    for (const double upTo : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        PollSignal signal;
        ASSERT_TRUE(Waiter(signal, upTo).returns()) << upTo;  // so that the timed wait below ends
        const auto start = std::chrono::steady_clock::now();
        signal.wait(upTo);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 10ms) << upTo;
    }
}

// A newer wait replaces the older one, which returns; the newer is then the one a fire wakes.
TEST(PollSignal, ANewerWaitReplacesTheOlderOneWhichReturns) {
    PollSignal signal;
    Waiter one(signal), two(signal);
    // Whichever stored itself first is replaced by the other.
    ASSERT_TRUE(eventually([&] { return one.over() || two.over(); }));
    Waiter& newer = one.over() ? two : one;
    EXPECT_TRUE(newer.waiting());
    signal.fire();
    EXPECT_TRUE(newer.returns());
}

}  // namespace
}  // namespace tessaro

// The cross-process lock: exclusion between processes and within one, and a stop ending the wait.
#include <tessaro/stores/internal/process_lock.hpp>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <testing/child_process.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro::detail {
namespace {

using namespace std::chrono_literals;

constexpr const char* lockVariable = "TESSARO_LOCK_TEST_NAME";

// The other process: says so once it holds the lock, then exits (which releases it).
const int lockHolder = testing::runChildMode("lock-holder", [] {
    auto lock = ProcessLock::acquire(std::getenv(lockVariable), {});
    std::cout << (lock ? "got the lock" : "no lock") << std::endl;
    return lock ? 0 : 1;
});

TEST(ProcessLock, TwoProcessesTakeTurns) {
    const std::string name = tessaro::testing::uniqueClientID("lock-processes");
    auto held = ProcessLock::acquire(name, {});
    ASSERT_TRUE(held);
    struct stat info {};
    ASSERT_EQ(::stat(ProcessLock::pathFor(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    testing::ChildProcess other(testing::ChildMode{"lock-holder"},
                                {.environment = {std::string(lockVariable) + "=" + name}});
    EXPECT_FALSE(other.lineWith("lock", 300ms)) << "the other process got the lock while this one held it";
    held.reset();
    EXPECT_EQ(other.wait(10s).status, 0) << "the other process never got the lock";
}

TEST(ProcessLock, LocksOfOneProcessExcludeEachOtherAndAStopOrDeadlineEndsTheWait) {
    const std::string name = tessaro::testing::uniqueClientID("lock-threads");
    auto first = ProcessLock::acquire(name, {});
    ASSERT_TRUE(first);

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_FALSE(ProcessLock::acquire(tessaro::testing::uniqueClientID("free"), stopped.get_token()))
        << "a stop requested before the call wins even over a free lock";

    std::stop_source source;
    std::optional<ProcessLock> second;
    std::jthread waiter([&] { second = ProcessLock::acquire(name, source.get_token()); });
    std::this_thread::sleep_for(200ms);
    source.request_stop();
    waiter.join();  // a stop that did not end the wait hangs here
    EXPECT_FALSE(second) << "a second lock of the same process got the name while the first held it";
    EXPECT_FALSE(
        ProcessLock::acquire(name, {}, ProcessLock::Purpose::refresh, std::chrono::steady_clock::now() + 50ms));

    // The session-write lock of a name is another file: held beside the refresh lock, never behind it.
    const auto write = ProcessLock::acquire(name, {}, ProcessLock::Purpose::sessionWrite);
    EXPECT_TRUE(write);

    first.reset();
    const auto again = ProcessLock::acquire(name, {});
    EXPECT_TRUE(again && ProcessLock::acquire(tessaro::testing::uniqueClientID("other"), {}))
        << "released, and another name is independent";
}

}  // namespace
}  // namespace tessaro::detail

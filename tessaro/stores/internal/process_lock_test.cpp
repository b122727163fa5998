// The cross-process lock: exclusion between processes and within one, and a stop ending the wait.
#include <tessaro/stores/internal/process_lock.hpp>

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro::detail {
namespace {

using namespace std::chrono_literals;

// Waits up to `timeout` for one byte on `fd`; -1 when none came.
int readByte(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return -1;
    char c = 0;
    return ::read(fd, &c, 1) == 1 ? c : -1;
}

TEST(ProcessLock, TwoProcessesTakeTurns) {
    const std::string name = tessaro::testing::uniqueClientID("lock-processes");
    auto held = ProcessLock::acquire(name, {});
    ASSERT_TRUE(held);
    struct stat info {};
    ASSERT_EQ(::stat(ProcessLock::pathFor(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other process: report once it holds the lock, then exit (which releases it). It
        // first closes what it inherited: a forked copy of this process's lock descriptor would
        // keep that lock alive (an exec'd process never gets it: O_CLOEXEC).
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != pipeFds[1]) ::close(fd);
        }
        auto lock = ProcessLock::acquire(name, {});
        const char got = lock ? 'g' : 'x';
        ::_exit(::write(pipeFds[1], &got, 1) == 1 ? 0 : 1);
    }
    ::close(pipeFds[1]);
    EXPECT_EQ(readByte(pipeFds[0], 300ms), -1) << "the other process got the lock while this one held it";
    held.reset();
    const int got = readByte(pipeFds[0], 10000ms);
    EXPECT_EQ(got, 'g');
    if (got != 'g') ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(pipeFds[0]);
    EXPECT_TRUE(ProcessLock::acquire(name, {})) << "released by the other process's exit";
}

TEST(ProcessLock, LocksOfOneProcessExcludeEachOtherAndAStopOrDeadlineEndsTheWait) {
    const std::string name = tessaro::testing::uniqueClientID("lock-threads");
    auto first = ProcessLock::acquire(name, {});
    ASSERT_TRUE(first);

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_FALSE(ProcessLock::acquire(name, stopped.get_token()));
    EXPECT_FALSE(ProcessLock::acquire(tessaro::testing::uniqueClientID("free"), stopped.get_token()))
        << "a stop requested before the call wins even over a free lock";

    std::stop_source source;
    std::optional<ProcessLock> second;
    bool returned = false;
    std::jthread waiter([&] {
        second = ProcessLock::acquire(name, source.get_token());
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    source.request_stop();
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(second) << "a second lock of the same process got the name while the first held it";
    EXPECT_FALSE(
        ProcessLock::acquire(name, {}, ProcessLock::Purpose::refresh, std::chrono::steady_clock::now() + 50ms));

    // The session-write lock of a name is another file: held beside the refresh lock, never behind it.
    const auto write = ProcessLock::acquire(name, {}, ProcessLock::Purpose::sessionWrite);
    EXPECT_TRUE(write);
    EXPECT_TRUE(ProcessLock::pathFor(name, ProcessLock::Purpose::sessionWrite).ends_with(".write.lock"));

    first.reset();
    EXPECT_TRUE(ProcessLock::acquire(name, {}));
    // Another name is independent.
    auto other = ProcessLock::acquire(tessaro::testing::uniqueClientID("other"), {});
    auto again = ProcessLock::acquire(name, {});
    EXPECT_TRUE(other && again);
}

}  // namespace
}  // namespace tessaro::detail

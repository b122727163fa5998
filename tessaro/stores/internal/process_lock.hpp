#pragma once
// An exclusive lock shared by every process of the user, named by text.

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace tessaro::detail {

// An flock(2) on a 0600 file in the user's runtime directory (g_get_user_runtime_dir()), named
// "tessaro-<sha256 of the name>.lock" for token refreshes and "tessaro-<sha256 of the name>.write.lock"
// for session writes: the two purposes of one name are distinct locks. Every holder of the same name in any process of this user
// excludes every other, two locks of one process included (flock belongs to the open file, not
// to the process, and closing another descriptor never drops it, unlike fcntl record locks).
// The file is opened O_CLOEXEC|O_NOFOLLOW and never unlinked (unlinking would let a waiter lock
// a file that a newcomer no longer sees). The kernel releases the lock when its holder dies.
//
// A value that owns the lock: movable, not copyable; destruction releases it. Not thread-safe as an
// object; acquire() may run on any number of threads at once.
class ProcessLock {
public:
    enum class Purpose { refresh, sessionWrite };
    using Deadline = std::chrono::steady_clock::time_point;

    // Waits until the lock is held, polling every `poll`; no value when `stop` is requested or the
    // deadline passes first (also when either happened before the call). Throws std::system_error
    // when the lock file cannot be opened or locked for another reason than contention.
    static std::optional<ProcessLock> acquire(std::string_view name, std::stop_token stop,
                                              Purpose purpose = Purpose::refresh, Deadline deadline = Deadline::max(),
                                              std::chrono::milliseconds poll = std::chrono::milliseconds(10));

    // The lock file's path for `name` and `purpose`.
    static std::string pathFor(std::string_view name, Purpose purpose = Purpose::refresh);

    ProcessLock(ProcessLock&& other) noexcept;
    ProcessLock& operator=(ProcessLock&& other) noexcept;
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;
    ~ProcessLock();

private:
    explicit ProcessLock(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace tessaro::detail

#include <tessaro/stores/internal/process_lock.hpp>

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

#include <tessaro/crypto/primitives.hpp>
#include <tessaro/records/exception.hpp>

namespace tessaro::detail {

std::string ProcessLock::pathFor(std::string_view name, Purpose purpose) {
    // A digest keeps any name (slashes, any length) a safe file name; 32 hex digits are plenty.
    return std::string(g_get_user_runtime_dir()) + "/tessaro-" + TessaroCrypto::sha256Hex(name).substr(0, 32) +
           (purpose == Purpose::sessionWrite ? ".write.lock" : ".lock");
}

std::optional<ProcessLock> ProcessLock::acquire(std::string_view name, std::stop_token stop, Purpose purpose,
                                                Deadline deadline, std::chrono::milliseconds poll) {
    if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    const std::string path = pathFor(name, purpose);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw SystemError(errno, "cannot open the lock file " + path);
    ProcessLock lock(fd);  // closes the file on every way out until it is returned

    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock guard(mutex);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            throw SystemError(errno, "cannot lock " + path);
        }
        // Nobody notifies `wake`: it only sleeps for one poll, ending early on a stop request.
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= Deadline::duration::zero()) return std::nullopt;
        wake.wait_for(guard, stop, std::min<Deadline::duration>(poll, left), [] { return false; });
        if (stop.stop_requested()) return std::nullopt;
    }
}

ProcessLock::ProcessLock(ProcessLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ProcessLock& ProcessLock::operator=(ProcessLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

ProcessLock::~ProcessLock() {
    // Closing the only descriptor of the open file releases its flock.
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace tessaro::detail

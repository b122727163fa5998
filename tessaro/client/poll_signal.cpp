#include <tessaro/client/poll_signal.hpp>

#include <algorithm>
#include <cmath>

namespace tessaro {

void PollSignal::fire() noexcept {
    // Notifying under the lock: once the waiter has returned, its owner may destroy the signal, so
    // nothing of it is touched after the lock is released.
    std::lock_guard lock(mutex_);
    if (waiter_ == 0) {
        pendingFire_ = true;
        return;
    }
    waiter_ = 0;
    woken_.notify_all();
}

void PollSignal::wait(double upTo, std::stop_token stop) noexcept {
    constexpr double shortest = 0.01;
    constexpr double longest = 1e9;  // keeps the deadline inside the clock's 64-bit nanoseconds
    const double seconds = std::isnan(upTo) ? shortest : std::clamp(upTo, shortest, longest);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));

    std::unique_lock lock(mutex_);
    if (stop.stop_requested()) return;
    if (pendingFire_) {
        pendingFire_ = false;
        return;
    }
    const std::uint64_t self = ++lastWaiter_;
    const bool replacing = waiter_ != 0;
    waiter_ = self;
    if (replacing) woken_.notify_all();  // the older waiter sees it was replaced and returns
    woken_.wait_until(lock, stop, deadline, [&] { return waiter_ != self; });
    // Only this wait's own entry is cleared: a newer wait may have replaced it meanwhile.
    if (waiter_ == self) waiter_ = 0;
}

}  // namespace tessaro

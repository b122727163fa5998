#include <tessaro/client/poll_signal.hpp>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessaro {

struct TESSARO_NO_EXPORT PollSignal::Impl {
    std::mutex mutex;
    std::condition_variable_any woken;
    // Identity of the stored waiter, 0 when none; fire() and a newer wait take it out by resetting it.
    std::uint64_t waiter = 0;
    std::uint64_t lastWaiter = 0;
    bool pendingFire = false;
};

PollSignal::PollSignal() : impl_(std::make_unique<Impl>()) {}

PollSignal::~PollSignal() = default;

void PollSignal::fire() noexcept {
    // Notifying under the lock: once the waiter has returned, its owner may destroy the signal, so
    // nothing of it is touched after the lock is released.
    Impl& impl = *impl_;
    std::lock_guard lock(impl.mutex);
    if (impl.waiter == 0) {
        impl.pendingFire = true;
        return;
    }
    impl.waiter = 0;
    impl.woken.notify_all();
}

void PollSignal::wait(double upTo, std::stop_token stop) noexcept {
    constexpr double shortest = 0.01;
    constexpr double longest = 1e9;  // keeps the deadline inside the clock's 64-bit nanoseconds
    const double seconds = std::isnan(upTo) ? shortest : std::clamp(upTo, shortest, longest);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));

    Impl& impl = *impl_;
    std::unique_lock lock(impl.mutex);
    if (stop.stop_requested()) return;
    if (impl.pendingFire) {
        impl.pendingFire = false;
        return;
    }
    const std::uint64_t self = ++impl.lastWaiter;
    const bool replacing = impl.waiter != 0;
    impl.waiter = self;
    if (replacing) impl.woken.notify_all();  // the older waiter sees it was replaced and returns
    impl.woken.wait_until(lock, stop, deadline, [&] { return impl.waiter != self; });
    // Only this wait's own entry is cleared: a newer wait may have replaced it meanwhile.
    if (impl.waiter == self) impl.waiter = 0;
}

}  // namespace tessaro

#pragma once
/// @file
/// PollSignal: wakes a request wait between two status reads.

#include <memory>
#include <stop_token>

#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// A one-waiter event with memory. The request runner sleeps on wait() between two reads of a
/// request's status; a callback, the host returning to the foreground, an abort or a retried app
/// switch call fire() so that the runner reads the status at once. A fire while nobody waits is
/// remembered (several such fires count once) and consumed by the next wait that finds it; a wait
/// that ends by timeout or stop leaves later fires pending for the following wait.
///
/// Reference type: hold it in a std::shared_ptr shared by the waiter and the firing code; not
/// copyable. Thread-safe: fire() from any thread, wait() from one waiting thread at a time (a newer
/// wait replaces an older one, which then returns). Construction may throw std::bad_alloc; fire()
/// and wait() throw nothing. fire() blocks only on the internal mutex; wait() blocks the calling
/// thread on the internal mutex and condition variable.
class TESSARO_EXPORT PollSignal {
public:
    /// A signal with no pending fire. Throws std::bad_alloc.
    PollSignal();
    /// Destroys the signal; no thread may be inside wait() or fire() by then.
    ~PollSignal();
    /// Not copyable.
    PollSignal(const PollSignal&) = delete;
    /// Not copyable.
    PollSignal& operator=(const PollSignal&) = delete;

    /// Wakes the stored waiter, or, when nobody waits, leaves one pending fire. Never blocks beyond
    /// the mutex.
    void fire() noexcept;

    /// Returns when the signal fires (or a pending fire is found and consumed), when `upTo` seconds
    /// have passed, or when `stop` is requested, whichever comes first; the caller cannot tell which.
    /// The wait lasts at least 10 ms when nothing else ends it: values below that, NaN included,
    /// count as 10 ms; values beyond about 31 years are cut to that. A stop already requested makes
    /// it return at once without consuming a pending fire.
    void wait(double upTo, std::stop_token stop = {}) noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro

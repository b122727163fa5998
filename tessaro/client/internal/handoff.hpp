#pragma once
// Handing a token answer from the thread that sent the request to the caller waiting for it, and
// the rule that an operation whose stop was requested ends as cancelled.

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <utility>

#include <tessaro/records/tessaro_error.hpp>

namespace tessaro::detail {

// One result, passed once from a sender to a caller that may stop waiting. Exactly one side ends
// up owning the result: the caller when it took it, the sender when the caller had given up.
template <class T>
class Handoff {
public:
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr error;
    };

    // The sender: true when the caller takes `outcome` (moved from it then); false when the
    // caller has given up, and `outcome` stays the sender's to deal with.
    bool offer(Outcome& outcome) {
        {
            std::lock_guard guard(mutex_);
            if (abandoned_) return false;
            outcome_ = std::move(outcome);
            outcome = Outcome{};
        }
        ready_.notify_all();
        return true;
    }

    // The caller: the value, or the sender's error thrown; no value when `stop` is requested before
    // the outcome came (the handoff is then abandoned).
    std::optional<T> take(std::stop_token stop) {
        std::unique_lock guard(mutex_);
        if (!ready_.wait(guard, stop, [&] { return outcome_.has_value(); })) {
            abandoned_ = true;
            return std::nullopt;
        }
        // The error leaves the handoff entirely, so the exception it holds ends on this thread.
        if (std::exception_ptr error = std::exchange(outcome_->error, nullptr)) std::rethrow_exception(error);
        return std::move(outcome_->value);
    }

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::optional<Outcome> outcome_;
    bool abandoned_ = false;
};

// Runs `operation`; when it fails after `stop` was requested, it ends with cancelled instead,
// whatever layer saw the stop (a transfer the transport aborted, a lock wait, the poll loop).
// std::bad_alloc passes unchanged.
template <class Operation>
decltype(auto) cancelledOnStop(const std::stop_token& stop, Operation&& operation) {
    try {
        return std::forward<Operation>(operation)();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        if (stop.stop_requested()) throw TessaroError::cancelled();
        throw;
    }
}

}  // namespace tessaro::detail

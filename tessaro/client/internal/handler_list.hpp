#pragma once
// Argument-less handlers called as a group, with registrations that are safe to end at any time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <tessaro/client/app_switching.hpp>

namespace tessaro::detail {

// The handlers behind one notice (a switcher's foreground handlers). callAll() copies the list
// under the lock and calls the copies outside it, so handlers may add and end registrations.
// Ending a registration retires its entry: calls that copied it earlier skip it, and the end waits
// until no other thread is inside the handler before destroying the handler. A handler that ends
// its own registration is not waited for (that would wait for itself); it finishes its call and is
// destroyed by the last call holding it.
//
// Held by std::shared_ptr: registrations refer to the list weakly and may outlive it.
// Thread safety: every member may be called from any thread and from several at once.
class HandlerList : public std::enable_shared_from_this<HandlerList> {
public:
    TessaroAppSwitching::Registration add(std::function<void()> handler);

    // Calls every handler registered when the call began, in registration order, on this thread.
    // A handler that throws does not stop the others; the first exception is rethrown at the end.
    void callAll();

private:
    struct Entry;
    void remove(std::uint64_t id) noexcept;

    std::mutex mutex_;
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries_;
    std::uint64_t nextID_ = 0;
};

}  // namespace tessaro::detail

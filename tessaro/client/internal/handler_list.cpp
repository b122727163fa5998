#include <tessaro/client/internal/handler_list.hpp>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

namespace tessaro::detail {

struct HandlerList::Entry {
    explicit Entry(std::function<void()> handler) : handler(std::move(handler)) {}

    // Runs the handler unless the entry is retired.
    void call() {
        const auto self = std::this_thread::get_id();
        {
            std::lock_guard lock(mutex);
            if (retired) return;
            callers.push_back(self);
        }
        struct Leave {
            Entry& entry;
            std::thread::id self;
            ~Leave() {
                std::lock_guard lock(entry.mutex);
                entry.callers.erase(std::find(entry.callers.begin(), entry.callers.end(), self));
                entry.left.notify_all();
            }
        } leave{*this, self};
        // `handler` is read without the lock: it changes only once retired and no caller is inside.
        handler();
    }

    // No call starts after this; returns when only this thread (if any) is inside the handler.
    void retire() noexcept {
        const auto self = std::this_thread::get_id();
        std::function<void()> dropped;
        {
            std::unique_lock lock(mutex);
            retired = true;
            left.wait(lock, [&] { return std::ranges::all_of(callers, [&](auto id) { return id == self; }); });
            if (callers.empty()) dropped = std::move(handler);
        }
        // `dropped` dies here, outside the lock: destroying its captures may run anything.
    }

    std::mutex mutex;
    std::condition_variable left;
    std::function<void()> handler;
    std::vector<std::thread::id> callers;  // one element per call in progress, nested calls included
    bool retired = false;
};

TessaroAppSwitching::Registration HandlerList::add(std::function<void()> handler) {
    auto entry = std::make_shared<Entry>(std::move(handler));
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextID_++;
        entries_.emplace(id, entry);
    }
    return TessaroAppSwitching::Registration([list = weak_from_this(), id, entry = std::move(entry)] {
        entry->retire();
        if (const auto owner = list.lock()) owner->remove(id);
    });
}

void HandlerList::remove(std::uint64_t id) noexcept {
    std::shared_ptr<Entry> removed;
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(id);
        if (found == entries_.end()) return;
        removed = std::move(found->second);
        entries_.erase(found);
    }
}

void HandlerList::callAll() {
    std::vector<std::shared_ptr<Entry>> snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot.reserve(entries_.size());
        for (const auto& [id, entry] : entries_)
            snapshot.push_back(entry);
    }
    std::exception_ptr firstError;
    for (const auto& entry : snapshot) {
        try {
            entry->call();
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
    }
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace tessaro::detail

#pragma once
// A store decorator for tests of what runs while the store is slow.

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <semaphore>
#include <span>
#include <string>

#include <tessaro/stores/memory_store.hpp>

namespace tessaro::testing {

// A memory store that, once armed, holds one step until resumed (at most 10 s): the next write of a
// key, or the next readMany (a session load). It counts readMany calls, and names a lock when
// given one.
class PausingStore final : public TessaroSecretStore {
public:
    explicit PausingStore(std::optional<std::string> lockName = std::nullopt) : lockName_(std::move(lockName)) {}

    std::optional<SecureBytes> read(const std::string& key) override { return inner_.read(key); }
    void write(const std::string& key, std::span<const std::uint8_t> value) override {
        pauseIf(key);
        inner_.write(key, value);
    }
    void remove(const std::string& key) override { inner_.remove(key); }
    void deleteAll() override { inner_.deleteAll(); }
    Values readMany(std::span<const std::string> keys) override {
        ++snapshots;
        pauseIf(readManyStep);
        return inner_.readMany(keys);
    }
    std::optional<std::string> lockName() const override { return lockName_; }

    void pauseWriteOf(const std::string& key) { arm(key); }
    void pauseNextLoad() { arm(readManyStep); }
    bool waitPaused() { return paused_.try_acquire_for(limit); }
    // Whether a step is held right now.
    bool holding() const { return holding_; }
    void resume() { resume_.release(); }
    std::atomic<int> snapshots{0};

private:
    static constexpr const char* readManyStep = "\nreadMany";
    void arm(const std::string& step) {
        std::lock_guard guard(mutex_);
        armed_ = step;
    }
    void pauseIf(const std::string& step) {
        {
            std::lock_guard guard(mutex_);
            if (armed_ != step) return;
            armed_.reset();
        }
        holding_ = true;
        paused_.release();
        resume_.try_acquire_for(limit);
        holding_ = false;
    }

    TessaroMemoryStore inner_;
    const std::optional<std::string> lockName_;
    std::mutex mutex_;
    std::optional<std::string> armed_;
    std::binary_semaphore paused_{0}, resume_{0};
    std::atomic<bool> holding_{false};
    static constexpr std::chrono::seconds limit{10};  // a held step goes on by itself after this
};

}  // namespace tessaro::testing

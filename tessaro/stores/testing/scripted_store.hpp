#pragma once
// The store the tests script: it holds a step (a slow store) or fails writes (a broken one).

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <span>
#include <string>

#include <tessaro/stores/memory_store.hpp>

namespace tessaro::testing {

// A memory store that, once armed, holds one step until resumed (at most 10 s): the next write of a
// key, or the next readMany (a session load). From failAfter(k) on, its k-th next write fails (and,
// with `every`, each one after it). It counts readMany calls, and names a lock when given one.
class ScriptedStore final : public TessaroSecretStore {
public:
    explicit ScriptedStore(std::optional<std::string> lockName = std::nullopt) : lockName_(std::move(lockName)) {}

    std::optional<SecureBytes> read(const std::string& key) override { return inner_.read(key); }
    void write(const std::string& key, std::span<const std::uint8_t> value) override {
        pauseIf(key);
        if (failsLeft_ == 0) {
            if (!failEvery_) failsLeft_ = -1;
            throw std::runtime_error("store failure");
        }
        if (failsLeft_ > 0) --failsLeft_;
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
    // Writes `writes` more, then fails (each one after that too with `every`); -1: no failure.
    void failAfter(int writes, bool every) {
        failsLeft_ = writes;
        failEvery_ = every;
    }
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
    std::atomic<int> failsLeft_{-1};
    std::atomic<bool> failEvery_{false};
    static constexpr std::chrono::seconds limit{10};  // a held step goes on by itself after this
};

}  // namespace tessaro::testing

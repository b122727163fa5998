#pragma once
// The in-process sandbox of every suite that runs against one (the sandbox's, end to end, the command
// line, Qt, the demo): an ephemeral loopback port, log lines and callback URLs collected, a clock the
// test moves, and an app switcher handing the kit's launch URLs to it. No GoogleTest in its interface
// (Qt tests use it). Callbacks go on to options.deliver when set (it may refer to objects made after
// the fixture). Every wait is bounded (testing::waitLimit); members are safe from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <testing/eventually.hpp>
#include <tessaro/sandbox/app_switcher.hpp>
#include <tessaro/sandbox/sandbox.hpp>

namespace tessaro::sandbox::testing {

// Lines added from any thread (log lines, callback URLs), read and waited for.
class Collector {
public:
    void add(const std::string& line);
    std::vector<std::string> all() const;
    // How many lines contain `needle`.
    std::size_t count(const std::string& needle) const;
    // The first line `match` accepts (or that contains `needle`), waiting at most `limit`.
    std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds limit = tessaro::testing::waitLimit);
    std::optional<std::string> waitFor(const std::string& needle,
                                       std::chrono::milliseconds limit = tessaro::testing::waitLimit);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

class SandboxFixture {
public:
    // collect: callback URLs land in callbacks(), then go to options.deliver when set. bySandbox:
    // the sandbox delivers them (HTTP GET to a loopback redirect, else the desktop's URL handler).
    enum class Delivery { collect, bySandbox };

    // Options as for Sandbox; options.log still receives the lines log() collects, and the clock
    // is the system clock moved by advanceClock() unless options.clock is set.
    explicit SandboxFixture(Options options = {}, Delivery delivery = Delivery::collect);
    ~SandboxFixture();
    SandboxFixture(const SandboxFixture&) = delete;
    SandboxFixture& operator=(const SandboxFixture&) = delete;

    Sandbox& sandbox() { return *sandbox_; }
    std::string origin() const { return sandbox_->origin(); }
    Collector& log() { return *log_; }
    Collector& callbacks() { return *callbacks_; }
    // Launch URLs a client opens go to Sandbox::open; a refused one throws notInstalled.
    const std::shared_ptr<SandboxAppSwitcher>& switcher() { return switcher_; }

    void advanceClock(std::chrono::seconds by) { *offset_ += by.count(); }
    // The server clock in whole seconds since the epoch.
    std::int64_t serverSeconds() const;
    // Stops the sandbox (the destructor does too); clients still running see a server gone.
    void stop() { sandbox_->stop(); }

private:
    std::shared_ptr<Collector> log_ = std::make_shared<Collector>();
    std::shared_ptr<Collector> callbacks_ = std::make_shared<Collector>();
    std::shared_ptr<std::atomic<std::int64_t>> offset_ = std::make_shared<std::atomic<std::int64_t>>(0);
    std::unique_ptr<Sandbox> sandbox_;
    std::shared_ptr<SandboxAppSwitcher> switcher_;
};

}  // namespace tessaro::sandbox::testing

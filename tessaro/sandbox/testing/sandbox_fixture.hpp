#pragma once
// The one set-up of an in-process sandbox for every suite that runs against one (the sandbox's own
// tests, end to end, the command line, the Qt glue, the demo): the sandbox on an ephemeral loopback
// port, its log lines and callback URLs collected, a clock the test can move, and an app switcher
// that hands the kit's launch URLs to it. Test-only (tessaro_sandbox_testing); no GoogleTest in its
// interface, so Qt tests use it too. Callbacks go on to options.deliver when it is set (a client's
// handleCallback, a GUI-thread queue; the hook may refer to objects made after the fixture). Every
// wait is bounded (testing::waitLimit); members are safe to call from any thread.
//
//   SandboxFixture f(options);  f.log().waitFor("authorize: approved");  f.advanceClock(61s);

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

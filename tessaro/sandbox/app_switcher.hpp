#pragma once
// SandboxAppSwitcher: the kit's app switching, answered by an in-process sandbox.

#include <atomic>
#include <functional>
#include <stop_token>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

// Hands every launch URL a client opens to Sandbox::open, as if the password-manager application
// had been started with it; a URL the sandbox refuses, or any URL while setInstalled(false), throws
// TessaroError::notInstalled with the download URL. Foreground notices are never reported. For
// tests, benchmarks and tools that run a client against an in-process sandbox. Thread-safe; open()
// blocks only on the sandbox's lock. The sandbox must outlive it.
class TESSARO_SANDBOX_EXPORT SandboxAppSwitcher final : public TessaroAppSwitching {
public:
    explicit SandboxAppSwitcher(Sandbox& sandbox) : sandbox_(sandbox) {}

    void open(const URL& url, const URL& downloadURL, std::stop_token stop = {}) override;
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override;

    void setInstalled(bool installed) { installed_ = installed; }

private:
    Sandbox& sandbox_;
    std::atomic<bool> installed_{true};
};

}  // namespace tessaro::sandbox

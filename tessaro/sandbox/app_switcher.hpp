#pragma once
/// @file
/// SandboxAppSwitcher: the kit's app switching, answered by an in-process sandbox.

#include <atomic>
#include <functional>
#include <stop_token>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/sandbox_export.hpp>

namespace tessaro::sandbox {

/// Hands every launch URL a client opens to Sandbox::open, as if the password-manager application
/// had been started with it; a URL the sandbox refuses, or any URL while setInstalled(false), throws
/// TessaroError::notInstalled with the download URL. Foreground notices are never reported. For
/// tests, benchmarks and tools that run a client against an in-process sandbox. Thread-safe; open()
/// blocks only on the sandbox's lock. The sandbox must outlive it.
class TESSARO_SANDBOX_EXPORT SandboxAppSwitcher final : public TessaroAppSwitching {
public:
    /// A switcher answering through `sandbox`, which must outlive it.
    explicit SandboxAppSwitcher(Sandbox& sandbox) : sandbox_(sandbox) {}

    /// Hands `url` to Sandbox::open. Throws TessaroError::notInstalled (with `downloadURL`) when
    /// the sandbox refuses it or the application is marked as not installed; ignores `stop`.
    void open(const URL& url, const URL& downloadURL, std::stop_token stop = {}) override;
    /// A registration that is never called: the sandbox has no foreground to return to.
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override;

    /// Whether the application counts as installed; while false every open() throws notInstalled.
    void setInstalled(bool installed) { installed_ = installed; }

private:
    Sandbox& sandbox_;
    std::atomic<bool> installed_{true};
};

}  // namespace tessaro::sandbox

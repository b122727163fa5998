#pragma once
/// @file
/// App switching: opening tessaro:// URLs in the password-manager application, and hearing that the
/// host application became the active application again.

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// What the client needs from the desktop to hand a step to the password-manager application: open
/// a URL there, and be told when the host comes back to the front. TessaroSystemAppSwitcher is the
/// desktop implementation; a host may write its own (for instance to test flows without a second
/// application). Implementations are reference types held by std::shared_ptr, not copyable.
///
/// Thread safety: implementations may be called from any thread and from several at once.
/// Throws: open throws TessaroError (notInstalled with the download URL it was given when nothing
/// can open the URL, cancelled when `stop` was requested before opening began); onForeground
/// throws only std::bad_alloc. The client treats any other exception from open as notInstalled.
/// Blocks: open blocks until the desktop has started the opening (not until the application is
/// up); onForeground never blocks.
class TESSARO_EXPORT TessaroAppSwitching {
public:
    /// A foreground registration: the handler stays registered for as long as this object lives.
    /// Destroying it (or reset()) unregisters the handler; once that returns, the handler is not
    /// running on any other thread and is never called again, so what it captured may be freed.
    /// It may be destroyed from any thread, including from inside the handler itself (that call
    /// then returns at once, and the running call finishes normally). Every implementation's
    /// registrations keep these promises.
    ///
    /// A move-only value whose one state is the call that unregisters. Movable, not copyable; one
    /// object is not for concurrent use from two threads. No member throws.
    /// Blocks: destruction waits for calls of the handler already running on other threads. So two
    /// handlers running at once on two threads must not destroy each other's registrations: each
    /// would wait for the other.
    class TESSARO_EXPORT Registration {
    public:
        /// An empty registration, which unregisters nothing.
        Registration() noexcept = default;
        /// A registration that runs `unregister` once, when it is destroyed or reset. For
        /// implementations of TessaroAppSwitching; `unregister` must not throw.
        explicit Registration(std::function<void()> unregister) noexcept;
        /// Takes over `other`'s registration; `other` is empty afterwards.
        Registration(Registration&& other) noexcept;
        /// Unregisters what this object held, then takes over `other`'s registration.
        Registration& operator=(Registration&& other) noexcept;
        /// Not copyable: a handler is unregistered once.
        Registration(const Registration&) = delete;
        /// Not copyable: a handler is unregistered once.
        Registration& operator=(const Registration&) = delete;
        /// Unregisters, as reset().
        ~Registration();

        /// Unregisters now; the object is empty afterwards. Blocks as the destructor.
        void reset() noexcept;
        /// Whether this object still holds a registration.
        explicit operator bool() const noexcept;

    private:
        std::function<void()> unregister_;
    };

    /// For implementations.
    TessaroAppSwitching() = default;
    /// Not copyable.
    TessaroAppSwitching(const TessaroAppSwitching&) = delete;
    /// Not copyable.
    TessaroAppSwitching& operator=(const TessaroAppSwitching&) = delete;
    /// Destroys the switcher; registrations it handed out may outlive it.
    virtual ~TessaroAppSwitching() = default;

    /// Opens `url` in the application that handles it and asks the desktop to bring that
    /// application to the front. Returns once the desktop has started the opening. Throws
    /// TessaroError::notInstalled(downloadURL) when no application can handle `url` or the launch
    /// fails, TessaroError::cancelled() when `stop` is requested before the launch begins; a launch
    /// that has begun is not taken back.
    virtual void open(const URL& url, const URL& downloadURL, std::stop_token stop = {}) = 0;

    /// Registers `handler` to be called, without arguments, each time the host application becomes
    /// the active application, for as long as the returned registration lives. The handler runs on
    /// the thread that reports the activation; it may register and unregister handlers itself.
    [[nodiscard]] virtual Registration onForeground(std::function<void()> handler) = 0;
};

/// The desktop's app switcher. open() asks GIO for the default handler of the URL's scheme (the
/// desktop entry that mimeapps.list names for "x-scheme-handler/<scheme>") and launches it with the
/// URL through a launch context, so the desktop can hand the launched application the focus when an
/// activation token is supplied. Foreground notices come from the host: its toolkit's activation
/// event calls applicationDidBecomeActive() (the Qt glue wires this up).
///
/// Thread safety: every member may be called from any thread and from several at once.
/// Throws: open as TessaroAppSwitching::open; applicationDidBecomeActive rethrows the first
/// exception a handler threw, after every handler has run. Otherwise only std::bad_alloc.
/// Blocks: open on reading the desktop's application database and starting the handler (a process
/// spawn, or a D-Bus call for D-Bus-activated applications), usually milliseconds, so it belongs on a
/// worker thread; applicationDidBecomeActive for as long as the handlers run.
class TESSARO_EXPORT TessaroSystemAppSwitcher final : public TessaroAppSwitching {
public:
    /// Gives the activation token for the launch about to happen: the X11 startup notification ID
    /// or the Wayland xdg-activation token that the host's toolkit obtained from the desktop for
    /// the user's last action, or an empty text when it has none. Called once per open(), on the
    /// thread that calls open(); what it throws leaves through open(). The launched application
    /// receives a non-empty token as XDG_ACTIVATION_TOKEN, and as DESKTOP_STARTUP_ID when its
    /// desktop entry says StartupNotify=true (or in the D-Bus activation request); without one,
    /// tokens left over in this process's own environment are not passed on.
    using ActivationTokenSource = std::function<std::string()>;

    /// A switcher that asks `activationToken` (when set) for each launch's token. Throws
    /// std::bad_alloc.
    explicit TessaroSystemAppSwitcher(ActivationTokenSource activationToken = {});
    /// Destroys the switcher. Registrations it handed out may outlive it; their handlers are then
    /// never called again.
    ~TessaroSystemAppSwitcher() override;

    /// As TessaroAppSwitching::open, through GIO's default handler of the URL's scheme.
    void open(const URL& url, const URL& downloadURL, std::stop_token stop = {}) override;
    /// As TessaroAppSwitching::onForeground; the handlers run in applicationDidBecomeActive().
    [[nodiscard]] Registration onForeground(std::function<void()> handler) override;

    /// Reports that the host application became the active application: calls every handler
    /// registered at the moment of the call, each once, on this thread, in registration order. A
    /// handler whose registration is destroyed before its turn is skipped; one registered during
    /// the call waits for the next.
    void applicationDidBecomeActive();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro

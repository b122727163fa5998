#include <tessaro/client/app_switching.hpp>

#include <gio/gio.h>

#include <memory>
#include <utility>

#include <tessaro/client/internal/handler_list.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro {

TessaroAppSwitching::Registration::Registration(std::function<void()> unregister) noexcept
    : unregister_(std::move(unregister)) {}

TessaroAppSwitching::Registration::Registration(Registration&& other) noexcept
    : unregister_(std::exchange(other.unregister_, nullptr)) {}

TessaroAppSwitching::Registration& TessaroAppSwitching::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        reset();
        unregister_ = std::exchange(other.unregister_, nullptr);
    }
    return *this;
}

TessaroAppSwitching::Registration::~Registration() { reset(); }

TessaroAppSwitching::Registration::operator bool() const noexcept { return static_cast<bool>(unregister_); }

void TessaroAppSwitching::Registration::reset() noexcept {
    // Emptied before the call, so a handler that reaches this object again finds nothing to do.
    if (auto unregister = std::exchange(unregister_, nullptr)) unregister();
}

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

constexpr const char* activationTokenKey = "tessaro-activation-token";

// A launch context that gives GIO the host's activation token as the launch's startup ID. GIO
// hands it on where the launched application declares support: DESKTOP_STARTUP_ID for a desktop
// entry with StartupNotify=true, the platform data of a D-Bus activation.
char* tokenAsStartupID(GAppLaunchContext* context, GAppInfo*, GList*) {
    const auto* token = static_cast<const char*>(g_object_get_data(G_OBJECT(context), activationTokenKey));
    return token ? g_strdup(token) : nullptr;
}

GType tokenLaunchContextType() {
    static const GType type = g_type_register_static_simple(
        G_TYPE_APP_LAUNCH_CONTEXT, "TessaroTokenLaunchContext", sizeof(GAppLaunchContextClass),
        [](gpointer typeClass, gpointer) {
            G_APP_LAUNCH_CONTEXT_CLASS(typeClass)->get_startup_notify_id = tokenAsStartupID;
        },
        sizeof(GAppLaunchContext), nullptr, GTypeFlags{});
    return type;
}

GObjectPtr<GAppLaunchContext> makeLaunchContext(const std::string& token) {
    GObjectPtr<GAppLaunchContext> context;
    // A token from this process's own launch was meant for this process and is used up; passing
    // it on would let the handler claim a stale activation. GIO sets DESKTOP_STARTUP_ID again
    // from our token where that applies.
    if (token.empty()) {
        context.reset(g_app_launch_context_new());
        g_app_launch_context_unsetenv(context.get(), "XDG_ACTIVATION_TOKEN");
    } else {
        context.reset(G_APP_LAUNCH_CONTEXT(g_object_new(tokenLaunchContextType(), nullptr)));
        g_object_set_data_full(G_OBJECT(context.get()), activationTokenKey, g_strdup(token.c_str()), g_free);
        // Unlike an X11 startup ID, which leaves a busy cursor behind when the application does not
        // answer it, an unused xdg-activation token does no harm, so every handler gets it.
        g_app_launch_context_setenv(context.get(), "XDG_ACTIVATION_TOKEN", token.c_str());
    }
    g_app_launch_context_unsetenv(context.get(), "DESKTOP_STARTUP_ID");
    return context;
}

}  // namespace

struct TESSARO_NO_EXPORT TessaroSystemAppSwitcher::Impl {
    ActivationTokenSource activationToken;
    // Shared: registrations refer to the list weakly and may outlive the switcher.
    std::shared_ptr<detail::HandlerList> handlers = std::make_shared<detail::HandlerList>();
};

TessaroSystemAppSwitcher::TessaroSystemAppSwitcher(ActivationTokenSource activationToken)
    : impl_(std::make_unique<Impl>(Impl{std::move(activationToken)})) {}

TessaroSystemAppSwitcher::~TessaroSystemAppSwitcher() = default;

void TessaroSystemAppSwitcher::open(const URL& url, const URL& downloadURL, std::stop_token stop) {
    if (stop.stop_requested()) throw TessaroError::cancelled();
    const GObjectPtr<GAppInfo> handler(g_app_info_get_default_for_uri_scheme(url.scheme().c_str()));
    if (!handler) throw TessaroError::notInstalled(downloadURL);
    const auto context = makeLaunchContext(impl_->activationToken ? impl_->activationToken() : std::string());
    if (stop.stop_requested()) throw TessaroError::cancelled();

    const std::string& text = url.absoluteString();
    GList uris{const_cast<char*>(text.c_str()), nullptr, nullptr};
    GError* error = nullptr;
    if (!g_app_info_launch_uris(handler.get(), &uris, context.get(), &error)) {
        // The host can only offer the download; GIO's reason is not shown to anyone.
        g_clear_error(&error);
        throw TessaroError::notInstalled(downloadURL);
    }
}

TessaroAppSwitching::Registration TessaroSystemAppSwitcher::onForeground(std::function<void()> handler) {
    return impl_->handlers->add(std::move(handler));
}

void TessaroSystemAppSwitcher::applicationDidBecomeActive() { impl_->handlers->callAll(); }

}  // namespace tessaro

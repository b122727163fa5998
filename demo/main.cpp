// Tessaro_Demo: the demo window. The desktop starts it with a callback URL as its argument
// (tessarodemo://tessaro/callback?...); a running demo takes the URL over from such a second start.
#include <chrono>

#include <QApplication>

#include <tessaro/ui/callback_relay.hpp>
#include <tessaro/ui/foreground_hook.hpp>

#include "content_view.hpp"
#include "demo_model.hpp"

int main(int argc, char** argv) {
    using namespace tessaro;
    const QString url = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    switch (TessaroCallbackRelay::claim(QStringLiteral("tessaro-demo"), url)) {
        case TessaroCallbackRelay::Role::handedOver: return 0;
        case TessaroCallbackRelay::Role::failed: return 1;
        case TessaroCallbackRelay::Role::primary: break;
    }
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro_Demo"));

    // One system switcher for every client the model builds, told when the window becomes active.
    auto switcher = std::make_shared<TessaroSystemAppSwitcher>();
    installForegroundHook(app, switcher);
    demo::DemoModel model([switcher](const TessaroConfiguration& configuration) {
        TessaroClient::Options options;
        options.switcher = switcher;
        options.pollInterval = 2.0;
        options.authorizeTimeout = 600.0;
        return TessaroClient::create(configuration, options);
    });
    demo::ContentView window(model);

    TessaroCallbackRelay relay(QStringLiteral("tessaro-demo"));
    QObject::connect(&relay, &TessaroCallbackRelay::urlReceived, &model, &demo::DemoModel::handleCallback);
    QObject::connect(&relay, &TessaroCallbackRelay::activated, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    window.show();
    if (!url.isEmpty()) model.handleCallback(url);  // dropped: no client exists yet
    const int status = app.exec();
    model.shutDown(std::chrono::seconds(5));
    return status;
}

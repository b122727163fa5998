// Renders the demo window in its main states to PNG files, for reviewers: the settings alert, the
// authorized form, a picked item with its password hidden, the waiting overlay, and the alert for a
// missing password-manager application. Run on an X server (scripts/screenshots uses Xvfb), with
// clients on memory stores against an in-process sandbox.
// Usage: demo_screenshots OUTPUT_DIRECTORY
#include <atomic>
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <tessaro/sandbox/app_switcher.hpp>
#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/stores/memory_store.hpp>

#include "content_view.hpp"
#include "demo_model.hpp"

namespace {

using namespace tessaro;

// The window as the screen shows it, dialogs over it included.
bool capture(QWidget& window, const QString& path) {
    QTest::qWait(300);  // let the layout and any dialog settle
    const QRect frame = window.frameGeometry();
    const QPixmap shot = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

bool until(const std::function<bool()>& done) { return QTest::qWaitFor(done, 20000); }

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: demo_screenshots OUTPUT_DIRECTORY\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());

    std::unique_ptr<demo::DemoModel> model;
    sandbox::Options options;
    options.deliver = [&](const std::string& url) {
        QMetaObject::invokeMethod(
            &app, [&, url] { model->handleCallback(QString::fromStdString(url)); }, Qt::QueuedConnection);
    };
    sandbox::Sandbox sandbox(options);
    auto switcher = std::make_shared<sandbox::SandboxAppSwitcher>(sandbox);
    auto store = std::make_shared<TessaroMemoryStore>();
    QTemporaryDir settingsDir;
    QSettings settings(settingsDir.filePath("demo.ini"), QSettings::IniFormat);
    model = std::make_unique<demo::DemoModel>(
        [&](const TessaroConfiguration& configuration) {
            return TessaroClient::create(configuration, {.store = store,
                                                         .transport = nullptr,
                                                         .switcher = switcher,
                                                         .pollInterval = 2.0,
                                                         .authorizeTimeout = 600.0});
        },
        &settings);

    bool ok = true;
    {
        // Empty settings: the alert comes up as the window is shown.
        demo::ContentView view(*model);
        view.resize(520, 760);
        view.show();
        ok &= QTest::qWaitForWindowExposed(&view) && until([&] { return view.alert() && view.alert()->isVisible(); });
        ok &= capture(view, out.filePath("1-settings-alert.png"));
        view.alert()->accept();
    }

    model->setOrigin(QString::fromStdString(sandbox.origin()));
    model->setClientID(QStringLiteral("pmc_tessarodemo"));
    demo::ContentView view(*model);
    view.resize(520, 760);
    view.show();
    ok &= QTest::qWaitForWindowExposed(&view);

    model->authorize();
    ok &= until([&] { return !model->busy() && model->isAuthorized(); });
    ok &= capture(view, out.filePath("2-authorized.png"));

    model->pick(QStringLiteral("https://bank.example"));
    ok &= until([&] { return !model->busy() && model->picked(); });
    ok &= capture(view, out.filePath("3-picked-password-hidden.png"));

    sandbox::Policy never;
    never.decision = sandbox::Policy::Decision::never;
    sandbox.setPolicy(never);
    model->pick(QString());
    ok &= until([&] { return view.overlay()->isVisible(); });
    ok &= capture(view, out.filePath("4-waiting-overlay.png"));
    model->cancel();
    ok &= until([&] { return !model->busy(); });

    switcher->setInstalled(false);
    model->pick(QString());
    ok &= until([&] { return !model->busy() && view.alert() && view.alert()->isVisible(); });
    ok &= capture(view, out.filePath("5-not-installed-alert.png"));

    model.reset();
    sandbox.stop();
    return ok ? 0 : 1;
}

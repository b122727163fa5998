// The demo end to end on a real X server (Xvfb): its window clicked through 授权, 选一个条目 and
// 撤销授权 (the other actions are demo_test's), with the session in the keyring, the
// password-manager application opened by the desktop (GIO and a desktop entry running
// `tessaro-sandbox open`), and each callback coming back the way a user's desktop delivers it: the
// sandbox asks the desktop to open the tessarodemo:// URL, which starts Tessaro_Demo again, whose
// relay hands the URL to this window.
#include <stdlib.h>

#include <memory>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/ui/callback_relay.hpp>
#include <tessaro/ui/tessaro_button.hpp>
#include <testing/desktop_folders.hpp>

#include "content_view.hpp"
#include "demo_model.hpp"

using namespace tessaro;

class DemoGuiTest : public QObject {
    Q_OBJECT

private slots:
    void clicksThroughEveryAction() {
        if (!getenv("TESSARO_IN_KEYRING")) QSKIP("needs the private keyring: run under scripts/with-keyring");
        sandbox::Sandbox sandbox;  // delivers callbacks through the desktop
        setenv("TESSARO_SANDBOX_ORIGIN", sandbox.origin().c_str(), 1);

        QTemporaryDir settingsDir;
        QSettings settings(settingsDir.filePath("demo.ini"), QSettings::IniFormat);
        demo::DemoModel model(demo::DemoModel::defaultFactory(), &settings);
        model.setOrigin(QString::fromStdString(sandbox.origin()));
        model.setClientID(QStringLiteral("pmc_tessarodemo"));
        TessaroCallbackRelay relay(QStringLiteral("tessaro-demo"));
        QVERIFY(relay.isListening());
        int handedOver = 0;
        connect(&relay, &TessaroCallbackRelay::urlReceived, &model, [&](const QString& url) {
            ++handedOver;
            model.handleCallback(url);
        });

        demo::ContentView view(model);
        const auto button = [&](const char* name) { return view.findChild<QPushButton*>(name); };
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(model.client());
        model.client()->reset();  // a session of an earlier run

        const auto waitForStatus = [&](const QString& prefix) {
            return QTest::qWaitFor([&] { return !model.busy() && model.status().startsWith(prefix); }, 30000);
        };
        QTest::mouseClick(button("authorize"), Qt::LeftButton);
        QVERIFY2(waitForStatus(QStringLiteral("已授权：grant ")), qPrintable(model.status()));
        QVERIFY(button("revoke")->isVisible());

        QTest::mouseClick(view.pickButton(), Qt::LeftButton);
        QVERIFY2(waitForStatus(QStringLiteral("已拿到『示例银行』")), qPrintable(model.status()));

        QTest::mouseClick(button("revoke"), Qt::LeftButton);
        QVERIFY2(waitForStatus(QStringLiteral("已撤销")), qPrintable(model.status()));
        QVERIFY(button("authorize")->isVisible());
        // Both callbacks came back through a second start of the demo.
        QVERIFY(handedOver >= 2);
        QVERIFY(model.client()->drain(std::chrono::seconds(10)));
        sandbox.stop();
    }
};

int main(int argc, char** argv) {
    // Desktop entries for both URL schemes, before GIO reads any.
    const testing::DesktopFolders desktop(
        {{"tessaro", TESSARO_SANDBOX_EXE " open %u"}, {"tessarodemo", TESSARO_DEMO_EXE " %u"}});
    desktop.apply();
    // This process is the running demo; the instances the desktop starts hand their URLs to it.
    if (TessaroCallbackRelay::claim(QStringLiteral("tessaro-demo"), QString()) != TessaroCallbackRelay::Role::primary) {
        return 2;
    }
    QApplication app(argc, argv);
    DemoGuiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "demo_gui_test.moc"

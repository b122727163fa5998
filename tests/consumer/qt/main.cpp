// A minimal Qt host: the kit's button with its icon, and onWaiting delivered through the GUI
// executor, on the offscreen platform. Exits 0 when everything agrees.
#include <tessaro/ui/gui_executor.hpp>
#include <tessaro/ui/tessaro_button.hpp>
#include <tessaro/version.hpp>

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int pressed = 0;
    tessaro::TessaroButton button(QStringLiteral("选一个条目"), [&] { ++pressed; });
    button.click();
    tessaro::TessaroGuiExecutor executor;
    bool posted = false;
    executor.post([&] {
        posted = true;
        app.quit();
    });
    QTimer::singleShot(10000, &app, [&] { app.exit(1); });
    const int loop = app.exec();
    const bool ok = loop == 0 && posted && pressed == 1 && executor.isCurrent() && !button.icon().isNull() &&
                    !button.icon().pixmap(16, 16).isNull() && button.objectName() == QStringLiteral("tessaro.button");
    std::printf("tessaro-qt-consumer: TessaroSDK %s, %s\n", TESSARO_VERSION_STRING, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

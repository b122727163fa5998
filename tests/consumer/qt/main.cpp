// A minimal Qt host: the kit's button with its icon (the resources a static library initialises
// itself) and the GUI executor, on the offscreen platform. Exits 0 when everything agrees.
#include <tessaro/ui/gui_executor.hpp>
#include <tessaro/ui/tessaro_button.hpp>
#include <tessaro/version.hpp>

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const tessaro::TessaroButton button(QStringLiteral("选一个条目"), nullptr);
    const bool ok = tessaro::TessaroGuiExecutor().isCurrent() && !button.icon().pixmap(16, 16).isNull();
    std::printf("tessaro-qt-consumer: TessaroSDK %s, %s\n", TESSARO_VERSION_STRING, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

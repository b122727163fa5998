#include <tessaro/ui/gui_executor.hpp>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace tessaro {

bool TessaroGuiExecutor::isCurrent() const {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void TessaroGuiExecutor::post(std::function<void()> call) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}

}  // namespace tessaro

#include <tessaro/ui/gui_executor.hpp>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace tessaro {

// No state yet: the pointer keeps the class's size when some comes.
struct TESSARO_QT_NO_EXPORT TessaroGuiExecutor::Impl {};

TessaroGuiExecutor::TessaroGuiExecutor() : impl_(std::make_unique<Impl>()) {}

TessaroGuiExecutor::~TessaroGuiExecutor() = default;

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

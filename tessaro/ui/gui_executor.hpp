#pragma once
// TessaroGuiExecutor: delivers the client's onWaiting reports on the Qt GUI thread.

#include <functional>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/qt_export.hpp>

namespace tessaro {

// isCurrent(): the calling thread is the application's (QCoreApplication::instance()) thread.
// post(): queues the call to that thread's event loop and returns at once. Set it with
// TessaroClient::setExecutor. Needs a QCoreApplication (or QGuiApplication) for its lifetime; calls
// posted when none exists are dropped. Thread-safe; throws only std::bad_alloc; never blocks.
class TESSARO_QT_EXPORT TessaroGuiExecutor final : public TessaroExecutor {
public:
    bool isCurrent() const override;
    void post(std::function<void()> call) override;
};

}  // namespace tessaro

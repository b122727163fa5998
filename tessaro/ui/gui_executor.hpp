#pragma once
/// @file
/// TessaroGuiExecutor: delivers the client's onWaiting reports on the Qt GUI thread.

#include <functional>
#include <memory>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/qt_export.hpp>

namespace tessaro {

/// The executor of a Qt host, set with TessaroClient::setExecutor: the client's reports then run
/// on the application's (QCoreApplication::instance()) thread. Needs a QCoreApplication (or
/// QGuiApplication) for its lifetime; calls posted when none exists are dropped.
/// Thread-safe; throws only std::bad_alloc; never blocks. Not copyable.
class TESSARO_QT_EXPORT TessaroGuiExecutor final : public TessaroExecutor {
public:
    /// An executor for the application of the moment.
    TessaroGuiExecutor();
    ~TessaroGuiExecutor() override;
    TessaroGuiExecutor(const TessaroGuiExecutor&) = delete;
    TessaroGuiExecutor& operator=(const TessaroGuiExecutor&) = delete;

    /// Whether the calling thread is the application's thread (false when there is no application).
    bool isCurrent() const override;
    /// Queues `call` to the application thread's event loop and returns at once; drops it when
    /// there is no application. The call runs there even when posted from that thread.
    void post(std::function<void()> call) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro

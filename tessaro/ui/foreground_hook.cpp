#include <tessaro/ui/foreground_hook.hpp>

#include <QGuiApplication>

namespace tessaro {

QMetaObject::Connection installForegroundHook(QGuiApplication& application,
                                              std::shared_ptr<TessaroSystemAppSwitcher> switcher) {
    return QObject::connect(&application, &QGuiApplication::applicationStateChanged, &application,
                            [switcher = std::move(switcher)](Qt::ApplicationState state) {
                                if (state != Qt::ApplicationActive || !switcher) return;
                                try {
                                    switcher->applicationDidBecomeActive();
                                } catch (...) {
                                    // A handler's failure is dropped: thrown into Qt's signal
                                    // dispatch it would end the application.
                                }
                            });
}

}  // namespace tessaro

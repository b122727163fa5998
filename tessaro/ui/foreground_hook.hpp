#pragma once
/// @file
/// installForegroundHook: tells the system app switcher when the Qt application becomes active.

#include <memory>

#include <QMetaObject>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/qt_export.hpp>

class QGuiApplication;

namespace tessaro {

/// Connects QGuiApplication::applicationStateChanged to `switcher`: each change to
/// Qt::ApplicationActive calls applicationDidBecomeActive(), which wakes a waiting flow so that it
/// reads its status at once; an exception from a handler is dropped there (Qt's signal dispatch
/// cannot take one), the other handlers still run. A null switcher makes a hook that does nothing.
/// Returns the connection (disconnect it to stop); it also ends with the application, and it keeps
/// the switcher alive until then. Call on the GUI thread; throws only std::bad_alloc; never blocks.
TESSARO_QT_EXPORT QMetaObject::Connection installForegroundHook(QGuiApplication& application,
                                                                std::shared_ptr<TessaroSystemAppSwitcher> switcher);

}  // namespace tessaro

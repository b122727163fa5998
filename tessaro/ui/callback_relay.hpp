#pragma once
/// @file
/// TessaroCallbackRelay: one running instance of a Qt host receives every callback URL.

#include <chrono>
#include <memory>

#include <QObject>
#include <QString>

#include <tessaro/qt_export.hpp>

namespace tessaro {

/// The desktop starts the host anew for every callback URL (Exec=host %u). The first instance takes
/// an instance lock and listens on a local socket; a later instance hands its URL to the first and
/// exits, before it builds its QApplication:
///
///     int main(int argc, char** argv) {
///         const QString url = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
///         switch (TessaroCallbackRelay::claim("myapp", url)) {
///             case TessaroCallbackRelay::Role::handedOver: return 0;
///             case TessaroCallbackRelay::Role::failed: return 1;
///             case TessaroCallbackRelay::Role::primary: break;
///         }
///         QApplication app(argc, argv);
///         TessaroCallbackRelay relay("myapp");   // emits urlReceived and activated
///         ...
///
/// The socket is $XDG_RUNTIME_DIR/NAME.socket (QStandardPaths::RuntimeLocation), open to this user
/// only; the lock is NAME.lock beside it. A socket or lock left by a crashed instance is recovered.
/// claim() blocks up to `timeout` (an instance that is still starting, or answering); the relay's
/// object lives on the GUI thread (a QObject: create, use and destroy it there) and never blocks it.
/// Nothing throws but std::bad_alloc.
class TESSARO_QT_EXPORT TessaroCallbackRelay : public QObject {
    Q_OBJECT

public:
    /// What claim() found, and what the process should do.
    enum class Role {
        primary,     ///< This process holds the instance lock (until it exits): build the application.
        handedOver,  ///< The running instance took the URL (or the request to show itself): exit 0.
        failed,      ///< An instance holds the lock but did not answer within the timeout: exit.
    };

    /// Takes the instance lock, or hands `url` to the instance that holds it. `url` empty: only
    /// asks the running instance to show itself. Needs no application object or event loop, so
    /// it runs first in main(); call it once per process, from one thread. Blocks up to `timeout`,
    /// retrying while the running instance is not listening yet. Throws only std::bad_alloc.
    static Role claim(const QString& name, const QString& url,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// The local socket's path for `name`: NAME.socket in the user's runtime directory (the
    /// temporary directory when there is none). Never blocks; throws only std::bad_alloc.
    static QString socketPath(const QString& name);

    /// In the primary instance, after the application is built: listens on socketPath(name),
    /// replacing a stale socket. A failure to listen is not thrown: isListening() tells.
    explicit TessaroCallbackRelay(const QString& name, QObject* parent = nullptr);
    /// Stops listening.
    ~TessaroCallbackRelay() override;
    /// Whether the relay listens, so that later instances can reach it.
    bool isListening() const;

signals:
    /// A later instance's URL, not empty; emitted on the relay's thread.
    void urlReceived(const QString& url);
    /// A later instance was started (after urlReceived when it brought a URL): the window should
    /// come to the front.
    void activated();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro

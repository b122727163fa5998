#pragma once
// TessaroCallbackRelay: one running instance of a Qt host receives every callback URL.

#include <chrono>
#include <memory>

#include <QObject>
#include <QString>

#include <tessaro/qt_export.hpp>

class QLocalServer;

namespace tessaro {

// The desktop starts the host anew for every callback URL (Exec=host %u). The first instance takes
// an instance lock and listens on a local socket; a later instance hands its URL to the first and
// exits, before it builds its QApplication:
//
//     int main(int argc, char** argv) {
//         const QString url = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
//         switch (TessaroCallbackRelay::claim("myapp", url)) {
//             case TessaroCallbackRelay::Role::handedOver: return 0;
//             case TessaroCallbackRelay::Role::failed: return 1;
//             case TessaroCallbackRelay::Role::primary: break;
//         }
//         QApplication app(argc, argv);
//         TessaroCallbackRelay relay("myapp");   // emits urlReceived and activated
//         ...
//
// The socket is $XDG_RUNTIME_DIR/NAME.socket (QStandardPaths::RuntimeLocation), open to this user
// only; the lock is NAME.lock beside it. A socket or lock left by a crashed instance is recovered.
// claim() blocks up to `timeout` (an instance that is still starting, or answering); the relay's
// object lives on the GUI thread and never blocks it.
class TESSARO_QT_EXPORT TessaroCallbackRelay : public QObject {
    Q_OBJECT

public:
    enum class Role {
        primary,     // this process holds the instance lock (until it exits): build the application
        handedOver,  // the running instance took the URL (or the request to show itself): exit 0
        failed,      // an instance holds the lock but did not answer within the timeout
    };

    // `url` empty: only asks the running instance to show itself.
    static Role claim(const QString& name, const QString& url,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    static QString socketPath(const QString& name);

    // In the primary instance, after the application is built: listens, replacing a stale socket.
    explicit TessaroCallbackRelay(const QString& name, QObject* parent = nullptr);
    ~TessaroCallbackRelay() override;
    bool isListening() const;

signals:
    // A later instance's URL, not empty.
    void urlReceived(const QString& url);
    // A later instance was started: the window should come to the front.
    void activated();

private:
    QLocalServer* server_;
};

}  // namespace tessaro

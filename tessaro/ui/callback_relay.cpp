#include <tessaro/ui/callback_relay.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <poll.h>

#include <cstring>
#include <string>
#include <thread>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace tessaro {

namespace {

constexpr qint64 maxMessage = 64 * 1024;

QString runtimeDirectory() {
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty()) directory = QDir::tempPath();
    return directory;
}

// Sends `message` and a newline to the socket at `path` and waits for "ok"; false on any failure.
// Plain POSIX: it runs before any QCoreApplication exists.
bool handOver(const QString& path, const QByteArray& message, std::chrono::milliseconds timeout) {
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (static_cast<std::size_t>(native.size()) >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), static_cast<std::size_t>(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const QByteArray line = message + '\n';
    for (qsizetype sent = 0; ok && sent < line.size();) {
        const ssize_t n =
            ::send(fd, line.constData() + sent, static_cast<std::size_t>(line.size() - sent), MSG_NOSIGNAL);
        ok = n > 0;
        sent += n > 0 ? n : 0;
    }
    std::string answer;
    while (ok && answer.find('\n') == std::string::npos) {
        pollfd readable{fd, POLLIN, 0};
        char buffer[16];
        ok = ::poll(&readable, 1, static_cast<int>(timeout.count())) == 1;
        const ssize_t n = ok ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
        ok = n > 0;
        if (ok) answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok && answer.rfind("ok\n", 0) == 0;
}

// The primary's lock, held until the process exits.
std::unique_ptr<QLockFile>& heldLock() {
    static std::unique_ptr<QLockFile> lock;
    return lock;
}

}  // namespace

QString TessaroCallbackRelay::socketPath(const QString& name) { return runtimeDirectory() + "/" + name + ".socket"; }

TessaroCallbackRelay::Role TessaroCallbackRelay::claim(const QString& name, const QString& url,
                                                       std::chrono::milliseconds timeout) {
    auto lock = std::make_unique<QLockFile>(runtimeDirectory() + "/" + name + ".lock");
    lock->setStaleLockTime(0);  // a lock is stale exactly when its process is gone
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (lock->tryLock(0)) {
            heldLock() = std::move(lock);
            return Role::primary;
        }
        // Another instance holds the lock; it may still be starting up, so this is retried.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (handOver(socketPath(name), url.toUtf8(), std::max(left, std::chrono::milliseconds(1))))
            return Role::handedOver;
        if (std::chrono::steady_clock::now() >= deadline) return Role::failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

struct TESSARO_QT_NO_EXPORT TessaroCallbackRelay::Impl {
    QLocalServer* server;  // a child of the relay
};

TessaroCallbackRelay::TessaroCallbackRelay(const QString& name, QObject* parent)
    : QObject(parent), impl_(new Impl{new QLocalServer(this)}) {
    QLocalServer* server = impl_->server;
    const QString path = socketPath(name);
    QLocalServer::removeServer(path);  // a socket file left by a crashed instance
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->listen(path);
    connect(server, &QLocalServer::newConnection, this, [this, server] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > maxMessage) socket->abort();
                    return;
                }
                const QString url = QString::fromUtf8(socket->readLine(maxMessage)).trimmed();
                socket->write("ok\n");
                socket->flush();
                socket->disconnectFromServer();
                if (!url.isEmpty()) emit urlReceived(url);
                emit activated();
            });
        }
    });
}

TessaroCallbackRelay::~TessaroCallbackRelay() { impl_->server->close(); }

bool TessaroCallbackRelay::isListening() const { return impl_->server->isListening(); }

}  // namespace tessaro

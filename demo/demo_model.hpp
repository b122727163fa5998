#pragma once
// DemoModel: the demo window's one view model.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include <QObject>
#include <QSettings>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/ui/async_client.hpp>

namespace tessaro::demo {

// The first `count` user-perceived characters (grapheme clusters) of UTF-8 `text`: a character
// is never split, whatever bytes it takes.
QString leadingCharacters(const std::string& text, int count);

// Keeps the two settings (server origin and client ID, in QSettings under "tessaro.origin" and
// "tessaro.clientID"), builds the client from them, runs each user action on a worker through the
// Qt glue and applies its outcome on the GUI thread, and mirrors the client's state (authorized,
// grant, waiting) for the window. Every property change emits its signal. Lives on the GUI thread
// and is used only there; never blocks it.
class DemoModel : public QObject {
    Q_OBJECT

public:
    // What the alert shows.
    struct Failure {
        QUuid id;
        QString title;
        QString message;
        std::optional<QUrl> downloadURL;
    };
    // Builds a client for a configuration, with its onWaiting left to the model.
    using ClientFactory = std::function<std::shared_ptr<TessaroClient>(const TessaroConfiguration&)>;
    // The desktop's: the default secret store, the system switcher, 2 s poll interval, 600 s to authorize.
    static ClientFactory defaultFactory();
    static const URL& redirectURL();  // tessarodemo://tessaro/callback
    static QString defaultOrigin();

    // `settings` null: the application's QSettings.
    explicit DemoModel(ClientFactory factory = defaultFactory(), QSettings* settings = nullptr,
                       QObject* parent = nullptr);
    ~DemoModel() override;

    QString origin() const;
    void setOrigin(const QString& origin);
    QString clientID() const;
    void setClientID(const QString& clientID);
    bool isAuthorized() const { return isAuthorized_; }
    const std::optional<TessaroGrant>& grant() const { return grant_; }
    const std::optional<TessaroItem>& picked() const { return picked_; }
    const std::optional<TessaroWaiting>& waiting() const { return waiting_; }
    bool busy() const { return busy_; }
    const QString& status() const { return status_; }
    const std::optional<Failure>& failure() const { return failure_; }
    void clearFailure();
    const std::shared_ptr<TessaroClient>& client() const { return client_; }

    // The client for the current settings (the same one while they are unchanged), or none with
    // the settings failure. A new client's authorization and grant are read on a worker and
    // applied when they arrive.
    std::shared_ptr<TessaroClient> makeClient();
    // For the application's end, after its event loop: cancels what runs, then waits up to `bound`
    // for the workers and for a token request still in flight (which is always finished and
    // stored), so that the exit neither hangs nor drops a refreshed session.
    void shutDown(std::chrono::milliseconds bound);
    // A step runs on a worker with the client and a stop token; what it returns is applied on the
    // GUI thread when it succeeds.
    using Step = std::function<std::function<void()>(TessaroClient&, std::stop_token)>;
    void run(const QString& label, Step step);
    void present(const QString& label, const TessaroError& error);
    void retry();
    void cancel();

    // The five actions.
    void authorize();
    void pick(const QString& hintURL);
    void create(const QString& title, const QString& url, const QString& username);
    void updatePassword(const QString& newPassword, const QString& vaultID);
    void revoke();

    // A callback URL the desktop handed over: to the client, if there is one.
    void handleCallback(const QString& url);

signals:
    void originChanged();
    void clientIDChanged();
    void isAuthorizedChanged();
    void grantChanged();
    void pickedChanged();
    void waitingChanged();
    void busyChanged();
    void statusChanged();
    void failureChanged();

private:
    void setIsAuthorized(bool value);
    void setGrant(std::optional<TessaroGrant> value);
    void setPicked(std::optional<TessaroItem> value);
    void setWaiting(std::optional<TessaroWaiting> value);
    void setBusy(bool value);
    void setStatus(QString value);
    void setFailure(QString title, QString message, std::optional<QUrl> downloadURL = std::nullopt);
    void refreshFromClient();
    void applyReading(const std::shared_ptr<TessaroClient>& client, std::uint64_t generation, bool authorized,
                      const std::optional<TessaroGrant>& grant);

    ClientFactory factory_;
    QSettings* settings_;
    std::unique_ptr<QSettings> ownSettings_;
    std::shared_ptr<TessaroClient> client_;
    std::unique_ptr<TessaroAsyncClient> async_;
    std::shared_ptr<std::stop_source> currentTask_;
    bool isAuthorized_ = false;
    std::optional<TessaroGrant> grant_;
    std::optional<TessaroItem> picked_;
    std::optional<TessaroWaiting> waiting_;
    bool busy_ = false;
    QString status_;
    std::optional<Failure> failure_;
    // Readings of the client's authorization and grant: issued in order, applied only when newer.
    std::uint64_t readingsIssued_ = 0;
    std::uint64_t readingsApplied_ = 0;
};

}  // namespace tessaro::demo

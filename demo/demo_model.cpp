#include "demo_model.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <QPointer>
#include <QTextBoundaryFinder>

#include <tessaro/ui/gui_executor.hpp>

namespace tessaro::demo {

QString leadingCharacters(const std::string& text, int count) {
    const QString all = QString::fromStdString(text);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, all);
    qsizetype end = 0;
    for (int taken = 0; taken < count; ++taken) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1) break;
        end = next;
    }
    return all.left(end);
}

namespace {

constexpr const char* originKey = "tessaro.origin";
constexpr const char* clientIDKey = "tessaro.clientID";

QString text(const std::string& value) { return QString::fromStdString(value); }

std::optional<std::string> nonEmpty(const QString& value) {
    if (value.isEmpty()) return std::nullopt;
    return value.toStdString();
}

// A stop token that follows both the operation's own token and the model's task token.
struct LinkedStop {
    LinkedStop(std::stop_token a, std::stop_token b)
        : first(std::move(a), [this] { source.request_stop(); }),
          second(std::move(b), [this] { source.request_stop(); }) {}
    std::stop_source source;
    std::stop_callback<std::function<void()>> first;
    std::stop_callback<std::function<void()>> second;
};

}  // namespace

DemoModel::ClientFactory DemoModel::defaultFactory() {
    return [](const TessaroConfiguration& configuration) {
        TessaroClient::Options options;
        options.switcher = std::make_shared<TessaroSystemAppSwitcher>();
        options.pollInterval = 2.0;
        options.authorizeTimeout = 600.0;
        return TessaroClient::create(configuration, options);
    };
}

const URL& DemoModel::redirectURL() {
    static const URL url = *URL::parse("tessarodemo://tessaro/callback");
    return url;
}

QString DemoModel::defaultOrigin() { return text(TessaroError::defaultDownloadURL().absoluteString()); }

DemoModel::DemoModel(ClientFactory factory, QSettings* settings, QObject* parent)
    : QObject(parent), factory_(std::move(factory)), settings_(settings) {
    if (!settings_) {
        ownSettings_ = std::make_unique<QSettings>();
        settings_ = ownSettings_.get();
    }
}

DemoModel::~DemoModel() {
    // Cancels the wrapper's workers; they report through continuations bound to this model, which
    // Qt drops once it is gone.
    async_.reset();
}

void DemoModel::shutDown(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto left = [&] {
        return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                          deadline - std::chrono::steady_clock::now()));
    };
    if (async_) {
        const auto workers = async_->workers();
        async_.reset();
        workers->waitUntilNone(left());
    }
    if (client_) client_->drain(left());
}

QString DemoModel::origin() const { return settings_->value(originKey, defaultOrigin()).toString(); }

void DemoModel::setOrigin(const QString& origin) {
    if (origin == this->origin()) return;
    settings_->setValue(originKey, origin);
    emit originChanged();
}

QString DemoModel::clientID() const { return settings_->value(clientIDKey, QString()).toString(); }

void DemoModel::setClientID(const QString& clientID) {
    if (clientID == this->clientID()) return;
    settings_->setValue(clientIDKey, clientID);
    emit clientIDChanged();
}

void DemoModel::clearFailure() {
    if (!failure_) return;
    failure_.reset();
    emit failureChanged();
}

void DemoModel::setIsAuthorized(bool value) {
    if (value == isAuthorized_) return;
    isAuthorized_ = value;
    emit isAuthorizedChanged();
}

void DemoModel::setGrant(std::optional<TessaroGrant> value) {
    if (value == grant_) return;
    grant_ = std::move(value);
    emit grantChanged();
}

void DemoModel::setPicked(std::optional<TessaroItem> value) {
    picked_ = std::move(value);
    emit pickedChanged();
}

void DemoModel::setWaiting(std::optional<TessaroWaiting> value) {
    if (value == waiting_) return;
    waiting_ = std::move(value);
    emit waitingChanged();
}

void DemoModel::setBusy(bool value) {
    if (value == busy_) return;
    busy_ = value;
    emit busyChanged();
}

void DemoModel::setStatus(QString value) {
    if (value == status_) return;
    status_ = std::move(value);
    emit statusChanged();
}

void DemoModel::setFailure(QString title, QString message, std::optional<QUrl> downloadURL) {
    failure_ = Failure{QUuid::createUuid(), std::move(title), std::move(message), std::move(downloadURL)};
    emit failureChanged();
}

// The client's authorization and grant, read on a worker (the store may wait for an unlock) and
// applied here unless a later reading was applied already.
void DemoModel::refreshFromClient() {
    if (!async_) return;
    const auto client = client_;
    const std::uint64_t generation = ++readingsIssued_;
    async_
        ->run<std::pair<bool, std::optional<TessaroGrant>>>(
            [](TessaroClient& c, std::stop_token) { return std::pair(c.isAuthorized(), c.grant()); })
        .then(this, [this, client, generation](const std::pair<bool, std::optional<TessaroGrant>>& state) {
            applyReading(client, generation, state.first, state.second);
        });
}

void DemoModel::applyReading(const std::shared_ptr<TessaroClient>& client, std::uint64_t generation, bool authorized,
                             const std::optional<TessaroGrant>& grant) {
    if (client != client_ || generation < readingsApplied_) return;  // other settings, or stale
    readingsApplied_ = generation;
    setIsAuthorized(authorized);
    setGrant(grant);
}

std::shared_ptr<TessaroClient> DemoModel::makeClient() {
    const QString id = clientID().trimmed();
    const auto url = URL::parse(origin().trimmed().toStdString());
    if (id.isEmpty() || !url || origin().trimmed().isEmpty()) {
        setFailure(QStringLiteral("请先填写设置"), QStringLiteral("需要 client_id 与服务器地址"));
        return nullptr;
    }
    if (client_ && client_->configuration().clientID == id.toStdString() && client_->configuration().origin == *url) {
        return client_;
    }
    async_.reset();  // the old client's workers are cancelled
    client_ = factory_({id.toStdString(), redirectURL(), *url, TessaroError::defaultDownloadURL()});
    client_->setExecutor(std::make_shared<TessaroGuiExecutor>());
    client_->setOnWaiting([model = QPointer<DemoModel>(this)](const std::optional<TessaroWaiting>& value) {
        if (model) model->setWaiting(value);
    });
    async_ = std::make_unique<TessaroAsyncClient>(client_);
    refreshFromClient();
    return client_;
}

void DemoModel::run(const QString& label, Step step) {
    const auto client = makeClient();
    if (!client) return;
    setBusy(true);
    setStatus(QString());
    auto task = std::make_shared<std::stop_source>();
    currentTask_ = task;  // an earlier task runs on to its end
    const std::stop_token taskToken = task->get_token();
    // The step, then (whatever its outcome) the client's authorization and grant, read in that
    // order on the worker so that the reading reflects the step.
    struct Outcome {
        std::function<void()> apply;
        std::exception_ptr error;
        bool authorized = false;
        std::optional<TessaroGrant> grant;
    };
    const std::uint64_t generation = ++readingsIssued_;
    async_
        ->run<Outcome>([step = std::move(step), taskToken](TessaroClient& c, std::stop_token stop) {
            Outcome outcome;
            try {
                LinkedStop linked(stop, taskToken);
                outcome.apply = step(c, linked.source.get_token());
            } catch (...) {
                outcome.error = std::current_exception();
            }
            outcome.authorized = c.isAuthorized();
            outcome.grant = c.grant();
            return outcome;
        })
        .then(this, [this, label, client, generation](const Outcome& outcome) {
            if (!outcome.error) {
                outcome.apply();
            } else {
                try {
                    std::rethrow_exception(outcome.error);
                } catch (const TessaroError& error) {
                    present(label, error);
                } catch (const std::exception& error) {
                    setFailure(label, QString::fromUtf8(error.what()));
                } catch (...) {
                    setFailure(label, QStringLiteral("未知错误"));
                }
            }
            applyReading(client, generation, outcome.authorized, outcome.grant);
            setBusy(false);
            setWaiting(std::nullopt);
        });
}

void DemoModel::present(const QString& label, const TessaroError& error) {
    using Code = TessaroError::Code;
    switch (error.code()) {
        case Code::cancelled: setStatus(label + QStringLiteral("：已取消")); return;
        case Code::notInstalled: {
            std::optional<QUrl> download;
            if (error.downloadURL()) download = QUrl(text(error.downloadURL()->absoluteString()));
            setFailure(QStringLiteral("未安装 Tessaro"), QStringLiteral("请先安装 Tessaro 再试。"), download);
            return;
        }
        case Code::network:
            setFailure(label, QStringLiteral("网络错误：") + text(error.underlyingDescription()));
            return;
        case Code::protocol: setFailure(label, QStringLiteral("协议错误：") + text(error.protocolCode())); return;
        case Code::notAuthorized: setFailure(label, QStringLiteral("尚未授权，请先点「授权」。")); return;
        case Code::denied: setFailure(label, QStringLiteral("你在 Tessaro 里拒绝了这次请求。")); return;
        case Code::expired: setFailure(label, QStringLiteral("等待超时，请求已过期。可以重试。")); return;
        case Code::notSignedIn: setFailure(label, QStringLiteral("请先在 Tessaro 里登录账号。")); return;
        case Code::revoked: setFailure(label, QStringLiteral("授权已被撤销，请重新授权。")); return;
        case Code::conflict: setFailure(label, QStringLiteral("条目在此期间被改过，请重新选择后再改。")); return;
    }
}

void DemoModel::retry() {
    if (!async_) return;
    async_->run<void>([](TessaroClient& c, std::stop_token stop) {
        try {
            c.retryOpen(stop);
        } catch (...) {
            // Nothing to show: the wait goes on as it was.
        }
    });
}

void DemoModel::cancel() {
    if (client_) client_->cancelPending();
    if (currentTask_) currentTask_->request_stop();
}

void DemoModel::handleCallback(const QString& url) {
    if (!client_) return;  // no client yet: the URL cannot belong to a flow
    if (const auto parsed = URL::parse(url.toStdString())) client_->handleCallback(*parsed);
}

// ---- the actions ----

void DemoModel::authorize() {
    run(QStringLiteral("授权"), [this](TessaroClient& c, std::stop_token stop) -> std::function<void()> {
        const TessaroGrant grant = c.authorize(stop);
        return [this, grant] {
            setGrant(grant);
            setIsAuthorized(true);
            setStatus(QStringLiteral("已授权：grant ") + leadingCharacters(grant.grantID, 8) +
                      QStringLiteral("…，审批钥指纹 ") + text(grant.approvalKeyFingerprint));
        };
    });
}

void DemoModel::pick(const QString& hintURL) {
    run(QStringLiteral("选条目"), [this, hintURL](TessaroClient& c, std::stop_token stop) -> std::function<void()> {
        TessaroHint hint;
        hint.url = nonEmpty(hintURL);
        const TessaroItem item = c.pickItem(hint, std::string("演示：选一个条目用于登录"), std::nullopt, stop);
        return [this, item] {
            setPicked(item);
            setStatus(QStringLiteral("已拿到『") + text(item.record.title) + QStringLiteral("』（修订 ") +
                      QString::number(item.revision) + QStringLiteral("）"));
        };
    });
}

void DemoModel::create(const QString& title, const QString& url, const QString& username) {
    run(QStringLiteral("新建"),
        [this, title, url, username](TessaroClient& c, std::stop_token stop) -> std::function<void()> {
            TessaroPrefill prefill;
            prefill.title = nonEmpty(title);
            prefill.url = nonEmpty(url);
            prefill.usernameHint = nonEmpty(username);
            const TessaroCreated created = c.createItem(
                TessaroItemKind::login, prefill, std::string("演示：在 Tessaro 里新建一条登录"), std::nullopt, stop);
            return [this, created] {
                if (created.item) {
                    setPicked(created.item);
                    setStatus(QStringLiteral("已新建并返回『") + text(created.item->record.title) +
                              QStringLiteral("』"));
                } else {
                    setStatus(QStringLiteral("已保存到授权范围之外的库，本次拿不到明文"));
                }
            };
        });
}

void DemoModel::updatePassword(const QString& newPassword, const QString& vaultID) {
    if (!picked_) return;
    const TessaroItem item = *picked_;
    run(QStringLiteral("修改密码"),
        [this, item, newPassword, vaultID](TessaroClient& c, std::stop_token stop) -> std::function<void()> {
            const TessaroUpdated updated =
                c.updateItem(item.id, vaultID.toStdString(), {{TessaroField::password, newPassword.toStdString()}},
                             std::string("演示：已在网站上更换密码，同步到 Tessaro"), stop);
            return [this, updated] {
                setStatus(QStringLiteral("已修改，新修订 ") + QString::number(updated.revision));
                setPicked(std::nullopt);
            };
        });
}

void DemoModel::revoke() {
    run(QStringLiteral("撤销授权"), [this](TessaroClient& c, std::stop_token stop) -> std::function<void()> {
        c.revoke(stop);
        return [this] {
            setIsAuthorized(false);
            setGrant(std::nullopt);
            setPicked(std::nullopt);
            setStatus(QStringLiteral("已撤销"));
        };
    });
}

}  // namespace tessaro::demo

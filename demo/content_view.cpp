#include "content_view.hpp"

#include <algorithm>

#include <QDateTime>
#include <QDesktopServices>
#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QScrollArea>
#include <QTextBoundaryFinder>
#include <QTime>
#include <QVBoxLayout>

#include <tessaro/ui/tessaro_button.hpp>

namespace tessaro::demo {

namespace {

constexpr const char* demoSite = "https://bank.example";

QString text(const std::string& value) { return QString::fromStdString(value); }

QLabel* note(const QString& content, QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);  // the secondary colour
    return label;
}

QFont monospaced() { return QFontDatabase::systemFont(QFontDatabase::FixedFont); }

QLineEdit* field(const QString& name, const QString& value, QWidget* parent) {
    auto* edit = new QLineEdit(value, parent);
    edit->setObjectName(name);
    return edit;
}

}  // namespace

QString passwordDots(const QString& password) {
    // User-perceived characters: grapheme clusters, not UTF-16 units.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, password);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return QString(std::clamp(count, 8, 24), QChar(0x2022));
}

// ---- the overlay ----

WaitingOverlay::WaitingOverlay(DemoModel& model, QWidget* parent) : QWidget(parent), card_(new QWidget(this)) {
    setObjectName("tessaro.overlay");
    setAttribute(Qt::WA_NoSystemBackground);
    card_->setObjectName("card");
    card_->setAutoFillBackground(false);
    auto* stack = new QVBoxLayout(card_);
    stack->setSpacing(16);
    stack->setContentsMargins(28, 28, 28, 28);
    auto* progress = new QProgressBar(card_);
    progress->setRange(0, 0);  // indeterminate
    message_ = new QLabel(card_);
    message_->setAlignment(Qt::AlignCenter);
    message_->setWordWrap(true);
    QFont headline = message_->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.15);
    message_->setFont(headline);
    expiry_ = note(QString(), card_);
    expiry_->setAlignment(Qt::AlignCenter);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(24);
    auto* retry = new QPushButton(QStringLiteral("重试（再次打开 Tessaro）"), card_);
    auto* cancel = new QPushButton(QStringLiteral("取消"), card_);
    retry->setObjectName("retry");
    cancel->setObjectName("cancel");
    buttons->addWidget(retry);
    buttons->addWidget(cancel);
    stack->addWidget(progress);
    stack->addWidget(message_);
    stack->addWidget(expiry_);
    stack->addLayout(buttons);
    connect(retry, &QPushButton::clicked, &model, &DemoModel::retry);
    connect(cancel, &QPushButton::clicked, &model, &DemoModel::cancel);
    parent->installEventFilter(this);
    hide();
}

void WaitingOverlay::update(const std::optional<TessaroWaiting>& waiting) {
    if (!waiting) {
        hide();
        return;
    }
    message_->setText(text(waiting->message()));
    if (waiting->expiresAt) {
        const auto seconds = static_cast<qint64>(secondsSince1970(*waiting->expiresAt));
        expiry_->setText(QStringLiteral("到期 ") +
                         QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString("HH:mm"));
        expiry_->show();
    } else {
        expiry_->hide();
    }
    setGeometry(parentWidget()->rect());
    card_->adjustSize();
    card_->move((width() - card_->width()) / 2, (height() - card_->height()) / 2);
    show();
    raise();
}

void WaitingOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(0, 0, 0, 38));  // 15 % black
    QPainterPath card;
    card.addRoundedRect(QRectF(card_->geometry()), 12, 12);
    painter.fillPath(card, palette().color(QPalette::Window));
}

bool WaitingOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible()) {
        setGeometry(parentWidget()->rect());
        card_->move((width() - card_->width()) / 2, (height() - card_->height()) / 2);
    }
    return QWidget::eventFilter(watched, event);
}

// ---- the form ----

ContentView::ContentView(DemoModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setWindowTitle(QStringLiteral("Tessaro Demo"));
    setMinimumSize(480, 560);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto* form = new QWidget(scroll);
    scroll->setWidget(form);
    // Built in this order, which is also the order of the keyboard focus.
    auto* sections = new QVBoxLayout(form);
    sections->addWidget(buildSettings(form));
    sections->addWidget(buildAuthorization(form));
    sections->addWidget(buildPicking(form));
    sections->addWidget(buildCreating(form));
    sections->addWidget(buildUpdating(form));
    sections->addWidget(buildStatus(form));
    sections->addStretch(1);
    buildOverlay();
    connect(&model, &DemoModel::failureChanged, this, &ContentView::refreshFailure);
    refreshAuthorization();
    refreshPicked();
}

// 1. 设置: the two settings, written back to the model as they are typed.
QWidget* ContentView::buildSettings(QWidget* form) {
    auto* settings = new QGroupBox(QStringLiteral("设置"), form);
    auto* settingsForm = new QFormLayout(settings);
    origin_ = field("origin", model_.origin(), settings);
    origin_->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoPredictiveText);
    clientID_ = field("clientID", model_.clientID(), settings);
    clientID_->setInputMethodHints(Qt::ImhNoPredictiveText);
    auto* redirect = note(text(DemoModel::redirectURL().absoluteString()), settings);
    settingsForm->addRow(QStringLiteral("服务器"), origin_);
    settingsForm->addRow(QStringLiteral("client_id（pmc_…）"), clientID_);
    settingsForm->addRow(QStringLiteral("回调"), redirect);
    connect(origin_, &QLineEdit::textEdited, &model_, &DemoModel::setOrigin);
    connect(clientID_, &QLineEdit::textEdited, &model_, &DemoModel::setClientID);
    connect(&model_, &DemoModel::originChanged, this, [this] {
        if (origin_->text() != model_.origin()) origin_->setText(model_.origin());
    });
    connect(&model_, &DemoModel::clientIDChanged, this, [this] {
        if (clientID_->text() != model_.clientID()) clientID_->setText(model_.clientID());
    });
    return settings;
}

// 2. 授权: the grant with its revoke button, or the authorize button.
QWidget* ContentView::buildAuthorization(QWidget* form) {
    auto* authorization = new QGroupBox(QStringLiteral("授权"), form);
    auto* authorizationLayout = new QVBoxLayout(authorization);
    authorized_ = new QWidget(authorization);
    auto* grantForm = new QFormLayout(authorized_);
    grantID_ = new QLabel(authorized_);
    fingerprint_ = new QLabel(authorized_);
    fingerprint_->setFont(monospaced());
    vaults_ = new QLabel(authorized_);
    vaults_->setObjectName("vaults");
    auto* revoke = new QPushButton(QStringLiteral("撤销授权"), authorized_);
    revoke->setObjectName("revoke");
    revoke->setStyleSheet("color: #c0392b;");  // destructive
    grantForm->addRow(QStringLiteral("grant"), grantID_);
    grantForm->addRow(QStringLiteral("审批钥指纹"), fingerprint_);
    grantForm->addRow(QStringLiteral("库"), vaults_);
    grantForm->addRow(revoke);
    unauthorized_ = new QWidget(authorization);
    auto* unauthorizedLayout = new QVBoxLayout(unauthorized_);
    unauthorizedLayout->addWidget(note(QStringLiteral("尚未授权。点击后会打开 Tessaro 显示同意卡。"), unauthorized_));
    auto* authorize = new QPushButton(QStringLiteral("授权"), unauthorized_);
    authorize->setObjectName("authorize");
    unauthorizedLayout->addWidget(authorize);
    authorizationLayout->addWidget(authorized_);
    authorizationLayout->addWidget(unauthorized_);
    connect(revoke, &QPushButton::clicked, &model_, &DemoModel::revoke);
    connect(authorize, &QPushButton::clicked, &model_, &DemoModel::authorize);
    connect(&model_, &DemoModel::isAuthorizedChanged, this, &ContentView::refreshAuthorization);
    connect(&model_, &DemoModel::grantChanged, this, &ContentView::refreshAuthorization);
    return authorization;
}

// 3. 选一个条目: the hint, the kit's button, and the picked item.
QWidget* ContentView::buildPicking(QWidget* form) {
    auto* pickSection = new QGroupBox(QStringLiteral("选一个条目"), form);
    auto* pickLayout = new QFormLayout(pickSection);
    hintURL_ = field("hintURL", QString::fromLatin1(demoSite), pickSection);
    hintURL_->setInputMethodHints(Qt::ImhNoPredictiveText);
    pick_ = new TessaroButton(
        QStringLiteral("选一个条目"), [this] { model_.pick(hintURL_->text()); }, pickSection);
    pickLayout->addRow(QStringLiteral("提示网址（可空）"), hintURL_);
    pickLayout->addRow(pick_);
    pickedBox_ = new QWidget(pickSection);
    auto* pickedForm = new QFormLayout(pickedBox_);
    title_ = new QLabel(pickedBox_);
    username_ = new QLabel(pickedBox_);
    password_ = new QLabel(pickedBox_);
    password_->setObjectName("password");
    password_->setFont(monospaced());
    password_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    password_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    reveal_ = new QPushButton(pickedBox_);
    reveal_->setObjectName("reveal");
    reveal_->setFlat(true);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(password_, 1);
    passwordRow->addWidget(reveal_);
    url_ = new QLabel(pickedBox_);
    kind_ = new QLabel(pickedBox_);
    pickedForm->addRow(QStringLiteral("标题"), title_);
    pickedForm->addRow(QStringLiteral("用户名"), username_);
    pickedForm->addRow(QStringLiteral("密码"), passwordRow);
    pickedForm->addRow(QStringLiteral("网址"), url_);
    pickedForm->addRow(QStringLiteral("类型 / 修订"), kind_);
    pickLayout->addRow(pickedBox_);
    connect(reveal_, &QPushButton::clicked, this, [this] {
        revealed_ = !revealed_;
        refreshPicked();
    });
    connect(&model_, &DemoModel::pickedChanged, this, [this] {
        // The first vault of the grant fills an empty vault field.
        if (model_.picked() && vaultID_->text().isEmpty()) {
            const auto& grant = model_.grant();
            vaultID_->setText(grant && !grant->vaults.empty() ? text(grant->vaults.front().id) : QString());
        }
        refreshPicked();
    });
    return pickSection;
}

// 4. 新建（登录）: the prefill of a new login; its password is typed in the application.
QWidget* ContentView::buildCreating(QWidget* form) {
    auto* createSection = new QGroupBox(QStringLiteral("新建（登录）"), form);
    auto* createForm = new QFormLayout(createSection);
    newTitle_ = field("newTitle", QStringLiteral("示例银行"), createSection);
    newURL_ = field("newURL", QString::fromLatin1(demoSite) + "/login", createSection);
    newUsername_ = field("newUsername", QString(), createSection);
    create_ = new QPushButton(QStringLiteral("新建"), createSection);
    create_->setObjectName("create");
    createForm->addRow(QStringLiteral("标题"), newTitle_);
    createForm->addRow(QStringLiteral("网址"), newURL_);
    createForm->addRow(QStringLiteral("用户名提示"), newUsername_);
    createForm->addRow(note(QStringLiteral("密码在 Tessaro 的安全卡上输入，本 App 不收集。"), createSection));
    createForm->addRow(create_);
    connect(create_, &QPushButton::clicked, this,
            [this] { model_.create(newTitle_->text(), newURL_->text(), newUsername_->text()); });
    return createSection;
}

// 5. 修改密码（对已选条目）: a new password for the picked item, cleared once sent.
QWidget* ContentView::buildUpdating(QWidget* form) {
    auto* updateSection = new QGroupBox(QStringLiteral("修改密码（对已选条目）"), form);
    auto* updateForm = new QFormLayout(updateSection);
    vaultID_ = field("vaultID", QString(), updateSection);
    newPassword_ = field("newPassword", QString(), updateSection);
    newPassword_->setEchoMode(QLineEdit::Password);
    update_ = new QPushButton(QStringLiteral("修改密码"), updateSection);
    update_->setObjectName("update");
    updateForm->addRow(QStringLiteral("库 ID"), vaultID_);
    updateForm->addRow(QStringLiteral("新密码"), newPassword_);
    updateForm->addRow(update_);
    updateForm->addRow(note(QStringLiteral("新值由 SDK 密封给账号身份公钥；服务器只见密文，Tessaro 卡上确认后才写入。"),
                            updateSection));
    connect(update_, &QPushButton::clicked, this, [this] {
        model_.updatePassword(newPassword_->text(), vaultID_->text());
        newPassword_->clear();
    });
    connect(vaultID_, &QLineEdit::textChanged, this, &ContentView::refreshEnabled);
    connect(newPassword_, &QLineEdit::textChanged, this, &ContentView::refreshEnabled);
    return updateSection;
}

// 6. 状态: the last outcome, hidden while there is none.
QWidget* ContentView::buildStatus(QWidget* form) {
    statusBox_ = new QGroupBox(QStringLiteral("状态"), form);
    auto* statusLayout = new QVBoxLayout(statusBox_);
    status_ = note(QString(), statusBox_);
    status_->setObjectName("status");
    status_->setForegroundRole(QPalette::WindowText);
    statusLayout->addWidget(status_);
    statusBox_->setVisible(false);
    connect(&model_, &DemoModel::statusChanged, this, [this] {
        status_->setText(model_.status());
        statusBox_->setVisible(!model_.status().isEmpty());
    });
    return statusBox_;
}

// Over the whole window, while the model waits.
void ContentView::buildOverlay() {
    overlay_ = new WaitingOverlay(model_, this);
    connect(&model_, &DemoModel::waitingChanged, this, [this] { overlay_->update(model_.waiting()); });
}

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        model_.makeClient();
    }
}

void ContentView::refreshAuthorization() {
    const bool shown = model_.grant() && model_.isAuthorized();
    authorized_->setVisible(shown);
    unauthorized_->setVisible(!shown);
    if (shown) {
        const TessaroGrant& grant = *model_.grant();
        grantID_->setText(leadingCharacters(grant.grantID, 8) + QStringLiteral("…"));
        fingerprint_->setText(text(grant.approvalKeyFingerprint));
        QStringList names;
        for (const auto& vault : grant.vaults)
            names << text(vault.name.value_or(vault.id));
        vaults_->setText(names.join(QStringLiteral("、")));
    }
    refreshEnabled();
}

void ContentView::refreshPicked() {
    const auto& picked = model_.picked();
    pickedBox_->setVisible(picked.has_value());
    if (picked) {
        const TessaroRecord& record = picked->record;
        title_->setText(text(record.title));
        username_->setText(text(record.username));
        password_->setText(revealed_ ? text(record.password) : passwordDots(text(record.password)));
        reveal_->setText(revealed_ ? QStringLiteral("隐藏") : QStringLiteral("显示"));
        url_->setText(text(record.url));
        kind_->setText(text(std::string(rawValue(record.kind))) + QStringLiteral(" / ") +
                       QString::number(picked->revision));
    }
    refreshEnabled();
}

void ContentView::refreshEnabled() {
    pick_->setEnabled(model_.isAuthorized());
    create_->setEnabled(model_.isAuthorized());
    update_->setEnabled(model_.isAuthorized() && model_.picked() && !vaultID_->text().isEmpty() &&
                        !newPassword_->text().isEmpty());
}

void ContentView::refreshFailure() {
    const auto& failure = model_.failure();
    if (!failure) {
        if (alert_) alert_->close();
        return;
    }
    if (alert_) {
        alert_->disconnect(this);
        alert_->close();
        alert_->deleteLater();
    }
    // The title inside the box too: not every window manager shows a dialog's title bar.
    alert_ = new QMessageBox(QMessageBox::Warning, failure->title, failure->title, QMessageBox::NoButton, this);
    alert_->setInformativeText(failure->message);
    alert_->setObjectName("alert");
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    std::optional<QUrl> download = failure->downloadURL;
    if (download) {
        auto* get = alert_->addButton(QStringLiteral("去下载"), QMessageBox::AcceptRole);
        alert_->addButton(QStringLiteral("好"), QMessageBox::RejectRole);
        alert_->setDefaultButton(get);
        connect(get, &QPushButton::clicked, this, [download] { QDesktopServices::openUrl(*download); });
    } else {
        alert_->setDefaultButton(alert_->addButton(QStringLiteral("好"), QMessageBox::AcceptRole));
    }
    // Closed in any way: the failure is over.
    connect(alert_, &QMessageBox::finished, this, [this] { model_.clearFailure(); });
    alert_->open();
}

}  // namespace tessaro::demo

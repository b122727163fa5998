// The demo on the offscreen platform, with clients on memory stores that open an in-process
// sandbox: the model's settings, the client's reuse, how failures and outcomes are presented; the
// window's dots, enabled rules, vault list, vault autofill, overlay, cancel and alert.
#include <functional>
#include <memory>
#include <stdexcept>

#include <QApplication>
#include <QDesktopServices>
#include <QMetaObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <tessaro/sandbox/testing/sandbox_fixture.hpp>
#include <tessaro/stores/memory_store.hpp>

#include <tessaro/ui/tessaro_button.hpp>

#include "content_view.hpp"
#include "demo_model.hpp"

namespace {

using namespace tessaro;
using tessaro::demo::DemoModel;
using Policy = sandbox::Policy;

// Callbacks reach the model on the GUI thread, as the relay hands them over.
struct Fixture {
    Fixture() : settings(dir.filePath("settings.ini"), QSettings::IniFormat) {
        model = std::make_unique<DemoModel>(
            [this](const TessaroConfiguration& configuration) {
                ++clientsMade;
                return TessaroClient::create(configuration, {.store = store,
                                                             .transport = nullptr,
                                                             .switcher = server.switcher(),
                                                             .pollInterval = 0.2,
                                                             .authorizeTimeout = 60});
            },
            &settings);
        model->setOrigin(QString::fromStdString(server.origin()));
        model->setClientID(QStringLiteral("pmc_tessarodemo"));
    }
    // Runs an action and waits (bounded) until it is over.
    bool act(const std::function<void()>& action) {
        action();
        return QTest::qWaitFor([&] { return !model->busy(); }, 20000);
    }

    QTemporaryDir dir;
    QSettings settings;
    std::shared_ptr<TessaroMemoryStore> store = std::make_shared<TessaroMemoryStore>();
    sandbox::testing::SandboxFixture server{[this] {
        sandbox::Options options;
        options.deliver = [this](const std::string& url) {
            QMetaObject::invokeMethod(
                model.get(), [this, url] { model->handleCallback(QString::fromStdString(url)); }, Qt::QueuedConnection);
        };
        return options;
    }()};
    std::unique_ptr<DemoModel> model;  // destroyed before the sandbox stops
    int clientsMade = 0;
};

}  // namespace

// Receives the URLs QDesktopServices would open, so that nothing is really opened.
class UrlRecorder : public QObject {
    Q_OBJECT

public slots:
    void open(const QUrl& url) { urls.append(url); }

public:
    QList<QUrl> urls;
};

class DemoModelTest : public QObject {
    Q_OBJECT

private slots:
    // Also: a callback or a retry before any client exists does nothing.
    void settingsAreKeptAndCheckedBeforeAClientIsBuilt() {
        Fixture f;
        f.model->handleCallback(QStringLiteral("tessarodemo://tessaro/callback?state=s&code=c"));
        f.model->retry();
        QVERIFY(!f.model->client() && !f.model->busy());
        QCOMPARE(f.settings.value("tessaro.clientID").toString(), QStringLiteral("pmc_tessarodemo"));
        const QString origin = f.model->origin();
        f.model->setClientID(QStringLiteral("   "));
        QVERIFY(!f.model->makeClient() && f.model->failure());
        f.model->setClientID(QStringLiteral(" pmc_tessarodemo "));
        f.model->clearFailure();
        f.model->setOrigin(QStringLiteral(" \n"));
        QVERIFY(!f.model->makeClient() && f.model->failure());
        QCOMPARE(f.clientsMade, 0);
        f.model->setOrigin(QStringLiteral(" ") + origin + QStringLiteral("\n"));
        const auto first = f.model->makeClient();
        QVERIFY(first);
        QCOMPARE(f.model->makeClient(), first);
        QCOMPARE(f.clientsMade, 1);
        f.model->setClientID(QStringLiteral("pmc_other"));
        const auto second = f.model->makeClient();
        QVERIFY(second && second != first);
        QCOMPARE(second->configuration().clientID, std::string("pmc_other"));
    }

    // Every code but cancelled (a status: windowFollowsTheModel) is an alert titled with the action
    // (the missing application's with its download URL) and a message of its own that carries the
    // error's detail; an error that is not the kit's shows its text.
    void failuresArePresentedWithTheDemosTexts() {
        Fixture f;
        QSet<QString> messages;
        for (const auto& error : {TessaroError::notInstalled(TessaroError::defaultDownloadURL()),
                                  TessaroError::network("timed out"), TessaroError::protocol("bad_thing"),
                                  TessaroError::notAuthorized(), TessaroError::denied(), TessaroError::expired(),
                                  TessaroError::notSignedIn(), TessaroError::revoked(), TessaroError::conflict()}) {
            const bool notInstalled = error.code() == TessaroError::Code::notInstalled;
            f.model->present(QStringLiteral("选条目"), error);
            QCOMPARE(f.model->failure()->title == QStringLiteral("选条目"), !notInstalled);
            QCOMPARE(f.model->failure()->downloadURL.has_value(), notInstalled);
            messages.insert(f.model->failure()->message);
        }
        QCOMPARE(messages.size(), 9);
        QVERIFY(messages.contains(QStringLiteral("网络错误：timed out")));
        QVERIFY(messages.contains(QStringLiteral("协议错误：bad_thing")));

        QVERIFY(f.act([&] {
            f.model->run(QStringLiteral("授权"), [](TessaroClient&, std::stop_token) -> std::function<void()> {
                throw std::runtime_error("disk full");
            });
        }));
        QCOMPARE(f.model->failure()->title, QStringLiteral("授权"));
        QCOMPARE(f.model->failure()->message, QStringLiteral("disk full"));
    }

    // The grant ID is shown by its first 8 characters: whole characters, however many bytes each.
    void leadingCharactersNeverSplitACharacter() {
        QCOMPARE(demo::leadingCharacters("gé€😀e\u0301abcdef", 8), QString::fromUtf8("gé€😀e\u0301abc"));
        QCOMPARE(demo::leadingCharacters("abc", 8), QStringLiteral("abc"));
    }

    void passwordDotsCountWhatTheUserSees() {
        const struct {
            QString password;
            int dots;
        } cases[] = {
            {"abc", 8},
            {QString(30, 'x'), 24},
            // one user-perceived character each: a combining accent, a flag, a family emoji
            {QString::fromUtf8("e\u0301\U0001F1E8\U0001F1F3\U0001F468\u200D\U0001F469\u200D\U0001F467abcdefghij"), 13}};
        for (const auto& c : cases)
            QCOMPARE(demo::passwordDots(c.password), QString(c.dots, QChar(0x2022)));
    }

    // The window against the model and the sandbox: each action's status made of the answer's
    // data, enabled rules, the grant's vaults, the picked item with its dots and 显示/隐藏, the
    // vault-ID autofill, the overlay while waiting and its cancel, and the alert.
    void windowFollowsTheModel() {
        Fixture f;
        demo::ContentView view(*f.model);
        view.show();
        QVERIFY(f.model->client());  // made when the window was shown
        QVERIFY(!view.pickButton()->isEnabled() && !view.createButton()->isEnabled());

        // The settings' fields and the model follow each other both ways.
        const struct {
            const char* field;
            void (DemoModel::*set)(const QString&);
            QString (DemoModel::*get)() const;
        } settings[] = {{"origin", &DemoModel::setOrigin, &DemoModel::origin},
                        {"clientID", &DemoModel::setClientID, &DemoModel::clientID}};
        for (const auto& s : settings) {
            auto* edit = view.findChild<QLineEdit*>(s.field);
            const QString kept = (*f.model.*s.get)();
            (*f.model.*s.set)(QStringLiteral("x"));
            QCOMPARE(edit->text(), QStringLiteral("x"));
            edit->selectAll();
            QTest::keyClicks(edit, kept);
            QCOMPARE((*f.model.*s.get)(), kept);
        }

        auto* status = view.findChild<QLabel*>("status");
        QVERIFY(!status->isVisible());  // nothing to say yet
        QVERIFY(f.act([&] { f.model->authorize(); }));
        QVERIFY(status->isVisible() && status->text() == f.model->status());
        const TessaroGrant grant = *f.model->grant();
        QCOMPARE(f.model->status(), QStringLiteral("已授权：grant ") + demo::leadingCharacters(grant.grantID, 8) +
                                        QStringLiteral("…，审批钥指纹 ") +
                                        QString::fromStdString(grant.approvalKeyFingerprint));
        QVERIFY(view.pickButton()->isEnabled() && view.createButton()->isEnabled());
        QCOMPARE(view.vaultsLabel()->text(), QStringLiteral("家庭、个人"));

        view.vaultField()->setText(QStringLiteral("typed"));
        QVERIFY(f.act([&] { view.pickButton()->click(); }));
        QCOMPARE(f.model->status(), QStringLiteral("已拿到『示例银行』（修订 1）"));
        QCOMPARE(view.vaultField()->text(), QStringLiteral("typed"));  // never overwritten

        Policy outside;
        outside.create = Policy::Create::outOfScope;
        f.server.sandbox().setPolicy(outside);
        QVERIFY(f.act([&] { f.model->create(QString(), QString(), QString()); }));
        QCOMPARE(f.model->status(), QStringLiteral("已保存到授权范围之外的库，本次拿不到明文"));
        QCOMPARE(f.model->picked()->id, std::string("itm_bank"));  // left in place
        f.server.sandbox().setPolicy(Policy{});
        QVERIFY(f.act(
            [&] { f.model->create(QStringLiteral("新条目"), QStringLiteral("https://new.example"), QString()); }));
        QCOMPARE(f.model->status(), QStringLiteral("已新建并返回『新条目』"));

        view.vaultField()->clear();
        QVERIFY(f.act([&] { view.pickButton()->click(); }));
        QCOMPARE(view.vaultField()->text(), QString::fromStdString(f.model->grant()->vaults.front().id));
        const QString password = QString::fromStdString(f.model->picked()->record.password);
        QCOMPARE(view.passwordLabel()->text(), demo::passwordDots(password));
        view.revealButton()->click();
        QCOMPARE(view.passwordLabel()->text(), password);

        QVERIFY(!view.updateButton()->isEnabled());  // no new password yet
        view.newPasswordField()->setText(QStringLiteral("n3w"));
        view.vaultField()->setText(QStringLiteral("vlt_personal"));  // the item's vault, not the grant's first
        QVERIFY(view.updateButton()->isEnabled());
        QVERIFY(f.act([&] { view.updateButton()->click(); }));
        QVERIFY(view.newPasswordField()->text().isEmpty() && !view.updateButton()->isEnabled());
        QCOMPARE(f.model->status(), QStringLiteral("已修改，新修订 2"));
        QCOMPARE(f.server.sandbox().item("itm_bank")->record.password, std::string("n3w"));
        f.model->updatePassword(QStringLiteral("again"), QStringLiteral("vlt_personal"));
        QVERIFY(!f.model->busy());  // nothing picked: nothing starts

        // The overlay while a request waits.
        Policy never;
        never.decision = Policy::Decision::never;
        f.server.sandbox().setPolicy(never);
        view.pickButton()->click();
        QVERIFY(QTest::qWaitFor([&] { return view.overlay()->isVisible(); }, 20000));
        QVERIFY(!view.overlay()->message().isEmpty());
        QVERIFY(view.overlay()->expiry().startsWith(QStringLiteral("到期 ")));
        f.model->retry();  // opens the application again; the wait goes on
        f.model->cancel();
        QVERIFY(QTest::qWaitFor([&] { return !view.overlay()->isVisible() && !f.model->busy(); }, 20000));
        QCOMPARE(f.model->status(), QStringLiteral("选条目：已取消"));  // a status, not an alert
        QVERIFY(!f.model->failure() && !f.model->waiting() && f.model->isAuthorized());

        // The alert, with 去下载 for a missing application; closing it clears the failure.
        UrlRecorder opener;
        QDesktopServices::setUrlHandler("https", &opener, "open");
        f.model->present(QStringLiteral("选条目"), TessaroError::notInstalled(TessaroError::defaultDownloadURL()));
        QCOMPARE(view.alert()->buttons().size(), 2);
        for (auto* button : view.alert()->buttons()) {
            if (button->text() == QStringLiteral("去下载")) button->click();
        }
        QVERIFY(QTest::qWaitFor([&] { return !f.model->failure(); }, 5000));
        QCOMPARE(opener.urls.size(), 1);
        QDesktopServices::unsetUrlHandler("https");
        f.model->present(QStringLiteral("选条目"), TessaroError::denied());
        QCOMPARE(view.alert()->buttons().size(), 1);

        QVERIFY(f.act([&] { f.model->revoke(); }));
        QCOMPARE(f.model->status(), QStringLiteral("已撤销"));
        QVERIFY(!f.model->isAuthorized() && !f.model->grant());
        QVERIFY(view.findChild<QPushButton*>("authorize")->isVisible() && !view.vaultsLabel()->isVisible());
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DemoModelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "demo_test.moc"

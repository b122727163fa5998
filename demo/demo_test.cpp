// The demo on the offscreen platform, with clients on memory stores that open an in-process
// sandbox: the model's settings, the client's reuse, how failures are presented, the actions'
// texts and what every action leaves behind; the window's dots, enabled rules, vault list, vault
// autofill, overlay and alert.
#include <memory>
#include <mutex>
#include <stdexcept>

#include <QApplication>
#include <QDesktopServices>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>

#include <tessaro/sandbox/app_switcher.hpp>
#include <tessaro/sandbox/sandbox.hpp>
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
        sandbox::Options options;
        options.deliver = [this](const std::string& url) {
            QMetaObject::invokeMethod(
                model.get(), [this, url] { model->handleCallback(QString::fromStdString(url)); }, Qt::QueuedConnection);
        };
        sandbox = std::make_unique<sandbox::Sandbox>(options);
        switcher = std::make_shared<sandbox::SandboxAppSwitcher>(*sandbox);
        model = std::make_unique<DemoModel>(
            [this](const TessaroConfiguration& configuration) {
                ++clientsMade;
                return TessaroClient::create(configuration, {.store = store,
                                                             .transport = nullptr,
                                                             .switcher = switcher,
                                                             .pollInterval = 0.2,
                                                             .authorizeTimeout = 60});
            },
            &settings);
        model->setOrigin(QString::fromStdString(sandbox->origin()));
        model->setClientID(QStringLiteral("pmc_tessarodemo"));
    }
    ~Fixture() {
        model.reset();
        sandbox->stop();
    }
    // Runs an action and waits (bounded) until it is over.
    bool act(const std::function<void()>& action) {
        action();
        return QTest::qWaitFor([&] { return !model->busy(); }, 20000);
    }

    QTemporaryDir dir;
    QSettings settings;
    std::shared_ptr<TessaroMemoryStore> store = std::make_shared<TessaroMemoryStore>();
    std::unique_ptr<sandbox::Sandbox> sandbox;
    std::shared_ptr<sandbox::SandboxAppSwitcher> switcher;
    std::unique_ptr<DemoModel> model;
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
    void settingsAreKeptAndCheckedBeforeAClientIsBuilt() {
        Fixture f;
        QCOMPARE(f.settings.value("tessaro.clientID").toString(), QStringLiteral("pmc_tessarodemo"));
        const struct {
            QString clientID;
            QString origin;
        } cases[] = {{QStringLiteral("   "), f.model->origin()},
                     {QStringLiteral("pmc_tessarodemo"), QStringLiteral(" \n")}};
        for (const auto& c : cases) {
            f.model->setClientID(c.clientID);
            f.model->setOrigin(c.origin);
            f.model->clearFailure();
            QVERIFY(!f.model->makeClient());
            QVERIFY(f.model->failure());
            QCOMPARE(f.model->failure()->title, QStringLiteral("请先填写设置"));
            QCOMPARE(f.model->failure()->message, QStringLiteral("需要 client_id 与服务器地址"));
        }
        QCOMPARE(f.clientsMade, 0);

        f.model->setOrigin(QStringLiteral(" ") + QString::fromStdString(f.sandbox->origin()) + QStringLiteral("\n"));
        f.model->setClientID(QStringLiteral(" pmc_tessarodemo "));
        const auto first = f.model->makeClient();
        QVERIFY(first);
        QCOMPARE(f.model->makeClient(), first);
        QCOMPARE(f.clientsMade, 1);
        f.model->setClientID(QStringLiteral("pmc_other"));
        const auto second = f.model->makeClient();
        QVERIFY(second && second != first);
        QCOMPARE(second->configuration().clientID, std::string("pmc_other"));
        QCOMPARE(second->configuration().redirectURL.absoluteString(), std::string("tessarodemo://tessaro/callback"));
    }

    void failuresArePresentedWithTheDemosTexts() {
        Fixture f;
        const URL download = TessaroError::defaultDownloadURL();
        const struct {
            TessaroError error;
            QString title;
            QString message;
        } cases[] = {
            {TessaroError::notInstalled(download), QStringLiteral("未安装 Tessaro"),
             QStringLiteral("请先安装 Tessaro 再试。")},
            {TessaroError::network("timed out"), QStringLiteral("选条目"), QStringLiteral("网络错误：timed out")},
            {TessaroError::protocol("bad_thing"), QStringLiteral("选条目"), QStringLiteral("协议错误：bad_thing")},
            {TessaroError::notAuthorized(), QStringLiteral("选条目"), QStringLiteral("尚未授权，请先点「授权」。")},
            {TessaroError::denied(), QStringLiteral("选条目"), QStringLiteral("你在 Tessaro 里拒绝了这次请求。")},
            {TessaroError::expired(), QStringLiteral("选条目"), QStringLiteral("等待超时，请求已过期。可以重试。")},
            {TessaroError::notSignedIn(), QStringLiteral("选条目"), QStringLiteral("请先在 Tessaro 里登录账号。")},
            {TessaroError::revoked(), QStringLiteral("选条目"), QStringLiteral("授权已被撤销，请重新授权。")},
            {TessaroError::conflict(), QStringLiteral("选条目"),
             QStringLiteral("条目在此期间被改过，请重新选择后再改。")},
        };
        for (const auto& c : cases) {
            f.model->present(QStringLiteral("选条目"), c.error);
            QVERIFY(f.model->failure());
            QCOMPARE(f.model->failure()->title, c.title);
            QCOMPARE(f.model->failure()->message, c.message);
            QCOMPARE(f.model->failure()->downloadURL.has_value(), c.error.code() == TessaroError::Code::notInstalled);
        }
        const auto before = f.model->failure()->id;
        f.model->present(QStringLiteral("新建"), TessaroError::cancelled());
        QCOMPARE(f.model->status(), QStringLiteral("新建：已取消"));
        QCOMPARE(f.model->failure()->id, before);

        // An error that is not the kit's.
        QVERIFY(f.act([&] {
            f.model->run(QStringLiteral("授权"), [](TessaroClient&, std::stop_token) -> std::function<void()> {
                throw std::runtime_error("disk full");
            });
        }));
        QCOMPARE(f.model->failure()->title, QStringLiteral("授权"));
        QCOMPARE(f.model->failure()->message, QStringLiteral("disk full"));
    }

    // The five actions against the sandbox, with their status texts; every action leaves busy
    // false and no waiting behind.
    void actionsShowTheirOutcome() {
        Fixture f;
        QVERIFY(f.act([&] { f.model->pick(QString()); }));
        QCOMPARE(f.model->failure()->message, QStringLiteral("尚未授权，请先点「授权」。"));

        QVERIFY(f.act([&] { f.model->authorize(); }));
        QVERIFY(f.model->isAuthorized());
        QVERIFY(f.model->grant());
        const TessaroGrant grant = *f.model->grant();
        QCOMPARE(f.model->status(), QStringLiteral("已授权：grant ") + demo::leadingCharacters(grant.grantID, 8) +
                                        QStringLiteral("…，审批钥指纹 ") +
                                        QString::fromStdString(grant.approvalKeyFingerprint));
        QVERIFY(!f.model->waiting());

        QVERIFY(f.act([&] { f.model->pick(QStringLiteral("https://bank.example")); }));
        QVERIFY(f.model->picked());
        QCOMPARE(f.model->picked()->id, std::string("itm_bank"));
        QCOMPARE(f.model->status(), QStringLiteral("已拿到『示例银行』（修订 1）"));

        Policy outside;
        outside.create = Policy::Create::outOfScope;
        f.sandbox->setPolicy(outside);
        QVERIFY(f.act([&] { f.model->create(QString(), QString(), QString()); }));
        QCOMPARE(f.model->status(), QStringLiteral("已保存到授权范围之外的库，本次拿不到明文"));
        QCOMPARE(f.model->picked()->id, std::string("itm_bank"));  // left in place
        f.sandbox->setPolicy(Policy{});
        QVERIFY(f.act(
            [&] { f.model->create(QStringLiteral("新条目"), QStringLiteral("https://new.example"), QString()); }));
        QCOMPARE(f.model->status(), QStringLiteral("已新建并返回『新条目』"));

        QVERIFY(f.act([&] { f.model->pick(QStringLiteral("https://bank.example")); }));
        QVERIFY(f.act([&] { f.model->updatePassword(QStringLiteral("n3w"), QStringLiteral("vlt_personal")); }));
        QCOMPARE(f.model->status(), QStringLiteral("已修改，新修订 2"));
        QVERIFY(!f.model->picked());
        QCOMPARE(f.sandbox->item("itm_bank")->record.password, std::string("n3w"));
        // Nothing picked: nothing starts.
        f.model->updatePassword(QStringLiteral("again"), QStringLiteral("vlt_personal"));
        QVERIFY(!f.model->busy());

        f.switcher->setInstalled(false);
        QVERIFY(f.act([&] { f.model->pick(QString()); }));
        QCOMPARE(f.model->failure()->title, QStringLiteral("未安装 Tessaro"));
        QVERIFY(f.model->failure()->downloadURL);
        f.switcher->setInstalled(true);

        QVERIFY(f.act([&] { f.model->revoke(); }));
        QCOMPARE(f.model->status(), QStringLiteral("已撤销"));
        QVERIFY(!f.model->isAuthorized());
        QVERIFY(!f.model->grant());
        QVERIFY(!f.model->waiting());
    }

    void cancelShowsTheLabelAndEndsTheWait() {
        Fixture f;
        QVERIFY(f.act([&] { f.model->authorize(); }));
        Policy never;
        never.decision = Policy::Decision::never;
        f.sandbox->setPolicy(never);
        f.model->pick(QString());
        QVERIFY(QTest::qWaitFor([&] { return f.model->waiting().has_value(); }, 20000));
        QVERIFY(f.model->busy());
        f.model->retry();  // opens the application again; the wait goes on
        f.model->cancel();
        QVERIFY(QTest::qWaitFor([&] { return !f.model->busy(); }, 20000));
        QCOMPARE(f.model->status(), QStringLiteral("选条目：已取消"));
        QVERIFY(!f.model->waiting());
        QVERIFY(f.model->isAuthorized());
    }

    // The grant ID is shown by its first 8 characters: whole characters, however many bytes each.
    void leadingCharactersNeverSplitACharacter() {
        const std::string grant =
            "g\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
            "e\xCC\x81"
            "abcdef";  // g é € 😀 é(e+accent) a b c d e f
        QCOMPARE(demo::leadingCharacters(grant, 8), QString::fromUtf8("gé€😀e\u0301abc"));
        QCOMPARE(demo::leadingCharacters("grt_1234567890", 8), QStringLiteral("grt_1234"));
        QCOMPARE(demo::leadingCharacters("abc", 8), QStringLiteral("abc"));
    }

    void passwordDotsCountWhatTheUserSees() {
        const struct {
            QString password;
            int dots;
        } cases[] = {
            {"abc", 8},
            {QString(30, 'x'), 24},
            {"12345678901", 11},
            {QString(), 8},
            // one user-perceived character each: a combining accent, a flag, a family emoji
            {QString::fromUtf8("e\u0301\U0001F1E8\U0001F1F3\U0001F468\u200D\U0001F469\u200D\U0001F467abcdefghij"), 13}};
        for (const auto& c : cases)
            QCOMPARE(demo::passwordDots(c.password), QString(c.dots, QChar(0x2022)));
    }

    // The window against the model: enabled rules, the grant's vaults, the picked item with its
    // dots and 显示/隐藏, the vault-ID autofill, the overlay while waiting, and the alert.
    void windowFollowsTheModel() {
        Fixture f;
        demo::ContentView view(*f.model);
        view.show();
        QVERIFY(f.model->client());  // made when the window was shown
        QVERIFY(!view.pickButton()->isEnabled());
        QVERIFY(!view.createButton()->isEnabled());

        QVERIFY(f.act([&] { f.model->authorize(); }));
        QVERIFY(view.pickButton()->isEnabled());
        QVERIFY(view.createButton()->isEnabled());
        QCOMPARE(view.vaultsLabel()->text(), QStringLiteral("家庭、个人"));

        view.vaultField()->setText(QStringLiteral("typed"));
        QVERIFY(f.act([&] { view.pickButton()->click(); }));
        QCOMPARE(view.vaultField()->text(), QStringLiteral("typed"));  // never overwritten
        view.vaultField()->clear();
        QVERIFY(f.act([&] { view.pickButton()->click(); }));
        QCOMPARE(view.vaultField()->text(), QString::fromStdString(f.model->grant()->vaults.front().id));
        const QString password = QString::fromStdString(f.model->picked()->record.password);
        QCOMPARE(view.passwordLabel()->text(), demo::passwordDots(password));
        QCOMPARE(view.revealButton()->text(), QStringLiteral("显示"));
        view.revealButton()->click();
        QCOMPARE(view.passwordLabel()->text(), password);
        QCOMPARE(view.revealButton()->text(), QStringLiteral("隐藏"));

        QVERIFY(!view.updateButton()->isEnabled());  // no new password yet
        view.newPasswordField()->setText(QStringLiteral("n3w"));
        QVERIFY(view.updateButton()->isEnabled());
        QVERIFY(f.act([&] { view.updateButton()->click(); }));
        QVERIFY(view.newPasswordField()->text().isEmpty());
        QVERIFY(!view.updateButton()->isEnabled());

        // The overlay while a request waits.
        Policy never;
        never.decision = Policy::Decision::never;
        f.sandbox->setPolicy(never);
        view.pickButton()->click();
        QVERIFY(QTest::qWaitFor([&] { return view.overlay()->isVisible(); }, 20000));
        QVERIFY(!view.overlay()->message().isEmpty());
        QVERIFY(view.overlay()->expiry().startsWith(QStringLiteral("到期 ")));
        f.model->cancel();
        QVERIFY(QTest::qWaitFor([&] { return !view.overlay()->isVisible() && !f.model->busy(); }, 20000));

        // The alert, with 去下载 for a missing application; closing it clears the failure.
        UrlRecorder opener;
        QDesktopServices::setUrlHandler("https", &opener, "open");
        f.model->present(QStringLiteral("选条目"), TessaroError::notInstalled(TessaroError::defaultDownloadURL()));
        QVERIFY(view.alert());
        QCOMPARE(view.alert()->buttons().size(), 2);
        for (auto* button : view.alert()->buttons()) {
            if (button->text() == QStringLiteral("去下载")) button->click();
        }
        QVERIFY(QTest::qWaitFor([&] { return !f.model->failure(); }, 5000));
        QCOMPARE(opener.urls.size(), 1);
        QDesktopServices::unsetUrlHandler("https");
        f.model->present(QStringLiteral("选条目"), TessaroError::denied());
        QCOMPARE(view.alert()->buttons().size(), 1);
        QCOMPARE(view.alert()->buttons().front()->text(), QStringLiteral("好"));
    }

    void aCallbackBeforeAnyClientIsDropped() {
        Fixture f;
        f.model->handleCallback(QStringLiteral("tessarodemo://tessaro/callback?state=s&code=c"));
        QVERIFY(!f.model->client());
        f.model->retry();  // without a client: nothing
        QVERIFY(!f.model->busy());
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DemoModelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "demo_test.moc"

// The Qt glue on the offscreen platform: the button, GUI-thread delivery, the asynchronous
// wrappers against an in-process sandbox, the foreground hook, and the single-instance relay with
// real second processes (this binary run again).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <optional>
#include <thread>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <testing/child_process.hpp>
#include <tessaro/sandbox/testing/sandbox_fixture.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/stores/testing/scripted_store.hpp>
#include <tessaro/ui/async_client.hpp>
#include <tessaro/ui/callback_relay.hpp>
#include <tessaro/ui/foreground_hook.hpp>
#include <tessaro/ui/gui_executor.hpp>
#include <tessaro/ui/tessaro_button.hpp>

namespace {

using namespace tessaro;
using namespace std::chrono_literals;

constexpr const char* relayName = "tessaro-ui-test";

// One instance of a host (this binary in the "instance" mode): claims the relay; as the primary,
// prints "listening" once it listens, then the URL it receives and its own. Exit: 0 handed over or
// received, 1 failed, 2 nothing received in time, 3 not listening.
int childInstance(int argc, char** argv) {
    const QString url = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    switch (TessaroCallbackRelay::claim(relayName, url, 10s)) {
        case TessaroCallbackRelay::Role::handedOver: return 0;
        case TessaroCallbackRelay::Role::failed: return 1;
        case TessaroCallbackRelay::Role::primary: break;
    }
    QCoreApplication app(argc, argv);
    TessaroCallbackRelay relay(relayName);
    if (!relay.isListening()) return 3;
    std::puts("listening");
    std::fflush(stdout);
    QObject::connect(&relay, &TessaroCallbackRelay::urlReceived, &app, [&](const QString& received) {
        std::printf("%s\n%s\n", qPrintable(received), qPrintable(url));
        app.quit();
    });
    QTimer::singleShot(20000, &app, [&] { app.exit(2); });
    return app.exec();
}

}  // namespace

class UiTest : public QObject {
    Q_OBJECT

private slots:
    // The icon comes from the library's own resources; a new title is also the accessible name;
    // a button without an action can be pressed.
    void buttonShowsItsTitleAndIconAndRunsItsAction() {
        TessaroButton(QStringLiteral("无"), nullptr).click();
        int pressed = 0;
        TessaroButton button(QStringLiteral("选一个条目"), [&] { ++pressed; });
        QVERIFY(!button.icon().pixmap(16, 16).isNull());
        button.click();
        QCOMPARE(pressed, 1);
        button.setTitle(QStringLiteral("授权"));
        QCOMPARE(button.text(), QStringLiteral("授权"));
        QCOMPARE(button.accessibleName(), QStringLiteral("授权"));
    }

    void executorDeliversOnTheGuiThread() {
        TessaroGuiExecutor executor;
        QVERIFY(executor.isCurrent());
        std::atomic<bool> currentOnWorker{true};
        std::atomic<int> onGui{0};
        std::thread([&] {
            currentOnWorker = executor.isCurrent();
            for (int i = 0; i < 50; ++i)
                executor.post([&] { onGui += QThread::currentThread() == qApp->thread() ? 1 : 100; });
        }).join();
        QVERIFY(!currentOnWorker);
        QTRY_COMPARE_WITH_TIMEOUT(onGui.load(), 50, 10000);
    }

    // A wait for the user never holds up another call: with as many waits under way as a thread
    // pool of this machine would have workers, a reading still comes back at once, and cancel
    // ends every wait (also those that are no longer the client's current flow). Results and
    // errors arrive on the GUI thread.
    void asyncClientCallsNeverQueueBehindWaits() {
        sandbox::testing::SandboxFixture f;  // never answers, so the callbacks go nowhere
        sandbox::Policy never;
        never.decision = sandbox::Policy::Decision::never;
        f.sandbox().setPolicy(never);
        const auto client = TessaroClient::create(
            {std::string(sandbox::Sandbox::demoClientID), *URL::parse("tessarodemo://tessaro/callback"),
             *URL::parse(f.origin()), TessaroError::defaultDownloadURL()},
            {.store = std::make_shared<TessaroMemoryStore>(), .transport = nullptr, .switcher = f.switcher()});
        TessaroAsyncClient async(client);
        QObject context;
        const int waits = QThreadPool::globalInstance()->maxThreadCount();
        int cancelled = 0;
        for (int i = 0; i < waits; ++i) {
            async.authorize()
                .then(&context, [](const TessaroGrant&) {})
                .onFailed(&context, [&](const TessaroError& error) {
                    cancelled +=
                        error.code() == TessaroError::Code::cancelled && QThread::currentThread() == qApp->thread();
                });
        }
        std::optional<bool> authorized;
        async.isAuthorized().then(&context, [&](bool value) {
            if (QThread::currentThread() == qApp->thread()) authorized = value;
        });
        QTRY_COMPARE_WITH_TIMEOUT(authorized, std::optional(false), 5000);
        QCOMPARE(async.workers()->running(), static_cast<std::size_t>(waits));
        async.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(cancelled, waits, 20000);
        QVERIFY(async.workers()->waitUntilNone(20s));
        QVERIFY(client->drain(20s));
    }

    // The wrapper's end never waits for its workers: it returns while a store call still holds
    // one; the worker ends on its own once the store answers, and lets go of the client.
    void asyncClientEndsWithoutWaitingForItsWorkers() {
        auto store = std::make_shared<tessaro::testing::ScriptedStore>();
        auto client = TessaroClient::create(
            {"pmc_test", *URL::parse("tessarodemo://tessaro/callback"), *URL::parse("http://127.0.0.1:9"),
             TessaroError::defaultDownloadURL()},
            {.store = store, .transport = nullptr, .switcher = std::make_shared<TessaroSystemAppSwitcher>()});
        std::shared_ptr<const TessaroAsyncClient::Workers> workers;
        store->pauseNextLoad();
        {
            TessaroAsyncClient async(client);
            workers = async.workers();
            async.isAuthorized();
            QVERIFY(store->waitPaused());
        }
        QVERIFY2(store->holding(), "the wrapper's end waited for the store");
        QCOMPARE(workers->running(), std::size_t{1});
        store->resume();
        QVERIFY(workers->waitUntilNone(20s));
        QCOMPARE(client.use_count(), 1L);
    }

    void foregroundHookWakesTheSwitchersHandlers() {
        auto switcher = std::make_shared<TessaroSystemAppSwitcher>();
        int woken = 0;
        auto registration = switcher->onForeground([&] { ++woken; });
        // A handler that throws: dropped by the hook, not thrown into Qt (which would terminate).
        auto throwing = switcher->onForeground([] { throw std::runtime_error("a host's handler failed"); });
        auto* app = qApp;
        const auto connection = installForegroundHook(*app, switcher);
        emit app->applicationStateChanged(Qt::ApplicationInactive);
        QCOMPARE(woken, 0);
        emit app->applicationStateChanged(Qt::ApplicationActive);
        QCOMPARE(woken, 1);
        QObject::disconnect(connection);
        emit app->applicationStateChanged(Qt::ApplicationActive);
        QCOMPARE(woken, 1);
    }

    // An instance killed without cleaning up leaves its socket and lock behind. Two instances
    // started together then: exactly one recovers both, becomes the running instance and receives
    // the other's URL; the other exits 0 once the running one has answered.
    void relayRecoversFromACrashAndDecidesBetweenSimultaneousStarts() {
        QTemporaryDir dir;  // the instances' runtime directory: only its owner may enter
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const auto spawn = [&](std::vector<std::string> args) {
            return std::make_unique<testing::ChildProcess>(
                testing::ChildMode{"instance", std::move(args)},
                testing::ChildOptions{.environment = {"XDG_RUNTIME_DIR=" + dir.path().toStdString()}});
        };
        const auto crashed = spawn({});
        QVERIFY(crashed->lineWith("listening"));
        crashed->signal(SIGKILL);
        QCOMPARE(crashed->wait(30s).status, 128 + SIGKILL);
        QVERIFY(QFile::exists(dir.path() + "/" + relayName + ".socket"));
        const auto a = spawn({"tessarodemo://tessaro/callback?from=a"});
        const auto b = spawn({"tessarodemo://tessaro/callback?from=b"});
        const auto ra = a->wait(30s);
        const auto rb = b->wait(30s);
        QCOMPARE(ra.status, 0);
        QCOMPARE(rb.status, 0);
        // What the running one printed: the URL it received, and its own.
        QStringList lines = QString::fromStdString(ra.out + rb.out).split('\n', Qt::SkipEmptyParts);
        lines.sort();
        QCOMPARE(lines, (QStringList{"listening", "tessarodemo://tessaro/callback?from=a",
                                     "tessarodemo://tessaro/callback?from=b"}));
    }
};

int main(int argc, char** argv) {
    if (const char* mode = std::getenv(tessaro::testing::childModeVariable); mode && std::string(mode) == "instance") {
        return childInstance(argc, argv);
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    UiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ui_test.moc"

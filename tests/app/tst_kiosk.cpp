#include "appdirectory.h"
#include "companionprocess.h"
#include "failurenotice.h"
#include "mainwindow.h"
#include "pagebridge.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QScreen>
#include <QWebEngineView>
#include <QtTest>

#include <signal.h>

static QStringList logged; // messages may come from any thread
static QMutex loggedLock;
static QtMessageHandler earlier = nullptr;

// A kiosk window under a real window manager (openbox), its page served from loopback by the
// test so that it can go away and come back, and companions that end in every way.
class tst_Kiosk : public QObject
{
    Q_OBJECT

    QProcess windowManager;
    QTemporaryDir appDir;
    QTcpServer site; // answers every request with the page, then closes
    QScopedPointer<MainWindow> window;
    QWebEnginePage *page = nullptr;

    bool logShows(const QString &text)
    {
        QMutexLocker locker(&loggedLock);
        return logged.join('\n').contains(text);
    }
    QString marker() { return evaluateJavaScriptSync(page, "window.marker").toString(); }

private slots:
    void initTestCase()
    {
        earlier = qInstallMessageHandler(
                [](QtMsgType t, const QMessageLogContext &c, const QString &m) {
                    earlier(t, c, m);
                    QMutexLocker locker(&loggedLock);
                    logged << m;
                });
        windowManager.start("openbox",
                            {"--sm-disable", "--startup", "touch " + appDir.path() + "/wm"});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(appDir.path() + "/wm"), 20000); // openbox runs
        connect(&site, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = site.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 163\r\n\r\n<script>window.marker"
                              " = location.pathname; window.events = []; pelorin.addEventListener("
                              "'companion', e => events.push(e.detail.state + e.detail.restarts))"
                              "</script>");
                socket->disconnectFromHost();
            });
        });
        QVERIFY(site.listen(QHostAddress::LocalHost));
        AppDirectory::setPath(appDir.path());
        QFile config(appDir.path() + "/config.ini");
        QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        config.write("[CONNECT]\nPORT=" + QByteArray::number(freeLoopbackPort())
                     + "\nURL=http://127.0.0.1:" + QByteArray::number(site.serverPort())
                     + "/\nCRYPTO=sleep 600\nRESTART=on-failure\n[UIUX]\nKIOSK=true\n");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // and so no screensaver, which Pelorin logs
        window.reset(new MainWindow);
        QVERIFY(logShows("kiosk: no D-Bus session bus, so no screensaver is held off"));
        window->show();
        page = window->findChild<QWebEngineView *>()->page();
        QTRY_COMPARE_WITH_TIMEOUT(marker(), QStringLiteral("/"), 30000);
    }

    void coversItsScreen()
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QTRY_COMPARE(window->geometry(), screen);
        QCOMPARE(window->frameGeometry(), screen);
        // no frame either where the window manager would not make it full screen
        QVERIFY(window->isFullScreen() && window->windowFlags() & Qt::FramelessWindowHint);
        // The cursor hides while the mouse rests, and comes back when it moves.
        QTRY_VERIFY_WITH_TIMEOUT(QGuiApplication::overrideCursor(), 10000);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
        QCursor::setPos(QCursor::pos() + QPoint(5, 5));
        QTRY_VERIFY(!QGuiApplication::overrideCursor());
    }

    void pageStaysOnItsOrigin_data()
    {
        QTest::addColumn<QString>("script"); // %1: the site's port
        QTest::addColumn<bool>("stays");
        QTest::addRow("another host") << "location = 'http://localhost:%1/away'" << true;
        QTest::addRow("another port") << "location = 'http://127.0.0.1:1/away'" << true;
        QTest::addRow("a new window opens nothing") << "open('http://localhost:%1/')" << true;
        QTest::addRow("the same origin") << "location = '/next'" << false;
    }

    void pageStaysOnItsOrigin()
    {
        QFETCH(QString, script);
        QFETCH(bool, stays);
        evaluateJavaScriptSync(page, "window.marker = 'before'");
        const PageBridge *bridge = window->findChild<PageBridge *>();
        evaluateJavaScriptSync(page, script.replace("%1", QString::number(site.serverPort())));
        // A refused load holds the page's messages until the page is seen to be still there.
        if (script.startsWith("location") && stays) {
            QTRY_VERIFY(logShows("for " + script.section('\'', 1, 1)));
            QTRY_VERIFY(bridge->mode() != PelHttpServer::PageMode::Unknown);
        }
        QTRY_COMPARE(marker(), stays ? QStringLiteral("before") : QStringLiteral("/next"));
        QCOMPARE(QApplication::topLevelWidgets().count(), 1);
    }

    void failedLoadRecovers()
    {
        const quint16 port = site.serverPort();
        site.close();
        evaluateJavaScriptSync(page, "location.reload()");
        const FailureNotice *notice = window->findChild<FailureNotice *>();
        QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 10000);
        const QRegularExpression said(
                "\\nhttp://127.0.0.1:\\d+/\\S* could not be loaded.\\n\\nNext try at \\d\\d:");
        QVERIFY2(notice->text().contains(said), qPrintable(notice->text()));
        QCOMPARE(notice->geometry(), window->rect());
        QVERIFY(site.listen(QHostAddress::LocalHost, port));
        QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 20000);
        QCOMPARE(marker(), QStringLiteral("/next"));
    }

    void companionRestarts_data()
    {
        QTest::addColumn<QStringList>("run");    // policy, command ("sleep" is killed), log line
        QTest::addColumn<QVariantList>("ended"); // state, exit code, restarts (none yet)
        QTest::addColumn<bool>("restarted");
        // clang-format off
        const auto row = [](const char *name, const QStringList &run, const char *state, int code,
                            bool restarted) {
            QTest::addRow("%s", name) << run << QVariantList{state, code, 0} << restarted;
        };
        const QString restart = "restarting in 1 s";
        row("the window's, SIGKILL: the page hears of it", {"", "", restart}, "crashed", -1, true);
        row("on-failure, exit 3", {"on-failure", "sh -c \"exit 3\"", restart}, "exited", 3, true);
        row("on-failure, exit 0", {"on-failure", "sh -c \"exit 0\"", restart}, "exited", 0, false);
        row("always, exit 0", {"always", "sh -c \"exit 0\"", restart}, "exited", 0, true);
        row("no policy, SIGKILL", {"", "sleep 600", restart}, "crashed", -1, false);
        row("cannot start", {"always", "/no/such/program", "every 60 s"}, "failed", -1, true);
        // clang-format on
    }

    void companionRestarts()
    {
        QFETCH(QStringList, run);
        QFETCH(QVariantList, ended);
        QFETCH(bool, restarted);
        CompanionProcess own(nullptr);
        CompanionProcess *companion = run[1].isEmpty() ? window->findChild<CompanionProcess *>()
                                                       : &own;
        QSignalSpy statuses(companion, &CompanionProcess::statusChanged);
        bool ok = false;
        own.setRestartPolicy(CompanionProcess::restartPolicyFromText(run[0], &ok));
        loggedLock.lock();
        logged.clear();
        loggedLock.unlock();
        if (!run[1].isEmpty())
            own.startCommand(run[1]);
        if (run[1].isEmpty() || run[1].startsWith("sleep")) {
            QTRY_VERIFY(companion->state() == QProcess::Running);
            ::kill(pid_t(companion->processId()), SIGKILL);
        }
        QTRY_VERIFY_WITH_TIMEOUT(statuses.contains(ended), 10000);
        QVERIFY(ok);
        // logged as it ends, with the delay
        QCOMPARE(logShows(run[2]), restarted);
        if (ended[0] != "failed" && restarted)
            QTRY_VERIFY_WITH_TIMEOUT(statuses.contains({"running", -1, 1}), 10000);
        if (run[1].startsWith("sh") && restarted) // the wait doubles
            QTRY_VERIFY_WITH_TIMEOUT(logShows("restarting in 2 s"), 10000);
        if (run[1].isEmpty())
            QTRY_COMPARE(evaluateJavaScriptSync(page, "events.join()").toString(),
                         QStringLiteral("crashed0,running1"));
    }

    void cleanupTestCase()
    {
        window.reset();
        windowManager.terminate();
        QVERIFY(windowManager.waitForFinished(10000));
    }
};

QTEST_MAIN(tst_Kiosk)
#include "tst_kiosk.moc"

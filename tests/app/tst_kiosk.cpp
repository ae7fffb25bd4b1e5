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

namespace {
QStringList logged;
QtMessageHandler earlier = nullptr;
} // namespace

// A kiosk window under a real window manager (openbox), its page served from loopback by the
// test so that it can go away and come back, and companions that end in every way.
class tst_Kiosk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void coversItsScreen();
    void pageStaysOnItsOrigin_data();
    void pageStaysOnItsOrigin();
    void failedLoadRecovers();
    void companionRestarts_data();
    void companionRestarts();
    void cleanupTestCase();

private:
    bool logShows(const QString &text) { return logged.join('\n').contains(text); }

    QProcess windowManager;
    QTemporaryDir appDir;
    QTcpServer site; // answers every request with the page, then closes
    quint16 sitePort = 0;
    QScopedPointer<MainWindow> window;
    QWebEnginePage *page = nullptr;
};

void tst_Kiosk::initTestCase()
{
    earlier = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &c, const QString &m) {
                logged << m;
                earlier(type, c, m);
            });
    windowManager.start(QStringLiteral("openbox"), {"--sm-disable"});
    QVERIFY2(windowManager.waitForStarted(10000), "openbox is not installed");
    QVERIFY(QTest::qWaitFor(
            [] { // the window manager marks the root window once it runs
                QProcess xprop;
                xprop.start("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"});
                return xprop.waitForFinished(5000) && xprop.readAll().contains("window id");
            },
            20000));

    connect(&site, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = site.nextPendingConnection();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            const QByteArray page = "<script>window.marker = location.pathname; window.events = [];"
                                    " pelorin.addEventListener('companion', e => events.push("
                                    "e.detail.state + ' ' + e.detail.restarts))</script>";
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                          "Content-Length: "
                          + QByteArray::number(page.size()) + "\r\n\r\n" + page);
            socket->disconnectFromHost();
        });
    });
    QVERIFY(site.listen(QHostAddress::LocalHost));
    sitePort = site.serverPort();

    AppDirectory::setPath(appDir.path());
    QFile config(appDir.path() + "/config.ini");
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[CONNECT]\nPORT=" + QByteArray::number(freeLoopbackPort())
                 + "\nURL=http://127.0.0.1:" + QByteArray::number(sitePort)
                 + "/\nCRYPTO=sleep 600\nRESTART=on-failure\n[UIUX]\nKIOSK=true\n");
    config.close();
    window.reset(new MainWindow);
    window->show();
    page = window->findChild<QWebEngineView *>()->page();
    QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(page, "window.marker").toString(),
                              QStringLiteral("/"),
                              30000);
}

void tst_Kiosk::coversItsScreen()
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QTRY_COMPARE(window->geometry(), screen);
    QCOMPARE(window->frameGeometry(), screen); // no frame, even where it could not be full screen
    QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(window->isFullScreen());
    // The cursor hides while the mouse rests, and comes back when it moves.
    QTRY_VERIFY_WITH_TIMEOUT(QGuiApplication::overrideCursor()
                                     && QGuiApplication::overrideCursor()->shape()
                                                == Qt::BlankCursor,
                             10000);
    QCursor::setPos(screen.center());
    QCursor::setPos(screen.center() + QPoint(5, 5));
    QTRY_VERIFY(!QGuiApplication::overrideCursor());
}

void tst_Kiosk::pageStaysOnItsOrigin_data()
{
    QTest::addColumn<QString>("target"); // %1: the site's port
    QTest::addColumn<QString>("shown");  // the page's path afterwards
    QTest::addRow("another host") << "http://localhost:%1/away"
                                  << "/";
    QTest::addRow("another port") << "http://127.0.0.1:1/away"
                                  << "/";
    QTest::addRow("a new window opens nothing") << "window.open('http://localhost:%1/')"
                                                << "/";
    QTest::addRow("the same origin") << "/next"
                                     << "/next";
}

void tst_Kiosk::pageStaysOnItsOrigin()
{
    QFETCH(QString, target);
    QFETCH(QString, shown);
    target.replace("%1", QString::number(sitePort));
    evaluateJavaScriptSync(page, "window.marker = 'before'");
    const PageBridge *bridge = window->findChild<PageBridge *>();
    int modeChanges = 0;
    QObject context;
    connect(bridge, &PageBridge::modeChanged, &context, [&] { ++modeChanges; });
    const QString script = target.startsWith("window") ? target
                                                       : "location.href = '" + target + "'";
    evaluateJavaScriptSync(page, script);
    // A refused load holds the page's messages until the page is seen to be still there.
    if (shown == "/" && !target.startsWith("window"))
        QTRY_VERIFY(modeChanges == 2 && bridge->mode() != PelHttpServer::PageMode::Unknown);
    if (shown == "/")
        QVERIFY(target.startsWith("window") || logShows("for " + target));
    else
        QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(page, "window.marker").toString(),
                                  shown,
                                  10000);
    QCOMPARE(evaluateJavaScriptSync(page, "window.marker").toString(),
             shown == "/" ? QStringLiteral("before") : shown);
    QCOMPARE(QApplication::topLevelWidgets().count(), 1);
}

void tst_Kiosk::failedLoadRecovers()
{
    site.close();
    evaluateJavaScriptSync(page, "location.reload()");
    const FailureNotice *notice = window->findChild<FailureNotice *>();
    QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 10000);
    QVERIFY2(notice->text().contains(
                     QRegularExpression("\\nhttp://127.0.0.1:\\d+/\\S* could not be "
                                        "loaded.\\n\\nNext try at \\d\\d:\\d\\d:")),
             qPrintable(notice->text()));
    QCOMPARE(notice->geometry(), window->rect());
    QVERIFY(site.listen(QHostAddress::LocalHost, sitePort));
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 20000);
    QCOMPARE(evaluateJavaScriptSync(page, "window.marker").toString(), QStringLiteral("/next"));
}

void tst_Kiosk::companionRestarts_data()
{
    QTest::addColumn<QString>("policy");  // CONNECT/RESTART
    QTest::addColumn<QString>("command"); // "sleep 600" is killed with SIGKILL
    QTest::addColumn<QString>("ended");   // state and exit code
    QTest::addColumn<bool>("restarted");
    QTest::addRow("on-failure, SIGKILL: the page hears of it") << ""
                                                               << ""
                                                               << "crashed" << true;
    QTest::addRow("on-failure, exit 3") << "on-failure"
                                        << "sh -c \"exit 3\""
                                        << "exited 3" << true;
    QTest::addRow("on-failure, exit 0") << "on-failure"
                                        << "sh -c \"exit 0\""
                                        << "exited 0" << false;
    QTest::addRow("always, exit 0") << "always"
                                    << "sh -c \"exit 0\""
                                    << "exited 0" << true;
    QTest::addRow("no policy, SIGKILL") << ""
                                        << "sleep 600"
                                        << "crashed" << false;
    QTest::addRow("cannot start") << "always"
                                  << "/no/such/program"
                                  << "failed" << true;
}

void tst_Kiosk::companionRestarts()
{
    QFETCH(QString, policy);
    QFETCH(QString, command);
    QFETCH(QString, ended);
    QFETCH(bool, restarted);
    // Without a command: the window's own companion, on-failure.
    CompanionProcess own(nullptr);
    CompanionProcess *companion = command.isEmpty() ? window->findChild<CompanionProcess *>()
                                                    : &own;
    QSignalSpy statuses(companion, &CompanionProcess::statusChanged);
    bool ok = false;
    own.setRestartPolicy(CompanionProcess::restartPolicyFromText(policy, &ok));
    QVERIFY(ok);
    logged.clear();
    if (command.isEmpty() || command.startsWith("sleep")) {
        if (!command.isEmpty())
            own.startCommand(command);
        QTRY_VERIFY(companion->state() == QProcess::Running);
        ::kill(pid_t(companion->processId()), SIGKILL);
    } else {
        own.startCommand(command);
    }
    const auto status = [&](int i) {
        return statuses.value(i).value(0).toString()
               + (statuses.value(i).value(1).toInt() < 0
                          ? ""
                          : " " + statuses.value(i).value(1).toString());
    };
    QTRY_VERIFY_WITH_TIMEOUT(status(statuses.size() - 1) == ended, 10000);
    const QString delay = ended == "failed" ? "trying again every 60 s" : "restarting in 1 s";
    QCOMPARE(logShows(delay), restarted);
    if (ended == "failed" || !restarted)
        return;
    QTRY_VERIFY_WITH_TIMEOUT(statuses.contains({"running", -1, 1}), 10000);
    if (command.isEmpty())
        QTRY_COMPARE(evaluateJavaScriptSync(page, "events.join()").toString(),
                     QStringLiteral("crashed 0,running 1"));
}

void tst_Kiosk::cleanupTestCase()
{
    window.reset();
    windowManager.terminate();
    windowManager.waitForFinished(10000);
}

QTEST_MAIN(tst_Kiosk)
#include "tst_kiosk.moc"

#include "pagebridge.h"
#include "pageenvelope.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>

#include <signal.h>

namespace {

const QByteArray headers = "{\n    \"host\": \"127.0.0.1:9977\",\n    \"x-note\": \"it's\"\n}\n";

// A page that keeps what its console says, so that reported listener errors can be read.
class ConsolePage : public QWebEnginePage
{
public:
    QStringList messages;

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel,
                                  const QString &message,
                                  int,
                                  const QString &) override
    {
        messages.append(message);
    }
};

// Serves the recording page at "/", and at "/stalled" the same page with an image whose request
// is read and never answered, so that its load never finishes.
class PageServer : public QTcpServer
{
public:
    PageServer() { connect(this, &QTcpServer::newConnection, this, &PageServer::accept); }

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection())
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { answer(socket); });
    }

    static void answer(QTcpSocket *socket)
    {
        if (!socket->canReadLine())
            return;
        const QByteArray line = socket->readLine();
        QByteArray html = recordingPageHtml().toUtf8();
        if (line.startsWith("GET /stalled "))
            html.replace("recording", "<img src=\"/never\">");
        else if (!line.startsWith("GET / "))
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                      "Content-Length: "
                      + QByteArray::number(html.size()) + "\r\n\r\n" + html);
        socket->disconnectFromHost();
    }
};

// Warnings of the bridge's category, as they come; Qt Test still sees them.
QStringList pageWarnings;
QtMessageHandler testHandler = nullptr;

void recordPageWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "pelorin.page") == 0)
        pageWarnings.append(text);
    testHandler(type, context, text);
}

QStringList callsOf(QWebEnginePage *page)
{
    return evaluateJavaScriptSync(page, QStringLiteral("window.calls")).toStringList();
}

int callCount(QWebEnginePage *page)
{
    return evaluateJavaScriptSync(page, QStringLiteral("window.calls ? window.calls.length : -1"))
            .toInt();
}

QStringList envelopes(const QString &prefix, int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(pageEnvelope(prefix.arg(i, 3, 10, QLatin1Char('0')).toUtf8(), headers));
    return list;
}

} // namespace

class tst_PageBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listenerGetsExactEnvelope_data();
    void listenerGetsExactEnvelope();
    void heldUntilDocumentReady_data();
    void heldUntilDocumentReady();
    void failingCallDoesNotStopTheNext();
    void overflowDropsOldestWithOneWarning();
    void burstArrivesInOrderInFewScripts();
    void loadDuringDeliveryDoesNotStall_data();
    void loadDuringDeliveryDoesNotStall();
    void rendererEndMidStreamLosesNothing();

private:
    QTemporaryDir dir;
    QUrl pageUrl;
};

void tst_PageBridge::initTestCase()
{
    QVERIFY(dir.isValid());
    QFile file(dir.path() + "/page.html");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(recordingPageHtml().toUtf8());
    file.close();
    pageUrl = QUrl::fromLocalFile(file.fileName());
    testHandler = qInstallMessageHandler(recordPageWarnings);
}

void tst_PageBridge::listenerGetsExactEnvelope_data()
{
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("single quote") << QByteArray("it's");
    QTest::addRow("backslash quote") << QByteArray("\\'");
    QTest::addRow("script end tag") << QByteArray("</script><script>window.pwned=1</script>");
    QTest::addRow("breaking out of the literal") << QByteArray("');window.pwned=1;//");
    QTest::addRow("breaking out of a braced body") << QByteArray("{'});window.pwned=1;//}");
    QTest::addRow("U+2028 and U+2029") << QByteArray("a\xe2\x80\xa8"
                                                     "b\xe2\x80\xa9"
                                                     "c");
    QTest::addRow("HTML comment opener") << QByteArray("<!--');window.pwned=1;//");
    QTest::addRow("UTF-8 beyond the BMP") << QByteArray("\xf0\x9f\x98\x80 \xc3\xa9");
}

void tst_PageBridge::listenerGetsExactEnvelope()
{
    QFETCH(QByteArray, body);

    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));

    const QString envelope = pageEnvelope(body, headers);
    bridge.deliver(envelope);
    QTRY_COMPARE(callCount(&page), 1);
    QCOMPARE(callsOf(&page), QStringList{envelope});
    QCOMPARE(evaluateJavaScriptSync(&page, QStringLiteral("typeof window.pwned")).toString(),
             QStringLiteral("undefined"));
}

void tst_PageBridge::heldUntilDocumentReady_data()
{
    QTest::addColumn<QString>("where"); // "file" or "http", then the path
    QTest::addColumn<bool>("failsFirst");

    QTest::addRow("a file") << "file /page.html" << false;
    QTest::addRow("an image that never answers") << "http /stalled" << false;
    QTest::addRow("a file written after the load failed") << "file /late.html" << true;
    QTest::addRow("a server started after the load was refused") << "http /" << true;
}

void tst_PageBridge::heldUntilDocumentReady()
{
    QFETCH(QString, where);
    QFETCH(bool, failsFirst);

    PageServer server;
    const QString path = where.section(QLatin1Char(' '), 1);
    QUrl url = QUrl::fromLocalFile(dir.path() + path);
    if (where.startsWith("http")) {
        const quint16 port = failsFirst ? freeLoopbackPort()
                                        : (server.listen(QHostAddress::LocalHost),
                                           server.serverPort());
        url = QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    }
    if (failsFirst) {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Could not load the page "
                                                + QRegularExpression::escape(url.toString())
                                                + " \\((no such file|the web engine reported "
                                                  "the load as failed)\\)"));
    }

    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    // Before the load has even been asked for, and while it runs.
    const QStringList sent = envelopes(QStringLiteral("early %1"), 200);
    for (int i = 0; i < 100; ++i)
        bridge.deliver(sent.at(i));
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    page.load(url);
    for (int i = 100; i < sent.size(); ++i)
        bridge.deliver(sent.at(i));

    if (failsFirst) {
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().first().toBool(), false);
        if (url.isLocalFile())
            QFile::copy(pageUrl.toLocalFile(), url.toLocalFile());
        else
            QVERIFY(server.listen(QHostAddress::LocalHost, quint16(url.port())));
    }
    QTRY_COMPARE_WITH_TIMEOUT(callCount(&page), sent.size(), 30000);
    QCOMPARE(callsOf(&page), sent);
    // The stalled page has still not finished loading.
    QCOMPARE(finished.count(), failsFirst ? 2 : path == "/stalled" ? 0 : 1);
}

void tst_PageBridge::failingCallDoesNotStopTheNext()
{
    ConsolePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));
    evaluateJavaScriptSync(&page,
                           QStringLiteral(
                                   "var record = PEL_listener; PEL_listener = function (arg) {"
                                   " if (arg.indexOf('boom') >= 0) throw new Error('listener "
                                   "broke'); record(arg); }; 1"));

    // All three land in one script; the middle one throws.
    const QStringList sent{pageEnvelope("one", headers),
                           pageEnvelope("boom", headers),
                           pageEnvelope("three", headers)};
    for (const QString &envelope : sent)
        bridge.deliver(envelope);

    QTRY_COMPARE(callCount(&page), 2);
    QCOMPARE(callsOf(&page), (QStringList{sent.at(0), sent.at(2)}));
    QTRY_VERIFY(page.messages.join(QLatin1Char('\n')).contains(QStringLiteral("listener broke")));
}

void tst_PageBridge::overflowDropsOldestWithOneWarning()
{
    QWebEnginePage page;
    const QStringList sent = envelopes(QStringLiteral("held %1"), 40);
    const qint64 callSize = listenerCall(sent.first()).size();
    // Room for exactly ten of the (equally long) calls.
    PageBridge bridge(nullptr, callSize * 10);
    bridge.setPage(&page);
    pageWarnings.clear();
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Dropped the 30 oldest messages")));
    for (const QString &envelope : sent)
        bridge.deliver(envelope);
    QCOMPARE(bridge.pendingSize(), callSize * 10);
    // Said while nothing goes to the page: a page that never loads still gets the warning.
    QTRY_COMPARE(pageWarnings.size(), 1);

    QVERIFY(loadSync(&page, pageUrl));
    QTRY_COMPARE(callCount(&page), 10);
    QCOMPARE(callsOf(&page), sent.mid(30));
}

void tst_PageBridge::burstArrivesInOrderInFewScripts()
{
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));

    // One envelope per turn of the event loop, as a busy server hands them over: without flow
    // control every one of them would be a script of its own.
    const QStringList sent = envelopes(QStringLiteral("burst %1"), 5000);
    for (const QString &envelope : sent) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(callCount(&page), sent.size(), 30000);
    QCOMPARE(callsOf(&page), sent);
    QVERIFY2(bridge.scriptsRun() * 5 <= sent.size(),
             qPrintable(QStringLiteral("%1 scripts for %2 messages")
                                .arg(bridge.scriptsRun())
                                .arg(sent.size())));
    QCOMPARE(bridge.pendingSize(), 0);

    // An idle bridge sends a lone envelope on its own, without waiting for more.
    const qint64 before = bridge.scriptsRun();
    const QString lone = pageEnvelope("lone", headers);
    bridge.deliver(lone);
    QTRY_COMPARE(callCount(&page), sent.size() + 1);
    QCOMPARE(bridge.scriptsRun(), before + 1);
    QCOMPARE(callsOf(&page).last(), lone);
}

void tst_PageBridge::loadDuringDeliveryDoesNotStall_data()
{
    QTest::addColumn<bool>("byPage");
    QTest::addRow("the application loads the page") << false;
    QTest::addRow("the page reloads itself") << true;
}

void tst_PageBridge::loadDuringDeliveryDoesNotStall()
{
    QFETCH(bool, byPage);

    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));

    // Scripts are in flight when the new load starts; the old document may or may not confirm
    // them before it goes away.
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    const QStringList old = envelopes(QStringLiteral("old %1"), 50);
    for (const QString &envelope : old) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    if (byPage)
        page.runJavaScript(QStringLiteral("location.reload()"));
    else
        page.load(pageUrl);
    QTRY_VERIFY(started.count() >= 1);
    const QStringList during = envelopes(QStringLiteral("during %1"), 100);
    for (const QString &envelope : during)
        bridge.deliver(envelope);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

    // Whatever of the old ones the old document had not confirmed went to the new document, in
    // order, before everything sent during the load.
    QTRY_VERIFY(callCount(&page) >= during.size());
    const QStringList received = callsOf(&page);
    const int heldOld = received.size() - during.size();
    QVERIFY(heldOld <= old.size());
    QCOMPARE(received, old.mid(old.size() - heldOld) + during);

    // And later envelopes still go, one after the other.
    const QStringList later = envelopes(QStringLiteral("later %1"), 20);
    for (const QString &envelope : later) {
        bridge.deliver(envelope);
        QTRY_COMPARE(callCount(&page), received.size() + later.indexOf(envelope) + 1);
    }
    QCOMPARE(callsOf(&page), received + later);
}

void tst_PageBridge::rendererEndMidStreamLosesNothing()
{
    ConsolePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));
    // The first document's calls go with its renderer; it tells them to the console as well.
    // Each call takes a while, so that the renderer dies in the middle of a script.
    evaluateJavaScriptSync(&page,
                           QStringLiteral(
                                   "var record = PEL_listener; PEL_listener = function (arg) {"
                                   " console.log(arg); record(arg);"
                                   " for (var t = Date.now(); Date.now() - t < 1;) {} }; 1"));
    const qint64 rendererPid = page.renderProcessPid();
    QVERIFY(rendererPid > 0);

    QSignalSpy terminated(&page, &QWebEnginePage::renderProcessTerminated);
    QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^The page's renderer ended .*; "
                                                           "reloading the page$")));
    // Killed while scripts are on their way; what comes after it is held for the reload.
    const QStringList sent = envelopes(QStringLiteral("message %1"), 2000);
    for (int i = 0; i < sent.size(); ++i) {
        if (i == sent.size() / 2) {
            QTRY_VERIFY(!page.messages.isEmpty());
            QCOMPARE(::kill(pid_t(rendererPid), SIGKILL), 0);
        }
        bridge.deliver(sent.at(i));
        QCoreApplication::processEvents();
    }
    QVERIFY(!terminated.isEmpty() || terminated.wait(10000));
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(&page,
                                                     QStringLiteral("calls[calls.length - 1]"))
                                      .toString(),
                              sent.last(),
                              30000);

    // The first document got a prefix, the reloaded one the rest: the scripts the first never
    // confirmed, then all that came later, each once.
    const QStringList first = page.messages;
    const QStringList reloaded = callsOf(&page);
    QCOMPARE(first, sent.mid(0, first.size()));
    QCOMPARE(reloaded, sent.mid(sent.size() - reloaded.size()));
    QVERIFY2(first.size() + reloaded.size() >= sent.size(),
             qPrintable(QStringLiteral("%1 messages lost")
                                .arg(sent.size() - first.size() - reloaded.size())));
}

QTEST_MAIN(tst_PageBridge)
#include "tst_pagebridge.moc"

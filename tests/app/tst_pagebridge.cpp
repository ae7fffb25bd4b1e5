#include "pagebridge.h"
#include "pageenvelope.h"
#include "webtestutil.h"

#include <QApplication>
#include <QRegularExpression>
#include <QSignalSpy>
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
    void heldUntilFirstLoadFinishes();
    void reloadMidStreamLosesNothing();
    void failingCallDoesNotStopTheNext();
    void overflowDropsOldestWithOneWarning();
    void burstArrivesInOrderInFewScripts();
    void loadDuringDeliveryDoesNotStall();
    void heldFromRendererEndUntilReload();

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

void tst_PageBridge::heldUntilFirstLoadFinishes()
{
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);

    // Before the load has even been asked for, and while it runs.
    const QStringList sent = envelopes(QStringLiteral("early %1"), 200);
    for (int i = 0; i < 100; ++i)
        bridge.deliver(sent.at(i));
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    page.load(pageUrl);
    for (int i = 100; i < sent.size(); ++i)
        bridge.deliver(sent.at(i));
    QVERIFY(finished.wait(30000));

    QTRY_COMPARE(callCount(&page), sent.size());
    QCOMPARE(callsOf(&page), sent);
}

void tst_PageBridge::reloadMidStreamLosesNothing()
{
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));

    const QStringList before = envelopes(QStringLiteral("before %1"), 5);
    for (const QString &envelope : before)
        bridge.deliver(envelope);
    QTRY_COMPARE(callCount(&page), before.size());

    // The page reloads itself, as a page's own script or link would.
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    page.runJavaScript(QStringLiteral("location.reload()"));
    QVERIFY(started.wait(10000));
    const QStringList after = envelopes(QStringLiteral("after %1"), 300);
    for (const QString &envelope : after) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

    QTRY_COMPARE(callCount(&page), after.size());
    QCOMPARE(callsOf(&page), after);
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
    for (const QString &envelope : sent)
        bridge.deliver(envelope);
    QCOMPARE(bridge.pendingSize(), callSize * 10);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Dropped the 30 oldest messages")));
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

void tst_PageBridge::loadDuringDeliveryDoesNotStall()
{
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));

    // Scripts are in flight when the new load starts; their document goes away, and with it
    // any word that they have run.
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    const QStringList old = envelopes(QStringLiteral("old %1"), 50);
    for (const QString &envelope : old) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    page.load(pageUrl);
    QTRY_VERIFY(started.count() >= 1);
    const QStringList during = envelopes(QStringLiteral("during %1"), 100);
    for (const QString &envelope : during)
        bridge.deliver(envelope);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

    // Whatever of the old ones had not been sent when the load started went to the new
    // document, in order, before everything sent during the load.
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

void tst_PageBridge::heldFromRendererEndUntilReload()
{
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));
    const qint64 rendererPid = page.renderProcessPid();
    QVERIFY(rendererPid > 0);

    // The bridge is idle, nothing in flight, when the renderer dies.
    QSignalSpy terminated(&page, &QWebEnginePage::renderProcessTerminated);
    QSignalSpy loaded(&page, &QWebEnginePage::loadFinished);
    const QStringList before = envelopes(QStringLiteral("before %1"), 50);
    for (const QString &envelope : before) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(callCount(&page), before.size());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^The page's renderer ended .*; "
                                                           "reloading the page$")));
    QCOMPARE(::kill(pid_t(rendererPid), SIGKILL), 0);
    QVERIFY(terminated.wait(10000));

    // Sent while no renderer runs the page: held, then delivered after the reload, in order.
    const QStringList held = envelopes(QStringLiteral("held %1"), 30);
    for (const QString &envelope : held) {
        bridge.deliver(envelope);
        QCoreApplication::processEvents();
    }
    // The bridge reloads the page by itself; the held envelopes reach the new document.
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty(), 30000);
    QTRY_COMPARE(callCount(&page), held.size());
    QCOMPARE(callsOf(&page), held);
}

QTEST_MAIN(tst_PageBridge)
#include "tst_pagebridge.moc"

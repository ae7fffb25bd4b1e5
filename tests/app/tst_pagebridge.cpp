#include "pagebridge.h"
#include "pageenvelope.h"
#include "webtestutil.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

namespace {

// Keeps what the page's console says.
class ConsolePage : public QWebEnginePage
{
public:
    QStringList messages;

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &message, int,
                                  const QString &) override
    {
        messages.append(message);
    }
};

QStringList callsOf(QWebEnginePage *page)
{
    return evaluateJavaScriptSync(page, QStringLiteral("window.calls")).toStringList();
}

QStringList envelopes(const QString &prefix, int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(pageEnvelope(prefix.arg(i, 4, 10, QLatin1Char('0')).toUtf8(),
                                 "{\n    \"host\": \"127.0.0.1:9977\"\n}\n"));
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
    void overflowDropsOldest();
    void newDocumentGetsWhatTheOldDidNotConfirm_data();
    void newDocumentGetsWhatTheOldDidNotConfirm();

private:
    QTemporaryDir dir;
    QUrl pageUrl;
    // Accepts connections and never answers them.
    QTcpServer silent;
};

void tst_PageBridge::initTestCase()
{
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString image = QStringLiteral("<img src=\"http://127.0.0.1:%1/\">").arg(silent.serverPort());
    for (const QString name : {"page.html", "stalled.html"}) {
        QFile file(dir.path() + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(recordingPageHtml().replace("recording", name == "page.html" ? "" : image).toUtf8());
    }
    pageUrl = QUrl::fromLocalFile(dir.path() + "/page.html");
}

void tst_PageBridge::listenerGetsExactEnvelope_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("quotes and backslashes") << QByteArray("it's \\' \"x\"");
    QTest::addRow("script end tag") << QByteArray("</script><script>window.pwned=1</script>");
    QTest::addRow("breaking out of the literal") << QByteArray("');window.pwned=1;//");
    QTest::addRow("breaking out of a braced body") << QByteArray("{'});window.pwned=1;//}");
    QTest::addRow("HTML comment opener") << QByteArray("<!--');window.pwned=1;//");
    QTest::addRow("U+2028, U+2029, beyond the BMP")
            << QByteArray("a\xe2\x80\xa8 b\xe2\x80\xa9 \xf0\x9f\x98\x80 \xc3\xa9");
}

void tst_PageBridge::listenerGetsExactEnvelope()
{
    QFETCH(QByteArray, body);

    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));
    // One script carries all three; the listener throws on the middle one.
    const QString envelope = pageEnvelope(body, "{\n}\n");
    const QStringList sent{envelope, pageEnvelope("throw", "{\n}\n"), envelope};
    for (const QString &one : sent)
        bridge.deliver(one);
    QTRY_COMPARE(callsOf(&page), sent);
    QCOMPARE(evaluateJavaScriptSync(&page, "typeof window.pwned").toString(), "undefined");
}

void tst_PageBridge::heldUntilDocumentReady_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("loadsFinished");
    QTest::addRow("a page") << "page.html" << 1;
    QTest::addRow("a page whose image never comes") << "stalled.html" << 0;
    QTest::addRow("a page written after its load failed") << "late.html" << 2;
}

void tst_PageBridge::heldUntilDocumentReady()
{
    QFETCH(QString, file);
    QFETCH(int, loadsFinished);

    const QUrl url = QUrl::fromLocalFile(dir.path() + '/' + file);
    if (loadsFinished == 2)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Could not load the page .*late.html \\(no such"));
    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    // Before the load is even asked for, and while it runs.
    const QStringList sent = envelopes("early %1", 200);
    for (int i = 0; i < 100; ++i)
        bridge.deliver(sent.at(i));
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    page.load(url);
    for (int i = 100; i < sent.size(); ++i)
        bridge.deliver(sent.at(i));
    if (loadsFinished == 2) {
        QVERIFY(finished.wait(30000));
        QVERIFY(QFile::copy(pageUrl.toLocalFile(), url.toLocalFile()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(callsOf(&page), sent, 30000);
    QCOMPARE(finished.count(), loadsFinished);
}

void tst_PageBridge::overflowDropsOldest()
{
    QWebEnginePage page;
    const QStringList sent = envelopes("held %1", 40);
    // Room for ten of the equally long calls.
    PageBridge bridge(nullptr, listenerCall(sent.first()).size() * 10);
    bridge.setPage(&page);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Dropped the 30 oldest messages"));
    for (const QString &envelope : sent)
        bridge.deliver(envelope);
    QVERIFY(loadSync(&page, pageUrl));
    QTRY_COMPARE(callsOf(&page), sent.mid(30));
}

void tst_PageBridge::newDocumentGetsWhatTheOldDidNotConfirm_data()
{
    QTest::addColumn<QString>("how");
    QTest::addRow("the application loads the page again") << "load";
    QTest::addRow("the page reloads itself") << "reload";
    QTest::addRow("the renderer is killed") << "kill";
}

void tst_PageBridge::newDocumentGetsWhatTheOldDidNotConfirm()
{
    QFETCH(QString, how);

    ConsolePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QVERIFY(loadSync(&page, pageUrl));
    // The first document tells its calls to the console as well, and takes a while over each,
    // so that the change comes in the middle of a script.
    evaluateJavaScriptSync(&page, "var record = PEL_listener; PEL_listener = function (arg) {"
                                  " console.log(arg); record(arg);"
                                  " for (var t = Date.now(); Date.now() - t < 1;) {} }; 1");
    if (how == "kill")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The page's renderer ended .*; "
                                                              "reloading the page$"));
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    const QStringList sent = envelopes("message %1", 2000);
    for (int i = 0; i < sent.size(); ++i) {
        if (i == sent.size() / 2) {
            QTRY_VERIFY(!page.messages.isEmpty());
            if (how == "kill")
                QCOMPARE(::kill(pid_t(page.renderProcessPid()), SIGKILL), 0);
            else if (how == "reload")
                page.runJavaScript("location.reload()");
            else
                page.load(pageUrl);
            // From here on everything is held for the new document.
            QTRY_VERIFY_WITH_TIMEOUT(!started.isEmpty(), 10000);
        }
        bridge.deliver(sent.at(i));
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(&page, "window.calls && calls[calls.length - 1]").toString(),
                              sent.last(), 30000);
    // The first document got a prefix, the new one the rest: what the first never confirmed,
    // then all that came later, each once.
    const QStringList first = page.messages;
    const QStringList next = callsOf(&page);
    QCOMPARE(first, sent.mid(0, first.size()));
    QCOMPARE(next, sent.mid(sent.size() - next.size()));
    QVERIFY2(first.size() + next.size() >= sent.size(), "messages were lost");
}

QTEST_MAIN(tst_PageBridge)
#include "tst_pagebridge.moc"

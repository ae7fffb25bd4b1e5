#include "pagebridge.h"
#include "pageenvelope.h"
#include "webtestutil.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

namespace {

// Keeps what the page's scripts log, errors aside.
class ConsolePage : public QWebEnginePage
{
public:
    QStringList messages;

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                  int, const QString &) override
    {
        if (level == InfoMessageLevel)
            messages.append(message);
    }
};

QStringList callsOf(QWebEnginePage *page)
{
    return evaluateJavaScriptSync(page, "window.calls").toStringList();
}

// count envelopes of equal length. The listener throws on the one in the middle, which must
// not keep the others in its script from their calls.
QStringList envelopes(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(pageEnvelope(i == count / 2 ? "throw" : QByteArray::number(10000 + i), ""));
    return list;
}

} // namespace

class tst_PageBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heldUntilDocumentReady_data();
    void heldUntilDocumentReady();
    void newDocumentGetsWhatTheOldDidNotConfirm_data();
    void newDocumentGetsWhatTheOldDidNotConfirm();

private:
    QTemporaryDir dir;
    QUrl pageUrl;
    QTcpServer silent; // accepts connections and never answers
};

void tst_PageBridge::initTestCase()
{
    // Pages that record every PEL_listener call in window.calls; stalled.html has an image
    // that never comes, so its load never finishes.
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    for (const QString name : {"page.html", "stalled.html"}) {
        QFile file(dir.path() + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<html><head><script>window.calls = []; function PEL_listener(arg) {"
                   " calls.push(arg); if (arg.indexOf('throw') >= 0) throw new Error('broke'); }"
                   "</script></head><body><img src=\"http://127.0.0.1:"
                   + QByteArray::number(name == "page.html" ? 0 : silent.serverPort())
                   + "/\"></body></html>");
    }
    pageUrl = QUrl::fromLocalFile(dir.path() + "/page.html");
}

void tst_PageBridge::heldUntilDocumentReady_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("loadsFinished");
    QTest::addColumn<int>("room"); // for how many calls; 0 for the default bound
    QTest::addRow("a page") << "page.html" << 1 << 0;
    QTest::addRow("a page whose image never comes") << "stalled.html" << 0 << 0;
    QTest::addRow("a page written after its load failed") << "late.html" << 2 << 0;
    QTest::addRow("past the bound the oldest are dropped") << "page.html" << 1 << 10;
}

void tst_PageBridge::heldUntilDocumentReady()
{
    QFETCH(QString, file);
    QFETCH(int, loadsFinished);
    QFETCH(int, room);

    const QStringList sent = envelopes(200);
    const QUrl url = QUrl::fromLocalFile(dir.path() + '/' + file);
    if (loadsFinished == 2)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Could not load the page .*late.html \\(no such"));
    if (room > 0)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Dropped the 190 oldest messages"));
    QWebEnginePage page;
    PageBridge bridge(nullptr, room > 0 ? listenerCall(sent.first()).size() * room
                                        : PageBridge::defaultMaxPending);
    bridge.setPage(&page);
    // Before the load is even asked for, and while it runs.
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
    QTRY_COMPARE_WITH_TIMEOUT(callsOf(&page), sent.mid(room > 0 ? 200 - room : 0), 30000);
    QCOMPARE(finished.count(), loadsFinished);
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
    page.load(pageUrl);
    QTRY_VERIFY_WITH_TIMEOUT(evaluateJavaScriptSync(&page, "window.calls").isValid(), 30000);
    // The first document logs its calls as well, and takes a while over each, so that the
    // change comes in the middle of a script.
    evaluateJavaScriptSync(&page, "var record = PEL_listener; PEL_listener = function (arg) {"
                                  " console.log(arg); record(arg);"
                                  " for (var t = Date.now(); Date.now() - t < 1;) {} }; 1");
    if (how == "kill")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The page's renderer ended .*; "
                                                              "reloading the page$"));
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    const QStringList sent = envelopes(2000);
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
    QTRY_COMPARE_WITH_TIMEOUT(
            evaluateJavaScriptSync(&page, "window.calls && calls[calls.length - 1]").toString(),
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

#include "pagebridge.h"
#include "pageenvelope.h"
#include "webtestutil.h"

#include <QTcpServer>
#include <QtTest>

#include <signal.h>

// Keeps what the page's scripts log, errors aside.
struct ConsolePage : QWebEnginePage
{
    QStringList messages;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level,
                                  const QString &message,
                                  int,
                                  const QString &) override
    {
        if (level == InfoMessageLevel)
            messages.append(message);
    }
};

class tst_PageBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eachOnceInOrder_data();
    void eachOnceInOrder();

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

void tst_PageBridge::eachOnceInOrder_data()
{
    QTest::addColumn<QString>("before"); // what ends the first document, if there is one
    QTest::addColumn<QString>("file");   // the page loaded half way
    QTest::addColumn<int>("room");       // for how many calls; 0 for the default bound
    QTest::addColumn<QString>("warning");
    QTest::addRow("held until a page has loaded") << ""
                                                  << "page.html" << 0 << "";
    QTest::addRow("held until a page is parsed whose image never comes")
            << ""
            << "stalled.html" << 0 << "";
    QTest::addRow("held while a missing page is loaded again")
            << ""
            << "late.html" << 0 << "^Could not load the page .*late.html \\(no such";
    QTest::addRow("held past the bound: nothing dropped, no room for more")
            << ""
            << "page.html" << 10 << "^Refused 3 requests as busy";
    QTest::addRow("the application loads the page again") << "load"
                                                          << "page.html" << 0 << "";
    QTest::addRow("the renderer is killed")
            << "kill"
            << "page.html" << 0 << "^The page's renderer ended .*; reloading";
}

void tst_PageBridge::eachOnceInOrder()
{
    QFETCH(QString, before);
    QFETCH(QString, file);
    QFETCH(int, room);
    QFETCH(QString, warning);

    // Envelopes of equal length. The listener throws on the one in the middle, which must not
    // keep the others in its script from their calls.
    QStringList sent;
    for (int i = 0; i < 1000; ++i)
        sent.append(pageEnvelope(i == 500 ? "throw" : QByteArray::number(10000 + i), ""));
    ConsolePage page;
    PageBridge bridge(nullptr,
                      room > 0 ? listenerCall(sent.first()).size() * room
                               : PageBridge::defaultMaxPending);
    bridge.setPage(&page);
    if (!before.isEmpty()) {
        // The first document logs its calls as well, and takes a while over each, so that its
        // end comes in the middle of a script.
        page.load(pageUrl);
        QTRY_VERIFY_WITH_TIMEOUT(evaluateJavaScriptSync(&page, "window.calls").isValid(), 30000);
        evaluateJavaScriptSync(&page,
                               "var record = PEL_listener; PEL_listener = function (arg) {"
                               " console.log(arg); record(arg);"
                               " for (var t = Date.now(); Date.now() - t < 1;) {} }; 1");
    }
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QSignalSpy started(&page, &QWebEnginePage::loadStarted);
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);
    for (int i = 0; i < sent.size(); ++i) {
        if (i == sent.size() / 2) {
            QTRY_VERIFY(before.isEmpty() || !page.messages.isEmpty());
            if (before == "kill")
                QCOMPARE(::kill(pid_t(page.renderProcessPid()), SIGKILL), 0);
            else
                page.load(QUrl::fromLocalFile(dir.path() + '/' + file));
            // From here on everything is held for the new document.
            QTRY_VERIFY_WITH_TIMEOUT(before.isEmpty() || !started.isEmpty(), 10000);
        }
        bridge.deliver(sent.at(i));
        if (room > 0 && i + 2 >= room && i < room) // web pages have a quarter
            QCOMPARE(QString("%1 %2").arg(bridge.admitRequest()).arg(bridge.admitRequest(true)),
                     i + 1 < room ? "1 0" : "0 0");
        if (!before.isEmpty())
            QCoreApplication::processEvents();
    }
    if (file == "late.html") {
        QVERIFY(finished.wait(30000));
        QVERIFY(QFile::copy(pageUrl.toLocalFile(), dir.path() + "/late.html"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(&page,
                                                     "window.calls && calls[calls.length - 1]")
                                      .toString(),
                              sent.last(),
                              30000);
    // The first document got a prefix, the new one the rest: what the first never confirmed,
    // then all that came later, each once.
    const QStringList first = page.messages;
    const QStringList next = evaluateJavaScriptSync(&page, "window.calls").toStringList();
    QCOMPARE(first, sent.mid(0, first.size()));
    QCOMPARE(next, sent.mid(sent.size() - next.size()));
    QVERIFY(first.size() + next.size() >= sent.size());
    QVERIFY(bridge.admitRequest());
}

QTEST_MAIN(tst_PageBridge)
#include "tst_pagebridge.moc"

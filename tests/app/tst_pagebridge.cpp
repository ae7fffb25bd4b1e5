#include "devtoolspage.h"
#include "pagebridge.h"
#include "pageenvelope.h"
#include "webtestutil.h"

#include <QTcpServer>
#include <QtTest>

#include <signal.h>

// Keeps what the page's scripts log, errors aside; the engine's own error page logs under Qt 6.
struct ConsolePage : QWebEnginePage
{
    QStringList messages, errors;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level,
                                  const QString &message,
                                  int,
                                  const QString &source) override
    {
        if (level == InfoMessageLevel)
            messages.append(message);
        else if (!message.startsWith("PEL_listener failed") && !source.startsWith("chrome-error:"))
            errors.append(message);
    }
};

class tst_PageBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Pages that record every PEL_listener call in window.calls, and the time each script's
        // calls were to take in window.batches; a query gives each call's time in ms after the
        // 300th (wall time: under load a script fits fewer calls, never more). stalled.html has an
        // image that never comes, so its load never finishes.
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        devTools.debugPort = freeLoopbackPort();
        qputenv("QTWEBENGINE_REMOTE_DEBUGGING", QByteArray::number(devTools.debugPort));
        for (const QString name : {"page.html", "stalled.html"}) {
            QFile file(dir.path() + '/' + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("<html><head><script>window.calls = []; window.batches = [];"
                       " var slow = +location.search.slice(1), open = false;"
                       " function PEL_listener(arg) { calls.push(arg);"
                       "  if (!open) { open = true; batches.push(0);"
                       "   Promise.resolve().then(function () { open = false; }); }"
                       "  var cost = calls.length > 300 ? slow : 0;"
                       "  batches[batches.length - 1] += cost;"
                       "  for (var t = performance.now(); performance.now() - t < cost;) {}"
                       "  if (arg.indexOf('throw') >= 0) throw new Error('broke'); }"
                       "</script></head><body><img src=\"http://127.0.0.1:"
                       + QByteArray::number(name == "page.html" ? 0 : silent.serverPort())
                       + "/\"></body></html>");
        }
        pageUrl = QUrl::fromLocalFile(dir.path() + "/page.html");
    }

    void eachOnceInOrder_data()
    {
        QTest::addColumn<QString>("before"); // what ends the first document, if there is one
        QTest::addColumn<QString>("file");   // the page loaded half way
        QTest::addColumn<int>("room");       // for how many calls; 0 for the default bound
        QTest::addColumn<QString>("warning");
        // clang-format off
        const auto row = [](const char *name, QString before, QString file = "page.html",
                            int room = 0, QString warning = {}) {
            QTest::addRow("%s", name) << before << file << room << warning;
        };
        row("held until a page has loaded", "");
        row("held until a page is parsed whose image never comes", "", "stalled.html");
        row("held while a missing page is loaded again", "", "late.html", 0,
            "^Could not load the page .*late.html \\(no such");
        row("held past the bound: nothing dropped, no room for more", "", "page.html", 10,
            "^Refused 5 requests as busy");
        row("the application loads the page again", "load");
        row("a handler that turns slow gets short scripts", "", "page.html?2");
        row("the application reloads the page", "reload");
        row("the page reloads itself", "page");
        row("DevTools reloads the page", "devtools");
        row("the renderer is killed", "kill", "page.html", 0,
            "^The page's renderer ended .*; reloading");
        // clang-format on
    }

    void eachOnceInOrder()
    {
        QFETCH(QString, before);
        QFETCH(QString, file);
        QFETCH(int, room);
        QFETCH(QString, warning);

        // Envelopes of equal length. The listener throws on the one in the middle, which must not
        // keep the others in its script from their calls.
        QStringList sent;
        QByteArrayList bodies;
        for (int i = 0; i < 1000; ++i) {
            bodies.append(i == 500 ? "throw" : QByteArray::number(10000 + i));
            sent.append(pageEnvelope(bodies.last(), ""));
        }
        PageRequest from; // all from one connection
        from.connectionHeld = std::make_shared<qint64>(0);
        ConsolePage page;
        PageBridge bridge(nullptr,
                          room > 0 ? listenerCall(bodies.first(), "").size() * room
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
                else if (before == "reload")
                    page.triggerAction(QWebEnginePage::Reload);
                else if (before == "page")
                    page.runJavaScript(
                            "for (var i = 0; i < 100; ++i) pelorin.send(i); location.reload()");
                else if (before == "devtools")
                    QVERIFY(devTools.openDebugger() && devTools.call("Page.reload").isObject());
                else
                    page.load(QUrl("file://" + dir.path() + '/' + file));
                // From here on everything is held for the new document.
                QTRY_VERIFY_WITH_TIMEOUT(before.isEmpty() || !started.isEmpty(), 10000);
            }
            bridge.deliver(bodies.at(i), "", &from);
            // web pages and each connection have a quarter
            if (room > 0 && i + 2 >= room && i < room)
                QCOMPARE(QString("%1 %2 %3")
                                 .arg(bridge.admitRequest())
                                 .arg(bridge.admitRequest(true))
                                 .arg(bridge.admitRequest(false, 0, *from.connectionHeld)),
                         i + 1 < room ? "1 0 0" : "0 0 0");
            // a stream: the page is at most a few scripts behind
            if (!before.isEmpty() && i % 10 == 0)
                QVERIFY(QTest::qWaitFor([&] { return bridge.pendingSize() == 0; }, 10000));
        }
        if (file == "late.html") {
            QVERIFY(finished.wait(30000));
            QVERIFY(QFile::copy(pageUrl.toLocalFile(), dir.path() + "/late.html"));
        }
        const QString newest = "window.calls && calls[calls.length - 1]";
        QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(&page, newest).toString(),
                                  sent.last(),
                                  30000);
        // The first document got a prefix, the new one the rest: what the first never confirmed,
        // then all that came later, each once but what an ended renderer may have run. No script of
        // a slow handler ran long, none failed.
        const QStringList first = page.messages;
        const QStringList next = evaluateJavaScriptSync(&page, "window.calls").toStringList();
        QCOMPARE(first, sent.mid(0, first.size()));
        QCOMPARE(next, sent.mid(sent.size() - next.size()));
        QVERIFY(first.size() + next.size() - sent.size() <= bridge.reranAfterRendererEnd());
        QVERIFY(first.size() + next.size() >= sent.size());
        QVERIFY(bridge.admitRequest());
        QCOMPARE(*from.connectionHeld, 0);
        const int longest = evaluateJavaScriptSync(&page, "Math.max.apply(null, batches)").toInt();
        QVERIFY2(longest <= 50, qPrintable(QString::number(longest)));
        QVERIFY2(page.errors.isEmpty(), qPrintable(page.errors.join('\n')));
    }

private:
    QTemporaryDir dir;
    QUrl pageUrl;
    QTcpServer silent;     // accepts connections and never answers
    DevToolsPage devTools; // reloads the page behind the application's back
};

QTEST_MAIN(tst_PageBridge)
#include "tst_pagebridge.moc"

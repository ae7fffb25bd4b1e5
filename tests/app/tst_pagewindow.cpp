#include "appdirectory.h"
#include "mainwindow.h"
#include "previewpage.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray postHead(int contentLength)
{
    return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: "
           + QByteArray::number(contentLength) + "\r\n\r\n";
}

// Sends one POST and spins the event loop until its reply has come.
void post(quint16 port, const QByteArray &body)
{
    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send(postHead(body.size()) + body);
    QVERIFY2(client.readResponse().contains("\"status\": \"OK\""), "no reply");
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

} // namespace

// The window with its real server and page: an app directory of its own per test, holding
// config.ini with a free port and a page that records every PEL_listener call.
class tst_PageWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void requestsBeforeLoadArriveInOrder();
    void bodyInThreeReadsGivesThreeCalls();
    void showingAgainKeepsThePage_data();
    void showingAgainKeepsThePage();
    void configuredUrlIsLeftAlone();
    void wholeRequests_data();
    void wholeRequests();
    void pageEventsReachSubscribers();

private:
    void writeConfig(const QString &url = QString());

    QScopedPointer<QTemporaryDir> appDir;
    quint16 port = 0;
};

void tst_PageWindow::init()
{
    appDir.reset(new QTemporaryDir);
    QVERIFY(appDir->isValid());
    AppDirectory::setPath(appDir->path());
    port = freeLoopbackPort();
    QVERIFY(port != 0);
    writeConfig();
    writeFile(appDir->path() + "/assets/index.html", recordingPageHtml().toUtf8());
}

void tst_PageWindow::writeConfig(const QString &url)
{
    writeFile(appDir->path() + "/config.ini",
              "[CONNECT]\nHOST=127.0.0.1\nPORT=" + QByteArray::number(port) + "\nURL=" + url.toUtf8()
                      + "\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=300\n" + "BASESIZE_W=200\n");
}

void tst_PageWindow::requestsBeforeLoadArriveInOrder()
{
    // A page that takes its time before it defines the listener.
    writeFile(appDir->path() + "/assets/index.html",
              "<html><head><script>var start = Date.now(); while (Date.now() - start < 1500) {}"
              "</script></head><body><script>window.calls = [];"
              "function PEL_listener(arg) { window.calls.push(arg); }</script></body></html>");
    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QVERIFY(page);
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);

    QByteArrayList sent;
    for (int i = 0; i < 30; ++i) {
        sent.append("message " + QByteArray::number(i));
        post(port, sent.last());
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY2(finished.isEmpty(), "the page loaded before the requests were read");

    QTRY_COMPARE_WITH_TIMEOUT(callCount(page), sent.size(), 30000);
    const QStringList calls = callsOf(page);
    for (int i = 0; i < sent.size(); ++i)
        QVERIFY2(calls.at(i).startsWith("{    \"body\": \"" + QString::fromUtf8(sent.at(i)) + "\","),
                 qPrintable(calls.at(i)));
}

void tst_PageWindow::bodyInThreeReadsGivesThreeCalls()
{
    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QVERIFY(page);
    QTRY_COMPARE_WITH_TIMEOUT(callCount(page), 0, 30000);

    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send(postHead(9));
    const QByteArrayList parts{"abc", "def", "ghi"};
    for (int i = 0; i < parts.size(); ++i) {
        client.send(parts.at(i));
        QTRY_COMPARE(callCount(page), i + 1);
    }
    QVERIFY(client.readResponse().contains("\"status\": \"OK\""));

    const QStringList calls = callsOf(page);
    QCOMPARE(calls.size(), 3);
    const QString headersMember = calls.at(0).mid(calls.at(0).indexOf("\"headers\""));
    QVERIFY(headersMember.contains("\"content-length\": \"9\""));
    for (int i = 0; i < parts.size(); ++i) {
        QCOMPARE(calls.at(i),
                 "{    \"body\": \"" + QString::fromUtf8(parts.at(i)) + "\",    " + headersMember);
    }
}

void tst_PageWindow::showingAgainKeepsThePage_data()
{
    QTest::addColumn<bool>("minimise");
    QTest::addRow("hide and show") << false;
    QTest::addRow("hide, show minimised, restore") << true;
}

void tst_PageWindow::showingAgainKeepsThePage()
{
    QFETCH(bool, minimise);

    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QVERIFY(page);
    QTRY_COMPARE_WITH_TIMEOUT(callCount(page), 0, 30000);
    post(port, "first");
    QTRY_COMPARE(callCount(page), 1);
    evaluateJavaScriptSync(page, QStringLiteral("window.marker = 42"));

    QSignalSpy shown(&window, &MainWindow::windowLoaded);
    QSignalSpy loads(page, &QWebEnginePage::loadStarted);
    window.hide();
    if (minimise) {
        window.showMinimized();
        window.showNormal();
    } else {
        window.show();
    }
    QVERIFY(shown.count() >= 1);

    QCOMPARE(window.findChildren<PreviewPage *>().size(), 1);
    QCOMPARE(window.findChild<PreviewPage *>(), page);
    post(port, "second");
    QTRY_COMPARE(callCount(page), 2);
    QCOMPARE(evaluateJavaScriptSync(page, QStringLiteral("window.marker")).toInt(), 42);
    QCOMPARE(loads.count(), 0);
}

void tst_PageWindow::configuredUrlIsLeftAlone()
{
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    writeFile(elsewhere.path() + "/my page.html", recordingPageHtml().toUtf8());
    QVERIFY(QDir(appDir->path() + "/assets").removeRecursively());
    writeConfig(QUrl::fromLocalFile(elsewhere.path() + "/my page.html").toString());

    MainWindow window;
    QVERIFY(!QFileInfo::exists(appDir->path() + "/assets"));
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QVERIFY(page);
    post(port, "to the configured page");
    QTRY_COMPARE_WITH_TIMEOUT(callCount(page), 1, 30000);
    QCOMPARE(page->url(), QUrl::fromLocalFile(elsewhere.path() + "/my page.html"));
}

namespace {

// Records each whole request in window.calls and answers by path.
const QByteArray receiverPage =
        "<html><body><script>window.calls = [];"
        "function PEL_receive(r) { window.calls.push(r);"
        " if (r.path === '/throw') throw new Error('no such thing');"
        " if (r.path === '/promise') return new Promise(ok => setTimeout(() => ok({n: 2}), 10));"
        " if (r.path === '/reject') return Promise.reject('refused');"
        " if (r.path === '/nothing') return undefined;"
        " return r.body.length; }</script></body></html>";

} // namespace

void tst_PageWindow::wholeRequests_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("answer");

    QByteArray big;
    while (big.size() < 300 * 1024)
        big += "line\n\ttab \\ back \"quote\" 'single' </script> \xe2\x80\xa8 \xc3\xa9 \xff\n";
    const QByteArray prefer = "Prefer: return=representation\r\n";
    const auto post = [](const QByteArray &path, const QByteArray &headers, const QByteArray &body) {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
               + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const auto error = [](const QByteArray &code, const QByteArray &message) {
        return "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + message + "\"\n}\n";
    };
    QTest::addRow("300 KB in one call, exact")
            << receiverPage << post("/?q=%41", QByteArray(), big) << QByteArray("HTTP/1.1 200 OK")
            << QByteArray("{\n    \"status\": \"OK\"\n}\n");
    QTest::addRow("the handler's value")
            << receiverPage << post("/", prefer, "abc") << QByteArray("HTTP/1.1 200 OK")
            << QByteArray("3");
    QTest::addRow("undefined is null")
            << receiverPage << post("/nothing", prefer, "abc") << QByteArray("HTTP/1.1 200 OK")
            << QByteArray("null");
    QTest::addRow("what a promise resolves to")
            << receiverPage << post("/promise", prefer, "abc") << QByteArray("HTTP/1.1 200 OK")
            << QByteArray("{\"n\":2}");
    QTest::addRow("a throw")
            << receiverPage << post("/throw", prefer, "abc")
            << QByteArray("HTTP/1.1 500 Internal Server Error")
            << error("PAGE_ERROR", "no such thing");
    QTest::addRow("a rejection")
            << receiverPage << post("/reject", prefer, "abc")
            << QByteArray("HTTP/1.1 500 Internal Server Error") << error("PAGE_ERROR", "refused");
    QTest::addRow("a page without PEL_receive")
            << recordingPageHtml().toUtf8() << post("/", prefer, "abc")
            << QByteArray("HTTP/1.1 501 Not Implemented")
            << error("NOT_IMPLEMENTED", "the page defines no PEL_receive");
}

void tst_PageWindow::wholeRequests()
{
    QFETCH(QByteArray, page);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, answer);
    writeFile(appDir->path() + "/assets/index.html", page);

    MainWindow window;
    window.show();
    auto *view = window.findChild<PreviewPage *>();
    QVERIFY(view);
    // sent while the page loads: held, then given to the handler the document defines
    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send(request);
    const QByteArray response = client.readResponse(false, 30000);
    QVERIFY2(response.startsWith(statusLine + "\r\n"), response.left(200).constData());
    QCOMPARE(RawHttpClient::bodyOf(response), answer);
    QTRY_COMPARE_WITH_TIMEOUT(callCount(view), 1, 30000);
    if (page != receiverPage)
        return;
    const QVariantMap call =
            evaluateJavaScriptSync(view, QStringLiteral("window.calls[0]")).toMap();
    const QByteArray body = RawHttpClient::bodyOf(request);
    QCOMPARE(call.value("body").toString(), QString::fromUtf8(body));
    QCOMPARE(call.value("method").toString(), QStringLiteral("POST"));
    QCOMPARE(call.value("headers").toMap().value("content-length").toString(),
             QString::number(body.size()));
    QVERIFY(call.value("id").toDouble() >= 1);
}

void tst_PageWindow::pageEventsReachSubscribers()
{
    writeFile(appDir->path() + "/assets/index.html", receiverPage);
    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QVERIFY(page);
    QTRY_COMPARE_WITH_TIMEOUT(callCount(page), 0, 30000);
    RawHttpClient subscriber;
    QVERIFY(subscriber.connectToPort(port));
    subscriber.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return subscriber.unread().contains("\r\n\r\n"); }, 5000));

    QCOMPARE(evaluateJavaScriptSync(
                     page, QStringLiteral("for (let i = 0; i < 50; ++i) pelorin.send({i, s: 'a\\nb'});"
                                          "try { pelorin.send(undefined); 'sent' }"
                                          " catch (e) { e.constructor.name }"))
                     .toString(),
             QStringLiteral("TypeError"));
    QByteArray expected;
    for (int i = 0; i < 50; ++i)
        expected += "id: " + QByteArray::number(i + 1) + "\ndata: {\"i\":" + QByteArray::number(i)
                    + ",\"s\":\"a\\nb\"}\n\n";
    QVERIFY(QTest::qWaitFor([&] { return subscriber.unread().endsWith(expected); }, 10000));
}

QTEST_MAIN(tst_PageWindow)
#include "tst_pagewindow.moc"

#include "appdirectory.h"
#include "companionprocess.h"
#include "mainwindow.h"
#include "previewpage.h"
#include "processutil.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEngineView>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// Records each whole request in window.calls and answers by path.
const QByteArray receiverPage =
        "<html><body><script>window.calls = [];"
        "function PEL_receive(r) { window.calls.push(r);"
        " if (r.path === '/throw') throw new Error('no such thing');"
        " if (r.path === '/promise') return new Promise(ok => setTimeout(() => ok({n: 2}), 10));"
        " if (r.path === '/reject') return Promise.reject('refused');"
        " return r.body.length; }</script></body></html>";

} // namespace

// The window with its real server and page, in an app directory of its own whose config.ini
// names the page "my page.html" there by a plain path.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void settings_data();
    void settings();
    void companionIsHeard();
    void wholeRequests_data();
    void wholeRequests();
    void pageEventsReachSubscribers();

private:
    QScopedPointer<QTemporaryDir> appDir;
    QString pagePath;
    quint16 port = 0;
};

void tst_MainWindow::init()
{
    appDir.reset(new QTemporaryDir);
    AppDirectory::setPath(appDir->path());
    pagePath = appDir->path() + "/my page.html";
    port = freeLoopbackPort();
    writeFile(appDir->path() + "/config.ini", "[CONNECT]\nPORT=" + QByteArray::number(port)
                                                      + "\nURL=" + pagePath.toUtf8() + '\n');
}

void tst_MainWindow::settings_data()
{
    QTest::addColumn<QByteArray>("before"); // config.ini; none when empty
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("url"); // empty for the page in assets/
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("size");

    QTest::addRow("the first start writes the defaults")
            << QByteArray()
            << QByteArray("[CONNECT]\nCRYPTO=\nHOST=127.0.0.1\nPORT=9977\nURL=\n\n"
                          "[UIUX]\nBASESIZE_H=1024\nBASESIZE_W=768\nTITLE=Pelorin\n")
            << QString() << "Pelorin" << QSize(768, 1024);
    const QByteArray mine = "[CONNECT]\nPORT=0\nURL=file:///D:/My%20Pages/a+b.html\n[UIUX]\n"
                            "TITLE=Gr\xc3\xbc\xc3\x9f" "e\nBASESIZE_H=300\nBASESIZE_W=800px\n";
    QTest::addRow("a file is read as it stands and left alone")
            << mine << mine << "file:///D:/My Pages/a+b.html" << QString::fromUtf8("Grüße")
            << QSize(0, 300);
}

void tst_MainWindow::settings()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QString, url);
    QFETCH(QString, title);
    QFETCH(QSize, size);

    const QString path = appDir->path() + "/config.ini";
    QFile::remove(path);
    if (!before.isEmpty())
        writeFile(path, before);
    MainWindow window;
    QCOMPARE(readFile(path), after);
    if (url.isEmpty())
        url = QUrl::fromLocalFile(appDir->path() + "/assets/index.html").toString();
    QCOMPARE(window.url, url);
    QCOMPARE(window.windowTitle(), title);
    QCOMPARE(QSize(window.baseWidth, window.baseHeight), size);
}

void tst_MainWindow::companionIsHeard()
{
    static QStringList heard;
    static QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (qstrcmp(context.category, "pelorin.companion") == 0 && type == QtInfoMsg)
                    heard.append(message);
                else
                    previous(type, context, message);
            });
    writeFile(appDir->path() + "/config.ini",
              "[CONNECT]\nPORT=0\nURL=about:blank\nCRYPTO=/bin/sh "
                      + QCoreApplication::applicationDirPath().toUtf8() + "/companionfamily.sh "
                      + appDir->path().toUtf8() + "/pids\n");
    MainWindow window;
    // Both channels, line by line: a control character shows as '?', a line longer than the
    // bound comes in pieces.
    QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 4, 10000);
    for (const QString &line : {QString("on stdout"), QString("on stderr ?[1m"),
                                QString(CompanionProcess::maxLine, 'x'),
                                QString(70000 - CompanionProcess::maxLine, 'x')})
        QVERIFY2(heard.contains("sh: " + line), qPrintable(line.left(20)));
}

void tst_MainWindow::wholeRequests_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");

    QByteArray big;
    while (big.size() < 300 * 1024)
        big += "line\n\ttab \\ back \"quote\" 'single' </script> \xe2\x80\xa8 \xc3\xa9 \xff\n";
    const auto post = [](const QByteArray &path, const QByteArray &body, bool prefer = true) {
        return "POST " + path + " HTTP/1.1\r\n"
               + (prefer ? "Prefer: return=representation\r\n" : "")
               + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const auto error = [](const QByteArray &code, const QByteArray &message) {
        return "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + message + "\"\n}\n";
    };
    QTest::addRow("300 KB in one call, exact")
            << receiverPage << post("/?q=%41", big, false) << 200
            << QByteArray("{\n    \"status\": \"OK\"\n}\n");
    QTest::addRow("the handler's value") << receiverPage << post("/", "abc") << 200 << QByteArray("3");
    QTest::addRow("what a promise resolves to")
            << receiverPage << post("/promise", "abc") << 200 << QByteArray("{\"n\":2}");
    QTest::addRow("a throw") << receiverPage << post("/throw", "abc") << 500
                             << error("PAGE_ERROR", "no such thing");
    QTest::addRow("a rejection") << receiverPage << post("/reject", "abc") << 500
                                 << error("PAGE_ERROR", "refused");
    QTest::addRow("a page without PEL_receive")
            << recordingPageHtml().toUtf8() << post("/", "abc") << 501
            << error("NOT_IMPLEMENTED", "the page defines no PEL_receive");
}

void tst_MainWindow::wholeRequests()
{
    QFETCH(QByteArray, page);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);

    writeFile(pagePath, page);
    MainWindow window;
    window.show();
    // Sent while the page loads: held, then given to the handler the document defines.
    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send(request);
    const QByteArray response = client.readResponse(false, 30000);
    QCOMPARE(RawHttpClient::statusOf(response), status);
    QCOMPARE(RawHttpClient::bodyOf(response), answer);
    // The configured page is used as it is: no assets folder is made.
    QVERIFY(!QFileInfo::exists(appDir->path() + "/assets"));
    if (page != receiverPage)
        return;
    auto *view = window.findChild<PreviewPage *>();
    QTRY_COMPARE_WITH_TIMEOUT(evaluateJavaScriptSync(view, "window.calls.length").toInt(), 1, 30000);
    const QVariantMap call = evaluateJavaScriptSync(view, "window.calls[0]").toMap();
    const QByteArray body = RawHttpClient::bodyOf(request);
    QCOMPARE(call.value("body").toString(), QString::fromUtf8(body));
    QCOMPARE(call.value("headers").toMap().value("content-length").toString(),
             QString::number(body.size()));
}

void tst_MainWindow::pageEventsReachSubscribers()
{
    writeFile(pagePath, receiverPage);
    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QTRY_VERIFY_WITH_TIMEOUT(evaluateJavaScriptSync(page, "window.calls").isValid(), 30000);
    // Showing the window again, and Ctrl+Q, leave the window, its page and its document be.
    evaluateJavaScriptSync(page, "window.marker = 42");
    window.hide();
    window.showMinimized();
    window.showNormal();
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(window.isVisible());
    QCOMPARE(window.findChild<QWebEngineView *>()->page(), page);
    QCOMPARE(evaluateJavaScriptSync(page, "window.marker").toInt(), 42);

    RawHttpClient subscriber;
    QVERIFY(subscriber.connectToPort(port));
    subscriber.send("GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return subscriber.unread().contains("\r\n\r\n"); }, 5000));
    QCOMPARE(evaluateJavaScriptSync(page, "for (let i = 0; i < 50; ++i) pelorin.send({i, s: 'a\\nb'});"
                                          "try { pelorin.send(undefined); 'sent' }"
                                          " catch (e) { e.constructor.name }")
                     .toString(),
             "TypeError");
    QByteArray expected;
    for (int i = 0; i < 50; ++i)
        expected += "id: " + QByteArray::number(i + 1) + "\ndata: {\"i\":" + QByteArray::number(i)
                    + ",\"s\":\"a\\nb\"}\n\n";
    QVERIFY(QTest::qWaitFor([&] { return subscriber.unread().endsWith(expected); }, 10000));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

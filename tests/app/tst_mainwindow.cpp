#include "appdirectory.h"
#include "companionprocess.h"
#include "mainwindow.h"
#include "previewpage.h"
#include "processutil.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QDir>
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

// The window with its real server, page and companion, in an app directory of its own.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void settings_data();
    void settings();
    void companionIsHeardAndEndsWithTheWindow();
    void wholeRequests_data();
    void wholeRequests();
    void pageEventsReachSubscribers();

private:
    // config.ini on a free port, naming page by a plain path with a blank.
    void configure(const QByteArray &page, const QByteArray &crypto = QByteArray())
    {
        const QByteArray pagePath = appDir->path().toUtf8() + "/my page.html";
        writeFile(pagePath, page);
        writeFile(appDir->path() + "/config.ini",
                  "[CONNECT]\nPORT=" + QByteArray::number(port) + "\nURL=" + pagePath
                          + "\nCRYPTO=" + crypto + "\n[UIUX]\nBASESIZE_H=300\nBASESIZE_W=200\n");
    }

    QScopedPointer<QTemporaryDir> appDir;
    quint16 port = 0;
};

void tst_MainWindow::init()
{
    appDir.reset(new QTemporaryDir);
    QVERIFY(appDir->isValid());
    AppDirectory::setPath(appDir->path());
    port = freeLoopbackPort();
}

void tst_MainWindow::settings_data()
{
    QTest::addColumn<QByteArray>("before"); // config.ini; none when empty
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("url"); // empty for the page in assets/
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("size");

    QTest::addRow("the first start writes the defaults")
            << QByteArray() << QByteArray("[CONNECT]\nCRYPTO=\nHOST=127.0.0.1\nPORT=9977\nURL=\n\n"
                                          "[UIUX]\nBASESIZE_H=1024\nBASESIZE_W=768\nTITLE=Pelorin\n")
            << QString() << "Pelorin" << QSize(768, 1024);
    const QByteArray mine = "[CONNECT]\nPORT=0\nURL=file:///D:/My%20Pages/a+b.html\n"
                            "[UIUX]\nTITLE=Gr\xc3\xbc\xc3\x9f" "e\nBASESIZE_H=300\nBASESIZE_W=800px\n";
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
    if (!before.isEmpty())
        writeFile(path, before);
    MainWindow window;
    QCOMPARE(readFile(path), after);
    QCOMPARE(window.url, url.isEmpty()
                                 ? QUrl::fromLocalFile(appDir->path() + "/assets/index.html").toString()
                                 : url);
    QCOMPARE(window.windowTitle(), title);
    QCOMPARE(QSize(window.baseWidth, window.baseHeight), size);
}

void tst_MainWindow::companionIsHeardAndEndsWithTheWindow()
{
    static QStringList forwarded;
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                                         const QString &message) {
        if (qstrcmp(context.category, "pelorin.companion") == 0 && type == QtInfoMsg)
            forwarded.append(message);
        else
            previous(type, context, message);
    });
    // An argument with a blank, quoted in the command line.
    const QByteArray out = appDir->path().toUtf8() + "/two words";
    configure(recordingPageHtml().toUtf8(), "\"/bin/sh " + QCoreApplication::applicationDirPath().toUtf8()
                                    + "/companionfamily.sh \\\"" + out + "\\\"\"");
    QList<QByteArray> pids;
    {
        MainWindow window;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 10000);
        pids = readFile(out).trimmed().split(' ');
        QCOMPARE(pids.size(), 2);
        QVERIFY(processIsLive(pids.at(0).toLongLong()) && processIsLive(pids.at(1).toLongLong()));
        // Both channels, line by line; a control character shows as '?'; a line longer than
        // the bound comes in pieces.
        QTRY_COMPARE_WITH_TIMEOUT(forwarded.size(), 4, 10000);
        const QString sh = "sh: ";
        QStringList expected{sh + "on stdout", sh + "on stderr ?[1m",
                             sh + QString(CompanionProcess::maxLine, 'x'),
                             sh + QString(70000 - CompanionProcess::maxLine, 'x')};
        expected.sort();
        forwarded.sort();
        QCOMPARE(forwarded, expected);
    }
    qInstallMessageHandler(previous);
    // Gone with the window, the background child included.
    QVERIFY(!processIsLive(pids.at(0).toLongLong()));
    QVERIFY(!processIsLive(pids.at(1).toLongLong()));
}

void tst_MainWindow::wholeRequests_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("answer");

    QByteArray big;
    while (big.size() < 300 * 1024)
        big += "line\n\ttab \\ back \"quote\" 'single' </script> \xe2\x80\xa8 \xc3\xa9 \xff\n";
    const auto post = [](const QByteArray &path, const QByteArray &body, bool prefer = true) {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               + (prefer ? "Prefer: return=representation\r\n" : "") + "Content-Length: "
               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const auto error = [](const QByteArray &code, const QByteArray &message) {
        return "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + message + "\"\n}\n";
    };
    const QByteArray ok = "HTTP/1.1 200 OK", failed = "HTTP/1.1 500 Internal Server Error";
    QTest::addRow("300 KB in one call, exact") << receiverPage << post("/?q=%41", big, false)
                                               << ok << QByteArray("{\n    \"status\": \"OK\"\n}\n");
    QTest::addRow("the handler's value") << receiverPage << post("/", "abc") << ok << QByteArray("3");
    QTest::addRow("what a promise resolves to")
            << receiverPage << post("/promise", "abc") << ok << QByteArray("{\"n\":2}");
    QTest::addRow("a throw") << receiverPage << post("/throw", "abc") << failed
                             << error("PAGE_ERROR", "no such thing");
    QTest::addRow("a rejection") << receiverPage << post("/reject", "abc") << failed
                                 << error("PAGE_ERROR", "refused");
    QTest::addRow("a page without PEL_receive")
            << recordingPageHtml().toUtf8() << post("/", "abc")
            << QByteArray("HTTP/1.1 501 Not Implemented")
            << error("NOT_IMPLEMENTED", "the page defines no PEL_receive");
}

void tst_MainWindow::wholeRequests()
{
    QFETCH(QByteArray, page);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, answer);

    configure(page);
    MainWindow window;
    window.show();
    // Sent while the page loads: held, then given to the handler the document defines.
    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send(request);
    const QByteArray response = client.readResponse(false, 30000);
    QVERIFY2(response.startsWith(statusLine + "\r\n"), response.left(200).constData());
    QCOMPARE(RawHttpClient::bodyOf(response), answer);
    // The configured page is used as it is: no assets folder is made.
    QVERIFY(!QFileInfo::exists(appDir->path() + "/assets"));
    if (page != receiverPage)
        return;
    auto *view = window.findChild<PreviewPage *>();
    QVariantMap call;
    QTRY_VERIFY_WITH_TIMEOUT(
            !(call = evaluateJavaScriptSync(view, "window.calls[0]").toMap()).isEmpty(), 30000);
    const QByteArray body = RawHttpClient::bodyOf(request);
    QCOMPARE(call.value("body").toString(), QString::fromUtf8(body));
    QCOMPARE(call.value("method").toString(), "POST");
    QCOMPARE(call.value("headers").toMap().value("content-length").toString(),
             QString::number(body.size()));
}

void tst_MainWindow::pageEventsReachSubscribers()
{
    configure(receiverPage);
    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    QTRY_VERIFY_WITH_TIMEOUT(evaluateJavaScriptSync(page, "window.calls").isValid(), 30000);
    // Showing the window again, and Ctrl+Q, leave the window, its page and the document be.
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
    subscriber.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n");
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

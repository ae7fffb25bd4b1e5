#include "appdirectory.h"
#include "mainwindow.h"
#include "pelhttpserver.h"
#include "processutil.h"
#include "rawhttpclient.h"
#include "webtestutil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebEngineView>
#include <QtTest>

#include <signal.h>

// The window with its real server and page, in an app directory of its own.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void configuration_data();
    void configuration();
    void wholeRequests_data();
    void wholeRequests();

private:
    QTemporaryDir appDir;
    // Shown with a page that records each whole request in window.calls and answers by path.
    QScopedPointer<MainWindow> window;
    QWebEnginePage *page = nullptr;
    quint16 port = 0;
};

void tst_MainWindow::initTestCase()
{
    AppDirectory::setPath(appDir.path());
    const QString config = appDir.path() + "/config.ini", html = appDir.path() + "/my page.html";
    delete new MainWindow; // the first start writes the defaults
    QCOMPARE(readFile(config),
             "[CONNECT]\nCRYPTO=\nHOST=127.0.0.1\nPORT=9977\nURL=\n\n"
             "[UIUX]\nBASESIZE_H=1024\nBASESIZE_W=768\nTITLE=Pelorin\n");
    QVERIFY(writeFile(
            html,
            "<script>window.calls = []; function PEL_receive(r) { r.aborted = r.signal.aborted; "
            "calls.push(r);"
            " if (r.path === '/throw') throw new Error('no such thing');"
            " if (r.path === '/promise') return new Promise(ok => setTimeout(() => ok({n: 2})));"
            " if (r.path === '/reject') return Promise.reject('refused');"
            " r.signal.onabort = () => calls.push('aborted');"
            " if (r.path === '/hold') return new Promise(() => {}); }</script>"));
    port = freeLoopbackPort();
    // The page is named by a plain path, its blank percent-encoded; the file is read as it
    // stands (UTF-8, a size that is no number) and left alone.
    const QByteArray ini = "[CONNECT]\nPORT=" + QByteArray::number(port)
                           + "\nURL=" + html.toUtf8().replace(' ', "%20")
                           + "\n[UIUX]\nTITLE=Grüße\nBASESIZE_H=300\nBASESIZE_W=800px\n";
    QVERIFY(writeFile(config, ini));
    window.reset(new MainWindow);
    const QString size = QStringLiteral("%1x%2").arg(window->baseWidth).arg(window->baseHeight);
    QCOMPARE(window->windowTitle() + ' ' + size, QString::fromUtf8("Grüße 0x300"));
    QCOMPARE(readFile(config), ini);
    window->show();
    page = window->findChild<QWebEngineView *>()->page();
    // Showing the window again keeps its page and the document.
    window->hide();
    window->show();
    QCOMPARE(window->findChild<QWebEngineView *>()->page(), page);
}

void tst_MainWindow::configuration_data()
{
    QTest::addColumn<QByteArray>("ini");       // %PORT%: a free port
    QTest::addColumn<QByteArray>("header");    // sent with a GET
    QTest::addColumn<QString>("read");         // title, then the GET's status (0: not listening)
    QTest::addColumn<QStringList>("messages"); // W:, C:, I: or D: and a pattern, expected in order

    // clang-format off
    const auto row = [](const char *name, const QByteArray &ini, const char *header,
                        const char *read, const QStringList &messages = {}) {
        QTest::addRow("%s", name) << ini << QByteArray(header) << QString(read) << messages;
    };
    const QByteArray connect = "[CONNECT]\nPORT=%PORT%\n";
    const auto notPort = [](const char *text) {
        return QStringList{"D:^server is not started$",
                           QStringLiteral("C:^CONNECT/PORT \"%1\" is not a port").arg(text)};
    };
    const QString failClosed = "C:config.ini:3: CONNECT/TOKEN %1: every request is refused";
    row("the writer's quotes and escapes", connect + "TOKEN=\"a, \\\"b\\\"\\x41\"",
        "Bearer a, \"b\"A", " 200");
    row("a token that is no text", connect + "TOKEN=@Invalid()", "Bearer @Invalid()", " 401",
        {failClosed.arg("is not text")});
    row("an empty token", connect + "TOKEN= ", "", " 401", {failClosed.arg("is empty")});
    row("other keys, as written", connect + "[UIUX]\nTITLE=a,b;c # d \\x", "", "a,b;c # d \\x 200");
    row("port out of range", "[CONNECT]\nPORT=99999", "", " 0", notPort("99999"));
    row("port as text", "[CONNECT]\nPORT=abc", "", " 0", notPort("abc"));
    row("port 0: the one chosen", "[CONNECT]\nPORT=0", "", " 200",
        {"I:^listening on 127.0.0.1 port [1-9][0-9]*$"});
    row("unknown section and key", "[CONECT]\nHOST=x\n" + connect + "PROT=1\nx", "", " 200",
        {"W:config.ini:1: unknown section \\[CONECT\\] is ignored with its keys; the nearest "
         "known section is \\[CONNECT\\]$", "W:config.ini:5: unknown key CONNECT/PROT is "
         "ignored; the nearest known key is CONNECT/PORT$", "W:config.ini:6: is no key=value line"});
}

void tst_MainWindow::configuration()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, header);
    QFETCH(QString, read);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    AppDirectory::setPath(dir.path());
    QVERIFY(writeFile(dir.path() + "/config.ini",
                      ini.replace("%PORT%", QByteArray::number(freeLoopbackPort()))));
    const QtMsgType types[] = {QtWarningMsg, QtCriticalMsg, QtInfoMsg, QtDebugMsg};
    for (const QString &message : messages)
        QTest::ignoreMessage(types[QString("WCID").indexOf(message.at(0))],
                             QRegularExpression(message.mid(2)));
    MainWindow configured;
    AppDirectory::setPath(appDir.path());
    const quint16 listening = configured.server->findChild<QTcpServer *>()->serverPort(); // or 0
    const QByteArray auth = header.isEmpty() ? "" : "Authorization: " + header + "\r\n";
    const QByteArray response
            = RawHttpClient::exchange(listening, "GET / HTTP/1.1\r\n" + auth + "\r\n");
    QCOMPARE(configured.windowTitle() + ' ' + QString::number(response.mid(9, 3).toInt()), read);
}

void tst_MainWindow::wholeRequests_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    // without "Prefer: return=representation" when empty; a body is a further preference too
    QTest::addColumn<QByteArray>("answer");

    QByteArray big = QByteArray::fromHex("efbbbfefbbbf6100620100");
    while (big.size() < 300 * 1024)
        big += "line\n\ttab \\ back \"quote\" 'single' </script> \xe2\x80\xa8 \xc3\xa9 \xff\n";
    const auto error = [](const QByteArray &code, const QByteArray &message) {
        return "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + message + "\"\n}\n";
    };
    const auto row = [](const char *name, const char *path, const QByteArray &body, int status,
                        const QByteArray &answer = {}) {
        QTest::addRow("%s", name) << QByteArray(path) << body << status << answer;
    };
    // The first is sent while the page loads, and held for it.
    row("300 KB in one call, exact, a leading byte-order mark and NUL bytes kept", "/?q=%41", big,
        200);
    row("what a promise resolves to", "/promise", "abc", 200, "{\"n\":2}");
    row("a throw", "/throw", "", 500, error("PAGE_ERROR", "no such thing"));
    row("a rejection", "/reject", "", 500, error("PAGE_ERROR", "refused"));
    row("a wait that ends aborts the request's signal", "/hold", "wait=1", 504,
        error("TIMEOUT", "the page did not answer in time"));
    // last: the page is loaded anew
    row("the renderer ends while its caller waits", "/hold", "wait=30", 503,
        "{\n    \"error\": \"PAGE_RESTARTED\"\n}\n");
}

void tst_MainWindow::wholeRequests()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);

    RawHttpClient client;
    QVERIFY(client.connectToPort(port));
    client.send("POST " + path + " HTTP/1.1\r\n"
                + (answer.isEmpty() ? "" : "Prefer: return=representation, " + body + "\r\n")
                + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QTRY_VERIFY_WITH_TIMEOUT(evaluateJavaScriptSync(page, "window.calls.length > 0").toBool(),
                             30000);
    // as JSON text: the engine's own conversion of a string cuts it at a NUL
    const QJsonObject call = QJsonDocument::fromJson(
            evaluateJavaScriptSync(page, "JSON.stringify(calls.pop())").toString().toUtf8()).object();
    // every byte as sent, an invalid one as U+FFFD
    QCOMPARE(call.value("body").toString().toUtf8(),
             QByteArray(body).replace("\xff", "\xef\xbf\xbd"));
    QCOMPARE(call.value("headers").toObject().value("content-length").toString(),
             QString::number(body.size()));
    if (status == 503)
        QCOMPARE(::kill(pid_t(page->renderProcessPid()), SIGKILL), 0);
    // less than a caller's wait: one waiting on an ended page is answered at once
    const QByteArray response = client.readResponse(false, 20000);
    QCOMPARE(response.mid(9, 3).toInt(), status); // "HTTP/1.1 200 OK"
    QCOMPARE(RawHttpClient::bodyOf(response),
             answer.isEmpty() ? QByteArray("{\n    \"status\": \"OK\"\n}\n") : answer);
    if (status == 504)
        QTRY_VERIFY(evaluateJavaScriptSync(page, "calls.includes('aborted')").toBool());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

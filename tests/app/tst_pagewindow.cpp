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

QTEST_MAIN(tst_PageWindow)
#include "tst_pagewindow.moc"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs one HTTP exchange with exactly the bytes given; returns the whole reply.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write(request);
    QByteArray reply;
    // The reply documents are the only braced text in it; wait for the closing brace.
    while (!reply.contains("}\n") && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    return reply;
}

// Talks to the page over the DevTools protocol of Qt WebEngine's remote debugging.
class DevTools
{
public:
    explicit DevTools(quint16 port)
        : port(port)
    {}

    // Waits until a page shows url and its document has loaded; false on timeout.
    bool attach(const QString &urlEnd, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            const QString target = debuggerUrl(urlEnd);
            // The listing may already show the page's URL while the initial empty document
            // is still there; wait for the page's own document.
            const QString loaded = QStringLiteral("document.readyState === 'complete'"
                                                  " && location.href.endsWith('%1')"
                                                  " && typeof PEL_listener === 'function'")
                                           .arg(urlEnd);
            if (!target.isEmpty() && openSocket(target) && evaluate(loaded).toBool())
                return true;
            QTest::qSleep(200);
        }
        return false;
    }

    QJsonValue evaluate(const QString &expression)
    {
        QJsonObject params{{"expression", expression}, {"returnByValue", true}};
        QJsonObject message{{"id", ++lastId}, {"method", "Runtime.evaluate"}, {"params", params}};
        QJsonValue result;
        QEventLoop loop;
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
            const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
            if (answer.value("id").toInt() != lastId)
                return;
            result = answer.value("result").toObject().value("result").toObject().value("value");
            loop.quit();
        });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        socket.sendTextMessage(
                QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        loop.exec();
        return result;
    }

private:
    QString debuggerUrl(const QString &urlEnd)
    {
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/json").arg(port)));
        QNetworkReply *reply = manager.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!finished.wait(5000))
            return QString();
        const QJsonArray targets = QJsonDocument::fromJson(reply->readAll()).array();
        delete reply;
        for (const QJsonValue &target : targets) {
            const QJsonObject object = target.toObject();
            if (object.value("type").toString() == QLatin1String("page")
                && object.value("url").toString().endsWith(urlEnd))
                return object.value("webSocketDebuggerUrl").toString();
        }
        return QString();
    }

    bool openSocket(const QString &target)
    {
        if (socket.state() == QAbstractSocket::ConnectedState)
            return true;
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(QUrl(target));
        return connected.wait(5000);
    }

    quint16 port;
    QWebSocket socket;
    int lastId = 0;
};

} // namespace

// Runs the built program from an app directory of its own, sends it real requests and reads
// through remote debugging what its default page received.
class tst_Pelorin : public QObject
{
    Q_OBJECT

private slots:
    void requestsReachTheDefaultPage();
};

void tst_Pelorin::requestsReachTheDefaultPage()
{
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const QString binary = appDir.path() + "/pelorin";
    QVERIFY(QFile::copy(QStringLiteral(PELORIN_BINARY), binary));

    const quint16 port = freePort();
    const quint16 debugPort = freePort();
    QFile config(appDir.path() + "/config.ini");
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[CONNECT]\nHOST=127.0.0.1\nPORT=" + QByteArray::number(port)
                 + "\nURL=\nCRYPTO=\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=400\nBASESIZE_W=300\n");
    config.close();

    QProcess pelorin;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QTWEBENGINE_REMOTE_DEBUGGING", "127.0.0.1:" + QString::number(debugPort));
    pelorin.setProcessEnvironment(environment);
    pelorin.setWorkingDirectory(appDir.path());
    pelorin.setProcessChannelMode(QProcess::ForwardedChannels);
    pelorin.start(binary, QStringList());
    QVERIFY(pelorin.waitForStarted(10000));

    DevTools devTools(debugPort);
    QVERIFY2(devTools.attach(QStringLiteral("/assets/index.html"), 60000),
             "the default page did not show up in remote debugging");
    QCOMPARE(QFileInfo(appDir.path() + "/assets/index.html").size(), 127);

    // Record what the listener receives, then let it go on writing into the document.
    QCOMPARE(devTools.evaluate(QStringLiteral(
                     "window.calls = []; var shown = PEL_listener;"
                     "PEL_listener = function (arg) { calls.push(arg); shown(arg); }; 1")),
             QJsonValue(1));

    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    QVERIFY(exchange(port,
                     "POST / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 7\r\n\r\n{\"n\":1}")
                    .contains("\"status\": \"OK\""));
    QVERIFY(exchange(port, "GET /?a=1&b=2 HTTP/1.1\r\nHost: " + host + "\r\n\r\n")
                    .contains("\"status\": \"OK\""));
    const QByteArray injection = "');window.pwned=1;//";
    QVERIFY(exchange(port,
                     "POST / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: "
                             + QByteArray::number(injection.size()) + "\r\n\r\n" + injection)
                    .contains("\"status\": \"OK\""));

    const QString headers = "\"headers\": {    \"content-length\": \"%1\",    \"host\": \""
                            + QString::fromUtf8(host) + "\"}}";
    const QStringList expected{
            "{    \"body\": {\"n\":1},    " + headers.arg(7),
            "{    \"body\": \"a=1&b=2\",    \"headers\": {    \"host\": \""
                    + QString::fromUtf8(host) + "\"}}",
            "{    \"body\": \"');window.pwned=1;//\",    " + headers.arg(injection.size()),
    };
    QJsonValue calls;
    QTRY_COMPARE_WITH_TIMEOUT((calls = devTools.evaluate("calls")).toArray().size(), 3, 10000);
    QCOMPARE(calls.toVariant().toStringList(), expected);
    QCOMPARE(devTools.evaluate("typeof window.pwned").toString(), QStringLiteral("undefined"));
    QVERIFY(devTools.evaluate("document.documentElement.textContent")
                    .toString()
                    .contains(expected.last()));

    pelorin.terminate();
    QVERIFY(pelorin.waitForFinished(30000));
    QCOMPARE(pelorin.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pelorin.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_Pelorin)
#include "tst_pelorin.moc"

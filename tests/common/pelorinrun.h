#ifndef PELORINRUN_H
#define PELORINRUN_H

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include "processutil.h"
#include "rawhttpclient.h"

#include <memory>

#include <unistd.h>

// Evaluates expressions in a page of a running Pelorin over the DevTools protocol that
// QTWEBENGINE_REMOTE_DEBUGGING opens.
class PageInspector
{
public:
    explicit PageInspector(quint16 port)
        : port(port)
    {}

    // Waits, at most timeoutMs, for a page whose URL ends in urlEnd to finish loading and to
    // define PEL_listener or PEL_receive. urlEnd is put into a script string literal as it is: no quotes or
    // backslashes.
    bool attach(const QString &urlEnd, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            const QString target = debuggerUrl(urlEnd);
            // The target may still hold the blank document that comes before the page, and
            // that one is complete too: ask the document itself where it comes from.
            if (!target.isEmpty() && openSocket(target)
                && evaluate(QStringLiteral("document.readyState == 'complete'"
                                           " && location.href.endsWith('%1')"
                                           " && (typeof PEL_listener === 'function'"
                                           " || typeof PEL_receive === 'function')")
                                    .arg(urlEnd))
                           .toBool())
                return true;
            QTest::qWait(200);
        }
        return false;
    }

    // The expression's value, returned by value; undefined on an exception or after 10 s.
    QJsonValue evaluate(const QString &expression)
    {
        const int id = ++lastId;
        QJsonObject params{{"expression", expression}, {"returnByValue", true}};
        QJsonObject message{{"id", id}, {"method", "Runtime.evaluate"}, {"params", params}};
        QJsonValue result(QJsonValue::Undefined);
        QEventLoop loop;
        auto connection = QObject::connect(
                &socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
                    const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
                    if (answer.value("id").toInt() != id)
                        return;
                    const QJsonObject outcome = answer.value("result").toObject();
                    if (!outcome.contains("exceptionDetails"))
                        result = outcome.value("result").toObject().value("value");
                    loop.quit();
                });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        socket.sendTextMessage(
                QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        loop.exec();
        QObject::disconnect(connection);
        return result;
    }

private:
    QString debuggerUrl(const QString &urlEnd)
    {
        QNetworkAccessManager manager;
        QNetworkReply *reply = manager.get(
                QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json").arg(port))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        const bool done = finished.count() > 0 || finished.wait(5000);
        const QJsonArray targets = done ? QJsonDocument::fromJson(reply->readAll()).array()
                                        : QJsonArray();
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

// The built pelorin binary copied into an app directory of its own, with its own ports,
// optionally a page of our choice as assets/index.html and a companion command.
class PelorinRun
{
public:
    // pagePath: file copied to assets/index.html; empty keeps the page Pelorin writes itself.
    // companion: CONNECT/CRYPTO, may hold %PORT%. Starts the process without waiting for it.
    bool launch(const QString &pagePath = QString(), const QString &companion = QString())
    {
        if (!appDir.isValid())
            return false;
        const QString binary = appDir.path() + QStringLiteral("/pelorin");
        if (!QFile::copy(QStringLiteral(PELORIN_BINARY), binary))
            return false;
        if (!pagePath.isEmpty()
            && (!QDir(appDir.path()).mkdir(QStringLiteral("assets"))
                || !QFile::copy(pagePath, appDir.path() + QStringLiteral("/assets/index.html"))))
            return false;

        port = freeLoopbackPort();
        const quint16 debugPort = freeLoopbackPort();
        // Written as an INI string literal, so that the quotes in the command line survive.
        QString crypto = companion;
        crypto.replace(QStringLiteral("%PORT%"), QString::number(port))
                .replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                .replace(QLatin1Char('"'), QLatin1String("\\\""));
        crypto = QLatin1Char('"') + crypto + QLatin1Char('"');
        QFile config(appDir.path() + QStringLiteral("/config.ini"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("[CONNECT]\nHOST=127.0.0.1\nPORT=" + QByteArray::number(port)
                     + "\nURL=\nCRYPTO=" + crypto.toUtf8()
                     + "\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=500\n");
        config.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING"),
                           QStringLiteral("127.0.0.1:%1").arg(debugPort));
        if (::getuid() == 0) // Chromium's sandbox refuses to run as root.
            environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(appDir.path());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(binary, QStringList());
        if (!process.waitForStarted(10000))
            return false;
        inspector.reset(new PageInspector(debugPort));
        return true;
    }

    // launch(), then waits for the page's own document to be loaded.
    bool start(const QString &pagePath = QString(), const QString &companion = QString())
    {
        return launch(pagePath, companion)
               && inspector->attach(QStringLiteral("/assets/index.html"), 60000);
    }

    // Sends request's exact bytes to Pelorin's HTTP port; the whole response, or empty.
    QByteArray exchange(const QByteArray &request)
    {
        RawHttpClient client;
        if (!client.connectToPort(port))
            return QByteArray();
        client.send(request);
        return client.readResponse();
    }

    // Sends SIGTERM and waits for the end; true when Pelorin exited normally with status 0.
    bool terminate()
    {
        if (process.state() == QProcess::NotRunning)
            return false;
        process.terminate();
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
               && process.exitCode() == 0;
    }

    QJsonValue evaluate(const QString &expression) { return inspector->evaluate(expression); }

    ~PelorinRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    QTemporaryDir appDir;
    QProcess process;
    quint16 port = 0;
    std::unique_ptr<PageInspector> inspector;
};

#endif // PELORINRUN_H

#ifndef PELORINRUN_H
#define PELORINRUN_H

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>

#include "processutil.h"
#include "rawhttpclient.h"

#include <memory>

#include <unistd.h>

// Evaluates expressions in the page of a running Pelorin over the DevTools protocol that
// QTWEBENGINE_REMOTE_DEBUGGING opens.
class PageInspector
{
public:
    explicit PageInspector(quint16 port)
        : port(port)
    {}

    // Waits at most timeoutMs for the page whose URL ends in urlEnd (no quotes or backslashes)
    // to finish loading and define PEL_listener.
    bool attach(const QString &urlEnd, int timeoutMs)
    {
        // The target may still show the blank document that comes before the page.
        const QString ready = QStringLiteral("document.readyState == 'complete' && "
                                             "location.href.endsWith('%1') && "
                                             "typeof PEL_listener === 'function'")
                                      .arg(urlEnd);
        for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired(); QTest::qWait(200)) {
            if (openSocket(urlEnd) && evaluate(ready).toBool())
                return true;
        }
        return false;
    }

    // The expression's value; undefined on an exception or after 10 s.
    QJsonValue evaluate(const QString &expression)
    {
        const QJsonObject params{{"expression", expression}, {"returnByValue", true}};
        const QJsonObject message{{"id", ++lastId}, {"method", "Runtime.evaluate"}, {"params", params}};
        QJsonValue result(QJsonValue::Undefined);
        QSignalSpy answers(&socket, &QWebSocket::textMessageReceived);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
        for (int seen = 0; answers.size() > seen || answers.wait(10000); ++seen) {
            const QJsonObject answer =
                    QJsonDocument::fromJson(answers.at(seen).first().toString().toUtf8()).object();
            if (answer.value("id").toInt() != lastId)
                continue;
            const QJsonObject outcome = answer.value("result").toObject();
            if (!outcome.contains("exceptionDetails"))
                result = outcome.value("result").toObject().value("value");
            break;
        }
        return result;
    }

private:
    bool openSocket(const QString &urlEnd)
    {
        if (socket.state() == QAbstractSocket::ConnectedState)
            return true;
        RawHttpClient client;
        if (!client.connectToPort(port))
            return false;
        // The target's address is made of the Host header.
        client.send("GET /json HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                    + "\r\n\r\n");
        const QJsonArray targets =
                QJsonDocument::fromJson(RawHttpClient::bodyOf(client.readResponse())).array();
        for (const QJsonValue &target : targets) {
            const QJsonObject object = target.toObject();
            if (object.value("type") == "page" && object.value("url").toString().endsWith(urlEnd)) {
                QSignalSpy connected(&socket, &QWebSocket::connected);
                socket.open(QUrl(object.value("webSocketDebuggerUrl").toString()));
                return connected.wait(5000);
            }
        }
        return false;
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
    // pagePath: copied to assets/index.html; empty keeps the page Pelorin writes itself.
    // companion: CONNECT/CRYPTO, where %PORT% stands for Pelorin's port. Does not wait for the
    // page.
    bool launch(const QString &pagePath = QString(), const QString &companion = QString())
    {
        const QString dir = appDir.path();
        if (!appDir.isValid() || !QFile::copy(QStringLiteral(PELORIN_BINARY), dir + "/pelorin")
            || (!pagePath.isEmpty()
                && !(QDir(dir).mkdir("assets")
                     && QFile::copy(pagePath, dir + "/assets/index.html"))))
            return false;
        port = freeLoopbackPort();
        const quint16 debugPort = freeLoopbackPort();
        // Written as an INI string literal, so that the quotes in the command line survive.
        QString crypto = companion;
        crypto.replace("%PORT%", QString::number(port)).replace("\\", "\\\\").replace("\"", "\\\"");
        QFile config(dir + "/config.ini");
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("[CONNECT]\nHOST=127.0.0.1\nPORT=" + QByteArray::number(port) + "\nCRYPTO=\""
                     + crypto.toUtf8() + "\"\n[UIUX]\nTITLE=Pelorin\nBASESIZE_H=600\nBASESIZE_W=500\n");
        config.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QTWEBENGINE_REMOTE_DEBUGGING", "127.0.0.1:" + QString::number(debugPort));
        if (::getuid() == 0) // Chromium's sandbox refuses to run as root.
            environment.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(dir + "/pelorin", QStringList());
        inspector.reset(new PageInspector(debugPort));
        return process.waitForStarted(10000);
    }

    // launch(), then waits for the page's own document.
    bool start(const QString &pagePath = QString(), const QString &companion = QString())
    {
        return launch(pagePath, companion) && inspector->attach("/assets/index.html", 60000);
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

    // Sends SIGTERM; whether Pelorin then exited normally with status 0.
    bool terminate()
    {
        process.terminate();
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
               && process.exitCode() == 0;
    }

    QJsonValue evaluate(const QString &expression) { return inspector->evaluate(expression); }

    ~PelorinRun()
    {
        process.kill();
        process.waitForFinished(10000);
    }

    QTemporaryDir appDir;
    QProcess process;
    quint16 port = 0;
    std::unique_ptr<PageInspector> inspector;
};

#endif // PELORINRUN_H

#ifndef DEVTOOLSPAGE_H
#define DEVTOOLSPAGE_H

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebSocket>

#include "rawhttpclient.h"

// A page read over the DevTools protocol on debugPort: Pelorin's or a browser's.
class DevToolsPage
{
public:
    // The expression's value in the page; undefined when it throws an Error, or after 10 s.
    QJsonValue evaluate(const QString &expression)
    {
        const QJsonObject params{{"expression", expression}, {"returnByValue", true}};
        return call("Runtime.evaluate", params)["result"]["value"];
    }

    // The result of a DevTools method; undefined when none came within 10 s.
    QJsonValue call(const QString &method, const QJsonObject &params = {})
    {
        const QJsonObject message{{"id", ++lastId}, {"method", method}, {"params", params}};
        QSignalSpy answers(&debugger, &QWebSocket::textMessageReceived);
        debugger.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
        for (int seen = 0; answers.size() > seen || answers.wait(10000); ++seen) {
            const QJsonObject answer
                    = QJsonDocument::fromJson(answers.at(seen).first().toString().toUtf8()).object();
            if (answer["id"] == lastId)
                return answer["result"];
        }
        return QJsonValue(QJsonValue::Undefined);
    }

    bool openDebugger()
    {
        if (debugger.state() == QAbstractSocket::ConnectedState)
            return true;
        // The target's address is made of the Host header.
        const QByteArray targets = RawHttpClient::bodyOf(
                RawHttpClient::exchange(debugPort,
                                        "GET /json HTTP/1.1\r\nHost: 127.0.0.1:"
                                                + QByteArray::number(debugPort) + "\r\n\r\n"));
        for (const QJsonValue target : QJsonDocument::fromJson(targets).array()) {
            if (target["type"] == "page") {
                QSignalSpy connected(&debugger, &QWebSocket::connected);
                debugger.open(QUrl(target["webSocketDebuggerUrl"].toString()));
                return connected.wait(5000);
            }
        }
        return false;
    }

    quint16 debugPort = 0;

private:
    QWebSocket debugger;
    int lastId = 0;
};

#endif // DEVTOOLSPAGE_H

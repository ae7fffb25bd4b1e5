#ifndef PELHTTPSERVER_H
#define PELHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

class QHttpServer;
class QHttpRequest;
class QHttpResponse;

// The HTTP end of the bridge: answers every request with a small JSON document and hands the
// data and headers of each GET or POST to whoever listens to dataProcessed. It has no parent
// and owns its listener through parenting. With a token set, a request without the matching
// "Authorization: Bearer <token>" is answered 401 and goes no further.
class PelHttpServer : public QObject
{
    Q_OBJECT

public:
    PelHttpServer(QString host, QString port);

    // An empty token lets every request through.
    void setToken(const QString &token);

signals:
    void dataProcessed(QByteArray body, QByteArray headers);

private slots:
    void createHttpServer();
    void handleRequest(QHttpRequest *req, QHttpResponse *resp);
    void processRequest();
    void processRequestData(const QByteArray &requestData);
    void sendResponse();
    QByteArray toJSON(QMap<QString, QString> data);

private:
    QString port;
    QString host;
    QHttpServer *httpServer = nullptr;
    QHttpRequest *request = nullptr;
    QHttpResponse *response = nullptr;
    QByteArray responseBody;
    QByteArray requestData;

    // What one request needs until it is answered. Bodies of requests on different connections
    // may interleave, so every slot works on the record of the request that signalled, and the
    // current pair above is only the most recently started request.
    struct Exchange
    {
        QHttpRequest *request = nullptr;
        QPointer<QHttpResponse> response;
        QByteArray responseBody;
        QByteArray requestData;
        QByteArray headers; // the headers document, made on first use
    };

    // Answers with status, the fixed headers and body.
    void reply(QHttpResponse *resp, int status, const QByteArray &body);
    // Answers with status and a small JSON document {"error": code}.
    void replyError(QHttpResponse *resp, int status, const QString &code);
    Exchange *exchangeOf(QObject *source);
    void emitData(Exchange &exchange, const QByteArray &data);
    void forgetRequest(QObject *req);

    // Keyed by the request as a plain QObject, so a request can still be found from destroyed().
    QHash<QObject *, Exchange> exchanges;
    QByteArray token;
};

#endif // PELHTTPSERVER_H

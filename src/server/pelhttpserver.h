#ifndef PELHTTPSERVER_H
#define PELHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "pagerequest.h"

class EventStream;
class QHttpServer;
class QHttpRequest;
class QHttpResponse;

// The HTTP end of the bridge: answers every request with a small JSON document and hands the
// data and headers of each GET or POST to whoever listens to dataProcessed. It has no parent
// and owns its listener through parenting. With a token set, a request without the matching
// "Authorization: Bearer <token>" is answered 401 and goes no further.
//
// Besides the data of each request, it hands on every GET or POST whole, at its end, through
// requestReceived. A caller that sends "Prefer: return=representation" gets the page's answer
// (answerRequest, refuseRequest) instead of the fixed document, or 504 after its wait. A GET of
// /events that accepts text/event-stream subscribes to the page's events (publishEvent). Both
// carry what the page holds, so requests from a web page in a browser are refused 403 there.
//
// Before anything else, a request whose Host names another machine is refused 403: a web
// page whose name has been pointed at 127.0.0.1 would otherwise be a same-origin caller.
class PelHttpServer : public QObject
{
    Q_OBJECT

public:
    PelHttpServer(QString host, QString port);

    // An empty token lets every request through.
    void setToken(const QString &token);
    // A token was configured but cannot be used: no request gets through.
    void setTokenUnusable();

    // Whether the page handles whole requests (PEL_receive): bodies above maxWholeBody are
    // then refused 413. Unknown while the page loads.
    enum class PageMode { Unknown, Listener, Receiver };
    void setPageMode(PageMode mode);
    static constexpr int maxWholeBody = 16 * 1024 * 1024;
    static constexpr qint64 maxWholeBodiesInFlight = 256 * 1024 * 1024;

    // The page's answer to request id: json is sent as it is, or status with an error
    // document {"error": code, "message": message}. Later answers to the same id are ignored.
    void answerRequest(quint64 id, const QByteArray &json);
    void refuseRequest(quint64 id, int status, const QString &code, const QString &message);

    // json: one JSON text without line breaks.
    void publishEvent(const QByteArray &json);

signals:
    void dataProcessed(QByteArray body, QByteArray headers);
    void requestReceived(const PageRequest &request);

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
        quint64 id = 0;
        QByteArray wholeBody; // up to maxWholeBody
        bool tooLarge = false;
        bool wantsAnswer = false;
        int waitSeconds = 0;
    };

    // Answers with status, the fixed headers and body. An answer meant for its caller only
    // (the page's answer, and errors about it) allows no other origin.
    enum class Audience { Anyone, CallerOnly };
    void reply(QHttpResponse *resp,
               int status,
               const QByteArray &body,
               Audience audience = Audience::Anyone);
    // Answers with status and a small JSON document {"error": code}, and a message if given.
    void replyError(QHttpResponse *resp,
                    int status,
                    const QString &code,
                    const QString &message = QString(),
                    Audience audience = Audience::Anyone);
    bool handleTwoWay(QHttpRequest *req, QHttpResponse *resp);
    void awaitAnswer(const Exchange &exchange);
    PageRequest pageRequestOf(const Exchange &exchange) const;
    QHash<QString, QString> visibleHeaders(const QHttpRequest *req) const;
    Exchange *exchangeOf(QObject *source);
    void emitData(Exchange &exchange, const QByteArray &data);
    void forgetRequest(QObject *req);

    // Keyed by the request as a plain QObject, so a request can still be found from destroyed().
    QHash<QObject *, Exchange> exchanges;
    QByteArray token;
    bool tokenUsable = true;
    // Names a Host header may give besides literals and localhost: the configured host and
    // this machine's name.
    QStringList ownHostNames;
    PageMode pageMode = PageMode::Unknown;
    quint64 lastRequestId = 0;
    qint64 wholeBodyBytes = 0; // of all requests being received
    // Callers waiting for the page's answer, by request id.
    QHash<quint64, QPointer<QHttpResponse>> awaiting;
    EventStream *events = nullptr;
};

#endif // PELHTTPSERVER_H

#ifndef PELHTTPSERVER_H
#define PELHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include "pagerequest.h"

class EventStream;
class Exchange;
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
//
// The server only routes: each GET or POST gets an Exchange, which carries it to its answer.
class PelHttpServer : public QObject
{
    Q_OBJECT

public:
    PelHttpServer(QString host, QString port);

    // An empty token lets every request through.
    void setToken(const QString &token) { this->token = token.toUtf8(); }
    // A token was configured but cannot be used: no request gets through.
    void setTokenUnusable() { tokenUsable = false; }

    // Where the server listens, or tried to (port 0 for a port text that is not a number); why
    // it does not listen (empty while it does).
    QString listenHost() const { return host; }
    quint16 listenPort() const;
    QString listenError() const { return notListening; }

    // Which handler the page defines: PEL_listener or PEL_receive, unknown while it loads.
    // Whoever holds the page knows; the server asks source for every request (Unknown without).
    enum class PageMode { Unknown, Listener, Receiver };
    void setPageModeSource(std::function<PageMode()> source) { pageModeSource = std::move(source); }
    PageMode pageMode() const { return pageModeSource ? pageModeSource() : PageMode::Unknown; }
    static constexpr int maxWholeBody = 16 * 1024 * 1024;
    static constexpr qint64 maxWholeBodiesInFlight = 256 * 1024 * 1024;
    // Callers that may wait for the page's answer at once; more are refused 503 BUSY.
    static constexpr int maxWaitingCallers = 256;

    // Why a page in mode cannot take request: 501 for a caller that waits for an answer from a
    // page without PEL_receive, 413 for a body above maxWholeBody when it has one.
    struct Refusal
    {
        int status;
        QString code;
        QString message;
    };
    static std::optional<Refusal> refusalFor(PageMode mode, const PageRequest &request);

    // The page's answer to request id: json is sent as it is, or status with an error
    // document {"error": code, "message": message}. Later answers to the same id are ignored.
    void answerRequest(quint64 id, const QByteArray &json);
    void refuseRequest(quint64 id, int status, const QString &code, const QString &message);

    // json: one JSON text without line breaks.
    void publishEvent(const QByteArray &json);

    // Asked whether there is room before a GET or POST is accepted, and again before a whole
    // body kept for PEL_receive is handed on, saying whether the request comes from a web page
    // (fromWebPage), what the server holds on callers' behalf (heldHere: whole bodies being
    // received and output not yet sent) and what is held for the request's connection
    // (PageRequest::connectionHeld): without room the request is answered 503 BUSY and goes no
    // further, so nothing accepted is ever dropped. Unset, there is always room.
    using RoomCheck = std::function<bool(bool fromWebPage, qint64 heldHere, qint64 connectionHeld)>;
    void setPageRoom(RoomCheck hasRoom) { pageRoom = std::move(hasRoom); }

    // While dataProcessed is emitted: the request whose data it is (its body unfinished), for
    // whoever keeps the data to count it against the request's connection. Null at other times.
    const PageRequest *requestOfData() const { return dataRequest; }

signals:
    void dataProcessed(QByteArray body, QByteArray headers);
    void requestReceived(const PageRequest &request);
    // The caller of request id stopped waiting for the page's answer: it went away, or its wait
    // ended.
    void requestAbandoned(quint64 id);

private slots:
    void createHttpServer();
    void handleRequest(QHttpRequest *req, QHttpResponse *resp);

private:
    PageRequest pageRequestOf(const QHttpRequest *req);
    bool pageHasRoom(const PageRequest &page) const;

    // Each keeps its own entry and its part of the bytes in flight, and emits the signals.
    friend class Exchange;

    QString port;
    QString host;
    QString notListening;
    QHttpServer *httpServer = nullptr;
    QByteArray token;
    bool tokenUsable = true;
    // Names a Host header may give besides literals and localhost: the configured host and
    // this machine's name.
    QStringList ownHostNames;
    std::function<PageMode()> pageModeSource;
    quint64 lastRequestId = 0;
    qint64 wholeBodyBytes = 0; // of all requests being received
    // GET and POST requests until they have been answered, by id.
    QHash<quint64, Exchange *> exchanges;
    EventStream *events = nullptr;
    RoomCheck pageRoom;
    // by connection, while it is open
    QHash<const QObject *, std::shared_ptr<qint64>> heldByConnection;
    const PageRequest *dataRequest = nullptr;
    int waitingCallers = 0; // requests whose callers wait for the page's answer, not yet answered
};

#endif // PELHTTPSERVER_H

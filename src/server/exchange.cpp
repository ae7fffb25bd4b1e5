#include "exchange.h"

#include "pelhttpserver.h"
#include "pelhttpserver_p.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QScopedValueRollback>
#include <QTimerEvent>

Exchange::Exchange(PelHttpServer *server,
                   QHttpRequest *request,
                   QHttpResponse *response,
                   const PageRequest &page,
                   int waitSeconds)
    : QObject(request)
    , server(server)
    , request(request)
    , response(response)
    , page(page)
    , waitSeconds(waitSeconds)
{
    // a body sent with a GET is ignored
    if (page.method == "POST")
        connect(request, &QHttpRequest::data, this, &Exchange::receive);
    connect(request, &QHttpRequest::end, this, &Exchange::finish);
    if (page.wantsAnswer)
        ++server->waitingCallers;
}

Exchange::~Exchange()
{
    if (!server)
        return;
    if (stage == Stage::Receiving)
        server->wholeBodyBytes -= page.body.size();
    server->exchanges.remove(page.id);
    if (page.wantsAnswer && stage != Stage::Answered) {
        --server->waitingCallers;
        // the caller went away while waiting
        if (stage == Stage::Received)
            emit server->requestAbandoned(page.id);
    }
}

void Exchange::receive(const QByteArray &chunk)
{
    bodyBytes += chunk.size();
    // Whole bodies are kept for a page that may take them, within a bound per request and one
    // for all requests being received at once.
    if (!page.tooLarge && server->pageMode() != PelHttpServer::PageMode::Listener) {
        page.tooLarge = page.body.size() + qint64(chunk.size()) > PelHttpServer::maxWholeBody
                        || server->wholeBodyBytes + chunk.size()
                                   > PelHttpServer::maxWholeBodiesInFlight;
        if (page.tooLarge) {
            server->wholeBodyBytes -= page.body.size();
            page.body = QByteArray();
        } else {
            server->wholeBodyBytes += chunk.size();
            page.body += chunk;
        }
    }
    emitData(chunk);
}

void Exchange::finish()
{
    // no data seen: the query stands for it (every GET, a POST without a body)
    if (!dataSeen)
        emitData(request->url().query().toUtf8());
    server->wholeBodyBytes -= page.body.size();
    stage = Stage::Received;
    const auto refusal = PelHttpServer::refusalFor(server->pageMode(), page);
    if (refusal) {
        refuse(refusal->status, refusal->code, refusal->message);
        // a body too large for the page is not handed on
        if (refusal->status == 413)
            return;
    } else if (server->pageMode() == PelHttpServer::PageMode::Receiver
               && !server->pageHasRoom(page)) {
        // nothing of a whole request has reached the page yet: it can still be turned away
        response->setHeader(QStringLiteral("Retry-After"), QStringLiteral("1"));
        refuse(503, QStringLiteral("BUSY"), QString());
        return;
    } else if (!page.wantsAnswer) {
        reply(200, statusDocument());
    } else {
        answerTimer.start(waitSeconds * 1000, this);
    }
    emit server->requestReceived(page);
    page.body = QByteArray();
}

void Exchange::answer(const QByteArray &json)
{
    if (stage == Stage::Received)
        response->setHeader(QStringLiteral("Preference-Applied"),
                            QStringLiteral("return=representation"));
    reply(200, json);
}

void Exchange::refuse(int status, const QString &code, const QString &message)
{
    reply(status, errorDocument(code, message));
}

void Exchange::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == answerTimer.timerId()) {
        refuse(504, QStringLiteral("TIMEOUT"), QStringLiteral("the page did not answer in time"));
        emit server->requestAbandoned(page.id);
    } else
        QObject::timerEvent(event);
}

void Exchange::emitData(const QByteArray &data)
{
    dataSeen = true;
    // a page that takes whole requests has no use for the pieces
    if (server->pageMode() == PelHttpServer::PageMode::Receiver)
        return;
    // the headers stay the same for every piece of a request's body
    if (headers.isEmpty())
        headers = headersDocument(page.headers);
    const QScopedValueRollback<const PageRequest *> handingOn(server->dataRequest, &page);
    emit server->dataProcessed(data, headers);
}

void Exchange::reply(int status, const QByteArray &body)
{
    if (stage != Stage::Received)
        return;
    stage = Stage::Answered;
    answerTimer.stop();
    if (page.wantsAnswer)
        --server->waitingCallers;
    logRequest(request, page.id, "answered " + QByteArray::number(status), bodyBytes);
    // an answer meant for its caller only (the page's, and errors about it) allows no other origin
    sendReply(response, status, body, page.wantsAnswer ? Audience::CallerOnly : Audience::Anyone);
}

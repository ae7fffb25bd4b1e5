#include "pelhttpserver.h"
#include "pelhttpserver_p.h"

#include <QAbstractSocket>
#include <QDebug>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaMethod>
#include <QNetworkInterface>
#include <QStringList>

#include <algorithm>

#include "eventstream.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "qhttpserver.h"

#include <QTimer>

namespace {

// http-parser's method codes
constexpr int MethodGet = 1;
constexpr int MethodPost = 3;

// The reply documents never change; build them once.
const QByteArray &statusDocument()
{
    static const QByteArray document = jsonDocument(
            {{QStringLiteral("status"), QStringLiteral("OK")}});
    return document;
}

const QByteArray &errorDocument()
{
    static const QByteArray document = jsonDocument(
            {{QStringLiteral("error"), QStringLiteral("UNUSED_HTTP_METHOD")}});
    return document;
}

// The request's signals and the slots they drive, found by their signatures once rather than
// by parsing the same signature strings for every request.
struct RequestSlots
{
    QMetaMethod data;
    QMetaMethod end;
    QMetaMethod processRequestData;
    QMetaMethod sendResponse;
};

QMetaMethod methodBySignature(const QMetaObject &type, const char *signature)
{
    const int index = type.indexOfMethod(signature);
    Q_ASSERT_X(index >= 0, "PelHttpServer", signature);
    return type.method(index);
}

const RequestSlots &requestSlots()
{
    static const RequestSlots found{methodBySignature(QHttpRequest::staticMetaObject,
                                                      "data(QByteArray)"),
                                    methodBySignature(QHttpRequest::staticMetaObject, "end()"),
                                    methodBySignature(PelHttpServer::staticMetaObject,
                                                      "processRequestData(QByteArray)"),
                                    methodBySignature(PelHttpServer::staticMetaObject,
                                                      "sendResponse()")};
    return found;
}

} // namespace

QString lastNonLoopbackIPv4(const QList<QHostAddress> &addresses)
{
    const QHostAddress localHost(QHostAddress::LocalHost);
    QString detected;
    // the last qualifying address wins, so walk the whole list
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address != localHost)
            detected = address.toString();
    }
    return detected;
}

QString chooseListenHost(const QString &given, const QList<QHostAddress> &addresses)
{
    const QString loopback = QStringLiteral("127.0.0.1");
    if (given.isEmpty() || given == loopback)
        return loopback;
    const QString detected = lastNonLoopbackIPv4(addresses);
    if (given == detected)
        return given;
    return detected;
}

QString portTextOrDefault(const QString &given)
{
    return given.isEmpty() ? QStringLiteral("9977") : given;
}

int portFromText(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return -1;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    }
    const int number = text.toInt();
    return number <= 65535 ? number : -1;
}

QByteArray jsonDocument(const QMap<QString, QString> &data)
{
    QJsonObject object;
    for (auto it = data.cbegin(); it != data.cend(); ++it)
        object.insert(it.key(), QJsonValue(it.value()));
    return QJsonDocument(object).toJson();
}

namespace {

// Appends text as a JSON string the way QJsonDocument writes it: UTF-8, with quotation mark,
// backslash and control characters escaped (lower-case hex for the \u form). The text comes
// from decoded UTF-8, so it holds no lone surrogates.
void appendJsonString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && c != '"' && c != '\\') {
            out += c;
            continue;
        }
        out += '\\';
        switch (c) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '\b':
            out += 'b';
            break;
        case '\f':
            out += 'f';
            break;
        case '\n':
            out += 'n';
            break;
        case '\r':
            out += 'r';
            break;
        case '\t':
            out += 't';
            break;
        default:
            out += "u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        }
    }
    out += '"';
}

} // namespace

bool bearerTokenMatches(const QString &authorization, const QByteArray &token)
{
    const QByteArray given = authorization.toUtf8();
    const QByteArray expected = "bearer " + token;
    unsigned difference = unsigned(given.size() ^ expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        uchar byte = i < given.size() ? uchar(given.at(i)) : 0;
        if (i < 6 && byte >= 'A' && byte <= 'Z')
            byte += 'a' - 'A';
        difference |= byte ^ uchar(expected.at(i));
    }
    return difference == 0;
}

AnswerPreference answerPreference(const QString &prefer)
{
    AnswerPreference preference;
    // "return=representation, wait=300": preferences apart by commas, parameters after ';'
    const QStringList tokens = prefer.split(QLatin1Char(','));
    for (const QString &token : tokens) {
        const QString nameValue = token.section(QLatin1Char(';'), 0, 0);
        const QString name = nameValue.section(QLatin1Char('='), 0, 0).trimmed();
        QString value = nameValue.section(QLatin1Char('='), 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"'))
            && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        if (name.compare(QLatin1String("return"), Qt::CaseInsensitive) == 0) {
            preference.wanted = value.compare(QLatin1String("representation"), Qt::CaseInsensitive)
                                == 0;
        } else if (name.compare(QLatin1String("wait"), Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qlonglong seconds = value.toLongLong(&ok);
            if (ok && seconds >= 0)
                preference.waitSeconds = int(qMin<qlonglong>(seconds, 24 * 60 * 60));
        }
    }
    return preference;
}

bool fromWebPage(const QHash<QString, QString> &headers)
{
    const auto site = headers.constFind(QStringLiteral("sec-fetch-site"));
    return headers.contains(QStringLiteral("origin"))
           || (site != headers.constEnd() && *site != QLatin1String("none"));
}

QPair<QByteArray, QByteArray> splitTarget(const QByteArray &target)
{
    const int mark = target.indexOf('?');
    if (mark < 0)
        return {target, QByteArray()};
    return {target.left(mark), target.mid(mark + 1)};
}

bool hostAllowed(const QString &host, const QStringList &ownNames)
{
    if (host.isEmpty())
        return true;
    // host, then an optional port of digits only
    const bool bracketed = host.startsWith(QLatin1Char('['));
    const int nameEnd = bracketed ? host.indexOf(QLatin1Char(']')) + 1
                                  : host.lastIndexOf(QLatin1Char(':'));
    if (bracketed && nameEnd == 0)
        return false;
    const QString name = nameEnd < 0 ? host : host.left(nameEnd);
    const QString port = nameEnd < 0 ? QString() : host.mid(nameEnd);
    if (!port.isEmpty()) {
        if (port.at(0) != QLatin1Char(':'))
            return false;
        for (int i = 1; i < port.size(); ++i) {
            if (port.at(i) < QLatin1Char('0') || port.at(i) > QLatin1Char('9'))
                return false;
        }
    }
    QHostAddress literal;
    if (bracketed)
        return literal.setAddress(name.mid(1, name.size() - 2))
               && literal.protocol() == QAbstractSocket::IPv6Protocol;
    // only the form a browser writes, so that no name passes as a number
    if (literal.setAddress(name) && literal.protocol() == QAbstractSocket::IPv4Protocol
        && literal.toString() == name)
        return true;
    // names compare without case and without the root's trailing dot
    const auto plain = [](const QString &text) {
        return text.endsWith(QLatin1Char('.')) ? text.chopped(1).toLower() : text.toLower();
    };
    const QString given = plain(name);
    if (given == QLatin1String("localhost") || given.endsWith(QLatin1String(".localhost")))
        return true;
    for (const QString &own : ownNames) {
        if (!own.isEmpty() && plain(own) == given)
            return true;
    }
    return false;
}

QByteArray headersDocument(const QHash<QString, QString> &headers)
{
    // Written directly rather than through QJsonDocument, which costs more than the rest of
    // a request's handling; the bytes are the same as toJSON gives for the sorted map.
    QStringList names = headers.keys();
    std::sort(names.begin(), names.end());
    QByteArray out;
    out.reserve(64 * (names.size() + 1));
    out += "{\n";
    for (int i = 0; i < names.size(); ++i) {
        out += "    ";
        appendJsonString(out, names.at(i));
        out += ": ";
        appendJsonString(out, headers.value(names.at(i)));
        out += i + 1 < names.size() ? ",\n" : "\n";
    }
    out += "}\n";
    return out;
}

PelHttpServer::PelHttpServer(QString host, QString port)
    : QObject(nullptr)
    , events(new EventStream(this))
{
    qRegisterMetaType<PageRequest>();
    ownHostNames = QStringList{host, QHostInfo::localHostName()};
    this->host = chooseListenHost(host, QNetworkInterface::allAddresses());
    this->port = portTextOrDefault(port);
    createHttpServer();
}

void PelHttpServer::createHttpServer()
{
    httpServer = new QHttpServer(this);
    // clang-format off
    connect(httpServer, SIGNAL(newRequest(QHttpRequest*,QHttpResponse*)),
            this, SLOT(handleRequest(QHttpRequest*,QHttpResponse*)));
    // clang-format on
    const int number = portFromText(port);
    if (number < 0) {
        qDebug() << "server is not started";
        qCritical("CONNECT/PORT \"%s\" is not a port (a whole number from 0 to 65535); the "
                  "server does not listen",
                  qPrintable(port));
        return;
    }
    if (httpServer->listen(QHostAddress(host), quint16(number))) {
        qDebug() << "server is started on " << host << ":" << port;
        qInfo("listening on %s port %d",
              qPrintable(httpServer->serverAddress().toString()),
              int(httpServer->serverPort()));
        // an empty host is the null address, which listens on every address
        if (host != QLatin1String("127.0.0.1"))
            qWarning("the server listens on %s, which is reachable from the network; "
                     "CONNECT/HOST=127.0.0.1 keeps it on this machine",
                     host.isEmpty() ? "0.0.0.0" : qPrintable(host));
    } else {
        qDebug() << "server is not started";
        qWarning("cannot listen on %s port %d: %s",
                 qPrintable(host),
                 number,
                 qPrintable(httpServer->errorString()));
    }
}

void PelHttpServer::setToken(const QString &token)
{
    this->token = token.toUtf8();
}

void PelHttpServer::setTokenUnusable()
{
    tokenUsable = false;
}

void PelHttpServer::handleRequest(QHttpRequest *req, QHttpResponse *resp)
{
    if (!hostAllowed(req->headers().value(QStringLiteral("host")), ownHostNames)) {
        replyError(resp, 403, QStringLiteral("FORBIDDEN_HOST"), QString(), Audience::CallerOnly);
        return;
    }
    if (!tokenUsable
        || (!token.isEmpty()
            && !bearerTokenMatches(req->headers().value(QStringLiteral("authorization")), token))) {
        resp->setHeader(QStringLiteral("WWW-Authenticate"), QStringLiteral("Bearer"));
        // answered at once; the layer reads past whatever body follows
        replyError(resp, 401, QStringLiteral("UNAUTHORIZED"));
        return;
    }
    if (handleTwoWay(req, resp))
        return;
    request = req;
    response = resp;
    processRequest();
}

void PelHttpServer::processRequest()
{
    responseBody.clear();
    requestData.clear();

    const RequestSlots &wiring = requestSlots();
    const int method = request->method();
    if (method == MethodPost) {
        responseBody = statusDocument();
        connect(request, wiring.data, this, wiring.processRequestData);
        connect(request, wiring.end, this, wiring.sendResponse);
    } else if (method == MethodGet) {
        responseBody = statusDocument();
        connect(request, wiring.end, this, wiring.sendResponse);
    } else {
        responseBody = errorDocument();
        // a blank counts as data already seen, so nothing is emitted for other methods
        requestData = QByteArrayLiteral(" ");
        connect(request, wiring.end, this, wiring.sendResponse);
    }

    Exchange &exchange = exchanges[request];
    exchange.request = request;
    exchange.response = response;
    exchange.responseBody = responseBody;
    exchange.requestData = requestData;
    if (method == MethodPost || method == MethodGet) {
        exchange.id = ++lastRequestId;
        const AnswerPreference preference = answerPreference(
                request->headers().value(QStringLiteral("prefer")));
        exchange.wantsAnswer = preference.wanted;
        exchange.waitSeconds = preference.waitSeconds;
    }
    // a client that goes away mid-request takes its request with it; drop the record then
    connect(request, &QObject::destroyed, this, &PelHttpServer::forgetRequest);
}

void PelHttpServer::processRequestData(const QByteArray &requestData)
{
    Exchange *exchange = exchangeOf(sender());
    if (!exchange)
        return;
    // Whole bodies are kept for a page that may take them, within a bound per request and one
    // for all requests being received at once.
    if (!exchange->tooLarge && pageMode != PageMode::Listener) {
        const qint64 size = exchange->wholeBody.size() + qint64(requestData.size());
        exchange->tooLarge = size > maxWholeBody
                             || wholeBodyBytes + requestData.size() > maxWholeBodiesInFlight;
        if (exchange->tooLarge) {
            wholeBodyBytes -= exchange->wholeBody.size();
            exchange->wholeBody = QByteArray();
        } else {
            wholeBodyBytes += requestData.size();
            exchange->wholeBody += requestData;
        }
    }
    emitData(*exchange, requestData);
}

void PelHttpServer::sendResponse()
{
    QObject *source = sender() ? sender() : request;
    Exchange *exchange = exchangeOf(source);
    if (!exchange)
        return; // already answered: never write to a response that has ended

    if (exchange->requestData.isEmpty()) {
        emitData(*exchange, exchange->request->url().query().toUtf8());
        // a receiver may run an event loop in which the request goes away
        exchange = exchangeOf(source);
        if (!exchange)
            return;
    }

    const Exchange answered = exchanges.take(source);
    wholeBodyBytes -= answered.wholeBody.size();
    if (!answered.response)
        return;
    if (answered.id == 0) {
        reply(answered.response, 200, answered.responseBody);
        return;
    }
    if (answered.tooLarge && pageMode == PageMode::Receiver) {
        replyError(answered.response,
                   413,
                   QStringLiteral("PAYLOAD_TOO_LARGE"),
                   QStringLiteral("the page takes bodies of at most %1 bytes").arg(maxWholeBody),
                   answered.wantsAnswer ? Audience::CallerOnly : Audience::Anyone);
        return;
    }
    if (answered.wantsAnswer)
        awaitAnswer(answered);
    else
        reply(answered.response, 200, answered.responseBody);
    emit requestReceived(pageRequestOf(answered));
}

void PelHttpServer::setPageMode(PageMode mode)
{
    pageMode = mode;
}

void PelHttpServer::answerRequest(quint64 id, const QByteArray &json)
{
    const QPointer<QHttpResponse> resp = awaiting.take(id);
    if (!resp)
        return;
    resp->setHeader(QStringLiteral("Preference-Applied"), QStringLiteral("return=representation"));
    reply(resp, 200, json, Audience::CallerOnly);
}

void PelHttpServer::refuseRequest(quint64 id,
                                  int status,
                                  const QString &code,
                                  const QString &message)
{
    if (const QPointer<QHttpResponse> resp = awaiting.take(id))
        replyError(resp, status, code, message, Audience::CallerOnly);
}

void PelHttpServer::publishEvent(const QByteArray &json)
{
    events->publish(json);
}

// Requests for what the page holds: its answers and its events. Returns whether req has been
// dealt with here.
bool PelHttpServer::handleTwoWay(QHttpRequest *req, QHttpResponse *resp)
{
    const int method = req->method();
    if (method != MethodGet && method != MethodPost)
        return false;
    const QHash<QString, QString> headers = req->headers();
    const bool subscribing = method == MethodGet && splitTarget(req->target()).first == "/events"
                             && headers.value(QStringLiteral("accept"))
                                        .contains(QLatin1String("text/event-stream"),
                                                  Qt::CaseInsensitive);
    if (!subscribing && !answerPreference(headers.value(QStringLiteral("prefer"))).wanted)
        return false;
    if (fromWebPage(headers)) {
        replyError(resp,
                   403,
                   QStringLiteral("FORBIDDEN"),
                   QStringLiteral("web pages may not read what the page holds"),
                   Audience::CallerOnly);
        return true;
    }
    if (!subscribing)
        return false;
    bool known = false;
    const qint64 lastEventId
            = headers.value(QStringLiteral("last-event-id")).trimmed().toLongLong(&known);
    events->subscribe(resp, known ? lastEventId : -1);
    return true;
}

void PelHttpServer::awaitAnswer(const Exchange &exchange)
{
    if (pageMode == PageMode::Listener) {
        replyError(exchange.response,
                   501,
                   QStringLiteral("NOT_IMPLEMENTED"),
                   QStringLiteral("the page defines no PEL_receive"),
                   Audience::CallerOnly);
        return;
    }
    const quint64 id = exchange.id;
    awaiting.insert(id, exchange.response);
    // the timer goes with the response, whichever ends first
    auto *timer = new QTimer(exchange.response);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] {
        refuseRequest(id,
                      504,
                      QStringLiteral("TIMEOUT"),
                      QStringLiteral("the page did not answer in time"));
    });
    connect(exchange.response.data(), &QObject::destroyed, this, [this, id] {
        awaiting.remove(id);
    });
    timer->start(exchange.waitSeconds * 1000);
}

PageRequest PelHttpServer::pageRequestOf(const Exchange &exchange) const
{
    PageRequest page;
    page.id = exchange.id;
    page.method = exchange.request->method() == MethodPost ? QByteArrayLiteral("POST")
                                                           : QByteArrayLiteral("GET");
    const auto target = splitTarget(exchange.request->target());
    page.path = target.first;
    page.query = target.second;
    page.headers = visibleHeaders(exchange.request);
    page.body = exchange.wholeBody;
    page.tooLarge = exchange.tooLarge;
    page.wantsAnswer = exchange.wantsAnswer;
    return page;
}

QHash<QString, QString> PelHttpServer::visibleHeaders(const QHttpRequest *req) const
{
    QHash<QString, QString> headers = req->headers();
    // the token is Pelorin's secret, not the page's
    if (!token.isEmpty())
        headers.remove(QStringLiteral("authorization"));
    return headers;
}

void PelHttpServer::replyError(QHttpResponse *resp,
                               int status,
                               const QString &code,
                               const QString &message,
                               Audience audience)
{
    QMap<QString, QString> document{{QStringLiteral("error"), code}};
    if (!message.isEmpty())
        document.insert(QStringLiteral("message"), message);
    reply(resp, status, jsonDocument(document), audience);
}

void PelHttpServer::reply(QHttpResponse *resp, int status, const QByteArray &body, Audience audience)
{
    if (audience == Audience::Anyone)
        resp->setHeader(QStringLiteral("Access-Control-Allow-Origin"), QStringLiteral("*"));
    resp->setHeader(QStringLiteral("Content-Length"), QString::number(body.size()));
    resp->setHeader(QStringLiteral("Cache-Control"),
                    QStringLiteral("no-cache, no-store, max-age=0, must-revalidate"));
    resp->setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    resp->setHeader(QStringLiteral("Pelorin"), QStringLiteral("1.0"));
    resp->setHeader(QStringLiteral("Server"), QStringLiteral("Pelorin v1.0"));
    resp->writeHead(status);
    resp->end(body);
}

QByteArray PelHttpServer::toJSON(QMap<QString, QString> data)
{
    return jsonDocument(data);
}

// The record of the request that signalled; a direct call, with no sender, works on the
// current pair.
PelHttpServer::Exchange *PelHttpServer::exchangeOf(QObject *source)
{
    if (!source)
        source = request;
    auto it = exchanges.find(source);
    return it == exchanges.end() ? nullptr : &it.value();
}

void PelHttpServer::emitData(Exchange &exchange, const QByteArray &data)
{
    exchange.requestData = data;
    if (exchange.request == request)
        requestData = data;
    // a page that takes whole requests has no use for the pieces
    if (pageMode == PageMode::Receiver)
        return;
    // the headers stay the same for every chunk of a request's body
    if (exchange.headers.isEmpty())
        exchange.headers = headersDocument(visibleHeaders(exchange.request));
    // a local copy (shared, not duplicated): a receiver may drop the record while it runs
    const QByteArray headers = exchange.headers;
    emit dataProcessed(data, headers);
}

void PelHttpServer::forgetRequest(QObject *req)
{
    wholeBodyBytes -= exchanges.take(req).wholeBody.size();
}

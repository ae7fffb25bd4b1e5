#include "pelhttpserver.h"
#include "pelhttpserver_p.h"

#include <QAbstractSocket>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaMethod>
#include <QNetworkInterface>
#include <QStringList>

#include <algorithm>

#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "qhttpserver.h"

namespace {

// http-parser's method codes
constexpr int MethodGet = 1;
constexpr int MethodPost = 3;

// The reply documents and header values never change; build them once.
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

QString contentLengthOf(const QByteArray &body)
{
    static const QString statusLength = QString::number(statusDocument().size());
    static const QString errorLength = QString::number(errorDocument().size());
    if (body.size() == statusDocument().size())
        return statusLength;
    if (body.size() == errorDocument().size())
        return errorLength;
    return QString::number(body.size());
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

quint16 portFromText(const QString &text)
{
    return static_cast<quint16>(text.toInt());
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
{
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
    if (httpServer->listen(QHostAddress(host), portFromText(port))) {
        qDebug() << "server is started on " << host << ":" << port;
        // an empty host is the null address, which listens on every address
        if (host != QLatin1String("127.0.0.1"))
            qWarning("the server listens on %s, which is reachable from the network; "
                     "CONNECT/HOST=127.0.0.1 keeps it on this machine",
                     host.isEmpty() ? "0.0.0.0" : qPrintable(host));
    } else {
        qDebug() << "server is not started";
        qWarning("cannot listen on %s port %d: %s", qPrintable(host), int(portFromText(port)),
                 qPrintable(httpServer->errorString()));
    }
}

void PelHttpServer::setToken(const QString &token)
{
    this->token = token.toUtf8();
}

void PelHttpServer::handleRequest(QHttpRequest *req, QHttpResponse *resp)
{
    if (!token.isEmpty()
        && !bearerTokenMatches(req->headers().value(QStringLiteral("authorization")), token)) {
        static const QString wwwAuthenticate = QStringLiteral("WWW-Authenticate");
        static const QString bearer = QStringLiteral("Bearer");
        resp->setHeader(wwwAuthenticate, bearer);
        // answered at once; the layer reads past whatever body follows
        replyError(resp, 401, QStringLiteral("UNAUTHORIZED"));
        return;
    }
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
    // a client that goes away mid-request takes its request with it; drop the record then
    connect(request, &QObject::destroyed, this, &PelHttpServer::forgetRequest);
}

void PelHttpServer::processRequestData(const QByteArray &requestData)
{
    if (Exchange *exchange = exchangeOf(sender()))
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
    if (answered.response)
        reply(answered.response, 200, answered.responseBody);
}

void PelHttpServer::replyError(QHttpResponse *resp, int status, const QString &code)
{
    reply(resp, status, jsonDocument({{QStringLiteral("error"), code}}));
}

void PelHttpServer::reply(QHttpResponse *resp, int status, const QByteArray &body)
{
    static const QString allowOrigin = QStringLiteral("Access-Control-Allow-Origin");
    static const QString anyOrigin = QStringLiteral("*");
    static const QString contentLength = QStringLiteral("Content-Length");
    static const QString cacheControl = QStringLiteral("Cache-Control");
    static const QString noCache = QStringLiteral("no-cache, no-store, max-age=0, must-revalidate");
    static const QString contentType = QStringLiteral("Content-Type");
    static const QString json = QStringLiteral("application/json");
    static const QString pelorin = QStringLiteral("Pelorin");
    static const QString pelorinVersion = QStringLiteral("1.0");
    static const QString server = QStringLiteral("Server");
    static const QString serverName = QStringLiteral("Pelorin v1.0");

    resp->setHeader(allowOrigin, anyOrigin);
    resp->setHeader(contentLength, contentLengthOf(body));
    resp->setHeader(cacheControl, noCache);
    resp->setHeader(contentType, json);
    resp->setHeader(pelorin, pelorinVersion);
    resp->setHeader(server, serverName);
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
    // the headers stay the same for every chunk of a request's body
    if (exchange.headers.isEmpty()) {
        QHash<QString, QString> headers = exchange.request->headers();
        // the token is Pelorin's secret, not the page's
        if (!token.isEmpty())
            headers.remove(QStringLiteral("authorization"));
        exchange.headers = headersDocument(headers);
    }
    // a local copy (shared, not duplicated): a receiver may drop the record while it runs
    const QByteArray headers = exchange.headers;
    emit dataProcessed(data, headers);
}

void PelHttpServer::forgetRequest(QObject *req)
{
    exchanges.remove(req);
}

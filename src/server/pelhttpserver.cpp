#include "pelhttpserver.h"
#include "pelhttpserver_p.h"

#include <QAbstractSocket>
#include <QDebug>
#include <QHostInfo>
#include <QLoggingCategory>
#include <QMap>
#include <QNetworkInterface>
#include <QStringList>

#include "eventstream.h"
#include "exchange.h"
#include "jsontext.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "qhttpserver.h"

Q_LOGGING_CATEGORY(lcRequests, "pelorin.http", QtWarningMsg)

namespace {

// http-parser's method codes
constexpr int MethodGet = 1;
constexpr int MethodPost = 3;

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
                preference.waitSeconds = int(qMin<qlonglong>(seconds, 60 * 60));
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
    QMap<QString, QString> sorted;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        sorted.insert(it.key(), it.value());
    return jsonDocument(sorted);
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
        notListening = QStringLiteral("CONNECT/PORT \"%1\" is not a whole number from 0 to 65535")
                               .arg(port);
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
        notListening = httpServer->errorString();
        if (notListening.isEmpty())
            notListening = QStringLiteral("no reason given");
        qWarning("cannot listen on %s port %d: %s",
                 qPrintable(host),
                 number,
                 qPrintable(httpServer->errorString()));
    }
}

quint16 PelHttpServer::listenPort() const
{
    return quint16(qMax(0, portFromText(port)));
}

void PelHttpServer::handleRequest(QHttpRequest *req, QHttpResponse *resp)
{
    if (!hostAllowed(req->headers().value(QStringLiteral("host")), ownHostNames)) {
        sendReply(resp, 403, errorDocument(QStringLiteral("FORBIDDEN_HOST")), Audience::CallerOnly);
        logRequest(req, 0, "refused 403, a Host not of this machine");
        return;
    }
    if (!tokenUsable
        || (!token.isEmpty()
            && !bearerTokenMatches(req->headers().value(QStringLiteral("authorization")), token))) {
        resp->setHeader(QStringLiteral("WWW-Authenticate"), QStringLiteral("Bearer"));
        // answered at once; the layer reads past whatever body follows
        sendReply(resp, 401, errorDocument(QStringLiteral("UNAUTHORIZED")));
        logRequest(req, 0, "refused 401, no token");
        return;
    }
    const int method = req->method();
    if (method != MethodGet && method != MethodPost) {
        // answered, not refused, once it has been read; nothing of it goes to the page
        connect(req, &QHttpRequest::end, resp, [req, resp] {
            logRequest(req, 0, "answered 200 UNUSED_HTTP_METHOD");
            sendReply(resp, 200, errorDocument(QStringLiteral("UNUSED_HTTP_METHOD")));
        });
        return;
    }
    PageRequest page = pageRequestOf(req);
    const AnswerPreference preference = answerPreference(
            page.headers.value(QStringLiteral("prefer")));
    page.wantsAnswer = preference.wanted;

    // The page's answers and its events are for programs, never for web pages in a browser.
    const bool subscribing = method == MethodGet && page.path == "/events"
                             && page.headers.value(QStringLiteral("accept"))
                                        .contains(QLatin1String("text/event-stream"),
                                                  Qt::CaseInsensitive);
    if ((subscribing || page.wantsAnswer) && page.fromWebPage) {
        sendReply(resp,
                  403,
                  errorDocument(QStringLiteral("FORBIDDEN"),
                                QStringLiteral("web pages may not read what the page holds")),
                  Audience::CallerOnly);
        logRequest(req, 0, "refused 403, from a web page");
    } else if (subscribing) {
        bool known = false;
        const qint64 lastEventId
                = page.headers.value(QStringLiteral("last-event-id")).trimmed().toLongLong(&known);
        logRequest(req, 0, "subscribes to the events");
        events->subscribe(resp, known ? lastEventId : -1);
    } else if (!pageHasRoom(page)) {
        resp->setHeader(QStringLiteral("Retry-After"), QStringLiteral("1"));
        sendReply(resp, 503, errorDocument(QStringLiteral("BUSY")));
        logRequest(req, 0, "refused 503, the page has no room");
    } else if (page.wantsAnswer && waitingCallers >= maxWaitingCallers) {
        // Each waiting caller holds a connection: past the cap they are turned away and their
        // connections closed, so that plain requests always find one.
        resp->setHeader(QStringLiteral("Retry-After"), QStringLiteral("1"));
        resp->setHeader(QStringLiteral("Connection"), QStringLiteral("close"));
        sendReply(resp, 503, errorDocument(QStringLiteral("BUSY")), Audience::CallerOnly);
        logRequest(req, 0, "refused 503, too many callers wait");
    } else {
        page.id = ++lastRequestId;
        exchanges.insert(page.id, new Exchange(this, req, resp, page, preference.waitSeconds));
    }
}

bool PelHttpServer::pageHasRoom(const PageRequest &page) const
{
    return !pageRoom
           || pageRoom(page.fromWebPage,
                       wholeBodyBytes + httpServer->unsentBytes(),
                       *page.connectionHeld);
}

// What the page is told of req: all but its body, which comes as it arrives.
PageRequest PelHttpServer::pageRequestOf(const QHttpRequest *req)
{
    PageRequest page;
    page.method = req->method() == MethodPost ? QByteArrayLiteral("POST")
                                              : QByteArrayLiteral("GET");
    const auto target = splitTarget(req->target());
    page.path = target.first;
    page.query = target.second;
    page.headers = req->headers();
    // the token is Pelorin's secret, not the page's
    if (!token.isEmpty())
        page.headers.remove(QStringLiteral("authorization"));
    page.fromWebPage = fromWebPage(page.headers);
    // the request belongs to its connection, which serves one request at a time
    const QObject *connection = req->parent();
    std::shared_ptr<qint64> &held = heldByConnection[connection];
    if (!held) {
        held = std::make_shared<qint64>(0);
        connect(connection, &QObject::destroyed, this, [this, connection] {
            heldByConnection.remove(connection);
        });
    }
    page.connectionHeld = held;
    return page;
}

std::optional<PelHttpServer::Refusal> PelHttpServer::refusalFor(PageMode mode,
                                                                const PageRequest &request)
{
    if (mode == PageMode::Listener && request.wantsAnswer)
        return Refusal{501,
                       QStringLiteral("NOT_IMPLEMENTED"),
                       QStringLiteral("the page defines no PEL_receive")};
    if (mode == PageMode::Receiver && request.tooLarge)
        return Refusal{413,
                       QStringLiteral("PAYLOAD_TOO_LARGE"),
                       QStringLiteral("the page takes bodies of at most %1 bytes").arg(maxWholeBody)};
    return std::nullopt;
}

void PelHttpServer::answerRequest(quint64 id, const QByteArray &json)
{
    if (Exchange *exchange = exchanges.value(id))
        exchange->answer(json);
}

void PelHttpServer::refuseRequest(quint64 id,
                                  int status,
                                  const QString &code,
                                  const QString &message)
{
    if (Exchange *exchange = exchanges.value(id))
        exchange->refuse(status, code, message);
}

void PelHttpServer::publishEvent(const QByteArray &json)
{
    events->publish(json);
}

void logRequest(const QHttpRequest *req, quint64 id, const QByteArray &outcome, qint64 bodyBytes)
{
    if (!lcRequests().isDebugEnabled())
        return;
    static const char *const names[] = {"DELETE", "GET", "HEAD", "POST", "PUT", "CONNECT", "OPTIONS"};
    const int method = req->method();
    const QByteArray name = method >= 0 && method < 7 ? names[method]
                                                      : "method " + QByteArray::number(method);
    // the path as sent, cut short, without its query and any control character: client's text
    QByteArray path = splitTarget(req->target().left(200)).first;
    for (char &c : path) {
        if (uchar(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    qCDebug(lcRequests,
            "request %llu: %s %s %s, body %lld bytes, from port %u",
            id,
            name.constData(),
            path.constData(),
            outcome.constData(),
            bodyBytes,
            unsigned(req->peerPort()));
}

QByteArray errorDocument(const QString &code, const QString &message)
{
    QMap<QString, QString> document{{QStringLiteral("error"), code}};
    if (!message.isEmpty())
        document.insert(QStringLiteral("message"), message);
    return jsonDocument(document);
}

QByteArray statusDocument()
{
    return jsonDocument({{QStringLiteral("status"), QStringLiteral("OK")}});
}

void sendReply(QHttpResponse *resp, int status, const QByteArray &body, Audience audience)
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

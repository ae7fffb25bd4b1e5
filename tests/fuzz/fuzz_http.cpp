// Sends arbitrary bytes to one HTTP connection over a real loopback socket, so that it reads,
// parses and writes as in production. The first input byte picks the size of the sends and when
// the receiver answers. Cutting the bytes into sends must change neither what the receiver
// sees nor what the client gets back, and headers must not change between newRequest and end.

#include "qhttpconnection_p.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include <cstdint>

namespace {

struct Seen
{
    int method = -1;
    QUrl url;
    QHash<QString, QString> headers;
    QByteArray body;
    int ends = 0;
    bool operator==(const Seen &o) const
    {
        return method == o.method && url == o.url && headers == o.headers && body == o.body
               && ends == o.ends;
    }
};

enum class Answer { AtEnd, AtNewRequest, FromEventLoop, Never };

// What the receiver saw and what the client got back, with the bytes sent step at a time.
// A loopback connection that could not be made says nothing about the code under test: the
// input is then skipped rather than taken for a crash.
bool noConnection = false;

QPair<QList<Seen>, QByteArray> run(QTcpServer &server, const QByteArray &bytes, int step,
                                   Answer answer)
{
    // From a loopback address of its own each time: the ports of connections that the server
    // closed first wait out TIME_WAIT, and a long run would use up those of one address.
    static quint32 clients = 0;
    sockaddr_in local = {}, address = {};
    local.sin_family = address.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7f010001u + (clients++ % 0xfffe00u));
    address.sin_port = htons(server.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    const int noDelay = 1; // each send goes out at once, not held back for an acknowledgement
    if (client < 0 || ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay)
        || ::bind(client, reinterpret_cast<sockaddr *>(&local), sizeof local)
        || ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address)
        || !server.waitForNewConnection(5000)) {
        qWarning("no loopback connection (errno %d); input skipped", errno);
        if (client >= 0)
            ::close(client);
        noConnection = true;
        return {};
    }
    QPointer<QHttpConnection> connection =
            new QHttpConnection(server.nextPendingConnection(), 120 * 1000, nullptr);

    QList<Seen> seen;
    QByteArray output;
    QPointer<QHttpResponse> current;
    const auto respond = [&current, &seen] {
        if (!current)
            return;
        current->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
        current->setHeader(QStringLiteral("X-Fuzz"), QStringLiteral("caf\u00e9\r\nX: y"));
        current->writeHead(seen.size() % 2 ? 200 : 404);
        current->end(QByteArrayLiteral("reply"));
        current->end(QByteArrayLiteral("ignored"));
    };
    QObject context; // goes first, with the answers still queued to it
    const auto onRequest = [&](QHttpRequest *request, QHttpResponse *response) {
        seen.append({request->method(), request->url(), request->headers(), {}, 0});
        current = response;
        QObject::connect(request, &QHttpRequest::data, &context,
                         [&seen](const QByteArray &data) { seen.last().body += data; });
        QObject::connect(request, &QHttpRequest::end, &context, [&, request] {
            // the headers handed out with the request stay as they were: trailers do not count
            if (request->headers() != seen.last().headers)
                qFatal("the headers changed after newRequest");
            ++seen.last().ends;
            if (answer == Answer::AtEnd)
                respond();
            else if (answer == Answer::FromEventLoop)
                QMetaObject::invokeMethod(&context, respond, Qt::QueuedConnection);
        });
        if (answer == Answer::AtNewRequest)
            respond();
    };
    QObject::connect(connection, &QHttpConnection::newRequest, &context, onRequest);

    // lets the connection take what it can, and keeps what the client got back meanwhile
    const auto turn = [&] {
        QCoreApplication::processEvents();
        char buffer[65536];
        for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            output.append(buffer, int(n));
    };
    // a connection that takes nothing more (it waits, or has closed) gets no more turns
    for (int sent = 0, idle = 0; sent < bytes.size() && idle < 4; turn()) {
        const ssize_t n = ::send(client, bytes.constData() + sent,
                                 size_t(qMin(step, bytes.size() - sent)),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        idle = n > 0 ? 0 : idle + 1;
        sent += int(qMax<ssize_t>(n, 0));
    }
    // answers and resumes queued from the event loop, each of which may queue the next
    for (int round = 0; round < 64; ++round)
        turn();
    // reset rather than closed, so that no port waits out TIME_WAIT
    const linger reset = {1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(client);
    delete connection.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return {seen, output};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http", *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        qFatal("cannot listen on loopback");
    if (size < 1 || size > 1024 * 1024)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int step = 1 + (data[0] & 0x0f) * 5;
    const auto answer = static_cast<Answer>((data[0] >> 4) & 3);
    const auto whole = run(server, bytes, qMax(bytes.size(), 1), Answer::AtEnd);
    const auto pieces = run(server, bytes, step, Answer::AtEnd);
    if (std::exchange(noConnection, false))
        return 0;
    if (whole != pieces)
        qFatal("sends of %d bytes changed what the receiver saw or the client got back", step);
    if (answer != Answer::AtEnd)
        run(server, bytes, step, answer);
    return 0;
}

// Sends arbitrary bytes to one HTTP connection over a real loopback socket, so that it reads,
// parses and writes as in production. The first input byte picks the size of the sends and when
// the receiver answers. Cutting the bytes into sends must change neither what the receiver
// sees nor what the client gets back, and headers must not change between newRequest and end.

#include "qhttpconnection_p.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QtNetwork>

#include <utility>

#include <cstdint>

namespace {

enum class Answer { AtEnd, AtNewRequest, FromEventLoop, Never };

// What the receiver saw and what the client got back, with the bytes sent step at a time.
// A loopback connection that could not be made says nothing about the code under test: the
// input is then skipped rather than taken for a crash.
bool noConnection = false;

QByteArray run(QTcpServer &server, const QByteArray &bytes, int step, Answer answer)
{
    // From a loopback address of its own each time: the ports of connections that the server
    // closed first wait out TIME_WAIT, and a long run would use up those of one address.
    static quint32 clients = 0;
    QTcpSocket client;
    client.bind(QHostAddress(0x7f010001u + clients++ % 0xfffe00u));
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client.waitForConnected(5000) || !server.waitForNewConnection(5000)) {
        qWarning("no loopback connection (%s); input skipped", qPrintable(client.errorString()));
        noConnection = true;
        return {};
    }
    // each send goes out at once, not held back for an acknowledgement
    client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QTcpSocket *accepted = server.nextPendingConnection();
    QPointer<QHttpConnection> connection = new QHttpConnection(accepted, 120 * 1000, nullptr);

    QByteArray seen, output;
    int requests = 0;
    QPointer<QHttpResponse> current;
    const auto respond = [&current, &requests] {
        if (!current)
            return;
        current->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
        current->setHeader(QStringLiteral("X-Fuzz"), QStringLiteral("caf\u00e9\r\nX: y"));
        current->writeHead(requests % 2 ? 200 : 404);
        current->end(QByteArrayLiteral("reply"));
        current->end(QByteArrayLiteral("ignored"));
    };
    QObject context; // goes first, with the answers still queued to it
    const auto keep = [&seen](const QByteArray &data) { seen += data; };
    const auto onRequest = [&](QHttpRequest *request, QHttpResponse *response) {
        const QHash<QString, QString> headers = request->headers();
        seen += QByteArray::number(request->method()) + ' ' + request->url().toEncoded() + '\n';
        for (auto header = headers.cbegin(); header != headers.cend(); ++header)
            seen += header.key().toUtf8() + ": " + header.value().toUtf8() + '\n';
        ++requests;
        current = response;
        QObject::connect(request, &QHttpRequest::data, &context, keep);
        QObject::connect(request, &QHttpRequest::end, &context, [&, request, headers] {
            // the headers handed out with the request stay as they were: trailers do not count
            if (request->headers() != headers)
                qFatal("the headers changed after newRequest");
            seen += "\n<end>\n";
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
        output += client.isOpen() ? client.readAll() : QByteArray();
    };
    // a connection that takes nothing more (it waits, or has closed) gets no more sends
    for (int sent = 0, idle = 0; sent < bytes.size() && idle < 4; turn()) {
        const bool taken = client.state() == QAbstractSocket::ConnectedState
                           && client.bytesToWrite() == 0;
        idle = taken ? 0 : idle + 1;
        if (taken) {
            sent += int(client.write(bytes.mid(sent, step)));
            client.flush();
        }
    }
    // answers and resumes queued from the event loop, each of which may queue the next
    for (int round = 0; round < 64; ++round)
        turn();
    // the server's side closes first: only it waits out TIME_WAIT, on an address pair of its own
    delete connection.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return seen + "\n<the client got>\n" + output;
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

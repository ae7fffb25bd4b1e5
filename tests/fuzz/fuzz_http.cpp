// Sends arbitrary bytes to one HTTP connection over a real loopback socket, so that the
// connection reads, parses and writes exactly as it does in production. The first input byte
// picks the size of the sends the rest is cut into and how the receiver answers. Besides looking
// for crashes, the target checks that cutting the bytes into sends changes neither what the
// receiver sees nor what the client gets back, and that a request's headers do not change
// between newRequest and end.

#include "qhttpconnection_p.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct Seen
{
    int method = -1;
    QUrl url;
    QHash<QString, QString> headers;
    QByteArray body;
    int ends = 0;

    bool operator==(const Seen &other) const
    {
        return method == other.method && url == other.url && headers == other.headers
               && body == other.body && ends == other.ends;
    }
};

struct Run
{
    QList<Seen> seen;
    QByteArray output; // what the client got back
};

enum class Answer { AtEnd, AtNewRequest, FromEventLoop, Never };

} // namespace

class FuzzReceiver : public QObject
{
    Q_OBJECT

public:
    FuzzReceiver(QHttpConnection *connection, Answer answer)
        : answer(answer)
    {
        // clang-format off
        connect(connection, SIGNAL(newRequest(QHttpRequest*,QHttpResponse*)),
                this, SLOT(handleRequest(QHttpRequest*,QHttpResponse*)));
        // clang-format on
    }

    QList<Seen> seen;

private slots:
    void handleRequest(QHttpRequest *request, QHttpResponse *response)
    {
        Seen s;
        s.method = request->method();
        s.url = request->url();
        s.headers = request->headers();
        seen.append(s);
        current = response;
        // clang-format off
        connect(request, SIGNAL(data(QByteArray)), this, SLOT(handleData(QByteArray)));
        connect(request, SIGNAL(end()), this, SLOT(handleEnd()));
        // clang-format on
        if (answer == Answer::AtNewRequest)
            respond();
    }

    void handleData(const QByteArray &data) { seen.last().body.append(data); }

    void handleEnd()
    {
        // the headers handed out with the request stay as they were: trailers do not count
        if (qobject_cast<QHttpRequest *>(sender())->headers() != seen.last().headers) {
            qWarning("the headers changed after newRequest");
            abort();
        }
        ++seen.last().ends;
        if (answer == Answer::AtEnd)
            respond();
        else if (answer == Answer::FromEventLoop)
            QMetaObject::invokeMethod(this, &FuzzReceiver::respond, Qt::QueuedConnection);
    }

    void respond()
    {
        if (!current)
            return;
        current->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
        current->setHeader(QStringLiteral("X-Fuzz"), QStringLiteral("caf\u00e9\r\nX: y"));
        current->writeHead(seen.size() % 2 ? 200 : 404);
        current->end(QByteArrayLiteral("reply"));
        current->end(QByteArrayLiteral("ignored"));
    }

private:
    Answer answer;
    QPointer<QHttpResponse> current;
};

// A client socket connected to the server, and the connection that serves it.
static int connectClient(QTcpServer &server, QPointer<QHttpConnection> &connection)
{
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // each send goes out at once, not held back until the last one is acknowledged
    const int noDelay = 1;
    // From a loopback address of its own each time: the ports of connections that the server
    // closed first wait out TIME_WAIT, and a long run would use up those of one address.
    static quint32 clients = 0;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7f010001u + (clients++ % 0xfffe00u));
    if (client < 0 || ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay)
        || ::bind(client, reinterpret_cast<sockaddr *>(&local), sizeof local)
        || ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address)
        || !server.waitForNewConnection(5000))
        qFatal("no loopback connection");
    connection = new QHttpConnection(server.nextPendingConnection(), 120 * 1000, nullptr);
    return client;
}

// Lets the connection take what it can; returns what the client got back meanwhile.
static QByteArray turn(int client)
{
    QCoreApplication::processEvents();
    QByteArray got;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        got.append(buffer, int(n));
    return got;
}

static Run run(QTcpServer &server, const char *bytes, int size, int step, Answer answer)
{
    QPointer<QHttpConnection> connection;
    const int client = connectClient(server, connection);
    FuzzReceiver receiver(connection, answer);
    Run result;
    int sent = 0;
    // a connection that takes nothing more (it waits, or has closed) gets no more turns
    for (int idle = 0; sent < size && idle < 4; ++idle) {
        const ssize_t n = ::send(client, bytes + sent, size_t(qMin(step, size - sent)),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += int(n);
            idle = -1;
        }
        result.output += turn(client);
    }
    // answers and resumes queued from the event loop, each of which may queue the next
    for (int round = 0; round < 64; ++round)
        result.output += turn(client);
    // reset rather than closed, so that no port waits out TIME_WAIT: a long run would use
    // them all up
    const linger reset = {1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(client);
    delete connection.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    result.seen = receiver.seen;
    return result;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        qFatal("cannot listen on loopback");

    if (size < 1 || size > 1024 * 1024)
        return 0;
    const uint8_t control = data[0];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);
    const int step = 1 + (control & 0x0f) * 5;
    const auto answer = static_cast<Answer>((control >> 4) & 3);

    const Run whole = run(server, bytes, length, qMax(length, 1), Answer::AtEnd);
    const Run pieces = run(server, bytes, length, step, Answer::AtEnd);
    if (!(whole.seen == pieces.seen)) {
        qWarning("cutting the input into sends of %d bytes changed what the receiver saw", step);
        abort();
    }
    if (whole.output != pieces.output) {
        qWarning("cutting the input into sends of %d bytes changed the output", step);
        abort();
    }
    if (answer != Answer::AtEnd)
        run(server, bytes, length, step, answer);
    return 0;
}

#include "fuzz_http.moc"

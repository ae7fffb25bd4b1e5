// Feeds arbitrary bytes through one HTTP connection. The first input byte picks the size of the
// reads the rest is cut into and how the receiver answers. Besides looking for crashes, the
// target checks that cutting the bytes into reads changes nothing the receiver sees, and that
// a request's headers do not change between newRequest and end.

#include "qhttpconnection_p.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QCoreApplication>
#include <QTcpSocket>

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

static QList<Seen> run(const char *bytes, int size, int step, Answer answer)
{
    // Never connected: the connection builds its responses but has nowhere to write them.
    auto *connection = new QHttpConnection(new QTcpSocket, 120 * 1000, nullptr);
    FuzzReceiver receiver(connection, answer);
    for (int offset = 0; offset < size; offset += step) {
        connection->feed(bytes + offset, qMin(step, size - offset));
        QCoreApplication::sendPostedEvents();
    }
    // answers and resumes queued from the event loop, each of which may queue the next
    for (int round = 0; round < 64; ++round)
        QCoreApplication::sendPostedEvents();
    delete connection;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return receiver.seen;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    if (size < 1 || size > 1024 * 1024)
        return 0;
    const uint8_t control = data[0];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);
    const int step = 1 + (control & 0x0f) * 5;
    const auto answer = static_cast<Answer>((control >> 4) & 3);

    const QList<Seen> whole = run(bytes, length, qMax(length, 1), Answer::AtEnd);
    const QList<Seen> pieces = run(bytes, length, step, Answer::AtEnd);
    if (!(whole == pieces)) {
        qWarning("cutting the input into reads of %d bytes changed what the receiver saw", step);
        abort();
    }
    if (answer != Answer::AtEnd)
        run(bytes, length, step, answer);
    return 0;
}

#include "fuzz_http.moc"

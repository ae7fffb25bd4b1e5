#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "qhttpserver.h"
#include "rawhttpclient.h"
#include "utf8text.h"

#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

#if defined(Q_OS_UNIX)
#include <sys/resource.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <unistd.h>
#endif

using Headers = QHash<QString, QString>;

// Answers requests the way a server on top of the layer does: connected by signature strings,
// it records what each request shows and answers at the request's end with the URL's path as
// body. It then writes once more, which the layer must ignore.
class Responder : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        int method = -1;
        QUrl url;
        Headers headers;
        QList<QByteArray> spans;
        int ends = 0;
        QPointer<QHttpRequest> request;
        QPointer<QHttpResponse> response;
    };

    explicit Responder(QHttpServer *server)
    {
        // clang-format off
        connect(server, SIGNAL(newRequest(QHttpRequest*,QHttpResponse*)),
                this, SLOT(handleRequest(QHttpRequest*,QHttpResponse*)));
        // clang-format on
    }

    bool answerAtEnd = true;
    // Run once, from inside the next data() signal.
    std::function<void()> duringData;
    QList<Seen> seen;
    int lateAnswers = 0;

public slots:
    // Answers every request that has ended and is not answered yet, in arrival order.
    void answerPending()
    {
        for (Seen &s : seen) {
            if (s.ends > 0 && s.response) {
                answer(s.response, s.url);
                s.response.clear();
                ++lateAnswers;
            }
        }
    }

private slots:
    void handleRequest(QHttpRequest *request, QHttpResponse *response)
    {
        Seen s;
        s.method = request->method();
        s.url = request->url();
        s.headers = request->headers();
        s.request = request;
        s.response = response;
        seen.append(s);
        // clang-format off
        connect(request, SIGNAL(data(QByteArray)), this, SLOT(handleData(QByteArray)));
        connect(request, SIGNAL(end()), this, SLOT(handleEnd()));
        // clang-format on
    }

    void handleData(const QByteArray &data)
    {
        find(sender()).spans.append(data);
        if (duringData)
            std::exchange(duringData, nullptr)();
    }

    void handleEnd()
    {
        Seen &s = find(sender());
        ++s.ends;
        // what the headers are once the whole message is in
        s.headers = s.request->headers();
        if (answerAtEnd && s.response) {
            answer(s.response, s.url);
            s.response.clear();
        }
    }

private:
    Seen &find(QObject *request)
    {
        for (Seen &s : seen) {
            if (s.request == request)
                return s;
        }
        qFatal("signal from an unknown request");
        return seen.first();
    }

    static void answer(QHttpResponse *response, const QUrl &url)
    {
        response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
        response->setHeader(QStringLiteral("X-Test"), QStringLiteral("yes"));
        response->writeHead(200);
        response->end(url.path().toUtf8());
        response->writeHead(500);
        response->setHeader(QStringLiteral("X-Late"), QStringLiteral("no"));
        response->end(QByteArrayLiteral("written after end"));
    }
};

class tst_QHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void textFromUtf8_data();
    void textFromUtf8();
    void request_data();
    void request();
    void keepAliveAndClose_data();
    void keepAliveAndClose();
    void pipelinedRequestsAnsweredInOrder_data();
    void pipelinedRequestsAnsweredInOrder();
    void expectContinue();
    void headHasNoBody();
    void badRequestClosesConnection_data();
    void badRequestClosesConnection();
    void clientResetMidBodyLeavesNothing_data();
    void clientResetMidBodyLeavesNothing();
    void endAfterClientGoneIsHarmless();
    void idleConnectionClosed_data();
    void idleConnectionClosed();
    void acceptingPauses_data();
    void acceptingPauses();
    void clientThatDoesNotRead_data();
    void clientThatDoesNotRead();

private:
    quint16 port() const { return server->findChild<QTcpServer *>()->serverPort(); }
    QTcpSocket *serverSideSocket() const { return server->findChild<QTcpSocket *>(); }
    void verifyStillServing();

    QHttpServer *server = nullptr;
    Responder *responder = nullptr;
};

void tst_QHttpServer::init()
{
    server = new QHttpServer;
    responder = new Responder(server);
    QVERIFY(server->listen(QHostAddress(QHostAddress::LocalHost), 0));
}

void tst_QHttpServer::cleanup()
{
    delete responder;
    delete server;
    // connections that closed during the test go with their deferred deletes
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_QHttpServer::verifyStillServing()
{
    responder->answerAtEnd = true;
    RawHttpClient other;
    QVERIFY(other.connectToPort(port()));
    other.send("GET /other HTTP/1.1\r\n\r\n");
    const QByteArray response = other.readResponse();
    QCOMPARE(RawHttpClient::statusOf(response), 200);
    QCOMPARE(RawHttpClient::bodyOf(response), QByteArray("/other"));
}

void tst_QHttpServer::textFromUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::addRow("empty") << QByteArray() << QString();
    QTest::addRow("ascii") << QByteArray("abc") << QStringLiteral("abc");
    QTest::addRow("two-byte sequence") << QByteArray("caf\xc3\xa9") << QStringLiteral("caf\u00e9");
    QTest::addRow("embedded NUL ends the text") << QByteArray("ab\0cd", 5) << QStringLiteral("ab");
    QTest::addRow("leading NUL gives nothing") << QByteArray("\0abc", 4) << QString();
}

void tst_QHttpServer::textFromUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(::textFromUtf8(bytes), text);
}

void tst_QHttpServer::request_data()
{
    QTest::addColumn<QList<QByteArray>>("parts");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("query");
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<QList<QByteArray>>("spans");

    using Parts = QList<QByteArray>;
    QTest::addRow("GET with query")
        << Parts{"GET /?a=1&b=2 HTTP/1.1\r\nHost: 127.0.0.1:9977\r\n\r\n"} << 1 << "/"
        << "a=1&b=2" << Headers{{"host", "127.0.0.1:9977"}} << Parts{};
    QTest::addRow("header names in lower case, value trimmed")
        << Parts{"POST /form HTTP/1.1\r\nContent-Length: 3\r\nX-Mixed-CASE:  some value \r\n\r\nabc"}
        << 3 << "/form" << "" << Headers{{"content-length", "3"}, {"x-mixed-case", "some value"}}
        << Parts{"abc"};
    QTest::addRow("repeated header joined")
        << Parts{"GET / HTTP/1.1\r\nAccept: a\r\naccept: b\r\n\r\n"} << 1 << "/" << ""
        << Headers{{"accept", "a, b"}} << Parts{};
    QTest::addRow("percent-encoded target")
        << Parts{"GET /a%20b?q=%C3%A9&r=x%26y HTTP/1.1\r\n\r\n"} << 1 << "/a b"
        << QStringLiteral("q=\u00e9&r=x%26y") << Headers{} << Parts{};
    QTest::addRow("HTTP/1.0 without headers")
        << Parts{"GET /old HTTP/1.0\r\n\r\n"} << 1 << "/old" << "" << Headers{} << Parts{};
    QTest::addRow("DELETE") << Parts{"DELETE /x?id=7 HTTP/1.1\r\n\r\n"} << 0 << "/x" << "id=7"
                            << Headers{} << Parts{};
    QTest::addRow("PUT with body") << Parts{"PUT / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"} << 4
                                   << "/" << "" << Headers{{"content-length", "2"}} << Parts{"hi"};
    QTest::addRow("request line split across reads")
        << Parts{"GE", "T /sp", "lit?x=1 HTTP/1.1\r\nHo", "st: h\r\n\r\n"} << 1 << "/split"
        << "x=1" << Headers{{"host", "h"}} << Parts{};
    QTest::addRow("header name and value split across reads")
        << Parts{"GET / HTTP/1.1\r\nX-Lo", "ng: abc", "def\r\nX-", "Other: 1\r\n\r\n"} << 1 << "/"
        << "" << Headers{{"x-long", "abcdef"}, {"x-other", "1"}} << Parts{};
    QTest::addRow("body over three reads")
        << Parts{"POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\naaa", "bbb", "ccc"} << 3 << "/" << ""
        << Headers{{"content-length", "9"}} << Parts{"aaa", "bbb", "ccc"};
    QTest::addRow("chunked body, one span per chunk")
        << Parts{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n"}
        << 3 << "/" << "" << Headers{{"transfer-encoding", "chunked"}} << Parts{"abc", "defg"};
    QTest::addRow("chunk split across reads")
        << Parts{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", "lo\r\n0\r\n\r\n"}
        << 3 << "/" << "" << Headers{{"transfer-encoding", "chunked"}} << Parts{"hel", "lo"};
    QTest::addRow("chunked trailers leave the headers alone")
        << Parts{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nX-A: 1\r\n\r\n"
                 "1\r\nz\r\n0\r\nX-A: 2\r\nX-B: 3\r\nX-C: 4\r\n\r\n"}
        << 3 << "/" << "" << Headers{{"transfer-encoding", "chunked"}, {"x-a", "1"}}
        << Parts{"z"};
}

void tst_QHttpServer::request()
{
    QFETCH(QList<QByteArray>, parts);
    QFETCH(int, method);
    QFETCH(QString, path);
    QFETCH(QString, query);
    QFETCH(Headers, headers);
    QFETCH(QList<QByteArray>, spans);

    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    QTRY_VERIFY(serverSideSocket());
    // Each part is sent once the server has read the one before, so each is a read of its own.
    QSignalSpy reads(serverSideSocket(), &QIODevice::readyRead);
    for (int i = 0; i < parts.size(); ++i) {
        client.send(parts.at(i));
        QTRY_VERIFY2(reads.count() > i, "the server did not read a part");
    }
    const QByteArray response = client.readResponse();

    QCOMPARE(responder->seen.size(), 1);
    const Responder::Seen &seen = responder->seen.first();
    QCOMPARE(seen.method, method);
    QCOMPARE(seen.url.path(), path);
    QCOMPARE(seen.url.query(), query);
    QCOMPARE(seen.headers, headers);
    QCOMPARE(seen.spans, spans);
    QCOMPARE(seen.ends, 1);
    QCOMPARE(RawHttpClient::statusOf(response), 200);
    QCOMPARE(RawHttpClient::headerOf(response, "X-Test"), QByteArray("yes"));
    QCOMPARE(RawHttpClient::bodyOf(response), path.toUtf8());
}

void tst_QHttpServer::keepAliveAndClose_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("connectionHeader");
    QTest::addColumn<bool>("closes");

    QTest::addRow("HTTP/1.1 stays open") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray()
                                         << false;
    QTest::addRow("HTTP/1.1 with Connection: close")
        << QByteArray("GET / HTTP/1.1\r\nConnection: close\r\n\r\n") << QByteArray("close")
        << true;
    QTest::addRow("HTTP/1.0 closes") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("close")
                                     << true;
    QTest::addRow("HTTP/1.0 asking for keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n")
        << QByteArray("keep-alive") << false;
}

void tst_QHttpServer::keepAliveAndClose()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, connectionHeader);
    QFETCH(bool, closes);

    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send(request);
    const QByteArray first = client.readResponse();
    QCOMPARE(RawHttpClient::statusOf(first), 200);
    QCOMPARE(RawHttpClient::headerOf(first, "Connection"), connectionHeader);
    if (closes) {
        QVERIFY2(client.waitForClosed(), "the server kept the connection open");
        QCOMPARE(client.unread(), QByteArray());
        return;
    }
    client.send("GET /second HTTP/1.1\r\n\r\n");
    const QByteArray second = client.readResponse();
    QCOMPARE(RawHttpClient::bodyOf(second), QByteArray("/second"));
    QCOMPARE(responder->seen.size(), 2);
    QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
}

void tst_QHttpServer::pipelinedRequestsAnsweredInOrder_data()
{
    QTest::addColumn<bool>("answerLater");
    QTest::addRow("answered inside end()") << false;
    QTest::addRow("answered later from the event loop") << true;
}

void tst_QHttpServer::pipelinedRequestsAnsweredInOrder()
{
    QFETCH(bool, answerLater);
    responder->answerAtEnd = !answerLater;

    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send("GET /first HTTP/1.1\r\n\r\n"
                "POST /second HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody"
                "GET /third HTTP/1.1\r\n\r\n");
    if (answerLater) {
        for (int i = 1; i <= 3; ++i) {
            QTRY_COMPARE(responder->seen.size(), i);
            // the next request waits until this one is answered
            QTRY_COMPARE(responder->seen.last().ends, 1);
            QCOMPARE(responder->seen.size(), i);
            responder->answerPending();
        }
    }
    const QByteArray paths[] = {"/first", "/second", "/third"};
    for (const QByteArray &path : paths)
        QCOMPARE(RawHttpClient::bodyOf(client.readResponse()), path);
    QCOMPARE(responder->seen.size(), 3);
    QCOMPARE(responder->seen.at(1).spans, QList<QByteArray>{"body"});
    QCOMPARE(client.unread(), QByteArray());
}

void tst_QHttpServer::expectContinue()
{
    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send("POST /up HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
    QCOMPARE(client.readResponse(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
    QCOMPARE(responder->seen.size(), 1);
    client.send("hello");
    const QByteArray response = client.readResponse();
    QCOMPARE(RawHttpClient::statusOf(response), 200);
    QCOMPARE(responder->seen.first().spans, QList<QByteArray>{"hello"});
}

void tst_QHttpServer::headHasNoBody()
{
    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    // The GET right behind shows that no body bytes followed the HEAD answer.
    client.send("HEAD /head HTTP/1.1\r\n\r\nGET /get HTTP/1.1\r\n\r\n");
    const QByteArray head = client.readResponse(true);
    QCOMPARE(RawHttpClient::statusOf(head), 200);
    QCOMPARE(RawHttpClient::headerOf(head, "Content-Length"), QByteArray("5"));
    QVERIFY2(head.endsWith("\r\n\r\n"), head.constData());
    const QByteArray get = client.readResponse();
    QVERIFY2(get.startsWith("HTTP/1.1 200 OK\r\n"), get.constData());
    QCOMPARE(RawHttpClient::bodyOf(get), QByteArray("/get"));
}

void tst_QHttpServer::badRequestClosesConnection_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("handedOut");

    QTest::addRow("garbage request line") << QByteArray("NOT HTTP AT ALL\r\n\r\n") << 400 << 0;
    QTest::addRow("control byte in a header name")
        << QByteArray("GET / HTTP/1.1\r\nBad\x01Name: x\r\n\r\n") << 400 << 0;
    QTest::addRow("Content-Length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n") << 400 << 0;
    QTest::addRow("bad chunk size after the headers")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << 400 << 1;
    QTest::addRow("header section over 64 KiB")
        << QByteArray("GET / HTTP/1.1\r\nX-Big: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n") << 431
        << 0;
    QTest::addRow("request line over 64 KiB")
        << QByteArray("GET /" + QByteArray(70 * 1024, 'a') + " HTTP/1.1\r\n\r\n") << 431 << 0;
    QTest::addRow("bad request after a good one")
        << QByteArray("GET /ok HTTP/1.1\r\n\r\nBROKEN\r\n\r\n") << 400 << 1;
}

void tst_QHttpServer::badRequestClosesConnection()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(int, handedOut);

    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send(request);
    QByteArray response = client.readResponse();
    if (handedOut == 1 && RawHttpClient::statusOf(response) == 200)
        response = client.readResponse();
    QCOMPARE(RawHttpClient::statusOf(response), status);
    QCOMPARE(RawHttpClient::headerOf(response, "Connection"), QByteArray("close"));
    QVERIFY2(client.waitForClosed(), "the server kept a broken connection open");
    QCOMPARE(responder->seen.size(), handedOut);
    verifyStillServing();
}

void tst_QHttpServer::clientResetMidBodyLeavesNothing_data()
{
    QTest::addColumn<bool>("fromInsideData");
    QTest::addRow("reset between reads") << false;
    // the connection must not be freed under its parser
    QTest::addRow("reset while a data() receiver runs an event loop") << true;
}

void tst_QHttpServer::clientResetMidBodyLeavesNothing()
{
    QFETCH(bool, fromInsideData);
    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    QTRY_VERIFY(serverSideSocket());
    const QPointer<QTcpSocket> serverSide = serverSideSocket();
    if (fromInsideData) {
        responder->duringData = [&] {
            client.socket.abort();
            (void)QTest::qWaitFor([&] {
                return !serverSide || serverSide->state() == QAbstractSocket::UnconnectedState;
            });
        };
    }
    client.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\npartial");
    QTRY_COMPARE(responder->seen.size(), 1);
    QTRY_COMPARE(responder->seen.first().spans.size(), 1);
    client.socket.abort();

    QTRY_VERIFY2(server->findChildren<QTcpSocket *>().isEmpty(), "the connection stayed");
    QVERIFY(responder->seen.first().request.isNull());
    QVERIFY(responder->seen.first().response.isNull());
    QCOMPARE(responder->seen.first().ends, 0);
    verifyStillServing();
}

void tst_QHttpServer::endAfterClientGoneIsHarmless()
{
    responder->answerAtEnd = false;
    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send("GET /late HTTP/1.1\r\n\r\n");
    QTRY_COMPARE(responder->seen.size(), 1);
    QTRY_COMPARE(responder->seen.first().ends, 1);
    // answer the moment the server sees the client go, before the connection is released
    connect(serverSideSocket(), &QAbstractSocket::disconnected, responder,
            &Responder::answerPending);
    client.socket.abort();

    QTRY_COMPARE(responder->lateAnswers, 1);
    QTRY_VERIFY2(server->findChildren<QTcpSocket *>().isEmpty(), "the connection stayed");
    verifyStillServing();
}

void tst_QHttpServer::idleConnectionClosed_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status"); // of the first response, 0 for none
    QTest::addColumn<bool>("complete");

    QTest::addRow("after a response") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 200 << true;
    QTest::addRow("headers but no body")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc") << 0 << false;
    QTest::addRow("after 100 Continue")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n")
        << 100 << false;
    QTest::addRow("half a chunked body")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n")
        << 0 << false;
}

void tst_QHttpServer::idleConnectionClosed()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(bool, complete);

    server->setIdleTimeout(200);
    RawHttpClient client;
    QVERIFY(client.connectToPort(port()));
    client.send(request);
    if (status)
        QCOMPARE(RawHttpClient::statusOf(client.readResponse()), status);
    QVERIFY2(client.waitForClosed(10000), "an idle connection stayed open");
    QTRY_VERIFY(server->findChildren<QTcpSocket *>().isEmpty());
    // an unfinished message is not handed on as if it were whole
    QCOMPARE(responder->seen.size(), 1);
    QCOMPARE(responder->seen.first().ends, complete ? 1 : 0);

    // A complete request that waits for its answer is not the client's stall: it outlives
    // a connection that went idle after it, and is then answered.
    responder->answerAtEnd = false;
    RawHttpClient waiting;
    QVERIFY(waiting.connectToPort(port()));
    waiting.send("GET /slow HTTP/1.1\r\n\r\n");
    QTRY_COMPARE(responder->seen.size(), 2);
    QTRY_COMPARE(responder->seen.last().ends, 1);
    RawHttpClient idle;
    QVERIFY(idle.connectToPort(port()));
    QVERIFY2(idle.waitForClosed(10000), "an idle connection stayed open");
    QCOMPARE(waiting.socket.state(), QAbstractSocket::ConnectedState);
    responder->answerPending();
    QCOMPARE(RawHttpClient::bodyOf(waiting.readResponse()), QByteArray("/slow"));
}

void tst_QHttpServer::acceptingPauses_data()
{
    QTest::addColumn<bool>("noDescriptors");
    QTest::addRow("at the connection cap") << false;
    QTest::addRow("without file descriptors") << true;
}

void tst_QHttpServer::acceptingPauses()
{
#if defined(Q_OS_UNIX)
    QFETCH(bool, noDescriptors);

    // sockets of earlier tests still on their way out would free descriptors meanwhile
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    RawHttpClient first;
    if (!noDescriptors) {
        server->setMaxConnections(1);
        QVERIFY(first.connectToPort(port()));
        QTRY_VERIFY(serverSideSocket());
    }
    // Two clients send their requests from the backlog; then, for the second row, the
    // process may open no descriptor more.
    int fds[2];
    for (int &fd : fds) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        const char request[] = "GET /waited HTTP/1.1\r\nConnection: close\r\n\r\n";
        QVERIFY(::send(fd, request, sizeof request - 1, 0) == ssize_t(sizeof request - 1));
    }
    rlimit limit;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    const rlimit saved = limit;
    if (noDescriptors) {
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        limit.rlim_cur = rlim_t(lowestFree);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^cannot accept connections .*")));
    }

    QSignalSpy errors(server->findChild<QTcpServer *>(), &QTcpServer::acceptError);
    // a listener retried at once would fail on every turn of the loop
    for (int turn = 0; turn < 2000; ++turn)
        QCoreApplication::processEvents();
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
    QVERIFY2(errors.count() <= (noDescriptors ? 3 : 0),
             qPrintable(QString::number(errors.count())));
    for (const int fd : fds) {
        char byte;
        QVERIFY2(::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0, "served above the limit");
    }

    // served as soon as a connection closes or descriptors are free again
    first.socket.abort();
    RawHttpClient waiting[2];
    for (int i = 0; i < 2; ++i) {
        QVERIFY(waiting[i].socket.setSocketDescriptor(fds[i]));
        QCOMPARE(RawHttpClient::bodyOf(waiting[i].readResponse()), QByteArray("/waited"));
    }
#else
    QSKIP("descriptor limits are a POSIX matter");
#endif
}

void tst_QHttpServer::clientThatDoesNotRead_data()
{
    QTest::addColumn<bool>("readsLater");
    QTest::addRow("reads once the server has stopped reading") << true;
    QTest::addRow("never reads: aborted by the idle rule") << false;
}

void tst_QHttpServer::clientThatDoesNotRead()
{
    QFETCH(bool, readsLater);

    // 4000 answers of 4 KiB: far more than the system's socket buffers hold.
    const int count = 4000;
    const QByteArray path = '/' + QByteArray(4000, 'p');
    const qint64 bound = 1024 * 1024 + 4200;
    server->setIdleTimeout(readsLater ? 60000 : 300);
    qint64 mostQueued = 0;
    connect(server, &QHttpServer::newRequest, this, [&] {
        mostQueued = qMax(mostQueued, serverSideSocket()->bytesToWrite());
    });

    RawHttpClient client;
    client.socket.setReadBufferSize(4096);
    QVERIFY(client.connectToPort(port()));
    QByteArray requests;
    for (int i = 0; i < count; ++i)
        requests += "GET " + path + " HTTP/1.1\r\n\r\n";
    client.send(requests);
    QTRY_VERIFY(serverSideSocket());
    const QPointer<QTcpSocket> serverSide = serverSideSocket();
    QTRY_VERIFY2(!serverSide || serverSide->bytesToWrite() > bound - 4200,
                 "the output did not pile up");
    if (readsLater) {
        client.socket.setReadBufferSize(0);
        for (int i = 0; i < count; ++i)
            QCOMPARE(RawHttpClient::bodyOf(client.readResponse()), path);
    } else {
        // without waiting for output that cannot drain
        QTRY_VERIFY2_WITH_TIMEOUT(!serverSide, "the stuck connection stayed", 10000);
        QVERIFY(responder->seen.size() < count);
    }
    QVERIFY2(mostQueued <= bound, qPrintable(QString::number(mostQueued)));
}

QTEST_GUILESS_MAIN(tst_QHttpServer)

#include "tst_qhttpserver.moc"

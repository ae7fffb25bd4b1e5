#include "qhttprequest.h"
#include "qhttpresponse.h"
#include "qhttpserver.h"
#include "rawhttpclient.h"

#include <QtTest>

#include <functional>

#if defined(Q_OS_UNIX)
#include <sys/resource.h>

#include <unistd.h>
#endif

class tst_QHttpServer : public QObject
{
    Q_OBJECT

    // answered inside end(), from the event loop, past the idle time or when the client goes
    enum Mode { Now, Later, Held };
    quint16 port() const { return server->findChild<QTcpServer *>()->serverPort(); }
    QAbstractSocket *serverSide() const { return server->findChild<QAbstractSocket *>(); }

    QHttpServer *server = nullptr;
    Mode mode = Now;
    int ends = 0;
    std::function<void()> duringData; // run once, inside the next data()
    QList<QPair<QPointer<QHttpResponse>, QByteArray>> pending;

    // Answers as a server on top of the layer does, with what the request showed: method, path,
    // '!' when it came while an earlier one waited for its answer, the body as read, the headers
    // once the message was whole. Every answer is written twice; the layer must ignore the second.
    void receive(QHttpRequest *request, QHttpResponse *response)
    {
        if (request->url().hasQuery())
            response->setHeader("X-Query", request->url().query(QUrl::FullyDecoded));
        const auto seen = std::make_shared<QByteArray>(QByteArray::number(request->method()) + ' '
                                                       + request->url().path().toUtf8()
                                                       + (pending.isEmpty() ? " " : " ! "));
        connect(request, &QHttpRequest::data, this, [this, seen](const QByteArray &data) {
            *seen += '[' + data + ']';
            if (duringData)
                std::exchange(duringData, nullptr)();
        });
        connect(request, &QHttpRequest::end, this, [this, seen, request, response] {
            QStringList headers;
            for (const QString &name : request->headers().keys())
                headers << name + '=' + request->headers().value(name);
            headers.sort();
            pending.append({response, *seen + '{' + headers.join(';').toUtf8() + '}'});
            ++ends;
            if (mode == Now)
                answerPending();
            else
                QTimer::singleShot(mode == Later ? 0 : 700, this, &tst_QHttpServer::answerPending);
        });
    }

    void answerPending()
    {
        for (const auto &answer : std::exchange(pending, {})) {
            if (answer.first) {
                answer.first->end(answer.second);
                answer.first->end("late");
            }
        }
    }

private slots:
    void init()
    {
        server = new QHttpServer;
        server->setIdleTimeout(300);
        mode = Now;
        ends = 0;
        connect(server, &QHttpServer::newRequest, this, &tst_QHttpServer::receive);
        QVERIFY(server->listen(QHostAddress(QHostAddress::LocalHost), 0));
    }

    void cleanup()
    {
        delete server;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void exchange_data()
    {
        QTest::addColumn<QByteArrayList>("parts"); // each sent once the server has read the last
        QTest::addColumn<int>("answering");
        QTest::addColumn<QByteArray>("expected"); // all the client gets until the connection closes

        const auto row =
                [](const char *name, QByteArrayList parts, QByteArray want, Mode mode = Now) {
                    QTest::addRow("%s", name) << parts << int(mode) << want;
                };
        // the answer showing what (no body for HEAD, method 2) with the layer's Connection header
        const auto ok = [](QByteArray what, QByteArray connection = "close", QByteArray query = {}) {
            return "HTTP/1.1 200 OK\r\n" + (query.isNull() ? query : "X-Query: " + query + "\r\n")
                   + "Content-Length: " + QByteArray::number(what.size()) + "\r\n"
                   + (connection.isEmpty() ? connection : "Connection: " + connection + "\r\n")
                   + "\r\n" + (what.startsWith("2 ") ? QByteArray() : what);
        };
        const QByteArray bad
                = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        const QByteArray goOn = "HTTP/1.1 100 Continue\r\n\r\n";
        const QByteArray pipelined = "HEAD /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
                                     "POST /b HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody"
                                     "GET /c HTTP/1.0\r\n\r\n";
        const QByteArray inOrder = ok("2 /a {connection=keep-alive}", "keep-alive")
                                   + ok("3 /b [body]{content-length=4}", "") + ok("1 /c {}");

        // clang-format off
        row("decoded target, lower-case names, trimmed and joined values, CR/LF in a value",
            {"PUT /a%20b?q=x%26y%0D%0AX-A:1%C3%A9%0A%0DX-B:2 HTTP/1.0\r\nContent-Length: 3\r\n"
             "X-Mixed-CASE:  a value \r\nAccept: a\r\naccept: b\r\n\r\nabc"},
            ok("4 /a b [abc]{accept=a, b;content-length=3;x-mixed-case=a value}", "close",
               "q=x&y  X-A:1\xc3\xa9  X-B:2"));
        row("request line, header and chunk split across reads, trailers leave the headers alone",
            {"PO", "ST /s HTTP/1.0\r\nX-Lo", "ng: ab",
             "c\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n5\r\nhe",
             "llo\r\n0\r\nX-Long: 2\r\nX-B: 3\r\n\r\n"},
            ok("3 /s [abc][he][llo]{transfer-encoding=chunked;x-long=abc}"));
        row("pipelined, HEAD first, answered inside end()", {pipelined}, inOrder);
        row("pipelined, HEAD first, answered from the event loop", {pipelined}, inOrder, Later);
        row("100-continue, then the body",
            {"POST / HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\nConnection: close\r\n"
             "\r\n", "hi"},
            goOn + ok("3 / [hi]{connection=close;content-length=2;expect=100-continue}"));
        row("an upgrade closes after its answer", {"GET / HTTP/1.1\r\nConnection: Upgrade\r\n"
            "Upgrade: x\r\n\r\n\x81\x05hello"}, ok("1 / {connection=Upgrade;upgrade=x}"));
        row("a bad chunk size after a request", {"GET / HTTP/1.1\r\n\r\nPOST / HTTP/1.1\r\n"
            "Transfer-Encoding: chunked\r\n\r\nzz\r\n"}, ok("1 / {}", "") + bad);
        row("headers over 64 KiB", {"GET / HTTP/1.1\r\nX: " + QByteArray(70000, 'a') + "\r\n\r\n"},
            "HTTP/1.1 431 Request Header Fields Too Large\r\n" + bad.mid(26));
        row("idle after a response", {"GET / HTTP/1.1\r\n\r\n"}, ok("1 / {}", ""));
        row("idle after 100 Continue and half the body",
            {"POST / HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n", "abc"}, goOn);
        row("a pending answer outlives the idle time", {"GET / HTTP/1.0\r\n\r\n"}, ok("1 / {}"),
            Held);
        row("reset while a data() receiver runs an event loop",
            {"<abort in data>", "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc"}, "");
        row("answered as the client goes", {"GET / HTTP/1.1\r\n\r\n", "<abort>"}, "", Held);
        // clang-format on
    }

    void exchange()
    {
        QFETCH(QByteArrayList, parts);
        QFETCH(int, answering);
        QFETCH(QByteArray, expected);
        mode = Mode(answering);

        RawHttpClient client;
        QVERIFY(client.connectToPort(port()));
        QTRY_VERIFY(serverSide());
#if defined(Q_OS_LINUX)
        // a program started now holds no socket of ours
        QProcess program;
        program.start("sh", {"-c", "ls -l /proc/$$/fd"});
        QVERIFY(program.waitForFinished(10000));
        QVERIFY2(!program.readAllStandardOutput().contains("socket:"),
                 "a program inherited a socket");
#endif
        const QPointer<QAbstractSocket> socket = serverSide();
        QSignalSpy reads(socket, &QIODevice::readyRead);
        connect(socket, &QAbstractSocket::disconnected, this, &tst_QHttpServer::answerPending);
        for (const QByteArray &part : parts) {
            if (part == "<abort>") {
                client.socket.abort();
            } else if (part == "<abort in data>") { // the connection must outlive its parser
                duringData = [&] {
                    client.socket.abort();
                    QTRY_VERIFY(!socket || socket->state() == QTcpSocket::UnconnectedState);
                };
            } else {
                const int before = reads.count();
                client.send(part);
                QTRY_VERIFY2(reads.count() > before, "the server did not read a part");
            }
        }
        QVERIFY2(client.waitForClosed(), "the connection stayed open");
        QCOMPARE(client.unread(), expected);
        QTRY_VERIFY2(server->findChildren<QAbstractSocket *>().isEmpty(), "the connection stayed");
        // only whole messages were handed on as whole, and each was answered (none when aborted)
        QCOMPARE(ends, expected.isEmpty() ? int(mode == Held) : expected.count(" 200 OK"));
    }

    void clientThatDoesNotRead()
    {
        // 4000 answers of 4 KiB: far more than the system's socket buffers hold
        const QByteArray path = '/' + QByteArray(4000, 'p');
        const qint64 bound = 1024 * 1024 + 4200;
        qint64 queued = 0;   // the most output waiting for the client when a request came
        bool counted = true; // the server's count of unsent output is the socket's
        const auto note = [&] {
            queued = qMax(queued, serverSide()->bytesToWrite());
            counted = counted && server->unsentBytes() == serverSide()->bytesToWrite();
        };
        connect(server, &QHttpServer::newRequest, this, note);
        // the first client reads once the server has stopped reading, the second never does
        for (const int idle : {60000, 300}) {
            server->setIdleTimeout(idle);
            queued = 0;
            RawHttpClient client;
            client.socket.setReadBufferSize(4096);
            QVERIFY(client.connectToPort(port()));
            client.send(QByteArray("GET " + path + " HTTP/1.1\r\n\r\n").repeated(4000));
            QTRY_VERIFY2(queued > bound - 2 * 4200, "the output did not pile up");
            client.socket.setReadBufferSize(idle > 300 ? 0 : 4096);
            for (int i = 0; idle > 300 && i < 4000; ++i)
                QCOMPARE(RawHttpClient::bodyOf(client.readResponse()), "1 " + path + " {}");
            if (idle > 300)
                client.socket.abort();
            // or aborted by the idle rule, without waiting for output that cannot drain
            QTRY_VERIFY2_WITH_TIMEOUT(!serverSide(), "the stuck connection stayed", 10000);
            QVERIFY2(queued <= bound, qPrintable(QString::number(queued)));
            QVERIFY(counted && server->unsentBytes() == 0);
        }
    }

    void acceptingPauses()
    {
#if defined(Q_OS_UNIX)
        // A listener that has accepted before runs out of descriptors: one warning, then a pause.
        // A server that retried at once would find its listening socket readable on every turn.
        auto *listener = server->findChild<QSocketNotifier *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(listener);
        QSignalSpy activations(listener, SIGNAL(activated(int)));
        RawHttpClient client;
        QVERIFY(client.connectToPort(port()));
        client.send("GET /served HTTP/1.0\r\n\r\n");
        rlimit limit;
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        const rlimit saved = limit;
        ::close(int(limit.rlim_cur = rlim_t(::dup(0)))); // the lowest free descriptor is the limit
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^cannot accept connections "));
        for (int turn = 0; turn < 2000; ++turn)
            QCoreApplication::processEvents();
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
        QVERIFY2(activations.count() <= 5, QByteArray::number(activations.count()).constData());
        // the client waited in the backlog, and is served once descriptors are free again
        QVERIFY2(client.unread().isEmpty(), "served above the limit");
        QCOMPARE(RawHttpClient::bodyOf(client.readResponse()), QByteArray("1 /served {}"));
#else
        QSKIP("descriptor limits are a POSIX matter");
#endif
    }
};

QTEST_GUILESS_MAIN(tst_QHttpServer)

#include "tst_qhttpserver.moc"

#include "pelhttpserver.h"
#include "pelhttpserver_p.h"
#include "qhttprequest.h"
#include "rawhttpclient.h"

#include <QNetworkInterface>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using TextHash = QHash<QString, QString>;

namespace {

const QByteArray statusDocument = "{\n    \"status\": \"OK\"\n}\n";
const QByteArray errorDocument = "{\n    \"error\": \"UNUSED_HTTP_METHOD\"\n}\n";

// A server on 127.0.0.1 and a free port; its start line is expected.
std::unique_ptr<PelHttpServer> startOnLoopback()
{
    QTest::ignoreMessage(QtDebugMsg, "server is started on  \"127.0.0.1\" : \"0\"");
    return std::make_unique<PelHttpServer>(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
}

quint16 portOf(const PelHttpServer &server)
{
    return server.findChild<QTcpServer *>()->serverPort();
}

// A reply: status line, the six headers (after any given), the body.
QByteArray reply(const QByteArray &status, const QByteArray &body,
                 const QByteArray &before = "Access-Control-Allow-Origin: *\r\n")
{
    return "HTTP/1.1 " + status + "\r\n" + before + "Content-Length: "
           + QByteArray::number(body.size())
           + "\r\nCache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
             "Content-Type: application/json\r\nPelorin: 1.0\r\nServer: Pelorin v1.0\r\n\r\n"
           + body;
}

} // namespace

class tst_PelHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void configuration_data();
    void configuration();
    void headersDocument_data();
    void headersDocument();
    void startLine_data();
    void startLine();
    void exchange_data();
    void exchange();
    void events();
    void overlappingRequests_data();
    void overlappingRequests();

private:
    QTcpServer occupant;
};

void tst_PelHttpServer::configuration_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("listenHost");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("portNumber");

    const QStringList machine = {"127.0.0.1", "::1", "192.168.1.5", "fe80::1", "10.0.0.7", "::2"};
    const QStringList loopback = {"127.0.0.1", "::1"};
    QTest::addRow("empty: 127.0.0.1 and 9977") << "" << machine << "127.0.0.1" << "" << "9977" << 9977;
    QTest::addRow("127.0.0.1 kept without addresses") << "127.0.0.1" << QStringList() << "127.0.0.1"
                                                      << "8080" << "8080" << 8080;
    QTest::addRow("the last address kept") << "10.0.0.7" << machine << "10.0.0.7" << "abc" << "abc" << 0;
    QTest::addRow("an earlier one gives the last") << "192.168.1.5" << machine << "10.0.0.7" << "0x50"
                                                   << "0x50" << 0;
    QTest::addRow("localhost gives the last") << "localhost" << machine << "10.0.0.7" << "70000"
                                              << "70000" << 4464;
    QTest::addRow("case-sensitive") << "LOCALHOST" << loopback << "" << "-1" << "-1" << 65535;
    QTest::addRow("none but loopback") << "0.0.0.0" << loopback << "" << "65536" << "65536" << 0;
    QTest::addRow("link-local qualifies, 127.0.0.1 not")
        << "x" << QStringList{"127.0.0.2", "169.254.3.4", "127.0.0.1"} << "169.254.3.4" << "1" << "1" << 1;
    QTest::addRow("IPv4-mapped IPv6 does not") << "x" << QStringList{"::ffff:10.0.0.9"} << ""
                                               << "1" << "1" << 1;
}

void tst_PelHttpServer::configuration()
{
    QFETCH(QString, host);
    QFETCH(QStringList, addresses);
    QFETCH(QString, listenHost);
    QFETCH(QString, port);
    QFETCH(QString, portText);
    QFETCH(int, portNumber);

    QList<QHostAddress> list;
    for (const QString &address : addresses)
        list.append(QHostAddress(address));
    QCOMPARE(chooseListenHost(host, list), listenHost);
    QCOMPARE(portTextOrDefault(port), portText);
    QCOMPARE(int(portFromText(portText)), portNumber);
}

void tst_PelHttpServer::headersDocument_data()
{
    QTest::addColumn<TextHash>("headers");
    QTest::addColumn<QByteArray>("expected");

    QTest::addRow("none") << TextHash() << QByteArray("{\n}\n");
    QTest::addRow("sorted case-sensitively") << TextHash{{"b", "1"}, {"a", "2"}, {"B", "3"}}
                                             << QByteArray("{\n    \"B\": \"3\",\n    \"a\": \"2\",\n    \"b\": \"1\"\n}\n");
    QTest::addRow("quote, backslash and control characters escaped, the rest as UTF-8")
        << TextHash{{"k\x01", QString::fromUtf8("\"\\ J\xc3\xbc\n\t\r\x1f\x7f\xe2\x80\xa8\xf0\x9f\x98\x80\b\f/")}}
        << QByteArray("{\n    \"k\\u0001\": \"\\\"\\\\ J\xc3\xbc\\n\\t\\r\\u001f\x7f\xe2\x80\xa8\xf0\x9f\x98\x80\\b\\f/\"\n}\n");
}

void tst_PelHttpServer::headersDocument()
{
    QFETCH(TextHash, headers);
    QFETCH(QByteArray, expected);

    QCOMPARE(::headersDocument(headers), expected);
    // the same bytes as the slow way through QJsonDocument
    QMap<QString, QString> map;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        map.insert(it.key(), it.value());
    QCOMPARE(jsonDocument(map), expected);
}

void tst_PelHttpServer::startLine_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("warning"); // a pattern, or none

    QVERIFY(occupant.isListening() || occupant.listen(QHostAddress::LocalHost, 0));
    const QString taken = QString::number(occupant.serverPort());
    QTest::addRow("empty host, port abc listens on 0, the line shows the text")
        << "" << "abc" << QByteArray("server is started on  \"127.0.0.1\" : \"abc\"") << "";
    QTest::addRow("port in use") << "127.0.0.1" << taken << QByteArray("server is not started")
                                 << "^cannot listen on 127\\.0\\.0\\.1 port " + taken + ": \\S";
    // the rule is kept, and said aloud
    const QString network = lastNonLoopbackIPv4(QNetworkInterface::allAddresses());
    if (!network.isEmpty()) {
        QTest::addRow("localhost listens on the network address, with a warning")
            << "localhost" << "0" << QByteArray("server is started on  \"" + network.toUtf8() + "\" : \"0\"")
            << "^the server listens on " + QRegularExpression::escape(network)
                   + ", which is reachable from the network; CONNECT/HOST=127\\.0\\.0\\.1 keeps it "
                     "on this machine$";
    }
}

void tst_PelHttpServer::startLine()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QByteArray, line);
    QFETCH(QString, warning);

    QTest::ignoreMessage(QtDebugMsg, line.constData());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    PelHttpServer server(host, port);
    const QTcpServer *listener = server.findChild<QTcpServer *>();
    QCOMPARE(listener->isListening(), line.contains("started on"));
    if (listener->isListening()) // where the line says
        QVERIFY(line.contains('"' + listener->serverAddress().toString().toUtf8() + '"'));
}

void tst_PelHttpServer::exchange_data()
{
    QTest::addColumn<QString>("setup"); // a token, a page that receives or listens, its answer
    QTest::addColumn<QByteArrayList>("parts"); // each sent once the last one was emitted
    QTest::addColumn<QByteArray>("expected"); // emissions, the request handed on, the response

    const auto row = [](const char *name, const QString &setup, const QByteArrayList &parts,
                        const QByteArray &expected) {
        QTest::addRow("%s", name) << setup << parts << expected;
    };
    const auto error = [](const QByteArray &status, const QByteArray &code, const QByteArray &text,
                          const QByteArray &before = "") {
        return reply(status, "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + text + "\"\n}\n",
                     before);
    };
    const auto post = [](const QByteArray &headers, const QByteArray &body = "hi") {
        return QByteArrayList{"POST /a%20b/c?x=%41&y HTTP/1.1\r\n" + headers + "Content-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n" + body};
    };
    const QByteArray ok = reply("200 OK", statusDocument);
    const QByteArray unused = reply("200 OK", errorDocument);
    const QByteArray denied = reply("401 Unauthorized", "{\n    \"error\": \"UNAUTHORIZED\"\n}\n",
                                    "WWW-Authenticate: Bearer\r\nAccess-Control-Allow-Origin: *\r\n");
    const QByteArray forbidden =
        error("403 Forbidden", "FORBIDDEN", "web pages may not read what the page holds");
    const QByteArray answered =
        reply("200 OK", "[\"hi\"]", "Preference-Applied: return=representation\r\n");
    const QByteArray prefer = "Prefer: return=representation\r\n";
    const QByteArray page = "POST /a%20b/c?x=%41&y hi\n";
    const QByteArray hi = "hi {\"content-length\": \"2\"}\n" + page;
    const QByteArray preferHi = "hi {\"content-length\": \"2\",\"prefer\": \"return=representation\"}\n" + page;

    row("GET: the query; headers escaped", "",
        {"GET /?a=1 HTTP/1.1\r\nHost: h\r\nX-Note: say \"hi\" \\o/\t\xc3\xbc\xe2\x80\xa8\xf0\x9f\x98\x80/\r\n\r\n"},
        "a=1 {\"host\": \"h\",\"x-note\": \"say \\\"hi\\\" \\\\o/\\t\xc3\xbc\"}\nGET /?a=1 \n" + ok);
    row("GET: a body ignored, the query pretty-decoded", "",
        {"GET /?n=J%C3%BCrgen&s=a%20b&amp=%26 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz"},
        "n=J\xc3\xbcrgen&s=a b&amp=%26 {\"content-length\": \"3\"}\n"
        "GET /?n=J%C3%BCrgen&s=a%20b&amp=%26 \n" + ok);
    row("GET without query or headers", "", {"GET / HTTP/1.1\r\n\r\n"}, " {}\nGET / \n" + ok);
    row("POST: the body, not the query", "", {"POST /?x=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"},
        "abc {\"content-length\": \"3\"}\nPOST /?x=1 abc\n" + ok);
    row("POST without a body: the query", "", {"POST /?x=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
        "x=1 {\"content-length\": \"0\"}\nPOST /?x=1 \n" + ok);
    row("POST: each read, the reply at the end", "",
        {"POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", "def", "ghi"},
        "abc {\"content-length\": \"9\"}\ndef {\"content-length\": \"9\"}\n"
        "ghi {\"content-length\": \"9\"}\nPOST / abcdefghi\n" + ok);
    row("POST: each chunk", "",
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"},
        "abc {\"transfer-encoding\": \"chunked\"}\nde {\"transfer-encoding\": \"chunked\"}\n"
        "POST / abcde\n" + ok);
    row("PUT: nothing", "", {"PUT /?x=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"}, unused);
    row("OPTIONS preflight: nothing", "", {"OPTIONS / HTTP/1.1\r\n\r\n"}, unused);
    row("HEAD: the headers only", "", {"HEAD / HTTP/1.1\r\n\r\n"},
        unused.chopped(errorDocument.size()));
    row("token: passes, the scheme in any case, hidden from the page", "token",
        post("Authorization: bEaReR s3cr\xc3\xa9t\r\n"), hi + ok);
    row("token: none sent", "token", post(""), denied);
    row("token: a prefix of it", "token", post("Authorization: Bearer s3cr\r\n"), denied);
    row("token: more after it", "token", post("Authorization: Bearer s3cr\xc3\xa9tt\r\n"), denied);
    row("token: another scheme", "token", post("Authorization: Basic s3cr\xc3\xa9t\r\n"), denied);
    row("token: sent twice", "token",
        post("Authorization: Bearer s3cr\xc3\xa9t\r\nAuthorization: Bearer s3cr\xc3\xa9t\r\n"),
        denied);
    row("token: other methods too", "token", {"PUT / HTTP/1.1\r\n\r\n"}, denied);
    row("the page's answer", "receiver answer", post(prefer), preferHi + answered);
    row("wait is a preference among others", "receiver answer",
        post("Prefer: respond-async, wait=5,return=representation\r\n"),
        "hi {\"content-length\": \"2\",\"prefer\": \"respond-async, wait=5,return=representation\"}\n"
            + page + answered);
    row("the page throws", "receiver throw", post(prefer),
        preferHi + error("500 Internal Server Error", "PAGE_ERROR", "boom"));
    row("no answer within wait", "receiver", post("Prefer: return=representation; x=1, wait=0\r\n"),
        "hi {\"content-length\": \"2\",\"prefer\": \"return=representation; x=1, wait=0\"}\n" + page
            + error("504 Gateway Timeout", "TIMEOUT", "the page did not answer in time"));
    row("a page without PEL_receive", "listener answer", post(prefer),
        preferHi + error("501 Not Implemented", "NOT_IMPLEMENTED", "the page defines no PEL_receive"));
    row("a web page may not read the answer", "receiver answer",
        post(prefer + "Origin: http://example.com\r\n"), forbidden);
    row("nor a cross-site fetch without Origin", "receiver answer",
        post(prefer + "Sec-Fetch-Site: cross-site\r\n"), forbidden);
    row("nor subscribe to events", "",
        {"GET /events HTTP/1.1\r\nAccept: text/event-stream\r\nOrigin: http://x\r\n\r\n"}, forbidden);
    row("without text/event-stream, /events is a GET", "", {"GET /events HTTP/1.1\r\n\r\n"},
        " {}\nGET /events \n" + ok);
    row("a fetch typed by the user passes", "receiver answer",
        post(prefer + "Sec-Fetch-Site: none\r\n"),
        "hi {\"content-length\": \"2\",\"prefer\": \"return=representation\",\"sec-fetch-site\": "
        "\"none\"}\n" + page + answered);
    row("without the preference, the fixed reply at once", "receiver", post("Origin: http://x\r\n"),
        "hi {\"content-length\": \"2\",\"origin\": \"http://x\"}\n" + page + ok);
    const QByteArray large(PelHttpServer::maxWholeBody + 1, 'x');
    row("a body too large for PEL_receive", "receiver", post("", large),
        error("413 Payload Too Large", "PAYLOAD_TOO_LARGE",
              "the page takes bodies of at most 16777216 bytes", "Access-Control-Allow-Origin: *\r\n"));
    row("PEL_listener pages take any size", "listener", post("", large),
        "POST /a%20b/c?x=%41&y <too large>\n" + ok);
}

void tst_PelHttpServer::exchange()
{
    QFETCH(QString, setup);
    QFETCH(QByteArrayList, parts);
    QFETCH(QByteArray, expected);

    const auto server = startOnLoopback();
    server->setToken(setup.contains("token") ? QStringLiteral("s3cr\u00e9t") : QString());
    server->setPageMode(setup.contains("receiver") ? PelHttpServer::PageMode::Receiver
                        : setup.contains("listener") ? PelHttpServer::PageMode::Listener
                                                     : PelHttpServer::PageMode::Unknown);
    QByteArray log;
    int emissions = 0;
    connect(server.get(), &PelHttpServer::dataProcessed, this, [&](QByteArray data, QByteArray headers) {
        ++emissions;
        if (data.size() < 1024) // a large body's reads are the system's to split
            log += data + ' ' + headers.replace("\n    ", "").replace("\n", "") + '\n';
    });
    connect(server.get(), &PelHttpServer::requestReceived, this, [&](const PageRequest &r) {
        log += r.method + ' ' + r.path + (r.query.isEmpty() ? "" : '?' + r.query) + ' '
               + (r.tooLarge ? "<too large>" : r.body) + '\n';
        if (setup.contains("answer"))
            server->answerRequest(r.id, "[\"" + r.body + "\"]");
        else if (setup.contains("throw"))
            server->refuseRequest(r.id, 500, QStringLiteral("PAGE_ERROR"), QStringLiteral("boom"));
    });
    RawHttpClient client;
    QVERIFY(client.connectToPort(portOf(*server)));
    for (int i = 0; i + 1 < parts.size(); ++i) {
        client.send(parts.at(i));
        QTRY_COMPARE(emissions, i + 1);
        QCOMPARE(client.unread(), QByteArray()); // no reply before the body is complete
    }
    client.send(parts.last());
    log += client.readResponse(parts.first().startsWith("HEAD"), 10000);
    QCOMPARE(log + client.unread(), expected);
}

void tst_PelHttpServer::events()
{
    const auto server = startOnLoopback();
    RawHttpClient first, back, later, idle;
    const auto subscribe = [&](RawHttpClient &client, const QByteArray &headers = "") {
        QVERIFY(client.connectToPort(portOf(*server)));
        client.send("GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n" + headers + "\r\n");
        QVERIFY(QTest::qWaitFor([&] { return client.unread().contains("\n\n"); }));
    };
    const auto receives = [](RawHttpClient &client, const QByteArray &text) {
        return QTest::qWaitFor([&] { return client.unread().endsWith(text); });
    };
    subscribe(first);
    QCOMPARE(first.unread(), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
                             "no-cache\r\nConnection: close\r\n\r\n: events of Pelorin's page\n\n");
    server->publishEvent("{\"n\":1}");
    server->publishEvent("\"two\"");
    server->publishEvent("3");
    QVERIFY(receives(first, "page\n\nid: 1\ndata: {\"n\":1}\n\nid: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n"));
    // one coming back gets what it missed, a new one only what comes next
    subscribe(back, "Last-Event-ID: 1\r\n");
    QVERIFY(receives(back, "page\n\nid: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n"));
    subscribe(later);
    server->publishEvent("4");
    QVERIFY(receives(later, "page\n\nid: 4\ndata: 4\n\n"));
    // one that does not read is cut off rather than kept growing
    subscribe(idle);
    const QByteArray big = '"' + QByteArray(64 * 1024, 'x') + '"';
    for (int i = 0; i < 200; ++i)
        server->publishEvent(big);
    QVERIFY(idle.waitForClosed());
    QVERIFY2(idle.unread().size() < 100 * big.size(), "a subscriber that does not read kept all");
    QVERIFY(QTest::qWaitFor([&] { return first.unread().contains("id: 5\ndata: \"xxx"); }));
}

void tst_PelHttpServer::overlappingRequests_data()
{
    QTest::addColumn<QByteArray>("second"); // sent while the first one's body arrives
    QTest::addColumn<QByteArray>("expected"); // emissions, by the host of their request

    QTest::addRow("POST") << QByteArray("POST / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz")
                          << QByteArray("abc a\nxyz b\ndef a\n");
    QTest::addRow("GET") << QByteArray("GET /?who=b HTTP/1.1\r\nHost: b\r\n\r\n")
                         << QByteArray("abc a\nwho=b b\ndef a\n");
    QTest::addRow("PUT") << QByteArray("PUT / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz")
                         << QByteArray("abc a\ndef a\n");
    QTest::addRow("POST after the first client vanished") << QByteArray() << QByteArray("abc a\nxyz b\n");
}

void tst_PelHttpServer::overlappingRequests()
{
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, expected);

    const auto server = startOnLoopback();
    QByteArray log;
    connect(server.get(), &PelHttpServer::dataProcessed, this, [&](QByteArray data, QByteArray headers) {
        log += data + (headers.contains("\"host\": \"a\"") ? " a\n" : " b\n");
    });
    RawHttpClient first, other;
    QVERIFY(first.connectToPort(portOf(*server)));
    first.send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nabc");
    QTRY_COMPARE(log, QByteArray("abc a\n"));
    if (second.isEmpty()) {
        first.socket.abort();
        // the layer releases the half-read request with its connection
        QTRY_COMPARE(server->findChildren<QHttpRequest *>().size(), 0);
        second = "POST / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz";
    }
    QVERIFY(other.connectToPort(portOf(*server)));
    other.send(second);
    QCOMPARE(RawHttpClient::bodyOf(other.readResponse()),
             second.startsWith("PUT") ? errorDocument : statusDocument);
    if (first.socket.state() == QAbstractSocket::ConnectedState) {
        first.send("def");
        QCOMPARE(RawHttpClient::bodyOf(first.readResponse()), statusDocument);
    }
    // each reply went to its own client, once
    QCOMPARE(first.unread() + other.unread(), QByteArray());
    QCOMPARE(log, expected);
}

QTEST_GUILESS_MAIN(tst_PelHttpServer)

#include "tst_pelhttpserver.moc"

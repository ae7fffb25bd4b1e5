#include <QHostAddress>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "pelhttpserver.h"
#include "pelhttpserver_p.h"
#include "qhttprequest.h"
#include "rawhttpclient.h"

using TextHash = QHash<QString, QString>;

namespace {

const QByteArray statusDocument = QByteArrayLiteral("{\n    \"status\": \"OK\"\n}\n");
const QByteArray errorDocument = QByteArrayLiteral("{\n    \"error\": \"UNUSED_HTTP_METHOD\"\n}\n");

const QByteArray startedOnLoopback = QByteArrayLiteral(
        "server is started on  \"127.0.0.1\" : \"0\"");

// "HTTP/1.1 200 OK", then one entry per header line, without line ends.
QList<QByteArray> headLines(const QByteArray &response)
{
    QList<QByteArray> lines = response.left(response.indexOf("\r\n\r\n")).split('\n');
    for (QByteArray &line : lines)
        line = line.trimmed();
    return lines;
}

quint16 listeningPort(const PelHttpServer &server)
{
    const auto *listener = server.findChild<QTcpServer *>();
    return listener ? listener->serverPort() : 0;
}

// A server on 127.0.0.1 and a free port; its start line is expected.
std::unique_ptr<PelHttpServer> startOnLoopback()
{
    QTest::ignoreMessage(QtDebugMsg, startedOnLoopback.constData());
    return std::make_unique<PelHttpServer>(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
}

} // namespace

class tst_PelHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void listenHost_data();
    void listenHost();
    void portText_data();
    void portText();
    void documents_data();
    void documents();
    void startLine_data();
    void startLine();
    void portInUse();
    void replies_data();
    void replies();
    void pageAnswers_data();
    void pageAnswers();
    void events();
    void emissions_data();
    void emissions();
    void overlappingRequests_data();
    void overlappingRequests();
    void clientVanishesMidBody();
};

void tst_PelHttpServer::listenHost_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("expected");

    const QStringList machine
            = {"127.0.0.1", "::1", "192.168.1.5", "fe80::1", "10.0.0.7", "2001:db8::7"};
    const QStringList loopbackOnly = {"127.0.0.1", "::1"};

    QTest::addRow("empty host listens on 127.0.0.1") << QString() << machine << "127.0.0.1";
    QTest::addRow("127.0.0.1 is kept") << "127.0.0.1" << machine << "127.0.0.1";
    QTest::addRow("127.0.0.1 is kept without addresses")
            << "127.0.0.1" << QStringList() << "127.0.0.1";
    QTest::addRow("detected address is kept") << "10.0.0.7" << machine << "10.0.0.7";
    QTest::addRow("earlier local address gives the last") << "192.168.1.5" << machine << "10.0.0.7";
    QTest::addRow("localhost gives the detected address") << "localhost" << machine << "10.0.0.7";
    QTest::addRow("0.0.0.0 gives the detected address") << "0.0.0.0" << machine << "10.0.0.7";
    QTest::addRow("host name gives the detected address") << "example" << machine << "10.0.0.7";
    QTest::addRow("comparison is case-sensitive") << "LOCALHOST" << loopbackOnly << "";
    QTest::addRow("localhost without addresses is empty") << "localhost" << QStringList() << "";
    QTest::addRow("only loopback addresses leave it empty") << "0.0.0.0" << loopbackOnly << "";
    QTest::addRow("another 127 address qualifies")
            << "x" << QStringList{"127.0.0.2"} << "127.0.0.2";
    QTest::addRow("link-local IPv4 qualifies")
            << "x" << QStringList{"169.254.3.4", "127.0.0.1"} << "169.254.3.4";
    QTest::addRow("IPv4-mapped IPv6 does not qualify")
            << "x" << QStringList{"::ffff:10.0.0.9"} << "";
}

void tst_PelHttpServer::listenHost()
{
    QFETCH(QString, given);
    QFETCH(QStringList, addresses);
    QFETCH(QString, expected);

    QList<QHostAddress> list;
    for (const QString &address : addresses)
        list.append(QHostAddress(address));
    QCOMPARE(chooseListenHost(given, list), expected);
}

void tst_PelHttpServer::portText_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");

    QTest::addRow("empty port is 9977") << QString() << "9977" << 9977;
    QTest::addRow("port 8080 is used as is") << "8080"
                                             << "8080" << 8080;
    QTest::addRow("port abc is 0") << "abc"
                                   << "abc" << 0;
    QTest::addRow("hex text is not a number") << "0x50"
                                              << "0x50" << 0;
    QTest::addRow("port 70000 wraps to 4464") << "70000"
                                              << "70000" << 4464;
    QTest::addRow("port -1 wraps to 65535") << "-1"
                                            << "-1" << 65535;
    QTest::addRow("port 65536 wraps to 0") << "65536"
                                           << "65536" << 0;
}

void tst_PelHttpServer::portText()
{
    QFETCH(QString, given);
    QFETCH(QString, text);
    QFETCH(int, number);

    QCOMPARE(portTextOrDefault(given), text);
    QCOMPARE(int(portFromText(text)), number);
}

void tst_PelHttpServer::documents_data()
{
    QTest::addColumn<TextHash>("entries");
    QTest::addColumn<QByteArray>("expected");

    QTest::addRow("status document")
            << TextHash{{QStringLiteral("status"), QStringLiteral("OK")}} << statusDocument;
    QTest::addRow("error document")
            << TextHash{{QStringLiteral("error"), QStringLiteral("UNUSED_HTTP_METHOD")}}
            << errorDocument;
    QTest::addRow("no entries") << TextHash() << QByteArray("{\n}\n");
    QTest::addRow("host and content-length sorted")
            << TextHash{{QStringLiteral("host"), QStringLiteral("127.0.0.1:9977")},
                        {QStringLiteral("content-length"), QStringLiteral("3")}}
            << QByteArray(
                       "{\n    \"content-length\": \"3\",\n    \"host\": \"127.0.0.1:9977\"\n}\n");
    QTest::addRow("names sort case-sensitively")
            << TextHash{{QStringLiteral("b"), QStringLiteral("1")},
                        {QStringLiteral("a"), QStringLiteral("2")},
                        {QStringLiteral("B"), QStringLiteral("3")}}
            << QByteArray("{\n    \"B\": \"3\",\n    \"a\": \"2\",\n    \"b\": \"1\"\n}\n");
    QTest::addRow("double quote and backslash are escaped")
            << TextHash{{QStringLiteral("x-note"), QStringLiteral("say \"hi\" \\o/")}}
            << QByteArray("{\n    \"x-note\": \"say \\\"hi\\\" \\\\o/\"\n}\n");
    QTest::addRow("line feed is escaped, non-ASCII written as UTF-8")
            << TextHash{{QStringLiteral("x-name"), QString::fromUtf8("J\xc3\xbcrgen\n")}}
            << QByteArray("{\n    \"x-name\": \"J\xc3\xbcrgen\\n\"\n}\n");
    QTest::addRow("control characters in names and values, DEL and beyond the basic plane")
            << TextHash{{QString::fromUtf8("k\x01"),
                         QString::fromUtf8("a\tb\rc\x01\x1f\x7f\xe2\x80\xa8\xf0\x9f\x98\x80\b\f/")}}
            << QByteArray(
                       "{\n    \"k\\u0001\": \"a\\tb\\rc\\u0001\\u001f\x7f\xe2\x80\xa8\xf0\x9f\x98"
                       "\x80\\b\\f/\"\n}\n");
}

void tst_PelHttpServer::documents()
{
    QFETCH(TextHash, entries);
    QFETCH(QByteArray, expected);

    QCOMPARE(headersDocument(entries), expected);

    // the slot itself, through the meta-object, the way the signature names it
    const auto server = startOnLoopback();
    QMap<QString, QString> map;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        map.insert(it.key(), it.value());
    QByteArray result;
    QVERIFY(QMetaObject::invokeMethod(server.get(),
                                      "toJSON",
                                      Qt::DirectConnection,
                                      QGenericReturnArgument("QByteArray", &result),
                                      QGenericArgument("QMap<QString,QString>", &map)));
    QCOMPARE(result, expected);
}

void tst_PelHttpServer::startLine_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("address");

    const QString loopback = QStringLiteral("127.0.0.1");
    QTest::addRow("empty host") << QString() << "0" << startedOnLoopback << loopback;
    QTest::addRow("127.0.0.1") << "127.0.0.1"
                               << "0" << startedOnLoopback << loopback;
    QTest::addRow("port 65536 wraps to 0, line shows the text")
            << "127.0.0.1"
            << "65536" << QByteArray("server is started on  \"127.0.0.1\" : \"65536\"")
            << loopback;
    QTest::addRow("port abc listens on 0, line shows the text")
            << "127.0.0.1"
            << "abc" << QByteArray("server is started on  \"127.0.0.1\" : \"abc\"") << loopback;
    // the rule is kept, and said aloud
    const QString network = lastNonLoopbackIPv4(QNetworkInterface::allAddresses());
    if (!network.isEmpty()) {
        QTest::addRow("localhost listens on the network address, with a warning")
                << "localhost"
                << "0" << QByteArray("server is started on  \"" + network.toUtf8() + "\" : \"0\"")
                << network;
    }
}

void tst_PelHttpServer::startLine()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QByteArray, line);
    QFETCH(QString, address);

    QTest::ignoreMessage(QtDebugMsg, line.constData());
    if (address != QLatin1String("127.0.0.1")) {
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable("the server listens on " + address
                                        + ", which is reachable from the network; "
                                          "CONNECT/HOST=127.0.0.1 keeps it on this machine"));
    }
    PelHttpServer server(host, port);
    const auto *listener = server.findChild<QTcpServer *>();
    QVERIFY2(listener && listener->isListening(), "the listener should be running");
    QCOMPARE(listener->serverAddress(), QHostAddress(address));
}

void tst_PelHttpServer::portInUse()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    const QString taken = QString::number(occupant.serverPort());

    QTest::ignoreMessage(QtDebugMsg, "server is not started");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^cannot listen on 127\\.0\\.0\\.1 port " + taken
                                            + ": \\S"));
    PelHttpServer blocked(QStringLiteral("127.0.0.1"), taken);
    const auto *listener = blocked.findChild<QTcpServer *>();
    QVERIFY2(listener && !listener->isListening(), "the listener exists but does not listen");
}

void tst_PelHttpServer::replies_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QByteArray>("authorization"); // header lines
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("data"); // what the page gets, if anything

    const QByteArray ok = "HTTP/1.1 200 OK";
    const QByteArray denied = "HTTP/1.1 401 Unauthorized";
    const QByteArray unauthorized = "{\n    \"error\": \"UNAUTHORIZED\"\n}\n";
    const QString none;
    const QString token = QStringLiteral("s3cr\u00e9t");
    const QByteArray bearer = "Authorization: Bearer s3cr\xc3\xa9t\r\n";
    QTest::addRow("GET") << QByteArray("GET") << none << QByteArray() << ok << statusDocument
                         << QByteArray("a=1");
    QTest::addRow("POST") << QByteArray("POST") << none << QByteArray() << ok << statusDocument
                          << QByteArray("hi");
    QTest::addRow("PUT") << QByteArray("PUT") << none << QByteArray() << ok << errorDocument
                         << QByteArray();
    QTest::addRow("DELETE") << QByteArray("DELETE") << none << QByteArray() << ok << errorDocument
                            << QByteArray();
    QTest::addRow("OPTIONS preflight") << QByteArray("OPTIONS") << none << QByteArray() << ok
                                       << errorDocument << QByteArray();
    QTest::addRow("PATCH") << QByteArray("PATCH") << none << QByteArray() << ok << errorDocument
                           << QByteArray();
    QTest::addRow("HEAD") << QByteArray("HEAD") << none << QByteArray() << ok << errorDocument
                          << QByteArray();
    QTest::addRow("token: the right bearer passes")
            << QByteArray("POST") << token << bearer << ok << statusDocument << QByteArray("hi");
    QTest::addRow("token: scheme in any case")
            << QByteArray("GET") << token << QByteArray("Authorization: BEARER s3cr\xc3\xa9t\r\n")
            << ok << statusDocument << QByteArray("a=1");
    QTest::addRow("token: none sent") << QByteArray("POST") << token << QByteArray() << denied
                                      << unauthorized << QByteArray();
    QTest::addRow("token: a prefix of it")
            << QByteArray("POST") << token << QByteArray("Authorization: Bearer s3cr\r\n")
            << denied << unauthorized << QByteArray();
    QTest::addRow("token: with more after it")
            << QByteArray("GET") << token << QByteArray("Authorization: Bearer s3cr\xc3\xa9tt\r\n")
            << denied << unauthorized << QByteArray();
    QTest::addRow("token: another scheme")
            << QByteArray("GET") << token << QByteArray("Authorization: Basic s3cr\xc3\xa9t\r\n")
            << denied << unauthorized << QByteArray();
    QTest::addRow("token: sent twice")
            << QByteArray("GET") << token << QByteArray(bearer + bearer) << denied << unauthorized
            << QByteArray();
    QTest::addRow("token: other methods too")
            << QByteArray("PUT") << token << QByteArray() << denied << unauthorized << QByteArray();
}

void tst_PelHttpServer::replies()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, token);
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, data);
    const bool head = method == "HEAD";

    const auto server = startOnLoopback();
    server->setToken(token);
    QSignalSpy spy(server.get(), &PelHttpServer::dataProcessed);
    RawHttpClient client;
    QVERIFY(client.connectToPort(listeningPort(*server)));
    client.send(method + " /?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://x\r\n"
                + authorization + "Content-Length: 2\r\n\r\nhi");
    const QByteArray response = client.readResponse(head);
    QVERIFY2(!response.isEmpty(), "no complete response");
    QList<QByteArray> lines = headLines(response);

    QCOMPARE(lines.takeFirst(), statusLine);
    QCOMPARE(lines.contains("WWW-Authenticate: Bearer"), statusLine.contains(" 401 "));
    QCOMPARE(spy.count(), data.isEmpty() ? 0 : 1);
    if (!data.isEmpty()) {
        QCOMPARE(spy.first().at(0).toByteArray(), data);
        // the token is not the page's to see
        QVERIFY(!spy.first().at(1).toByteArray().contains("authorization"));
    }
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size());
    const QList<QByteArray> expected = {"Access-Control-Allow-Origin: *",
                                        length,
                                        "Cache-Control: no-cache, no-store, max-age=0, "
                                        "must-revalidate",
                                        "Content-Type: application/json",
                                        "Pelorin: 1.0",
                                        "Server: Pelorin v1.0"};
    int previous = -1;
    for (const QByteArray &line : expected) {
        const int at = lines.indexOf(line);
        QVERIFY2(at > previous, line.constData());
        previous = at;
    }
    int lengths = 0;
    for (const QByteArray &line : lines)
        lengths += line.toLower().startsWith("content-length:") ? 1 : 0;
    QCOMPARE(lengths, 1);

    // HEAD announces the error document's length but carries no body bytes
    QCOMPARE(RawHttpClient::bodyOf(response), head ? QByteArray() : body);
    QCOMPARE(client.unread(), QByteArray());
}

void tst_PelHttpServer::pageAnswers_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("page"); // what the page does with the request: answer, throw, nothing
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("body");

    const int receiver = int(PelHttpServer::PageMode::Receiver);
    const int listener = int(PelHttpServer::PageMode::Listener);
    const QByteArray prefer = "Prefer: return=representation\r\n";
    const auto post = [](const QByteArray &headers, const QByteArray &body = "hi") {
        return "POST /a%20b/c?x=%41&y HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
               + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const auto error = [](const QByteArray &code, const QByteArray &message) {
        return "{\n    \"error\": \"" + code + "\",\n    \"message\": \"" + message + "\"\n}\n";
    };
    const QByteArray large(PelHttpServer::maxWholeBody + 1, 'x');

    QTest::addRow("the page's answer") << receiver << post(prefer) << "answer"
                                       << QByteArray("HTTP/1.1 200 OK") << QByteArray("[\"hi\"]");
    QTest::addRow("wait is a preference among others")
            << receiver << post("Prefer: respond-async, wait=5,return=representation\r\n")
            << "answer" << QByteArray("HTTP/1.1 200 OK") << QByteArray("[\"hi\"]");
    QTest::addRow("the page throws")
            << receiver << post(prefer) << "throw" << QByteArray("HTTP/1.1 500 Internal Server Error")
            << error("PAGE_ERROR", "boom");
    QTest::addRow("no answer within wait")
            << receiver << post("Prefer: return=representation; x=1, wait=0\r\n") << "nothing"
            << QByteArray("HTTP/1.1 504 Gateway Timeout")
            << error("TIMEOUT", "the page did not answer in time");
    QTest::addRow("a page without PEL_receive")
            << listener << post(prefer) << "answer" << QByteArray("HTTP/1.1 501 Not Implemented")
            << error("NOT_IMPLEMENTED", "the page defines no PEL_receive");
    QTest::addRow("a web page may not read the answer")
            << receiver << post(prefer + "Origin: http://example.com\r\n") << "answer"
            << QByteArray("HTTP/1.1 403 Forbidden")
            << error("FORBIDDEN", "web pages may not read what the page holds");
    QTest::addRow("nor a cross-site fetch without Origin")
            << receiver << post(prefer + "Sec-Fetch-Site: cross-site\r\n") << "answer"
            << QByteArray("HTTP/1.1 403 Forbidden")
            << error("FORBIDDEN", "web pages may not read what the page holds");
    QTest::addRow("a fetch typed by the user passes")
            << receiver << post(prefer + "Sec-Fetch-Site: none\r\n") << "answer"
            << QByteArray("HTTP/1.1 200 OK") << QByteArray("[\"hi\"]");
    QTest::addRow("without the preference the fixed reply comes at once")
            << receiver << post("Origin: http://example.com\r\n") << "nothing"
            << QByteArray("HTTP/1.1 200 OK") << statusDocument;
    QTest::addRow("a body too large for PEL_receive")
            << receiver << post(QByteArray(), large) << "nothing"
            << QByteArray("HTTP/1.1 413 Payload Too Large")
            << error("PAYLOAD_TOO_LARGE", "the page takes bodies of at most 16777216 bytes");
    QTest::addRow("PEL_listener pages take any size")
            << listener << post(QByteArray(), large) << "nothing" << QByteArray("HTTP/1.1 200 OK")
            << statusDocument;
}

void tst_PelHttpServer::pageAnswers()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, request);
    QFETCH(QString, page);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, body);

    const int receiver = int(PelHttpServer::PageMode::Receiver);
    const auto server = startOnLoopback();
    server->setPageMode(PelHttpServer::PageMode(mode));
    QList<PageRequest> received;
    connect(server.get(), &PelHttpServer::requestReceived, this, [&](const PageRequest &r) {
        received.append(r);
        if (page == QLatin1String("answer"))
            server->answerRequest(r.id, "[\"" + r.body + "\"]");
        else if (page == QLatin1String("throw"))
            server->refuseRequest(r.id, 500, QStringLiteral("PAGE_ERROR"), QStringLiteral("boom"));
    });
    RawHttpClient client;
    QVERIFY(client.connectToPort(listeningPort(*server)));
    client.send(request);
    const QByteArray response = client.readResponse(false, 10000);
    QVERIFY2(!response.isEmpty(), "no complete response");

    QCOMPARE(headLines(response).first(), statusLine);
    QCOMPARE(RawHttpClient::bodyOf(response), body);
    const bool forCaller = request.contains("Prefer:");
    // what the page holds is for its caller only
    QCOMPARE(RawHttpClient::headerOf(response, "Access-Control-Allow-Origin").isEmpty(), forCaller);
    QCOMPARE(RawHttpClient::headerOf(response, "Preference-Applied"),
             QByteArray(statusLine.contains("200") && forCaller ? "return=representation" : ""));
    const bool delivered = !statusLine.contains(" 403 ") && !statusLine.contains(" 413 ");
    QCOMPARE(received.size(), delivered ? 1 : 0);
    if (delivered) {
        const PageRequest &r = received.first();
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.path, QByteArray("/a%20b/c"));
        QCOMPARE(r.query, QByteArray("x=%41&y"));
        // a PEL_listener page has its envelopes; its whole bodies are not kept
        const bool kept = !r.tooLarge && mode == receiver;
        QCOMPARE(r.body.size(), kept ? RawHttpClient::bodyOf(request).size() : 0);
        QCOMPARE(r.headers.value("host"), QStringLiteral("127.0.0.1"));
    }
}

void tst_PelHttpServer::events()
{
    const auto server = startOnLoopback();
    const quint16 port = listeningPort(*server);
    const QByteArray subscribe = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "Accept: text/event-stream\r\n";
    const auto streamOf = [&](const QByteArray &headers, RawHttpClient &client) {
        QVERIFY(client.connectToPort(port));
        client.send(subscribe + headers + "\r\n");
        QVERIFY(QTest::qWaitFor([&] { return client.unread().contains("\r\n\r\n"); }, 5000));
    };
    const auto waitFor = [](RawHttpClient &client, const QByteArray &text) {
        return QTest::qWaitFor([&] { return client.unread().contains(text); }, 5000);
    };

    RawHttpClient first;
    streamOf(QByteArray(), first);
    const QByteArray head = first.unread();
    QVERIFY2(head.startsWith("HTTP/1.1 200 OK\r\n"), head.constData());
    QCOMPARE(RawHttpClient::headerOf(head, "Content-Type"), QByteArray("text/event-stream"));
    QCOMPARE(RawHttpClient::headerOf(head, "Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(RawHttpClient::headerOf(head, "Access-Control-Allow-Origin"), QByteArray());
    server->publishEvent("{\"n\":1}");
    server->publishEvent("\"two\"");
    server->publishEvent("3");
    QVERIFY(waitFor(first, "id: 1\ndata: {\"n\":1}\n\nid: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n"));

    // a subscriber coming back gets what it missed, and a new one only what comes next
    RawHttpClient back;
    streamOf("Last-Event-ID: 1\r\n", back);
    QVERIFY(waitFor(back, "id: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n"));
    QVERIFY(!back.unread().contains("id: 1\n"));
    RawHttpClient later;
    streamOf(QByteArray(), later);
    server->publishEvent("4");
    QVERIFY(waitFor(later, "\n\nid: 4\ndata: 4\n\n"));
    QVERIFY(!later.unread().contains("id: 3\n"));

    // a web page may not listen; without the Accept value it is an ordinary GET
    RawHttpClient site;
    QVERIFY(site.connectToPort(port));
    site.send(subscribe + "Origin: http://example.com\r\n\r\n");
    QVERIFY(site.readResponse().startsWith("HTTP/1.1 403 Forbidden"));
    RawHttpClient plain;
    QVERIFY(plain.connectToPort(port));
    plain.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QCOMPARE(RawHttpClient::bodyOf(plain.readResponse()), statusDocument);

    // one that does not read is cut off rather than kept growing
    RawHttpClient idle;
    streamOf(QByteArray(), idle);
    const QByteArray big = '"' + QByteArray(64 * 1024, 'x') + '"';
    for (int i = 0; i < 200; ++i)
        server->publishEvent(big);
    QVERIFY(idle.waitForClosed(10000));
    QVERIFY2(idle.unread().size() < 100 * big.size(), "a subscriber that does not read kept all");
    QVERIFY(waitFor(first, "id: 5\ndata: \"xxx"));
}

void tst_PelHttpServer::emissions_data()
{
    QTest::addColumn<QByteArrayList>("request"); // parts, each sent after the last emission
    QTest::addColumn<QByteArrayList>("bodies");
    QTest::addColumn<QByteArray>("headers");

    const QByteArray host = "Host: 127.0.0.1:9977\r\n";
    const QByteArray hostOnly = "{\n    \"host\": \"127.0.0.1:9977\"\n}\n";
    const auto lengthAndHost = [](int length) {
        return "{\n    \"content-length\": \"" + QByteArray::number(length)
               + "\",\n    \"host\": \"127.0.0.1:9977\"\n}\n";
    };
    using Parts = QByteArrayList;

    QTest::addRow("GET with query")
            << Parts{"GET /?a=1&b=2 HTTP/1.1\r\n" + host + "\r\n"} << Parts{"a=1&b=2"} << hostOnly;
    QTest::addRow("GET without query")
            << Parts{"GET / HTTP/1.1\r\n" + host + "\r\n"} << Parts{""} << hostOnly;
    QTest::addRow("GET body is ignored, query emitted")
            << Parts{"GET /?g=1 HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nxyz"}
            << Parts{"g=1"} << lengthAndHost(3);
    QTest::addRow("query is pretty-decoded UTF-8")
            << Parts{"GET /?n=J%C3%BCrgen&s=a%20b&amp=%26 HTTP/1.1\r\n" + host + "\r\n"}
            << Parts{"n=J\xc3\xbcrgen&s=a b&amp=%26"} << hostOnly;
    QTest::addRow("POST with body and query emits the body only")
            << Parts{"POST /?x=1 HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc"}
            << Parts{"abc"} << lengthAndHost(3);
    QTest::addRow("POST with empty body emits the query")
            << Parts{"POST /?x=1 HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n"} << Parts{"x=1"}
            << lengthAndHost(0);
    QTest::addRow("body in three reads emits each read, replies at the end")
            << Parts{"POST /?x=1 HTTP/1.1\r\n" + host + "Content-Length: 9\r\n\r\nabc", "def", "ghi"}
            << Parts{"abc", "def", "ghi"} << lengthAndHost(9);
    QTest::addRow("chunked body emits each decoded span")
            << Parts{"POST / HTTP/1.1\r\n" + host
                     + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"}
            << Parts{"abc", "de"}
            << QByteArray("{\n    \"host\": \"127.0.0.1:9977\",\n"
                          "    \"transfer-encoding\": \"chunked\"\n}\n");
    QTest::addRow("HTTP/1.0 without headers")
            << Parts{"GET /?q HTTP/1.0\r\n\r\n"} << Parts{"q"} << QByteArray("{\n}\n");
    QTest::addRow("header value with a double quote")
            << Parts{"GET / HTTP/1.1\r\n" + host + "X-Note: say \"hi\"\r\n\r\n"} << Parts{""}
            << QByteArray("{\n    \"host\": \"127.0.0.1:9977\",\n    \"x-note\": \"say "
                          "\\\"hi\\\"\"\n}\n");
    QTest::addRow("PUT emits nothing")
            << Parts{"PUT /?x=1 HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc"} << Parts{}
            << QByteArray();
    QTest::addRow("OPTIONS emits nothing")
            << Parts{"OPTIONS / HTTP/1.1\r\n" + host + "\r\n"} << Parts{} << QByteArray();
}

void tst_PelHttpServer::emissions()
{
    QFETCH(QByteArrayList, request);
    QFETCH(QByteArrayList, bodies);
    QFETCH(QByteArray, headers);

    const auto server = startOnLoopback();
    QSignalSpy spy(server.get(), &PelHttpServer::dataProcessed);
    RawHttpClient client;
    QVERIFY(client.connectToPort(listeningPort(*server)));
    for (int i = 0; i + 1 < request.size(); ++i) {
        client.send(request.at(i));
        QTRY_COMPARE(spy.count(), i + 1);
        QCOMPARE(client.unread(), QByteArray()); // no reply before the body is complete
    }
    client.send(request.last());
    // every emission comes before the reply is written
    const QByteArray response = client.readResponse();
    QCOMPARE(RawHttpClient::statusOf(response), 200);
    QCOMPARE(RawHttpClient::bodyOf(response), bodies.isEmpty() ? errorDocument : statusDocument);

    QCOMPARE(spy.count(), bodies.size());
    for (int i = 0; i < bodies.size(); ++i) {
        QCOMPARE(spy.at(i).at(0).toByteArray(), bodies.at(i));
        QCOMPARE(spy.at(i).at(1).toByteArray(), headers);
    }
}

void tst_PelHttpServer::overlappingRequests_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("secondReply");
    QTest::addColumn<QByteArrayList>("secondBodies");

    QTest::addRow("POST starts while a body is arriving")
            << QByteArray("POST / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz")
            << statusDocument << QByteArrayList{"xyz"};
    QTest::addRow("GET starts while a body is arriving")
            << QByteArray("GET /?who=b HTTP/1.1\r\nHost: b\r\n\r\n") << statusDocument
            << QByteArrayList{"who=b"};
    QTest::addRow("PUT starts while a body is arriving")
            << QByteArray("PUT / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz")
            << errorDocument << QByteArrayList{};
}

void tst_PelHttpServer::overlappingRequests()
{
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, secondReply);
    QFETCH(QByteArrayList, secondBodies);

    const auto server = startOnLoopback();
    QSignalSpy spy(server.get(), &PelHttpServer::dataProcessed);
    const quint16 port = listeningPort(*server);

    RawHttpClient first;
    QVERIFY(first.connectToPort(port));
    first.send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nabc");
    QTRY_COMPARE(spy.count(), 1);

    RawHttpClient other;
    QVERIFY(other.connectToPort(port));
    other.send(second);
    QCOMPARE(RawHttpClient::bodyOf(other.readResponse()), secondReply);
    QCOMPARE(spy.count(), 1 + secondBodies.size());

    first.send("def");
    QCOMPARE(RawHttpClient::bodyOf(first.readResponse()), statusDocument);
    QCOMPARE(spy.count(), 2 + secondBodies.size());

    // nothing more arrives on either connection: each reply went to its own client once
    QCOMPARE(first.unread(), QByteArray());
    QCOMPARE(other.unread(), QByteArray());

    const QByteArray firstHeaders = "{\n    \"content-length\": \"6\",\n    \"host\": \"a\"\n}\n";
    QCOMPARE(spy.first().at(0).toByteArray(), QByteArray("abc"));
    QCOMPARE(spy.first().at(1).toByteArray(), firstHeaders);
    for (int i = 0; i < secondBodies.size(); ++i) {
        QCOMPARE(spy.at(1 + i).at(0).toByteArray(), secondBodies.at(i));
        QVERIFY(spy.at(1 + i).at(1).toByteArray().contains("\"host\": \"b\""));
    }
    QCOMPARE(spy.last().at(0).toByteArray(), QByteArray("def"));
    QCOMPARE(spy.last().at(1).toByteArray(), firstHeaders);
}

void tst_PelHttpServer::clientVanishesMidBody()
{
    const auto server = startOnLoopback();
    QSignalSpy spy(server.get(), &PelHttpServer::dataProcessed);
    const quint16 port = listeningPort(*server);

    {
        RawHttpClient gone;
        QVERIFY(gone.connectToPort(port));
        gone.send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\nabc");
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(server->findChildren<QHttpRequest *>().size(), 1);
        gone.socket.abort();
    }
    // the layer releases the half-read request with its connection
    QTRY_COMPARE(server->findChildren<QHttpRequest *>().size(), 0);

    // the server goes on answering, and the vanished request causes nothing more
    RawHttpClient next;
    QVERIFY(next.connectToPort(port));
    next.send("POST / HTTP/1.1\r\nHost: b\r\nContent-Length: 3\r\n\r\nxyz");
    QCOMPARE(RawHttpClient::bodyOf(next.readResponse()), statusDocument);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.last().at(0).toByteArray(), QByteArray("xyz"));
}

QTEST_GUILESS_MAIN(tst_PelHttpServer)

#include "tst_pelhttpserver.moc"

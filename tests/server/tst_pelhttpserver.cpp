#include "pelhttpserver.h"
#include "pelhttpserver_p.h"
#include "qhttprequest.h"
#include "rawhttpclient.h"

#include <QtTest>

#include <memory>

// A server on 127.0.0.1 and a free port. Its start line shows the port text, not its number.
static std::unique_ptr<PelHttpServer> startOnLoopback()
{
    QTest::ignoreMessage(QtDebugMsg, "server is started on  \"127.0.0.1\" : \"00\"");
    return std::make_unique<PelHttpServer>(QString(), QStringLiteral("00"));
}

class tst_PelHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void listening();
    void hostCheck_data();
    void hostCheck();
    void exchange_data();
    void exchange();
    void events();
};

// Where the server listens: 127.0.0.1 unless the host names the network, which is the machine's
// last IPv4 address other than 127.0.0.1 (every address when it has none); the port's low 16 bits.
void tst_PelHttpServer::listening()
{
    QList<QHostAddress> machine;
    for (const char *address : {"192.168.1.5", "169.254.3.4", "::2", "127.0.0.1"})
        machine << QHostAddress(QString::fromLatin1(address));
    QCOMPARE(chooseListenHost(QString(), machine), QStringLiteral("127.0.0.1"));
    QCOMPARE(chooseListenHost(QStringLiteral("localhost"), machine), QStringLiteral("169.254.3.4"));
    QCOMPARE(chooseListenHost(QStringLiteral("localhost"), {QHostAddress::LocalHost}), QString());
    QCOMPARE(portFromText(portTextOrDefault(QString())), 9977);
    // nobody waits for the page longer than an hour
    QCOMPARE(answerPreference(QStringLiteral("return=representation, wait=86400")).waitSeconds,
             3600);
}

void tst_PelHttpServer::hostCheck_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("allowed");
    // the configured host is "Pelorin.lan", the machine is "desk"
    for (const QString hosts :
         {"127.0.0.1:9977 10.1.2.3 [::1]:80 [::ffff:7f00:1] LocalHost:1 "
          "app.localhost.:9977 pelorin.LAN.:9977 desk",
          "rebind.test:9977 localhost.evil 127.0.0.1.evil 127.1:9977 "
          "[::1]x [::1 ::1 localhost:99x desk,evil lan [example.com] :9977"}) {
        for (const QString &host : hosts.split(' '))
            QTest::addRow("%s", qPrintable(host)) << host << hosts.startsWith("127.0.0.1:");
    }
}

void tst_PelHttpServer::hostCheck()
{
    QFETCH(QString, host);
    QFETCH(bool, allowed);
    QCOMPARE(hostAllowed(host, {QStringLiteral("Pelorin.lan"), QString(), QStringLiteral("desk")}),
             allowed);
}

void tst_PelHttpServer::exchange_data()
{
    QTest::addColumn<QString>("setup"); // a token, a page that receives or listens, its answer
    QTest::addColumn<QByteArrayList>("parts"); // each once the last showed; "2:" a 2nd client
    QTest::addColumn<QByteArray>("expected");  // emissions, requests handed on, then the replies

    const auto row = [](const char *name, const char *setup, QByteArrayList parts, QByteArray want) {
        QTest::addRow("%s", name) << QString::fromLatin1(setup) << parts << want;
    };
    const QByteArray anyone = "Access-Control-Allow-Origin: *\r\n";
    // status line, the six headers after any others, the body
    const auto reply = [](QByteArray status, QByteArray before, const QByteArray &body) {
        return "HTTP/1.1 " + status + "\r\n" + before
               + "Content-Length: " + QByteArray::number(body.size())
               + "\r\nCache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
                 "Content-Type: application/json\r\nPelorin: 1.0\r\nServer: Pelorin v1.0\r\n\r\n"
               + body;
    };
    const auto error = [](const QByteArray &code, const QByteArray &text = "") {
        const QByteArray message = text.isEmpty() ? "" : ",\n    \"message\": \"" + text + '"';
        return "{\n    \"error\": \"" + code + '"' + message + "\n}\n";
    };
    const auto post = [](const QByteArray &headers, const QByteArray &body = "hi") {
        return QByteArrayList{"POST /a%20b/c?x=%41&y HTTP/1.1\r\n" + headers + "Content-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n" + body};
    };
    const QByteArray ok = reply("200 OK", anyone, "{\n    \"status\": \"OK\"\n}\n");
    const QByteArray unused = reply("200 OK", anyone, error("UNUSED_HTTP_METHOD"));
    const QByteArray bearer = "WWW-Authenticate: Bearer\r\n";
    const QByteArray denied = reply("401 Unauthorized", bearer + anyone, error("UNAUTHORIZED"));
    const QByteArray webPage = "web pages may not read what the page holds";
    const QByteArray forbidden = reply("403 Forbidden", "", error("FORBIDDEN", webPage));
    const QByteArray foreign = reply("403 Forbidden", "", error("FORBIDDEN_HOST"));
    const QByteArray prefer = "Prefer: return=representation\r\n";
    const QByteArray page = "POST /a%20b/c?x=%41&y hi\n";
    const QByteArray noBody = "POST /a%20b/c?x=%41&y \n";
    const QByteArray six = " { \"content-length\": \"6\"\n}\n";
    const QByteArray three = " { \"content-length\": \"3\"\n}\n";
    const QByteArray first = "POST /?x=1 HTTP/1.1\r\nContent-Length: 6\r\n\r\nabc";
    const QByteArray xyz = "2:POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz";
    const QByteArray large(PelHttpServer::maxWholeBody + 1, 'x');

    // clang-format off
    row("GET: the query pretty-decoded, the headers escaped, a body ignored", "",
        {"GET /?n=J%C3%BCrgen&s=a%20b&amp=%26 HTTP/1.1\r\nContent-Length: 3\r\n"
         "X-Note: say \"hi\" \\o/\t\xc3\xbc\xe2\x80\xa8\xf0\x9f\x98\x80\r\n\r\nxyz"},
        "n=J\xc3\xbcrgen&s=a b&amp=%26 { \"content-length\": \"3\", \"x-note\": \"say \\\"hi\\\" "
        "\\\\o/\\t\xc3\xbc\xe2\x80\xa8\xf0\x9f\x98\x80\"\n}\nGET /?n=J%C3%BCrgen&s=a%20b&amp=%26 \n"
        + ok);
    row("POST without a body: the query", "", {"POST /?x=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
        "x=1 { \"content-length\": \"0\"\n}\nPOST /?x=1 \n" + ok);
    row("a POST while a body arrives: each read, not the query, the reply at the end", "",
        {first, xyz, "def"},
        "abc" + six + "xyz" + three + "POST / xyz\ndef" + six + "POST /?x=1 abcdef\n" + ok + ok);
    row("a PUT while a body arrives: nothing of it", "",
        {first, "2:PUT /?x=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz", "def"},
        "abc" + six + "def" + six + "POST /?x=1 abcdef\n" + ok + unused);
    row("a client gone mid-body", "", {first, "<abort>", xyz},
        "abc" + six + "xyz" + three + "POST / xyz\n" + ok);
    row("Host: none on HTTP/1.0", "", {"GET /?a HTTP/1.0\r\n\r\n"}, "a {\n}\nGET /?a \n"
        + QByteArray(ok).replace("\r\n\r\n", "\r\nConnection: close\r\n\r\n"));
    row("Host: another name, refused before the token and the page", "token receiver answer",
        post("Host: rebind.test:1\r\n" + prefer), foreign);
    row("Host: another name, a plain GET", "", {"GET /?a HTTP/1.1\r\nHost: evil\r\n\r\n"}, foreign);
    row("token: passes, the scheme in any case, hidden from the page", "token",
        post("Authorization: bEaReR s3cr\xc3\xa9t\r\n"),
        "hi { \"content-length\": \"2\"\n}\n" + page + ok);
    row("token: a prefix of it", "token", post("Authorization: Bearer s3cr\r\n"), denied);
    row("token: more after it", "token", post("Authorization: Bearer s3cr\xc3\xa9tt\r\n"), denied);
    row("token: another scheme", "token", post("Authorization: Basic s3cr\xc3\xa9t\r\n"), denied);
    row("token: none sent, with any method", "token", {"PUT / HTTP/1.1\r\n\r\n"}, denied);
    // a page that takes whole requests gets no pieces
    row("the page's answer", "receiver answer", post(prefer),
        page + reply("200 OK", "Preference-Applied: return=representation\r\n", "[\"hi\"]"));
    row("what the page throws, as JSON, a lone surrogate escaped", "receiver throw", post(prefer),
        page + reply("500 Internal Server Error", "", error("PAGE_ERROR", "\\\"\\t\xc3\xa9\\ud800")));
    row("no answer within wait, one preference among others", "receiver",
        post("Prefer: respond-async, return=representation; x=1, wait=0\r\n"),
        page + reply("504 Gateway Timeout", "", error("TIMEOUT", "the page did not answer in time")));
    // a PEL_listener page has its envelopes: no whole body is kept for it
    row("a page without PEL_receive", "listener answer", post(prefer),
        "hi { \"content-length\": \"2\", \"prefer\": \"return=representation\"\n}\n" + noBody
        + reply("501 Not Implemented", "", error("NOT_IMPLEMENTED", "the page defines no PEL_receive")));
    row("a web page may not read the answer", "receiver answer",
        post(prefer + "Origin: http://example.com\r\n"), forbidden);
    row("nor a cross-site fetch", "receiver answer",
        post(prefer + "Sec-Fetch-Site: cross-site\r\n"), forbidden);
    row("nor subscribe to events", "",
        {"GET /events HTTP/1.1\r\nAccept: text/event-stream\r\nOrigin: http://x\r\n\r\n"}, forbidden);
    row("/events without text/event-stream is a GET", "", {"GET /events HTTP/1.1\r\n\r\n"},
        " {\n}\nGET /events \n" + ok);
    row("without the preference, the fixed reply at once", "receiver", post("Origin: http://x\r\n"),
        page + ok);
    row("a body too large for PEL_receive", "receiver", post("", large),
        reply("413 Payload Too Large", anyone, error("PAYLOAD_TOO_LARGE",
              "the page takes bodies of at most 16777216 bytes")));
    row("PEL_listener pages take any size", "listener", post("", large), noBody + ok);
    row("too large while the page is not known", "", post("", large),
        "POST /a%20b/c?x=%41&y <too large>\n" + ok);
    // what was answered 200 is never dropped: without room a request is refused, and goes no further
    const QByteArray busy = "Retry-After: 1\r\n";
    row("no room for web pages, a local program still served", "busy",
        {"2:" + post("").first(), post("Origin: http://x\r\n").first()},
        "hi { \"content-length\": \"2\"\n}\n" + page
        + reply("503 Service Unavailable", busy + anyone, error("BUSY")) + ok);
    row("no room for the page, other methods as before", "all busy",
        {"2:PUT / HTTP/1.1\r\n\r\n", post("").first()},
        reply("503 Service Unavailable", busy + anyone, error("BUSY")) + unused);
    row("the room counts bodies being received, and what is kept for each connection",
        "receiver held", {first, xyz, "def", "2:GET /?q HTTP/1.1\r\n\r\n"},
        "held 0 0\nheld 3 0\nheld 3 0\nPOST / xyz\nheld 0 0\nPOST /?x=1 abcdef\nheld 0 3\n"
        "held 0 3\nGET /?q \n" + ok + ok + ok);
    row("no room left once a whole body is in", "receiver late", post(prefer),
        reply("503 Service Unavailable", busy, error("BUSY")));
    // clang-format on
}

void tst_PelHttpServer::exchange()
{
    QFETCH(QString, setup);
    QFETCH(QByteArrayList, parts);
    QFETCH(QByteArray, expected);

    const auto server = startOnLoopback();
    server->setToken(setup.contains("token") ? QStringLiteral("s3cr\u00e9t") : QString());
    const auto mode = setup.contains("receiver")   ? PelHttpServer::PageMode::Receiver
                      : setup.contains("listener") ? PelHttpServer::PageMode::Listener
                                                   : PelHttpServer::PageMode::Unknown;
    server->setPageModeSource([mode] { return mode; });
    QByteArray log;
    server->setPageRoom([&, asked = 0](bool web, qint64 held, qint64 ours) mutable {
        if (setup.contains("held"))
            log += "held " + QByteArray::number(held) + ' ' + QByteArray::number(ours) + '\n';
        return setup.contains("late") ? asked++ == 0 : !setup.contains(web ? "busy" : "all busy");
    });
    connect(server.get(), &PelHttpServer::dataProcessed, this, [&](QByteArray data, QByteArray h) {
        // how a large body is split into reads is the system's matter; its last may be short
        if (!h.contains('"' + QByteArray::number(PelHttpServer::maxWholeBody + 1) + '"'))
            log += data + ' ' + h.replace("\n    ", " "); // the headers document ends the line
    });
    connect(server.get(), &PelHttpServer::requestReceived, this, [&](const PageRequest &r) {
        *r.connectionHeld += setup.contains("held") ? r.body.size() : 0; // kept for the page
        log += r.method + ' ' + r.path + (r.query.isEmpty() ? "" : '?' + r.query) + ' '
               + (r.tooLarge ? "<too large>" : r.body) + '\n';
        if (setup.contains("answer"))
            server->answerRequest(r.id, "[\"" + r.body + "\"]");
        else if (setup.contains("throw"))
            server->refuseRequest(r.id, 500, "PAGE_ERROR", "\"\t\u00e9" + QString(QChar(0xd800)));
    });
    const quint16 port = server->findChild<QTcpServer *>()->serverPort();
    RawHttpClient clients[2];
    for (int i = 0; i < parts.size(); ++i) {
        const int before = log.size();
        RawHttpClient &client = clients[parts.at(i).startsWith("2:")];
        if (parts.at(i) == "<abort>") {
            client.socket.abort(); // the layer releases the half-read request with its connection
            QTRY_VERIFY(server->findChildren<QHttpRequest *>().isEmpty());
            continue;
        }
        QVERIFY(client.socket.isOpen() || client.connectToPort(port));
        client.send(parts.at(i).mid(&client == clients ? 0 : 2));
        if (i + 1 < parts.size()) {
            QTRY_VERIFY(log.size() > before || !clients[1].unread().isEmpty());
            QCOMPARE(clients[0].unread(), QByteArray()); // no reply before the body is complete
        }
    }
    for (RawHttpClient &client : clients)
        log += client.socket.isOpen() ? client.readResponse(false, 10000) : QByteArray();
    QCOMPARE(log + clients[0].unread() + clients[1].unread(), expected);
}

void tst_PelHttpServer::events()
{
    const auto server = startOnLoopback();
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
                            "no-cache\r\nConnection: close\r\n\r\n: events of Pelorin's page\n\n";
    const auto subscribe = [&](RawHttpClient &client, const QByteArray &headers) {
        QVERIFY(client.connectToPort(server->findChild<QTcpServer *>()->serverPort()));
        client.send("GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n" + headers + "\r\n");
        QVERIFY(QTest::qWaitFor([&] { return client.unread().startsWith(head); }));
    };
    // the head and then exactly these events, or these first
    const auto gets = [&](RawHttpClient &c, const QByteArray &events, bool more = false) {
        const QByteArray all = head + events;
        return QTest::qWaitFor([&] { return c.unread().left(more ? all.size() : INT_MAX) == all; });
    };
    RawHttpClient first, back, idle, kept;
    subscribe(first, "");
    for (const char *event : {"{\"n\":1}", "\"two\"", "3"})
        server->publishEvent(event);
    const QByteArray three = "id: 1\ndata: {\"n\":1}\n\nid: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n";
    QVERIFY(gets(first, three));
    // one coming back gets what it missed, a new one only what comes next
    subscribe(back, "Last-Event-ID: 1\r\n");
    QVERIFY(gets(back, "id: 2\ndata: \"two\"\n\nid: 3\ndata: 3\n\n"));
    subscribe(idle, "");
    server->publishEvent("4");
    QVERIFY(gets(idle, "id: 4\ndata: 4\n\n"));
    // one that stops reading falls behind, and is cut off rather than kept growing
    for (int i = 0; i < 1200; ++i)
        server->publishEvent('"' + QByteArray(64 * 1024, 'x') + '"');
    QVERIFY(idle.waitForClosed());
    QVERIFY2(idle.unread().size() < 100 * 64 * 1024, "a subscriber that does not read kept all");
    QVERIFY(gets(first, three + "id: 4\ndata: 4\n\nid: 5\ndata: \"xxx", true));
    // of 1204 events, the newest 1000 are kept for one coming back, which gets them all
    subscribe(kept, "Last-Event-ID: 1\r\n");
    QByteArray all; // each whole and once, large ones going out in pieces
    for (int id = 205; id <= 1204; ++id)
        all += "id: " + QByteArray::number(id) + "\ndata: \"" + QByteArray(64 * 1024, 'x')
               + "\"\n\n";
    QTRY_VERIFY_WITH_TIMEOUT(kept.unread().size() >= head.size() + all.size(), 20000);
    QVERIFY(kept.unread() == head + all);
}

QTEST_GUILESS_MAIN(tst_PelHttpServer)

#include "tst_pelhttpserver.moc"

#include "pelorinrun.h"

#include <QStandardPaths>

#include <signal.h>

namespace {

const QByteArray statusDocument = "{\n    \"status\": \"OK\"\n}\n";
const QString examples = QStringLiteral(EXAMPLES_DIR);

// POSTs body to Pelorin and returns the reply's body; empty when no reply came.
QByteArray post(PelorinRun &run, const QByteArray &body, const QByteArray &contentType)
{
    return RawHttpClient::bodyOf(run.exchange(
            "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(run.port)
            + "\r\nContent-Type: " + contentType
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body));
}

} // namespace

// Runs every example against the real program: the dashboard page in Pelorin's window, the
// companion started through CONNECT/CRYPTO, and each client snippet.
class tst_Examples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dashboardShowsMessagesAsText();
    void dashboardKeepsTheNewestFifty();
    void clientSnippetReachesThePage_data();
    void clientSnippetReachesThePage();
    void companionPostsReadings();
    void companionStopsWhenPelorinIsGone();
    void cleanupTestCase();

private:
    QJsonValue page(const QString &expression) { return dashboard.evaluate(expression); }
    int dashboardCount() { return page(QStringLiteral("dashboardCount()")).toInt(-1); }

    PelorinRun dashboard;
};

void tst_Examples::initTestCase()
{
    QVERIFY2(dashboard.start(examples + QStringLiteral("/dashboard/index.html")),
             "Pelorin with the dashboard page did not come up (is there a display?)");
}

void tst_Examples::dashboardShowsMessagesAsText()
{
    QCOMPARE(dashboardCount(), 0);
    // The page cannot know the configured port, so its hint must not name one.
    const QString hint
            = page("getComputedStyle(document.getElementById('messages'), '::after').content")
                      .toString();
    QVERIFY2(hint.contains(QStringLiteral("Waiting for messages")) && !hint.contains(":9977"),
             qPrintable(hint));
    QCOMPARE(post(dashboard, "{\"sensor\":\"door\",\"open\":true}", "application/json"),
             statusDocument);
    QCOMPARE(post(dashboard, "name=Ada+Lovelace&lang=en", "application/x-www-form-urlencoded"),
             statusDocument);
    // The bare quotation marks make this envelope invalid JSON; the tag must stay text.
    QCOMPARE(post(dashboard, "it's \"quoted\" <b>bold</b>", "text/plain"), statusDocument);

    QTRY_COMPARE_WITH_TIMEOUT(dashboardCount(), 3, 10000);
    QCOMPARE(page("document.getElementById('count').textContent").toString(), QStringLiteral("3"));
    QCOMPARE(page("document.querySelectorAll('#messages .message').length").toInt(), 3);

    const QStringList bodies
            = page("Array.from(document.querySelectorAll('#messages .message .body'))"
                   ".map(function (e) { return e.textContent; })")
                      .toVariant()
                      .toStringList();
    QCOMPARE(bodies.size(), 3);
    QCOMPARE(bodies.at(0), QStringLiteral("it's \"quoted\" <b>bold</b>"));
    QCOMPARE(bodies.at(1), QStringLiteral("name=Ada+Lovelace&lang=en"));
    QCOMPARE(QJsonDocument::fromJson(bodies.at(2).toUtf8()).object(),
             (QJsonObject{{"sensor", "door"}, {"open", true}}));

    QCOMPARE(page("document.querySelectorAll('b').length").toInt(-1), 0);
    QCOMPARE(page("Array.from(document.querySelectorAll('#messages .message'))"
                  ".map(function (e) { return e.querySelector('.kind').textContent; }).join()")
                     .toString(),
             QStringLiteral("raw,form,json"));

    // Headers are shown for every message, the unparsed one included.
    const QString contentTypes
            = page("Array.from(document.querySelectorAll('#messages .message')).map(function (m) {"
                   "  var names = Array.from(m.querySelectorAll('dt'));"
                   "  var at = names.findIndex(function (n) { return n.textContent == "
                   "'content-type'; });"
                   "  return at < 0 ? '' : m.querySelectorAll('dd')[at].textContent; }).join()")
                      .toString();
    QCOMPARE(contentTypes,
             QStringLiteral("text/plain,application/x-www-form-urlencoded,application/json"));
}

void tst_Examples::dashboardKeepsTheNewestFifty()
{
    const int before = dashboardCount();
    QVERIFY(before >= 0);
    for (int n = 1; n <= 60; ++n)
        QCOMPARE(post(dashboard, "{\"n\":" + QByteArray::number(n) + "}", "application/json"),
                 statusDocument);

    QTRY_COMPARE_WITH_TIMEOUT(dashboardCount(), before + 60, 10000);
    QCOMPARE(page("document.querySelectorAll('#messages .message').length").toInt(), 50);
    QCOMPARE(page("document.querySelector('#messages .message .seq').textContent").toString(),
             QStringLiteral("#%1").arg(before + 60));
    QCOMPARE(page("document.querySelector('#messages .message:last-child .body').textContent")
                     .toString(),
             QStringLiteral("{\"n\":11}"));
    QCOMPARE(page("document.querySelector('#numbers .number .value').textContent").toString(),
             QStringLiteral("60"));
}

void tst_Examples::clientSnippetReachesThePage_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("messages");

    const QString clients = examples + QStringLiteral("/clients/");
    QTest::newRow("curl") << "sh" << QStringList{clients + "curl.sh"} << "curl" << 1;
    QTest::newRow("python") << "python3" << QStringList{clients + "post.py"} << "python" << 1;
    QTest::newRow("node") << "node" << QStringList{clients + "post.mjs"} << "node" << 1;
    QTest::newRow("loop") << "sh" << QStringList{clients + "loop.sh", "", "3", "0.1"} << "loop"
                          << 3;
}

void tst_Examples::clientSnippetReachesThePage()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, source);
    QFETCH(int, messages);
    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP(qPrintable(program + " is not installed"));
    // The port goes where the snippet takes it: its first argument.
    if (arguments.size() > 1)
        arguments[1] = QString::number(dashboard.port);
    else
        arguments << QString::number(dashboard.port);

    const int before = dashboardCount();
    QVERIFY(before >= 0);
    QProcess client;
    client.setProcessChannelMode(QProcess::SeparateChannels);
    client.start(program, arguments);
    QVERIFY2(client.waitForFinished(20000), "the snippet did not finish");
    QVERIFY2(client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0,
             client.readAllStandardError().constData());
    QCOMPARE(client.readAllStandardOutput(), statusDocument.repeated(messages));

    QTRY_COMPARE_WITH_TIMEOUT(dashboardCount(), before + messages, 10000);
    const QStringList sources
            = page(QStringLiteral(
                           "Array.from(document.querySelectorAll('#messages .message .body'))"
                           ".slice(0, %1).map(function (e) {"
                           "  return JSON.parse(e.textContent).source; })")
                           .arg(messages))
                      .toVariant()
                      .toStringList();
    QCOMPARE(sources, QStringList(QVector<QString>(messages, source).toList()));
}

void tst_Examples::companionPostsReadings()
{
    PelorinRun run;
    QVERIFY2(run.start(examples + QStringLiteral("/dashboard/index.html"),
                       QStringLiteral("python3 \"%1/companion/loadavg.py\" %PORT%").arg(examples)),
             "Pelorin with the companion did not come up");

    QTRY_VERIFY_WITH_TIMEOUT(run.evaluate("dashboardCount()").toInt() >= 2, 15000);
    const QJsonObject reading = QJsonDocument::fromJson(
                                        run.evaluate("document.querySelector('#messages "
                                                     ".message .body').textContent")
                                                .toString()
                                                .toUtf8())
                                        .object();
    for (const char *name : {"load1", "load5", "load15"})
        QVERIFY2(reading.value(name).isDouble(), name);
    QVERIFY(run.evaluate("document.querySelector('#messages .message .from').textContent")
                    .toString()
                    .startsWith("pelorin-loadavg/"));

    QVERIFY(run.terminate());
}

void tst_Examples::companionStopsWhenPelorinIsGone()
{
    // Nothing listens on this port any more: every POST fails, and the companion must end
    // by itself rather than linger.
    const quint16 port = freeLoopbackPort();
    QProcess companion;
    companion.start(QStringLiteral("python3"),
                    {examples + QStringLiteral("/companion/loadavg.py"),
                     QString::number(port),
                     QStringLiteral("--interval"),
                     QStringLiteral("0.1")});
    QVERIFY(companion.waitForStarted(10000));
    const bool ended = companion.waitForFinished(20000);
    if (!ended) {
        ::kill(static_cast<pid_t>(companion.processId()), SIGKILL);
        companion.waitForFinished(5000);
    }
    QVERIFY2(ended, "the companion kept running with nobody to post to");
    QCOMPARE(companion.exitStatus(), QProcess::NormalExit);
    QCOMPARE(companion.exitCode(), 1);
    QVERIFY(companion.readAllStandardError().contains("5 POSTs"));
}

void tst_Examples::cleanupTestCase()
{
    QVERIFY(dashboard.terminate());
}

QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"

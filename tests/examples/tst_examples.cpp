#include "pelorinrun.h"

#include <QStandardPaths>

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

// Runs every example against the real program: each page in a Pelorin window of its own, the
// companions started through CONNECT/CRYPTO, and each client snippet.
class tst_Examples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dashboardShowsMessagesExactlyAsText();
    void dashboardKeepsTheNewestFifty();
    void clientSnippetReachesThePage_data();
    void clientSnippetReachesThePage();
    void askExitsWithTheAnswer_data();
    void askExitsWithTheAnswer();
    void buttonsChangeWhatThePageShows();
    void listenerShowsCompanionReadings();
    void companionStopsWhenPelorinIsGone_data();
    void companionStopsWhenPelorinIsGone();
    void cleanupTestCase();

private:
    QJsonValue page(const QString &expression) { return dashboard.evaluate(expression); }
    int dashboardCount() { return page(QStringLiteral("dashboardCount()")).toInt(-1); }

    PelorinRun dashboard;
    PelorinRun ask;
    PelorinRun buttons;
    // The older page contract, fed by the load-average companion.
    PelorinRun listener;
};

void tst_Examples::initTestCase()
{
    // All four start at once; each is then waited for.
    QVERIFY(dashboard.launch(examples + QStringLiteral("/dashboard/index.html")));
    QVERIFY(ask.launch(examples + QStringLiteral("/ask/index.html")));
    const QString python = QStringLiteral("python3 \"%1/%2\" %PORT%");
    QVERIFY(buttons.launch(examples + QStringLiteral("/buttons/index.html"),
                           python.arg(examples, QStringLiteral("buttons/buttons.py"))));
    QVERIFY(listener.launch(examples + QStringLiteral("/listener/index.html"),
                            python.arg(examples, QStringLiteral("companion/loadavg.py"))));
    for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
        QVERIFY2(run->waitForPage(),
                 "a Pelorin with an example page did not come up (is there a display?)");
}

void tst_Examples::dashboardShowsMessagesExactlyAsText()
{
    QCOMPARE(dashboardCount(), 0);
    // The page cannot know the configured port, so its hint must not name one.
    const QString hint
            = page("getComputedStyle(document.getElementById('messages'), '::after').content")
                      .toString();
    QVERIFY2(hint.contains(QStringLiteral("Waiting for messages")) && !hint.contains(":9977"),
             qPrintable(hint));
    const QByteArray json = "{\"sensor\":\"door\",\"open\":true}";
    const QByteArray form = "name=Ada+Lovelace&lang=en";
    // Must arrive exactly, and the tag must stay text.
    const QByteArray text = "it's \"quoted\"\t<b>bold</b>\r\nC:\\temp\\x\n";
    QCOMPARE(post(dashboard, json, "application/json"), statusDocument);
    QCOMPARE(post(dashboard, form, "application/x-www-form-urlencoded"), statusDocument);
    QCOMPARE(post(dashboard, text, "text/plain"), statusDocument);

    QTRY_COMPARE_WITH_TIMEOUT(dashboardCount(), 3, 10000);
    QCOMPARE(page("document.getElementById('count').textContent").toString(), QStringLiteral("3"));

    // Newest first: each message's kind, the content-type among its headers, and its body.
    QCOMPARE(page("Array.from(document.querySelectorAll('#messages .message'), function (m) {"
                  "  var names = Array.from(m.querySelectorAll('dt'), function (n) {"
                  "    return n.textContent; });"
                  "  return [m.querySelector('.kind').textContent,"
                  "          m.querySelectorAll('dd')[names.indexOf('content-type')].textContent,"
                  "          m.querySelector('.body').textContent].join(' '); })")
                     .toVariant()
                     .toStringList(),
             (QStringList{"text text/plain " + QString::fromUtf8(text),
                          "form application/x-www-form-urlencoded " + QString::fromUtf8(form),
                          "json application/json " + QString::fromUtf8(json)}));
    QCOMPARE(page("document.querySelectorAll('b').length").toInt(-1), 0);
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
    client.start(program, arguments);
    QVERIFY2(client.waitForFinished(20000), "the snippet did not finish");
    QVERIFY2(client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0,
             client.readAllStandardError().constData());
    QCOMPARE(client.readAllStandardOutput(), statusDocument.repeated(messages));

    QTRY_COMPARE_WITH_TIMEOUT(dashboardCount(), before + messages, 10000);
    const QString sources = QStringLiteral(
            "Array.from(document.querySelectorAll('#messages .message .body')).slice(0, %1)"
            ".map(function (e) { return JSON.parse(e.textContent).source; }).join()");
    QCOMPARE(page(sources.arg(messages)).toString(),
             QStringList(QVector<QString>(messages, source).toList()).join(QLatin1Char(',')));
}

void tst_Examples::askExitsWithTheAnswer_data()
{
    QTest::addColumn<QString>("pelorin");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("yes") << "ask"
                         << "yes" << 0 << QByteArray();
    QTest::newRow("no") << "ask"
                        << "no" << 1 << QByteArray();
    QTest::newRow("page without PEL_receive")
            << "listener" << QString() << 2 << QByteArray("answered 501");
    QTest::newRow("nobody listening") << QString() << QString() << 2 << QByteArray("not reachable");
}

void tst_Examples::askExitsWithTheAnswer()
{
    QFETCH(QString, pelorin);
    QFETCH(QString, button);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, error);
    PelorinRun *run = pelorin == "ask" ? &ask : pelorin == "listener" ? &listener : nullptr;

    const QString question = QStringLiteral("Deploy \"v2\" <b>now</b>?\n\\o/ \u00e9t\u00e9");
    QProcess script;
    script.start(QStringLiteral("sh"),
                 {examples + QStringLiteral("/ask/ask.sh"),
                  question,
                  QString::number(run ? run->port : freeLoopbackPort())});
    if (!button.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(run->evaluate("document.getElementById('question').textContent")
                                          .toString(),
                                  question,
                                  10000);
        run->evaluate(QStringLiteral("document.getElementById('%1').click()").arg(button));
    }
    QVERIFY2(script.waitForFinished(20000), "ask.sh did not finish");
    const QByteArray stderrText = script.readAllStandardError();
    QCOMPARE(script.exitCode(), exitCode);
    QVERIFY2(error.isEmpty() ? stderrText.isEmpty() : stderrText.contains(error),
             stderrText.constData());
}

void tst_Examples::buttonsChangeWhatThePageShows()
{
    // The program shows its state once it listens for clicks.
    const QString count = QStringLiteral("document.getElementById('count').textContent");
    QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), QStringLiteral("0"), 20000);
    const char *const steps[][2] = {{"plus", "1"}, {"plus", "2"}, {"minus", "1"}, {"reset", "0"}};
    for (const auto &step : steps) {
        buttons.evaluate(QStringLiteral("document.getElementById('%1').click()").arg(step[0]));
        const QLatin1String shown(step[1]);
        QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), shown, 10000);
    }
}

void tst_Examples::listenerShowsCompanionReadings()
{
    // The companion's newest envelope; a reading holds nothing that the envelope mangles.
    const QString newest = QStringLiteral(
            "JSON.parse(Array.from(document.getElementById('envelopes').children, function (e) {"
            "  return e.textContent; }).find(function (t) { return t.includes('loadavg/'); }))"
            ".body.load1");
    QTRY_VERIFY_WITH_TIMEOUT(listener.evaluate(newest).isDouble(), 15000);
}

void tst_Examples::companionStopsWhenPelorinIsGone_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("loadavg") << QStringList{"companion/loadavg.py", "--interval", "0.1"}
                             << QByteArray("5 POSTs");
    QTest::newRow("buttons") << QStringList{"buttons/buttons.py"} << QByteArray("5 connections");
}

void tst_Examples::companionStopsWhenPelorinIsGone()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, error);
    // Nothing listens on this port any more: every attempt fails, and the companion must end
    // by itself rather than linger.
    arguments[0] = examples + QLatin1Char('/') + arguments[0];
    arguments.insert(1, QString::number(freeLoopbackPort()));
    QProcess companion;
    companion.start(QStringLiteral("python3"), arguments);
    QVERIFY(companion.waitForStarted(10000));
    QVERIFY2(companion.waitForFinished(20000), "the companion kept running with nobody to talk to");
    QCOMPARE(companion.exitStatus(), QProcess::NormalExit);
    QCOMPARE(companion.exitCode(), 1);
    QVERIFY(companion.readAllStandardError().contains(error));
}

void tst_Examples::cleanupTestCase()
{
    for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
        QVERIFY(run->terminate());
}
QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"

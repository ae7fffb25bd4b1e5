#include "pelorinrun.h"

#include <QStandardPaths>

#if !defined(MOSQUITTO)
#define MOSQUITTO "" // not installed: the fleet is not tested
#endif

namespace {

const QByteArray statusDocument = "{\n    \"status\": \"OK\"\n}\n";
const QString examples = QStringLiteral(EXAMPLES_DIR);

// POSTs body to Pelorin and returns the reply's body; empty when no reply came.
QByteArray post(PelorinRun &run, const QByteArray &body, const QByteArray &contentType)
{
    return RawHttpClient::bodyOf(
            run.exchange("POST / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(run.port)
                         + "\r\nContent-Type: " + contentType + "\r\nContent-Length: "
                         + QByteArray::number(body.size()) + "\r\n\r\n" + body));
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// "pid name" of each live process whose parent (field 1 after the name in /proc/<pid>/stat)
// or process group (field 2) is id.
QStringList processes(int field, qint64 id)
{
    QStringList found;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const int open = stat.indexOf('('), close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (open > 0 && close > open && fields.size() > 2 && fields.at(0) != "Z"
            && fields.at(field).toLongLong() == id)
            found << pid + ' ' + QString::fromUtf8(stat.mid(open + 1, close - open - 1));
    }
    return found;
}

} // namespace

// Runs every example against the real program: each page in a Pelorin window of its own, the
// companions started through CONNECT/CRYPTO, each client snippet, and two fleet displays fed
// through a mosquitto broker of the test's own that takes only a user with a password.
class tst_Examples : public QObject
{
    Q_OBJECT

    PelorinRun dashboard, ask, buttons;
    PelorinRun listener;    // the older page contract, fed by the load-average companion
    PelorinRun alpha, beta; // the fleet
    QTemporaryDir brokerDir;
    QProcess broker;
    quint16 brokerPort = 0;

    QJsonValue page(const QString &expression) { return dashboard.evaluate(expression); }
    QStringList mqtt(const QStringList &arguments) const
    {
        return QStringList{"-h",
                           "127.0.0.1",
                           "-p",
                           QString::number(brokerPort),
                           "-u",
                           "display",
                           "-P",
                           "two words"}
               + arguments;
    }

    // Publishes payloads on topic, one per line, or a lone payload whole, line breaks and all.
    bool publish(const QString &topic, const QList<QByteArray> &payloads)
    {
        QProcess pub;
        pub.start("mosquitto_pub",
                  mqtt({"-q", "1", "-t", topic, payloads.size() == 1 ? "-s" : "-l"}));
        pub.write(payloads.size() == 1 ? payloads.first() : payloads.join('\n') + '\n');
        pub.closeWriteChannel();
        return pub.waitForFinished(30000) && pub.exitStatus() == QProcess::NormalExit
               && pub.exitCode() == 0;
    }

    // Publishes payloads on topic; whether both displays then show them as their newest
    // messages, in order, within timeout ms.
    bool bothDisplaysShow(const QString &topic, const QList<QByteArray> &payloads, int timeout)
    {
        QStringList expected;
        for (const QByteArray &payload : payloads)
            expected << topic + ' ' + QString::fromUtf8(payload);
        const QString shown = QStringLiteral("received.slice(-%1).map(m => m.topic + ' ' + m.body)")
                                      .arg(payloads.size());
        for (QDeadlineTimer deadline(publish(topic, payloads) ? timeout : 0);
             !deadline.hasExpired();
             QTest::qWait(100)) {
            if (alpha.evaluate(shown).toVariant().toStringList() == expected
                && beta.evaluate(shown).toVariant().toStringList() == expected)
                return true;
        }
        return false;
    }

    // Starts mosquitto; whether a probe then becomes the newest message of both displays: then
    // both companions are subscribed, and no earlier message is still on its way.
    bool startBrokerForBothDisplays()
    {
        broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        broker.start(QStringLiteral(MOSQUITTO), {"-c", brokerDir.filePath("mosquitto.conf")});
        for (int n = 1; n <= 60 && broker.waitForStarted(10000); QTest::qWait(200), ++n) {
            if (bothDisplaysShow("pelorin/display/probe", {"probe " + QByteArray::number(n)}, 1000))
                return true;
        }
        return false;
    }

    // Clicks run's button once; "display clicks" of the event then published on name's topic.
    QString clickAndWatchEvents(PelorinRun &run, const QString &name)
    {
        QProcess watch;
        watch.start("mosquitto_sub", mqtt({"-t", "pelorin/events/" + name}));
        QByteArray output; // once it shows a probe of ours the watcher is subscribed
        for (int i = 0; i < 50 && !output.contains("probe"); ++i) {
            publish("pelorin/events/" + name, {"probe"});
            output += watch.waitForReadyRead(200) ? watch.readAllStandardOutput() : "";
        }
        run.evaluate("document.querySelector('button').click()");
        while (!output.contains('{') && watch.waitForReadyRead(20000))
            output += watch.readAllStandardOutput();
        watch.kill();
        watch.waitForFinished();
        const QJsonObject event = QJsonDocument::fromJson(
                                          output.mid(output.indexOf('{')).split('\n').first())
                                          .object();
        return event["display"].toString() + ' ' + QString::number(event["clicks"].toInt());
    }

private slots:
    void initTestCase()
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
            QVERIFY2(run->waitForPage(), "a Pelorin with an example page did not come up");
    }

    void dashboardShowsMessagesExactlyAsText()
    {
        const QByteArray json = "{\"sensor\":\"door\",\"open\":true}";
        const QByteArray form = "name=Ada+Lovelace&lang=en";
        // Must arrive exactly, and the tag must stay text.
        const QByteArray text = "it's \"quoted\"\t<b>bold</b>\r\nC:\\temp\\x\n";
        QCOMPARE(post(dashboard, json, "application/json"), statusDocument);
        QCOMPARE(post(dashboard, form, "application/x-www-form-urlencoded"), statusDocument);
        QCOMPARE(post(dashboard, text, "text/plain"), statusDocument);
        QTRY_COMPARE_WITH_TIMEOUT( // newest first
                page("Array.from(document.querySelectorAll('#messages .body'), e => e.textContent)")
                        .toVariant()
                        .toStringList(),
                (QStringList{QString::fromUtf8(text),
                             QString::fromUtf8(form),
                             QString::fromUtf8(json)}),
                10000);
        QCOMPARE(page("document.querySelectorAll('b').length").toInt(-1), 0);
    }

    void clientSnippetReachesThePage_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments"); // %PORT%: the dashboard's
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("messages");
        const QString clients = examples + QStringLiteral("/clients/");
        QTest::newRow("curl") << "sh" << QStringList{clients + "curl.sh", "%PORT%"} << "curl" << 1;
        QTest::newRow("python") << "python3" << QStringList{clients + "post.py", "%PORT%"}
                                << "python" << 1;
        QTest::newRow("node") << "node" << QStringList{clients + "post.mjs", "%PORT%"} << "node"
                              << 1;
        QTest::newRow("loop") << "sh" << QStringList{clients + "loop.sh", "%PORT%", "3", "0.1"}
                              << "loop" << 3;
    }

    void clientSnippetReachesThePage()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, source);
        QFETCH(int, messages);
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(program + " is not installed"));
        arguments.replaceInStrings("%PORT%", QString::number(dashboard.port));
        QProcess client;
        client.start(program, arguments);
        QVERIFY2(client.waitForFinished(20000), "the snippet did not finish");
        QVERIFY2(client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0,
                 client.readAllStandardError().constData());
        QCOMPARE(client.readAllStandardOutput(), statusDocument.repeated(messages));
        // Each row's source differs from those before: the newest bodies are this snippet's.
        const QString sources = QStringLiteral(
                "Array.from(document.querySelectorAll('#messages .body')).slice(0, %1)"
                ".map(e => JSON.parse(e.textContent).source).join()");
        QTRY_COMPARE_WITH_TIMEOUT(page(sources.arg(messages)).toString(),
                                  QStringList(QVector<QString>(messages, source).toList()).join(','),
                                  10000);
    }

    // ask.sh answers by the button clicked; it and the companions end when nobody listens.
    void scriptExits_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %PORT% is the port of pelorin
        QTest::addColumn<QString>("pelorin");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("error");
        const QStringList ask{"ask/ask.sh",
                              "Deploy \"v2\" <b>now</b>?\n\\o/ \u00e9t\u00e9",
                              "%PORT%"};
        QTest::newRow("yes") << ask << "ask"
                             << "yes" << 0 << QByteArray();
        QTest::newRow("no") << ask << "ask"
                            << "no" << 1 << QByteArray();
        QTest::newRow("page without PEL_receive")
                << ask << "listener" << QString() << 2 << QByteArray("answered 501");
        QTest::newRow("ask, nobody listening")
                << ask << QString() << QString() << 2 << QByteArray("not reachable");
        QTest::newRow("loadavg, nobody listening")
                << QStringList{"companion/loadavg.py", "%PORT%", "--interval", "0.1"} << QString()
                << QString() << 1 << QByteArray("5 POSTs");
        QTest::newRow("buttons, nobody listening")
                << QStringList{"buttons/buttons.py", "%PORT%"} << QString() << QString() << 1
                << QByteArray("5 connections");
    }

    void scriptExits()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, pelorin);
        QFETCH(QString, button);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, error);
        PelorinRun *run = pelorin == "ask" ? &ask : pelorin == "listener" ? &listener : nullptr;
        arguments.replaceInStrings("%PORT%", QString::number(run ? run->port : freeLoopbackPort()));
        arguments[0] = examples + '/' + arguments[0];
        QProcess script;
        script.start(arguments[0].endsWith(".sh") ? "sh" : "python3", arguments);
        if (!button.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(run->evaluate(
                                                 "document.getElementById('question').textContent")
                                              .toString(),
                                      arguments[1],
                                      10000);
            run->evaluate(QStringLiteral("document.getElementById('%1').click()").arg(button));
        }
        QVERIFY2(script.waitForFinished(20000), "it kept running");
        const QByteArray stderrText = script.readAllStandardError();
        QCOMPARE(script.exitStatus(), QProcess::NormalExit);
        QCOMPARE(script.exitCode(), exitCode);
        QVERIFY2(error.isEmpty() ? stderrText.isEmpty() : stderrText.contains(error),
                 stderrText.constData());
    }

    void buttonsChangeWhatThePageShows()
    {
        // The program shows its state once it listens for clicks.
        const QString count = QStringLiteral("document.getElementById('count').textContent");
        QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), QStringLiteral("0"), 20000);
        const char *const steps[][2] = {{"plus", "1"},
                                        {"plus", "2"},
                                        {"minus", "1"},
                                        {"reset", "0"}};
        for (const auto &step : steps) {
            buttons.evaluate(QStringLiteral("document.getElementById('%1').click()").arg(step[0]));
            QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(),
                                      QLatin1String(step[1]),
                                      10000);
        }
    }

    void listenerShowsCompanionReadings()
    {
        // The companion's newest envelope; a reading holds nothing that the envelope mangles.
        QTRY_VERIFY_WITH_TIMEOUT(
                listener.evaluate("JSON.parse(Array.from(document.getElementById('envelopes')"
                                  ".children, e => e.textContent).find(t => t.includes("
                                  "'loadavg/'))).body.load1")
                        .isDouble(),
                15000);
    }

    void fleetDisplaysFollowTheBroker()
    {
        if (QStringLiteral(MOSQUITTO).isEmpty())
            QSKIP("mosquitto is not installed");
        brokerPort = freeLoopbackPort();
        const QString dir = brokerDir.path();
        // As root mosquitto would become the user mosquitto, who cannot read dir.
        const QByteArray config = "listener " + QByteArray::number(brokerPort)
                                  + " 127.0.0.1\nallow_anonymous false\nuser root\npassword_file "
                                  + dir.toUtf8() + "/passwd\n";
        QVERIFY(writeFile(dir + "/mosquitto.conf", config)
                && writeFile(dir + "/secret", "two words\n"));
        QCOMPARE(QProcess::execute("mosquitto_passwd",
                                   {"-b", "-c", dir + "/passwd", "display", "two words"}),
                 0);
        const QString companion = QStringLiteral(
                "python3 %1/fleet/companion.py %PORT% --broker 127.0.0.1 --broker-port %2 "
                "--name %3 --username display --password-file %4/secret");
        for (PelorinRun *run : {&alpha, &beta})
            QVERIFY(run->start(examples + "/fleet/index.html",
                               companion.arg(examples)
                                       .arg(brokerPort)
                                       .arg(run == &alpha ? "alpha" : "beta", dir)));
        // The displays come up before the broker: their first connection attempts fail.
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not subscribe");
        QList<QByteArray> numbered;
        for (int n = 1; n <= 200; ++n)
            numbered << "message " + QByteArray::number(n);
        QVERIFY2(bothDisplaysShow("pelorin/display/all", numbered, 30000), "lost or reordered");
        QVERIFY(bothDisplaysShow(
                "pelorin/display/hall 2/\xc3\xbc"
                "ber",
                {"<img src=x onerror=\"document.title='owned'\">\n\"q\" \\ \xc3\xa9"},
                30000));
        QCOMPARE(alpha.evaluate("document.querySelectorAll('img').length").toInt(-1), 0);
        QCOMPARE(clickAndWatchEvents(alpha, "alpha"), QStringLiteral("alpha 1"));

        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
        QVERIFY2(startBrokerForBothDisplays(),
                 "no broker again, or the companions did not resubscribe");
        QVERIFY(bothDisplaysShow("pelorin/display/all", {"after", "the", "restart"}, 30000));
        QCOMPARE(clickAndWatchEvents(beta, "beta"), QStringLiteral("beta 1"));

        for (PelorinRun *run : {&alpha, &beta}) {
            const QStringList children = processes(1, run->process.processId()).filter(" python3");
            QCOMPARE(children.size(), 1);
            const qint64 companionPid = children.first().section(' ', 0, 0).toLongLong();
            // The MQTT clients must stay in the companion's group, which Pelorin ends.
            const QString members = processes(2, companionPid).join(' ');
            QVERIFY2(members.contains(" mosquitto_sub") && members.contains(" mosquitto_pub"),
                     qPrintable(members));
            QVERIFY(run->terminate());
            QTRY_VERIFY2_WITH_TIMEOUT(processes(2, companionPid).isEmpty(),
                                      qPrintable(processes(2, companionPid).join(' ')),
                                      10000);
        }
    }

    void cleanupTestCase()
    {
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY(run->terminate());
        broker.terminate();
        if (!broker.waitForFinished(10000))
            broker.kill();
    }
};

QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"

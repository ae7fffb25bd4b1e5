#include "pelorinrun.h"

#include <QStandardPaths>

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

// pgrep's "pid name" lines for selection, of processes that are not zombies.
QByteArray pgrep(const QStringList &selection)
{
    QProcess pgrep;
    pgrep.start("pgrep", QStringList{"-l", "-r", "D,I,R,S,T,t"} + selection);
    return pgrep.waitForFinished(10000) ? pgrep.readAllStandardOutput() : "pgrep hung";
}

} // namespace

// Runs every example against the real program: each page in a Pelorin window of its own, the
// companions started through CONNECT/CRYPTO, each client snippet, and two fleet displays fed
// through a mosquitto broker of the test's own.
class tst_Examples : public QObject
{
    Q_OBJECT

    PelorinRun dashboard, ask, buttons;
    PelorinRun listener;    // the older page contract, fed by the load-average companion
    PelorinRun alpha, beta; // the fleet
    QTemporaryDir brokerDir;
    QProcess broker;
    QStringList mqtt; // mosquitto_pub's and mosquitto_sub's broker

    QJsonValue page(const QString &expression) { return dashboard.evaluate(expression); }
    // Publishes payloads on topic, one per line, or a lone payload whole, line breaks and all.
    bool publish(const QString &topic, const QList<QByteArray> &payloads)
    {
        QProcess pub;
        pub.start("mosquitto_pub",
                  mqtt + QStringList{"-q", "1", "-t", topic, payloads.size() == 1 ? "-s" : "-l"});
        pub.write(payloads.size() == 1 ? payloads.first() : payloads.join('\n') + '\n');
        pub.closeWriteChannel();
        return pub.waitForFinished(30000) && pub.exitStatus() == QProcess::NormalExit
               && pub.exitCode() == 0;
    }

    // Publishes payloads on topic; whether both displays then show them as their newest
    // messages, in order, within timeout ms.
    bool bothDisplaysShow(const QString &topic, const QList<QByteArray> &payloads, int timeout)
    {
        const QString expected = topic + ' ' + payloads.join("\n" + topic.toUtf8() + ' ');
        const QString shown = "received.slice(-" + QString::number(payloads.size())
                              + ").map(m => m.topic + ' ' + m.body).join('\\n')";
        return publish(topic, payloads)
               && QTest::qWaitFor(
                       [&] {
                           return alpha.evaluate(shown) == expected
                                  && beta.evaluate(shown) == expected;
                       },
                       timeout);
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
        watch.start("mosquitto_sub", mqtt + QStringList{"-t", "pelorin/events/" + name});
        QByteArray output; // once it shows a probe of ours the watcher is subscribed
        for (int i = 0; i < 50 && !output.contains("probe"); ++i) {
            publish("pelorin/events/" + name, {"probe"});
            output += watch.waitForReadyRead(200) ? watch.readAllStandardOutput() : "";
        }
        run.evaluate("document.querySelector('button').click()");
        while (!output.contains("}\n") && watch.waitForReadyRead(20000))
            output += watch.readAllStandardOutput();
        const QJsonObject event = QJsonDocument::fromJson(output.mid(output.indexOf('{'))).object();
        return event["display"].toString() + ' ' + QString::number(event["clicks"].toInt());
    }

private slots:
    void initTestCase()
    {
        const QString python = "python3 \"" + examples + "/%1\" %PORT%";
        QVERIFY(dashboard.launch(examples + "/dashboard/index.html"));
        QVERIFY(ask.launch(examples + "/ask/index.html"));
        QVERIFY(buttons.launch(examples + "/buttons/index.html", python.arg("buttons/buttons.py")));
        QVERIFY(listener.launch(examples + "/listener/index.html",
                                python.arg("companion/loadavg.py")));
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY2(run->waitForPage(), "a Pelorin with an example page did not come up");
    }

    void dashboardShowsMessagesExactlyAsText()
    {
        // Must arrive exactly, newest first, and the tag must stay text.
        const QByteArray json = "{\"sensor\":\"door\",\"open\":true}";
        const QByteArray text = "it's \"quoted\"\t<b>bold</b>\r\nC:\\temp\\x\n";
        QCOMPARE(post(dashboard, json, "application/json"), statusDocument);
        QCOMPARE(post(dashboard, text, "text/plain"), statusDocument);
        const QString bodies
                = "Array.from(document.querySelectorAll('#messages .body'), e => e.textContent)";
        QTRY_COMPARE_WITH_TIMEOUT(page(bodies).toVariant().toStringList(),
                                  (QStringList{text, json}),
                                  10000);
        QCOMPARE(page("document.querySelectorAll('b').length").toInt(-1), 0);
    }

    // Each example program against a Pelorin, or with nobody listening on its port.
    void exampleProgram_data()
    {
        QTest::addColumn<QString>("command"); // program and arguments; %PORT%: pelorin's port
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("pelorin"); // and /button: clicked once the question shows
        QTest::addColumn<int>("replies");     // stdout: that many replies, nothing else
        QTest::addColumn<QString>("error");   // in stderr
        // The clients' data tags are the sources they name in their messages.
        QTest::newRow("curl") << "sh clients/curl.sh %PORT%" << 0 << "dashboard" << 1 << "";
        QTest::newRow("python") << "python3 clients/post.py %PORT%" << 0 << "dashboard" << 1 << "";
        QTest::newRow("node") << "node clients/post.mjs %PORT%" << 0 << "dashboard" << 1 << "";
        QTest::newRow("loop") << "sh clients/loop.sh %PORT% 3 0.1" << 0 << "dashboard" << 3 << "";
        const QString ask = "sh ask/ask.sh Deploy\"v2\"<b>now</b>?\n\\o/\u00e9t\u00e9 %PORT%";
        QTest::newRow("ask yes") << ask << 0 << "ask/yes" << 0 << "";
        QTest::newRow("ask no") << ask << 1 << "ask/no" << 0 << "";
        QTest::newRow("ask no PEL_receive") << ask << 2 << "listener" << 0 << "answered 501";
        QTest::newRow("ask nobody") << ask << 2 << "" << 0 << "not reachable";
        QTest::newRow("loadavg alone") << "python3 companion/loadavg.py %PORT% --interval 0.1" << 1
                                       << "" << 0 << "5 POSTs";
        QTest::newRow("buttons alone")
                << "python3 buttons/buttons.py %PORT%" << 1 << "" << 0 << "5 connections";
    }

    void exampleProgram()
    {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, pelorin);
        QFETCH(int, replies);
        QFETCH(QString, error);
        const QString button = pelorin.section('/', 1);
        const QMap<QString, PelorinRun *> runs{{"dashboard", &dashboard},
                                               {"ask", &ask},
                                               {"listener", &listener}};
        PelorinRun *run = runs.value(pelorin.section('/', 0, 0));
        QStringList arguments = command.split(' ');
        arguments.replaceInStrings("%PORT%", QString::number(run ? run->port : freeLoopbackPort()));
        const QString program = arguments.takeFirst();
        arguments[0].prepend(examples + '/');
        if (QStandardPaths::findExecutable(program).isEmpty())
            QSKIP(qPrintable(program + " is not installed"));
        QProcess script;
        script.start(program, arguments);
        const QString question = "document.getElementById('question').textContent";
        if (!button.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(run->evaluate(question).toString(), arguments[1], 10000);
        // Clicked until it ends: the button takes no click while no question shows.
        for (int i = 0; !button.isEmpty() && i < 40 && !script.waitForFinished(500); ++i)
            run->evaluate("document.getElementById('" + button + "').click()");
        QVERIFY2(script.state() == QProcess::NotRunning || script.waitForFinished(20000), "running");
        const QByteArray stderrText = script.readAllStandardError();
        QVERIFY2(script.exitStatus() == QProcess::NormalExit && script.exitCode() == exitCode
                         && stderrText.contains(error.toUtf8()),
                 stderrText.constData());
        QCOMPARE(script.readAllStandardOutput(), statusDocument.repeated(replies));
        // Each client's source differs from those before: the newest bodies are this client's.
        const QString sources
                = "Array.from(document.querySelectorAll('#messages .body'))"
                  ".slice(0, %1).every(e => JSON.parse(e.textContent).source == '%2')";
        if (run == &dashboard)
            QTRY_VERIFY_WITH_TIMEOUT(page(sources.arg(replies).arg(QTest::currentDataTag())).toBool(),
                                     10000);
    }

    void companionsDriveTheirPages()
    {
        // The companion's newest envelope; a reading holds nothing that the envelope mangles.
        const QString load = "JSON.parse(Array.from(envelopes.children, e => e.textContent)"
                             ".find(t => t.includes('loadavg/'))).body.load1";
        QTRY_VERIFY_WITH_TIMEOUT(listener.evaluate(load).isDouble(), 15000);
        // The buttons program shows its state once it listens for clicks.
        const QString count = "document.getElementById('count').textContent";
        QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), QStringLiteral("0"), 20000);
        for (const QString step : {"plus 1", "plus 2", "minus 1", "reset 0"}) {
            buttons.evaluate("document.getElementById('" + step.chopped(2) + "').click()");
            QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), step.right(1), 10000);
        }
    }

    void fleetDisplaysFollowTheBroker()
    {
        if (!QFileInfo(QStringLiteral(MOSQUITTO)).isExecutable())
            QSKIP("mosquitto is not installed");
        const quint16 brokerPort = freeLoopbackPort();
        mqtt = QStringLiteral("-h 127.0.0.1 -p %1").arg(brokerPort).split(' ');
        QFile config(brokerDir.filePath("mosquitto.conf"));
        // As root mosquitto would become the user mosquitto, who cannot read our folder.
        QVERIFY(config.open(QIODevice::WriteOnly)
                && config.write("allow_anonymous true\nuser root\nlistener "
                                + QByteArray::number(brokerPort) + " 127.0.0.1\n")
                           > 0);
        config.close();
        const QString companion = QStringLiteral(
                "python3 %1/fleet/companion.py %PORT% --broker 127.0.0.1 --broker-port %2 "
                "--name %3");
        for (PelorinRun *run : {&alpha, &beta})
            QVERIFY(run->start(examples + "/fleet/index.html",
                               companion.arg(examples)
                                       .arg(brokerPort)
                                       .arg(run == &alpha ? "alpha" : "beta")));
        // The displays come up before the broker: their first connection attempts fail.
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not subscribe");
        QList<QByteArray> numbered;
        for (int n = 1; n <= 200; ++n)
            numbered << "message " + QByteArray::number(n);
        QVERIFY2(bothDisplaysShow("pelorin/display/all", numbered, 30000), "lost or reordered");
        const QByteArray markup
                = "<img src=x onerror=\"document.title='owned'\">\n\"q\" \\ \xc3\xa9";
        QVERIFY(bothDisplaysShow("pelorin/display/hall 2/\u00fcber", {markup}, 30000));
        QCOMPARE(alpha.evaluate("document.querySelectorAll('img').length").toInt(-1), 0);
        QCOMPARE(clickAndWatchEvents(alpha, "alpha"), QStringLiteral("alpha 1"));

        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
        // Both get messages again, and events are published again.
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not resubscribe");
        QCOMPARE(clickAndWatchEvents(beta, "beta"), QStringLiteral("beta 1"));

        for (PelorinRun *run : {&alpha, &beta}) {
            // The MQTT clients must stay in the companion's group, which Pelorin ends.
            const QString pelorin = QString::number(run->process.processId());
            const QString companion = pgrep({"-P", pelorin, "python3"}).split(' ').first();
            const QByteArray group = pgrep({"-g", companion});
            QVERIFY2(group.contains(" mosquitto_sub") && group.contains(" mosquitto_pub"),
                     group.constData());
            QVERIFY(run->terminate());
            QTRY_VERIFY2_WITH_TIMEOUT(pgrep({"-g", companion}).isEmpty(), group.constData(), 10000);
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

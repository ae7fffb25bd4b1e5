#include "pelorinrun.h"

#include <QStandardPaths>

namespace {

const QByteArray statusDocument = "{\n    \"status\": \"OK\"\n}\n";
const QString examples = QStringLiteral(EXAMPLES_DIR);

// pgrep's "pid name" lines for selection, of processes that are not zombies.
QByteArray pgrep(const QStringList &selection)
{
    QProcess pgrep;
    pgrep.start("pgrep", QStringList{"-l", "-r", "D,I,R,S,T,t"} + selection);
    return pgrep.waitForFinished(10000) ? pgrep.readAllStandardOutput() : "pgrep hung";
}

} // namespace

// Every example against the real program: each page in a Pelorin of its own, the companions
// through CONNECT/CRYPTO, the client snippets, two fleet displays on a mosquitto of our own.
class tst_Examples : public QObject
{
    Q_OBJECT

    PelorinRun dashboard, ask, buttons;
    PelorinRun listener;    // the older page contract, fed by the load-average companion
    PelorinRun alpha, beta; // the fleet
    QProcess broker;
    QStringList mqtt; // mosquitto_pub's and mosquitto_sub's options naming the broker

    // Publishes payloads on topic, one per line, or a lone payload whole, line breaks and all;
    // whether both displays then show them as their newest messages, in order, within timeout ms.
    bool bothDisplaysShow(const QString &topic, const QList<QByteArray> &payloads, int timeout)
    {
        QProcess pub;
        pub.start("mosquitto_pub",
                  mqtt + QStringList{"-q", "1", "-t", topic, payloads.size() == 1 ? "-s" : "-l"});
        pub.write(payloads.size() == 1 ? payloads.first() : payloads.join('\n') + '\n');
        pub.closeWriteChannel();
        pub.waitForFinished(30000);
        const QString expected = topic + ' ' + payloads.join("\n" + topic.toUtf8() + ' ');
        const QString shown = "received.slice(-" + QString::number(payloads.size())
                              + ").map(m => m.topic + ' ' + m.body).join('\\n')";
        const auto shows = [&](PelorinRun &run) { return run.evaluate(shown) == expected; };
        return QTest::qWaitFor([&] { return shows(alpha) && shows(beta); }, timeout);
    }

    // Starts mosquitto; whether a probe then becomes the newest message of both displays: then
    // both companions are subscribed, and no earlier message is still on its way.
    bool startBrokerForBothDisplays()
    {
        broker.start(QStringLiteral(MOSQUITTO), {"-p", mqtt.last()});
        for (int n = 1; n <= 60 && broker.waitForStarted(10000); ++n) {
            if (bothDisplaysShow("pelorin/display/probe", {"probe " + QByteArray::number(n)}, 1000))
                return true;
        }
        return false;
    }

    // Clicks run's button once; the event then published on name's events topic, without its time.
    QByteArray clickAndWatchEvents(PelorinRun &run, const QString &name)
    {
        // A session that the broker keeps for us: it holds what comes until we read it.
        const QString session = "-c -q 1 -W 20 -i watch-%1 -t pelorin/events/%1";
        QProcess::execute("mosquitto_sub", mqtt + session.arg(name).append(" -E").split(' '));
        run.evaluate("document.querySelector('button').click()");
        QProcess watch;
        watch.start("mosquitto_sub", mqtt + session.arg(name).append(" -C 1").split(' '));
        watch.waitForFinished(30000);
        const QByteArray event = watch.readAllStandardOutput();
        return event.left(event.indexOf(",\"at\":"));
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
        const QByteArray text = "it's \"quoted\"\t<b>bold</b>\r\nC:\\temp\\x\n";
        dashboard.post(text);
        const QString newest = "document.querySelector('#messages .body').textContent";
        QTRY_COMPARE_WITH_TIMEOUT(dashboard.evaluate(newest).toString(), QString(text), 10000);
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
            QTRY_VERIFY_WITH_TIMEOUT(
                    dashboard.evaluate(sources.arg(replies).arg(QTest::currentDataTag())).toBool(),
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
        // A value that is no JSON is refused at once, not dropped on the way.
        const QString sendUndefined = "try { pelorin.send(undefined) } catch (e) { e.name }";
        QCOMPARE(buttons.evaluate(sendUndefined).toString(), QStringLiteral("TypeError"));
    }

    void fleetDisplaysFollowTheBroker()
    {
        if (!QFileInfo(QStringLiteral(MOSQUITTO)).isExecutable())
            QSKIP("mosquitto is not installed");
        mqtt = QStringList{"-h", "127.0.0.1", "-p", QString::number(freeLoopbackPort())};
        const QString companion = "python3 " + examples + "/fleet/companion.py %PORT% --broker "
                                  + "127.0.0.1 --broker-port " + mqtt.last() + " --name ";
        QVERIFY(alpha.launch(examples + "/fleet/index.html", companion + "alpha"));
        QVERIFY(beta.launch(examples + "/fleet/index.html", companion + "beta"));
        QVERIFY(alpha.waitForPage() && beta.waitForPage());
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
        const QString event = "{\"display\":\"%1\",\"event\":\"acknowledge\",\"clicks\":1";
        QCOMPARE(clickAndWatchEvents(alpha, "alpha"), event.arg("alpha").toUtf8());

        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
        // Both get messages again, and events are published again.
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not resubscribe");
        QCOMPARE(clickAndWatchEvents(beta, "beta"), event.arg("beta").toUtf8());

        for (PelorinRun *run : {&alpha, &beta}) {
            // The MQTT clients must stay in the companion's group, which Pelorin ends as it ends.
            const QString pelorin = QString::number(run->process.processId());
            const QString companion = pgrep({"-P", pelorin, "python3"}).split(' ').first();
            const QByteArray group = pgrep({"-g", companion});
            QVERIFY2(group.contains(" mosquitto_sub") && group.contains(" mosquitto_pub"),
                     group.constData());
            QVERIFY(run->terminate());
        }
        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
    }

    void cleanupTestCase()
    {
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY(run->terminate());
    }
};

QTEST_GUILESS_MAIN(tst_Examples)
#include "tst_examples.moc"

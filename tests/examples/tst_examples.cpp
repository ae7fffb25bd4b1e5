#include "pelorinrun.h"

const QByteArray statusDocument = "{\n    \"status\": \"OK\"\n}\n";
const QString examples = QStringLiteral(EXAMPLES_DIR);

// pgrep's "pid name" lines for selection, of processes that are not zombies.
static QByteArray pgrep(const QStringList &selection)
{
    QProcess pgrep;
    pgrep.start("pgrep", QStringList{"-l", "-r", "D,I,R,S,T,t"} + selection);
    return pgrep.waitForFinished(10000) ? pgrep.readAllStandardOutput() : "pgrep hung";
}

Q_DECLARE_METATYPE(PelorinRun *)

// Every example against the real program: each page in a Pelorin of its own, the companions
// through CONNECT/CRYPTO, the client snippets, two fleet displays on a mosquitto of our own.
class tst_Examples : public QObject
{
    Q_OBJECT

    PelorinRun dashboard, ask, buttons, listener; // listener: the older page contract
    PelorinRun alpha, beta;                       // the fleet
    QProcess broker;
    QStringList mqtt; // mosquitto_pub's options, the broker's port last

    // Publishes each payload on topic, one after the other; whether both displays then show them
    // as their newest messages, in order, within timeout ms.
    bool publish(const QString &topic, const QList<QByteArray> &payloads, int timeout)
    {
        for (const QString payload : payloads)
            QProcess::execute("mosquitto_pub", mqtt + QStringList{"-t", topic, "-m", payload});
        const QString newest = "received.slice(-" + QString::number(payloads.size())
                               + ").map(m => m.topic + ' ' + m.body).join('\\n')";
        const QString expected = topic + ' ' + payloads.join("\n" + topic.toUtf8() + ' ');
        const auto shows = [&](PelorinRun &run) { return run.evaluate(newest) == expected; };
        return QTest::qWaitFor([&] { return shows(alpha) && shows(beta); }, timeout);
    }

    // Starts mosquitto; whether a probe then becomes both displays' newest message: then both
    // companions are subscribed, and no earlier message is still on its way.
    bool startBrokerForBothDisplays()
    {
        broker.start(QStringLiteral(MOSQUITTO), {"-p", mqtt.last()});
        for (int n = 1; n <= 60 && broker.waitForStarted(10000); ++n) {
            if (publish("pelorin/display/probe", {"probe " + QByteArray::number(n)}, 1000))
                return true;
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        const QString py = "python3 \"" + examples + "/%1\" %PORT%";
        QVERIFY(dashboard.launch(examples + "/dashboard/index.html"));
        QVERIFY(ask.launch(examples + "/ask/index.html"));
        QVERIFY(buttons.launch(examples + "/buttons/index.html", py.arg("buttons/buttons.py")));
        QVERIFY(listener.launch(examples + "/listener/index.html", py.arg("companion/loadavg.py")));
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY2(run->waitForPage(), "a Pelorin with an example page did not come up");
    }

    // Each example program against a Pelorin or nobody; ask.sh gets Yes for exit code 0, else No.
    void exampleProgram_data()
    {
        QTest::addColumn<QString>("command"); // program and arguments; %PORT%: pelorin's port
        QTest::addColumn<PelorinRun *>("pelorin");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("replies");   // stdout: that many replies, nothing else
        QTest::addColumn<QString>("error"); // in stderr
        PelorinRun *const nobody = nullptr;
        QTest::newRow("curl") << "sh clients/curl.sh %PORT%" << &dashboard << 0 << 1 << "";
        QTest::newRow("python") << "python3 clients/post.py %PORT%" << &dashboard << 0 << 1 << "";
        QTest::newRow("node") << "node clients/post.mjs %PORT%" << &dashboard << 0 << 1 << "";
        QTest::newRow("loop") << "sh clients/loop.sh %PORT% 3 0.1" << &dashboard << 0 << 3 << "";
        const QString askSh = "sh ask/ask.sh Deploy\"v2\"<b>now</b>?\n\\o/\u00e9t\u00e9 %PORT%";
        QTest::newRow("ask yes") << askSh << &ask << 0 << 0 << "";
        QTest::newRow("ask no") << askSh << &ask << 1 << 0 << "";
        QTest::newRow("ask no PEL_receive") << askSh << &listener << 2 << 0 << "answered 501";
        QTest::newRow("ask nobody") << askSh << nobody << 2 << 0 << "not reachable";
        QTest::newRow("loadavg alone") << "python3 companion/loadavg.py %PORT% --interval 0.1"
                                       << nobody << 1 << 0 << "5 POSTs";
        QTest::newRow("buttons alone")
                << "python3 buttons/buttons.py %PORT%" << nobody << 1 << 0 << "5 connections";
    }

    void exampleProgram()
    {
        QFETCH(QString, command);
        QFETCH(PelorinRun *, pelorin);
        QFETCH(int, exitCode);
        QFETCH(int, replies);
        QFETCH(QString, error);
        const quint16 port = pelorin ? pelorin->port : freeLoopbackPort();
        QStringList arguments = command.replace("%PORT%", QString::number(port)).split(' ');
        const QString program = arguments.takeFirst();
        QProcess script;
        script.setWorkingDirectory(examples);
        script.start(program, arguments);
        if (pelorin == &ask) {
            QTRY_VERIFY_WITH_TIMEOUT(ask.evaluate("question.textContent") == arguments[1], 10000);
            ask.evaluate(exitCode == 0 ? "yes.click()" : "no.click()");
        }
        QVERIFY2(script.state() == QProcess::NotRunning || script.waitForFinished(20000), "running");
        const QByteArray stderrText = script.readAllStandardError();
        QVERIFY2(script.error() == QProcess::UnknownError, qPrintable(script.errorString()));
        QVERIFY2(stderrText.contains(error.toUtf8()), stderrText.constData());
        QCOMPARE(script.exitCode(), exitCode);
        QCOMPARE(script.readAllStandardOutput(), statusDocument.repeated(replies));
        // Each client's source, its data tag, differs from those before: the newest bodies are its.
        const QString sources = "Array.from(messages.querySelectorAll('.body')).slice(0, %1)"
                                ".every(e => JSON.parse(e.textContent).source == '%2')";
        if (pelorin == &dashboard)
            QTRY_VERIFY(
                    dashboard.evaluate(sources.arg(replies).arg(QTest::currentDataTag())).toBool());
    }

    // Each page shows what it is sent, exactly and as text; the companions drive theirs.
    void pagesShowWhatTheyAreSent()
    {
        const QByteArray text = "it's \"quoted\"\t<b>bold</b>\r\nC:\\temp\\x\n";
        dashboard.post(text);
        const QString newest = "messages.querySelector('.body').textContent";
        QTRY_COMPARE_WITH_TIMEOUT(dashboard.evaluate(newest).toString(), QString(text), 10000);
        // The companion's newest envelope; a reading holds nothing that the envelope mangles.
        const QString load = "JSON.parse(Array.from(envelopes.children, e => e.textContent)"
                             ".find(t => t.includes('loadavg/'))).body.load1";
        QTRY_VERIFY_WITH_TIMEOUT(listener.evaluate(load).isDouble(), 15000);
        // The buttons program shows its state once it listens for clicks.
        const QString count = "count.textContent";
        QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), QStringLiteral("0"), 20000);
        for (const QString step : {"plus 1", "plus 2", "minus 1", "reset 0"}) {
            buttons.evaluate(step.chopped(2) + ".click()");
            QTRY_COMPARE_WITH_TIMEOUT(buttons.evaluate(count).toString(), step.right(1), 10000);
        }
        const QString sendUndefined = "try { pelorin.send(undefined) } catch (e) { e.name }";
        QCOMPARE(buttons.evaluate(sendUndefined).toString(), QStringLiteral("TypeError"));
    }

    void fleetDisplaysFollowTheBroker()
    {
        mqtt = QStringList{"-q", "1", "-p", QString::number(freeLoopbackPort())};
        // Both displays show the events of both, so the test needs no MQTT client of its own.
        const QString companion = "python3 " + examples
                                  + "/fleet/companion.py %PORT% --broker-port " + mqtt.last()
                                  + " --topic pelorin/display/# --topic pelorin/events/# --name ";
        QVERIFY(alpha.launch(examples + "/fleet/index.html", companion + "alpha"));
        QVERIFY(beta.launch(examples + "/fleet/index.html", companion + "beta"));
        QVERIFY(alpha.waitForPage() && beta.waitForPage());
        // A second for the companions to try the broker before it is up: their first tries fail.
        QTest::qWait(1000);
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not subscribe");
        QList<QByteArray> numbered;
        for (int n = 1; n <= 200; ++n)
            numbered << "message " + QByteArray::number(n);
        QVERIFY2(publish("pelorin/display/all", numbered, 30000), "lost or reordered");
        const QByteArray markup = "<img src=x onerror=\"title='owned'\">\n\"q\" \\ \xc3\xa9";
        QVERIFY(publish("pelorin/display/hall 2/\u00fcber", {markup}, 30000));
        QCOMPARE(alpha.evaluate("document.querySelectorAll('img').length").toInt(-1), 0);
        // A click on one display reaches the other through the broker.
        const QString event = "received.slice(-1).map(m => [m.topic, JSON.parse(m.body).display, "
                              "JSON.parse(m.body).clicks].join(' '))[0]";
        const QString clicked = "pelorin/events/%1 %1 1";
        alpha.evaluate("acknowledge.click()");
        QTRY_COMPARE_WITH_TIMEOUT(beta.evaluate(event).toString(), clicked.arg("alpha"), 20000);

        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
        QVERIFY2(startBrokerForBothDisplays(), "no broker, or the companions did not resubscribe");
        beta.evaluate("acknowledge.click()");
        QTRY_COMPARE_WITH_TIMEOUT(alpha.evaluate(event).toString(), clicked.arg("beta"), 20000);

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

#include "pelorinrun.h"

#include <signal.h>

const QString examples = QStringLiteral(EXAMPLES_DIR);
const QString family = QStringLiteral(COMPANION_FAMILY); // the helper companion with a child

Q_DECLARE_METATYPE(PelorinRun *)

// The built program as a black box: its default page, its companion's output and lifetime, and
// every example: each page in a Pelorin of its own, the companions through CONNECT/CRYPTO, the
// client snippets, two fleet displays on a mosquitto of our own.
class tst_Pelorin : public QObject
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

private slots:
    void initTestCase()
    {
        const QString py = "python3 \"" + examples + "/%1\" %PORT%";
        QVERIFY(dashboard.launch(examples + "/dashboard/index.html", QString(), {"--kiosk"}));
        QVERIFY(ask.launch(examples + "/ask/index.html"));
        QVERIFY(buttons.launch(examples + "/buttons/index.html", py.arg("buttons/buttons.py")));
        QVERIFY(listener.launch(examples + "/listener/index.html", py.arg("companion/loadavg.py")));
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY2(run->waitForPage(), "a Pelorin with an example page did not come up");
        const QString coversScreen = "innerWidth == screen.width && innerHeight == screen.height";
        QVERIFY(dashboard.evaluate(coversScreen).toBool() && !ask.evaluate(coversScreen).toBool());
    }

    void endsWithItsCompanion_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("familyMode"); // companionfamily.sh's second argument
        QTest::addRow("SIGTERM closes like the window") << int(SIGTERM) << "";
        QTest::addRow("SIGINT closes like the window") << int(SIGINT) << "";
        QTest::addRow("SIGKILL still takes the family") << int(SIGKILL) << "";
        QTest::addRow("SIGTERM, the family ignores SIGTERM") << int(SIGTERM) << "ignore-term";
        QTest::addRow("SIGKILL, the family ignores SIGTERM") << int(SIGKILL) << "ignore-term";
    }

    // On the default page, fed hostile messages.
    void endsWithItsCompanion()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, familyMode);

        PelorinRun pelorin;
        pelorin.process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        pelorin.process.setStandardErrorFile(pelorin.appDir.path() + "/log");
        // An argument with a blank, quoted in the command line.
        const QString out = pelorin.appDir.path() + "/two words";
        QVERIFY(pelorin.launch(QString(), "/bin/sh " + family + " \"" + out + "\" " + familyMode));
        QVERIFY(pelorin.waitForPage());

        // The default page shows every message exactly, as text: quotes, markup and script
        // cannot break out of the listener call or into the document.
        const QString headers
                = "\"headers\": {    \"content-length\": \"%1\",    \"host\": \"localhost\"}}\n";
        QString shown;
        for (const QByteArray body : {"{\"n\":1}",
                                      "it's \"x\" </script><script>pwned=1</script>",
                                      "');window.pwned=1;//<img src=x onerror=window.pwned=1><!--",
                                      "{'});window.pwned=1;//}",
                                      "a\xe2\x80\xa8 b\xe2\x80\xa9 \xf0\x9f\x98\x80"}) {
            pelorin.post(body);
            const QByteArray quote = body.startsWith('{') ? "" : "\"";
            shown += "{    \"body\": " + QString::fromUtf8(quote + body + quote) + ",    "
                     + headers.arg(body.size());
        }
        QTRY_COMPARE_WITH_TIMEOUT(pelorin.evaluate("json.textContent").toString(), shown, 10000);

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 20000);
        const QList<QByteArray> pids = readFile(out).trimmed().split(' ');
        const auto live = [&](int i) { return processIsLive(pids.value(i).toLongLong()); };
        QVERIFY(live(0) && live(1));
        ::kill(pid_t(pelorin.process.processId()), signalNumber);
        QVERIFY(pelorin.process.waitForFinished(20000));
        QCOMPARE(pelorin.process.exitStatus() == QProcess::NormalExit
                         && pelorin.process.exitCode() == 0,
                 signalNumber != SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(!live(0) && !live(1), 10000);

        // The companion's two channels, line by line: a control character shows as '?', a line
        // longer than 64 KiB comes in pieces.
        const QByteArray log = readFile(pelorin.appDir.path() + "/log");
        const QByteArray x(65536, 'x');
        for (const QByteArray &line : QByteArrayList{"on stdout", "on stderr ?[1m", x, x.left(4464)})
            QVERIFY2(log.contains("\npelorin.companion: sh: " + line + '\n'), line.left(9).data());
    }

    // Each example program against a Pelorin or nobody; ask.sh gets Yes for exit code 0, else No.
    void exampleProgram_data()
    {
        QTest::addColumn<QString>("command"); // program and arguments; %PORT%: pelorin's port
        QTest::addColumn<PelorinRun *>("pelorin");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("replies");   // stdout: that many replies, nothing else (-1: any)
        QTest::addColumn<QString>("error"); // in stderr or stdout
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
        // Pelorin itself, %APP%: the Pelorin's folder (with its companion)
        const QString pelorin = QStringLiteral(PELORIN_BINARY);
        QTest::newRow("help") << pelorin + " --help" << nobody << 0 << -1 << "--app-dir <DIR>";
        QTest::newRow("no app dir")
                << pelorin + " --app-dir %APP%/no" << &dashboard << 1 << 0 << "is not a folder";
        QTest::newRow("second Pelorin") << pelorin + " --app-dir %APP% --quit-if-running"
                                        << &listener << 3 << 0 << "another Pelorin already listens";
    }

    void exampleProgram()
    {
        QFETCH(QString, command);
        QFETCH(PelorinRun *, pelorin);
        QFETCH(int, exitCode);
        QFETCH(int, replies);
        QFETCH(QString, error);
        const quint16 port = pelorin ? pelorin->port : freeLoopbackPort();
        if (pelorin)
            command.replace("%APP%", pelorin->appDir.path());
        const QStringList words = command.replace("%PORT%", QString::number(port)).split(' ');
        QProcess script;
        script.setWorkingDirectory(examples);
        script.start(words.first(), words.mid(1));
        if (pelorin == &ask) {
            QTRY_VERIFY_WITH_TIMEOUT(ask.evaluate("question.textContent") == words[2], 10000);
            ask.evaluate(exitCode == 0 ? "yes.click()" : "no.click()");
        }
        QVERIFY2(script.state() == QProcess::NotRunning || script.waitForFinished(20000), "running");
        const QByteArray out = script.readAllStandardOutput();
        const QByteArray stderrText = script.readAllStandardError();
        QVERIFY2(script.error() == QProcess::UnknownError, qPrintable(script.errorString()));
        QVERIFY2((stderrText + out).contains(error.toUtf8()), stderrText.constData());
        QCOMPARE(script.exitCode(), exitCode);
        if (replies >= 0)
            QCOMPARE(out, QByteArray("{\n    \"status\": \"OK\"\n}\n").repeated(replies));
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
        // a page that sends without end is stopped, and sends again once Pelorin has caught up
        const QString flood
                = "try { for (let i = 0; i < 1e7; ++i) pelorin.send(i) } catch (e) { e.name }";
        QCOMPARE(dashboard.evaluate(flood).toString(), QStringLiteral("RangeError"));
        const QString once = "try { pelorin.send(1); 'sent' } catch (e) { e.name }";
        QTRY_COMPARE_WITH_TIMEOUT(dashboard.evaluate(once).toString(),
                                  QStringLiteral("sent"),
                                  20000);
    }

    void failureIsShown_data()
    {
        QTest::addColumn<bool>("byPelorin"); // else by a program that never answers
        QTest::addColumn<QString>("said");
        QTest::addRow("a Pelorin holds the port") << true << "another Pelorin already listens on";
        QTest::addRow("a program holds the port") // the server's two lines; %PORT%: the port
                << false << "server is not started\ncannot listen on 127.0.0.1 port %PORT%: ";
    }

    // A Pelorin that cannot listen says why in a bar above its page, whose own error the log
    // places; it ends with status 3, and only a Pelorin in its way keeps its companion off.
    void failureIsShown()
    {
        QFETCH(bool, byPelorin);
        QFETCH(QString, said);
        QTcpServer stranger;
        QVERIFY(stranger.listen(QHostAddress::LocalHost));
        PelorinRun second;
        const QString dir = second.appDir.path();
        second.process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        second.process.setStandardErrorFile(dir + "/log");
        const QString page = dir + "/page.html";
        QVERIFY(writeFile(page,
                          "<!doctype html>\n<script>\nlet x = ;\n</script>\n"
                          "<script>function PEL_listener(e) {}</script>\n"));
        QVERIFY(writeFile(dir + "/config.ini", "[UIUX]\nBASESIZE_H=600\nBASESIZE_W=400\n"));
        second.port = byPelorin ? dashboard.port : stranger.serverPort();
        QVERIFY(second.launch(page, "/bin/sh " + family + " " + dir + "/pids"));
        QVERIFY(second.waitForPage());
        // the bar takes its share of the window's 600 pixels
        QVERIFY2(second.evaluate("innerHeight").toInt(600) < 600, "no bar above the page");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + "/pids") || byPelorin, 20000);
        QCOMPARE(QFile::exists(dir + "/pids"), !byPelorin);
        second.process.terminate();
        QVERIFY(second.process.waitForFinished(30000));
        QCOMPARE(second.process.exitCode(), 3);
        const QByteArray log = readFile(dir + "/log");
        said.replace("%PORT%", QString::number(second.port));
        QVERIFY2(log.contains(said.toUtf8()), log.constData());
        QVERIFY2(log.contains("js: Uncaught SyntaxError: Unexpected token ';' (file://"
                              + dir.toUtf8() + "/assets/index.html:3)"),
                 log.constData());
    }

    // With either Qt, localStorage outlives a restart and a 150% desktop scales by a whole factor.
    void pageStorageAndScale()
    {
        QTemporaryDir dataHome; // where the web engine keeps its profile
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
        qputenv("QT_FONT_DPI", "144");
        const QString token = QString::number(QDateTime::currentMSecsSinceEpoch());
        QString kept;
        double scale = 0;
        for (const QString &script : QStringList{"localStorage.setItem('kept', '" + token + "')",
                                                 "localStorage.getItem('kept')"}) {
            PelorinRun pelorin;
            QVERIFY(pelorin.launch() && pelorin.waitForPage());
            kept = pelorin.evaluate(script).toString();
            scale = pelorin.evaluate("devicePixelRatio").toDouble();
            QVERIFY(pelorin.terminate());
        }
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("QT_FONT_DPI");
        QCOMPARE(kept, token);
        QCOMPARE(scale, double(qRound(scale)));
    }

    // A web site whose name is made to point at 127.0.0.1 (DNS rebinding) is same-origin with
    // Pelorin, and its browser sends neither Origin nor Sec-Fetch-Site: the Host rule stops it.
    void rebindingSiteIsRefused()
    {
        QTemporaryDir profile;
        DevToolsPage site;
        site.debugPort = freeLoopbackPort();
        const QString origin = "http://rebind.test:" + QString::number(dashboard.port) + '/';
        QProcess browser;
        browser.start(
                "chromium",
                QString("--headless --no-sandbox --user-data-dir=%1 --remote-debugging-port=%2")
                                .arg(profile.path())
                                .arg(site.debugPort)
                                .split(' ')
                        << "--host-resolver-rules=MAP rebind.test 127.0.0.1" << origin);
        const QString loaded = "location.href + document.readyState";
        QVERIFY(QTest::qWaitFor(
                [&] { return site.openDebugger() && site.evaluate(loaded) == origin + "complete"; },
                60000));
        site.evaluate(
                "window.seen = []; const note = what => r => seen.push(what + r.status);"
                "fetch('/x', {headers: {Prefer: 'return=representation'}}).then(note('answer'));"
                "fetch('/events', {headers: {Accept: 'text/event-stream', 'Last-Event-ID': '0'}})"
                ".then(note('events'));"
                "fetch('/', {method: 'POST', body: 'rebound'}).then(note('post'));"
                "const source = new EventSource('/events'); source.onopen = () => seen.push("
                "'live events'); source.onerror = () => seen.push('source' + source.readyState)");
        const QString refused = "answer403,events403,post403,source2";
        QTRY_COMPARE_WITH_TIMEOUT(site.evaluate("seen.sort().join()").toString(), refused, 20000);
        browser.terminate();
        QVERIFY(browser.waitForFinished(20000));
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
        // Once a probe is both displays' newest message, both companions are subscribed.
        broker.start(QStringLiteral(MOSQUITTO), {"-p", mqtt.last()});
        bool subscribed = false;
        for (int n = 1; n <= 60 && !subscribed && broker.waitForStarted(10000); ++n)
            subscribed = publish("pelorin/display/probe", {"probe " + QByteArray::number(n)}, 1000);
        QVERIFY2(subscribed, "no broker, or the companions did not subscribe");
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
        alpha.evaluate("acknowledge.click()");
        QTRY_COMPARE_WITH_TIMEOUT(beta.evaluate(event).toString(),
                                  "pelorin/events/alpha alpha 1",
                                  20000);
        for (PelorinRun *run : {&alpha, &beta})
            QVERIFY(run->terminate());
        broker.terminate();
        QVERIFY(broker.waitForFinished(10000));
    }

    void cleanupTestCase()
    {
        for (PelorinRun *run : {&dashboard, &ask, &buttons, &listener})
            QVERIFY(run->terminate());
    }
};

QTEST_GUILESS_MAIN(tst_Pelorin)
#include "tst_pelorin.moc"

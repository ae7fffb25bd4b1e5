#include "pelorinrun.h"

#include <signal.h>

// The built program as a black box: its default page, its companion's output and lifetime.
class tst_Pelorin : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_Pelorin::run_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("familyMode"); // companionfamily.sh's second argument
    QTest::addRow("SIGTERM closes like the window") << int(SIGTERM) << "";
    QTest::addRow("SIGINT closes like the window") << int(SIGINT) << "";
    QTest::addRow("SIGKILL still takes the family") << int(SIGKILL) << "";
    QTest::addRow("SIGTERM, the family ignores SIGTERM") << int(SIGTERM) << "ignore-term";
    QTest::addRow("SIGKILL, the family ignores SIGTERM") << int(SIGKILL) << "ignore-term";
}

void tst_Pelorin::run()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, familyMode);

    PelorinRun pelorin;
    pelorin.process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    pelorin.process.setStandardErrorFile(pelorin.appDir.path() + "/log");
    // An argument with a blank, quoted in the command line.
    const QString out = pelorin.appDir.path() + "/two words";
    const QString script = QCoreApplication::applicationDirPath() + "/companionfamily.sh";
    QVERIFY(pelorin.launch(QString(), "/bin/sh " + script + " \"" + out + "\" " + familyMode));
    QVERIFY(pelorin.waitForPage());

    // The default page shows every message exactly, as text: quotes, markup and script
    // cannot break out of the listener call or into the document.
    const QString headers = "\"headers\": {    \"content-length\": \"%1\",    \"host\": \"h\"}}\n";
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
    QVERIFY(processIsLive(pids.value(0).toLongLong()) && processIsLive(pids.value(1).toLongLong()));
    ::kill(pid_t(pelorin.process.processId()), signalNumber);
    QVERIFY(pelorin.process.waitForFinished(20000));
    QCOMPARE(pelorin.process.exitStatus() == QProcess::NormalExit && pelorin.process.exitCode() == 0,
             signalNumber != SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(!processIsLive(pids.value(0).toLongLong()), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!processIsLive(pids.value(1).toLongLong()), 10000);

    // The companion's two channels, line by line: a control character shows as '?', a line
    // longer than 64 KiB comes in pieces.
    const QByteArray log = readFile(pelorin.appDir.path() + "/log");
    const QByteArray x(65536, 'x');
    for (const QByteArray &line : QByteArrayList{"on stdout", "on stderr ?[1m", x, x.left(4464)})
        QVERIFY2(log.contains("\npelorin.companion: sh: " + line + '\n'), line.left(9).data());
}

QTEST_GUILESS_MAIN(tst_Pelorin)
#include "tst_pelorin.moc"

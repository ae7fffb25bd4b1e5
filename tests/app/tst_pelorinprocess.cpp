// Runs the real pelorin binary from a scratch app directory and checks how it ends.
#include "pelorinrun.h"

#include <csignal>

class tst_PelorinProcess : public QObject
{
    Q_OBJECT

private slots:
    void endsWithItsCompanion_data();
    void endsWithItsCompanion();
};

void tst_PelorinProcess::endsWithItsCompanion_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("cleanExit");
    QTest::addRow("SIGTERM closes like the window") << int(SIGTERM) << true;
    QTest::addRow("SIGINT closes like the window") << int(SIGINT) << true;
    QTest::addRow("SIGKILL still takes the companion") << int(SIGKILL) << false;
}

void tst_PelorinProcess::endsWithItsCompanion()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, cleanExit);

    PelorinRun pelorin;
    const QString out = pelorin.appDir.path() + QStringLiteral("/companion.txt");
    QVERIFY(pelorin.launch(QString(),
                           QCoreApplication::applicationDirPath() + "/companionhelper " + out));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 20000);
    const qint64 companion = readFile(out).split('\n').value(0).toLongLong();
    QVERIFY(companion > 0);
    QVERIFY(processIsLive(companion));

    ::kill(static_cast<pid_t>(pelorin.process.processId()), signalNumber);
    QVERIFY(pelorin.process.waitForFinished(20000));
    if (cleanExit) {
        QCOMPARE(pelorin.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(pelorin.process.exitCode(), 0);
    } else {
        QCOMPARE(pelorin.process.exitStatus(), QProcess::CrashExit);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!processIsLive(companion), 10000);
}

QTEST_GUILESS_MAIN(tst_PelorinProcess)
#include "tst_pelorinprocess.moc"

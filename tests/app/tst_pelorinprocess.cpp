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
    QTest::addColumn<QString>("familyMode");
    QTest::addRow("SIGTERM closes like the window") << int(SIGTERM) << true << "";
    QTest::addRow("SIGINT closes like the window") << int(SIGINT) << true << "";
    QTest::addRow("SIGKILL still takes the family") << int(SIGKILL) << false << "";
    QTest::addRow("SIGTERM, family ignores SIGTERM") << int(SIGTERM) << true << "ignore-term";
    QTest::addRow("SIGKILL, family ignores SIGTERM") << int(SIGKILL) << false << "ignore-term";
}

void tst_PelorinProcess::endsWithItsCompanion()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, cleanExit);
    QFETCH(QString, familyMode);

    // A shell companion with a background child of its own.
    PelorinRun pelorin;
    const QString out = pelorin.appDir.path() + QStringLiteral("/companion.txt");
    QVERIFY(pelorin.launch(QString(), "/bin/sh " + QCoreApplication::applicationDirPath()
                                              + "/companionfamily.sh " + out + ' ' + familyMode));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 20000);
    const QList<QByteArray> pids = readFile(out).trimmed().split(' ');
    QCOMPARE(pids.size(), 2);
    const qint64 companion = pids.at(0).toLongLong();
    const qint64 child = pids.at(1).toLongLong();
    QVERIFY(companion > 0 && child > 0);
    QVERIFY(processIsLive(companion));
    QVERIFY(processIsLive(child));

    ::kill(static_cast<pid_t>(pelorin.process.processId()), signalNumber);
    QVERIFY(pelorin.process.waitForFinished(20000));
    if (cleanExit) {
        QCOMPARE(pelorin.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(pelorin.process.exitCode(), 0);
    } else {
        QCOMPARE(pelorin.process.exitStatus(), QProcess::CrashExit);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!processIsLive(companion), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!processIsLive(child), 10000);
}

QTEST_GUILESS_MAIN(tst_PelorinProcess)
#include "tst_pelorinprocess.moc"

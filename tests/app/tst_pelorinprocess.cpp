// Runs the real pelorin binary from a scratch app directory and checks how it ends.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#if defined(Q_OS_UNIX)
#include <csignal>
#endif

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool processAlive(qint64 pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

} // namespace

class tst_PelorinProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endsWithItsCompanion_data();
    void endsWithItsCompanion();
};

void tst_PelorinProcess::initTestCase()
{
#if !defined(Q_OS_LINUX)
    QSKIP("sends POSIX signals and reads process states from /proc");
#endif
    QVERIFY2(QFile::exists(QStringLiteral(PELORIN_BINARY)), PELORIN_BINARY);
}

void tst_PelorinProcess::endsWithItsCompanion_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("cleanExit");
#if defined(Q_OS_LINUX)
    QTest::addRow("SIGTERM closes like the window") << int(SIGTERM) << true;
    QTest::addRow("SIGINT closes like the window") << int(SIGINT) << true;
    QTest::addRow("SIGKILL still takes the companion") << int(SIGKILL) << false;
#endif
}

void tst_PelorinProcess::endsWithItsCompanion()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, cleanExit);

    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const QString binary = appDir.path() + QStringLiteral("/pelorin");
    QVERIFY(QFile::copy(QStringLiteral(PELORIN_BINARY), binary));
    const QString helper = QCoreApplication::applicationDirPath() + "/companionhelper";
    const QString out = appDir.path() + QStringLiteral("/companion.txt");
    QFile config(appDir.path() + QStringLiteral("/config.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[CONNECT]\nHOST=127.0.0.1\nPORT=0\nURL=about:blank\nCRYPTO=" + helper.toUtf8()
                 + ' ' + out.toUtf8() + "\n[UIUX]\nTITLE=t\nBASESIZE_H=200\nBASESIZE_W=300\n");
    config.close();

    QProcess pelorin;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    pelorin.setProcessEnvironment(env);
    pelorin.setProcessChannelMode(QProcess::ForwardedChannels);
    pelorin.start(binary, QStringList());
    QVERIFY(pelorin.waitForStarted(10000));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 20000);
    const qint64 companion = readAll(out).split('\n').value(0).toLongLong();
    QVERIFY(companion > 0);
    QVERIFY(processAlive(companion));

#if defined(Q_OS_LINUX)
    ::kill(static_cast<pid_t>(pelorin.processId()), signalNumber);
#endif
    QVERIFY(pelorin.waitForFinished(20000));
    if (cleanExit) {
        QCOMPARE(pelorin.exitStatus(), QProcess::NormalExit);
        QCOMPARE(pelorin.exitCode(), 0);
    } else {
        QCOMPARE(pelorin.exitStatus(), QProcess::CrashExit);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(companion), 10000);
}

QTEST_GUILESS_MAIN(tst_PelorinProcess)
#include "tst_pelorinprocess.moc"

#include "pelorinrun.h"

#include <QElapsedTimer>

#include <memory>

#include <unistd.h>

namespace {

const QString examples = QStringLiteral(EXAMPLES_DIR);

// Fields of /proc/<pid>/stat after the command name: state, parent, process group, ...
QList<QByteArray> statFields(const QString &pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
}

// The command names of the live members of process group group.
QStringList groupMembers(qint64 group)
{
    QStringList names;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 2 && fields.at(0) != "Z" && fields.at(2).toLongLong() == group) {
            const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
            names << QString::fromUtf8(stat.mid(stat.indexOf('(') + 1).split(')').first());
        }
    }
    return names;
}

// The process id of the fleet companion that run's Pelorin started; 0 when there is none.
qint64 companionOf(PelorinRun &run)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 1 && fields.at(1).toLongLong() == run.process.processId()
            && readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("companion.py"))
            return pid.toLongLong();
    }
    return 0;
}

} // namespace

// Two Pelorin windows with the fleet page, each with the fleet companion, fed through a
// mosquitto broker of the test's own that takes only a user with a password.
class tst_Fleet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyDisplayShowsEveryMessageInOrder_data();
    void everyDisplayShowsEveryMessageInOrder();
    void clicksArePublishedOnTheEventsTopic();
    void displaysResumeAfterTheBrokerRestarts();
    void nothingOutlivesThePelorins();
    void cleanupTestCase();

private:
    bool startBroker();
    QStringList credentials() const;
    bool publish(const QString &topic, const QList<QByteArray> &payloads);
    bool bothDisplaysSubscribed();
    void expectOnBothDisplays(const QString &topic, const QList<QByteArray> &payloads);
    QByteArray clickAndWatchEvents(PelorinRun &run, const QString &name);

    QTemporaryDir brokerDir;
    QProcess broker;
    quint16 brokerPort = 0;
    PelorinRun alpha;
    PelorinRun beta;
};

void tst_Fleet::initTestCase()
{
    QVERIFY(brokerDir.isValid());
    brokerPort = freeLoopbackPort();
    QFile config(brokerDir.filePath(QStringLiteral("mosquitto.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("listener " + QByteArray::number(brokerPort) + " 127.0.0.1\npassword_file "
                 + brokerDir.filePath(QStringLiteral("passwd")).toUtf8()
                 + "\nallow_anonymous false\n");
    // As root mosquitto would become the user mosquitto, who cannot read our folder.
    if (::getuid() == 0)
        config.write("user root\n");
    config.close();
    QFile secret(brokerDir.filePath(QStringLiteral("secret")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("two words\n");
    secret.close();
    QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                               {QStringLiteral("-b"),
                                QStringLiteral("-c"),
                                brokerDir.filePath(QStringLiteral("passwd")),
                                QStringLiteral("display"),
                                QStringLiteral("two words")}),
             0);

    const QString companion = QStringLiteral(
            "python3 %1/fleet/companion.py %PORT% --broker 127.0.0.1 --broker-port %2 --name %3 "
            "--username display --password-file %4");
    const QString page = examples + QStringLiteral("/fleet/index.html");
    const QString secretPath = brokerDir.filePath(QStringLiteral("secret"));
    QVERIFY(alpha.start(page, companion.arg(examples).arg(brokerPort).arg("alpha", secretPath)));
    QVERIFY(beta.start(page, companion.arg(examples).arg(brokerPort).arg("beta", secretPath)));
    // The displays come up before the broker: their first connection attempts fail.
    QVERIFY2(startBroker(), "mosquitto did not start (is the mosquitto package installed?)");
    QVERIFY2(bothDisplaysSubscribed(), "the companions did not subscribe");
    QCOMPARE(alpha.evaluate(QStringLiteral("displayName")).toString(), QStringLiteral("alpha"));
    QCOMPARE(beta.evaluate(QStringLiteral("document.getElementById('display').textContent"))
                     .toString(),
             QStringLiteral("beta"));
}

void tst_Fleet::everyDisplayShowsEveryMessageInOrder_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QList<QByteArray>>("payloads");

    QList<QByteArray> numbered;
    for (int n = 1; n <= 200; ++n)
        numbered << "message " + QByteArray::number(n);
    QTest::addRow("200 messages") << "pelorin/display/all" << numbered;
    QTest::addRow("markup and line breaks stay text")
            << "pelorin/display/all"
            << QList<QByteArray>{
                       "<img src=x onerror=\"document.title='owned'\">\n\"q\" \\ \xc3\xa9 end"};
    QTest::addRow("topic with blanks and UTF-8") << "pelorin/display/hall 2/\xc3\xbc"
                                                    "ber"
                                                 << QList<QByteArray>{"{\"on\":true}"};
}

void tst_Fleet::everyDisplayShowsEveryMessageInOrder()
{
    QFETCH(QString, topic);
    QFETCH(QList<QByteArray>, payloads);
    expectOnBothDisplays(topic, payloads);
    QCOMPARE(alpha.evaluate(QStringLiteral("document.querySelectorAll('img').length")).toInt(-1), 0);
}

void tst_Fleet::clicksArePublishedOnTheEventsTopic()
{
    const QJsonObject event
            = QJsonDocument::fromJson(clickAndWatchEvents(alpha, QStringLiteral("alpha"))).object();
    QCOMPARE(event.value("display").toString(), QStringLiteral("alpha"));
    QCOMPARE(event.value("clicks").toInt(), 1);
}

void tst_Fleet::displaysResumeAfterTheBrokerRestarts()
{
    broker.terminate();
    QVERIFY(broker.waitForFinished(10000));
    QVERIFY2(startBroker(), "mosquitto did not start again");
    QVERIFY2(bothDisplaysSubscribed(), "the companions did not subscribe again");
    expectOnBothDisplays(QStringLiteral("pelorin/display/all"), {"after", "the", "restart"});
    const QJsonObject event
            = QJsonDocument::fromJson(clickAndWatchEvents(beta, QStringLiteral("beta"))).object();
    QCOMPARE(event.value("display").toString(), QStringLiteral("beta"));
}

void tst_Fleet::nothingOutlivesThePelorins()
{
    for (PelorinRun *run : {&alpha, &beta}) {
        const qint64 companion = companionOf(*run);
        QVERIFY(companion > 0);
        // The MQTT clients must stay in the companion's group, which Pelorin ends.
        const QStringList members = groupMembers(companion);
        QVERIFY2(members.contains("mosquitto_sub") && members.contains("mosquitto_pub"),
                 qPrintable(members.join(' ')));
        QVERIFY(run->terminate());
        QTRY_VERIFY2_WITH_TIMEOUT(groupMembers(companion).isEmpty(),
                                  qPrintable(groupMembers(companion).join(' ')),
                                  10000);
    }
}

void tst_Fleet::cleanupTestCase()
{
    broker.terminate();
    if (!broker.waitForFinished(10000))
        broker.kill();
}

bool tst_Fleet::startBroker()
{
    broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    broker.start(QStringLiteral(MOSQUITTO),
                 {QStringLiteral("-c"), brokerDir.filePath(QStringLiteral("mosquitto.conf"))});
    QElapsedTimer timer;
    timer.start();
    while (broker.waitForStarted(10000) && timer.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, brokerPort);
        if (probe.waitForConnected(1000))
            return true;
        QTest::qWait(100);
    }
    return false;
}

QStringList tst_Fleet::credentials() const
{
    return {QStringLiteral("-h"),
            QStringLiteral("127.0.0.1"),
            QStringLiteral("-p"),
            QString::number(brokerPort),
            QStringLiteral("-u"),
            QStringLiteral("display"),
            QStringLiteral("-P"),
            QStringLiteral("two words")};
}

// Publishes payloads on topic, one per line, or a lone payload whole, line breaks and all.
bool tst_Fleet::publish(const QString &topic, const QList<QByteArray> &payloads)
{
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              credentials() << QStringLiteral("-q") << QStringLiteral("1") << QStringLiteral("-t")
                            << topic
                            << (payloads.size() == 1 ? QStringLiteral("-s") : QStringLiteral("-l")));
    pub.write(payloads.size() == 1 ? payloads.first() : payloads.join('\n') + '\n');
    pub.closeWriteChannel();
    return pub.waitForFinished(30000) && pub.exitStatus() == QProcess::NormalExit
           && pub.exitCode() == 0;
}

// Publishes probes until a probe is the newest message of both displays: then both companions
// are subscribed, and no earlier message is still on its way.
bool tst_Fleet::bothDisplaysSubscribed()
{
    const QString newest = QStringLiteral(
            "received.length ? received[received.length - 1].body : ''");
    QElapsedTimer timer;
    timer.start();
    for (int n = 1; timer.elapsed() < 60000; ++n) {
        const QByteArray probe = "probe " + QByteArray::number(n);
        if (!publish(QStringLiteral("pelorin/display/probe"), {probe}))
            return false;
        for (int i = 0; i < 10; ++i) {
            if (alpha.evaluate(newest).toString() == probe
                && beta.evaluate(newest).toString() == probe)
                return true;
            QTest::qWait(100);
        }
    }
    return false;
}

void tst_Fleet::expectOnBothDisplays(const QString &topic, const QList<QByteArray> &payloads)
{
    const int before = alpha.evaluate(QStringLiteral("count")).toInt(-1);
    const int beforeBeta = beta.evaluate(QStringLiteral("count")).toInt(-1);
    QVERIFY(publish(topic, payloads));
    QStringList expected;
    for (const QByteArray &payload : payloads)
        expected << topic + QLatin1Char(' ') + QString::fromUtf8(payload);
    const QString shown = QStringLiteral("received.slice(-%1).map(function (m) {"
                                         " return m.topic + ' ' + m.body; })")
                                  .arg(payloads.size());
    QTRY_COMPARE_WITH_TIMEOUT(alpha.evaluate("count").toInt(), before + payloads.size(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(beta.evaluate("count").toInt(), beforeBeta + payloads.size(), 30000);
    QCOMPARE(alpha.evaluate(shown).toVariant().toStringList(), expected);
    QCOMPARE(beta.evaluate(shown).toVariant().toStringList(), expected);
}

// Clicks the page's button once and returns the payload that then appears on the events topic
// of display name; empty when none came.
QByteArray tst_Fleet::clickAndWatchEvents(PelorinRun &run, const QString &name)
{
    const QString topic = QStringLiteral("pelorin/events/") + name;
    QProcess watch;
    watch.start(QStringLiteral("mosquitto_sub"), credentials() << QStringLiteral("-t") << topic);
    // Once it shows a probe of ours the watcher is subscribed: the click cannot come too early.
    QByteArray output;
    for (int i = 0; i < 50 && !output.contains("probe"); ++i) {
        publish(topic, {"probe"});
        watch.waitForReadyRead(200);
        output += watch.readAllStandardOutput();
    }
    run.evaluate(QStringLiteral("document.querySelector('button').click()"));
    for (int i = 0; i < 100 && !output.contains('{'); ++i) {
        watch.waitForReadyRead(200);
        output += watch.readAllStandardOutput();
    }
    watch.kill();
    watch.waitForFinished();
    return output.mid(output.indexOf('{')).split('\n').first();
}

QTEST_GUILESS_MAIN(tst_Fleet)
#include "tst_fleet.moc"

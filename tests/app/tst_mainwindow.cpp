#include "appdirectory.h"
#include "companionprocess.h"
#include "mainwindow.h"
#include "processutil.h"

#include <QAction>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A config that keeps the window off the network's fixed port and off the local page.
QByteArray quietConfig(const QByteArray &extraConnect = QByteArray())
{
    return "[CONNECT]\nHOST=127.0.0.1\nPORT=0\nURL=about:blank\n" + extraConnect
           + "\n[UIUX]\nTITLE=Test\nBASESIZE_H=300\nBASESIZE_W=400\n";
}

QString helperPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/companionhelper");
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstStartWritesDefaults();
    void existingFileIsReadAsItStands_data();
    void existingFileIsReadAsItStands();
    void shortcutsTriggerNothing_data();
    void shortcutsTriggerNothing();
    void everyShowEmitsWindowLoaded();

    void companionStarts_data();
    void companionStarts();
    void noCompanionWithoutCommand();
    void companionIsHeardAndEndsWithTheWindow();

private:
    QString configPath() const { return appDir->path() + QStringLiteral("/config.ini"); }

    QTemporaryDir *appDir = nullptr;
};

void tst_MainWindow::init()
{
    appDir = new QTemporaryDir;
    QVERIFY(appDir->isValid());
    AppDirectory::setPath(appDir->path());
}

void tst_MainWindow::cleanup()
{
    AppDirectory::setPath(QString());
    delete appDir;
    appDir = nullptr;
}

void tst_MainWindow::firstStartWritesDefaults()
{
    MainWindow window;

    QSettings written(configPath(), QSettings::IniFormat);
    QCOMPARE(written.childGroups(), QStringList({"CONNECT", "UIUX"}));
    QCOMPARE(written.value("CONNECT/HOST").toString(), "127.0.0.1");
    QCOMPARE(written.value("CONNECT/PORT").toString(), "9977");
    QCOMPARE(written.value("CONNECT/URL").toString(), "");
    QCOMPARE(written.value("CONNECT/CRYPTO").toString(), "");
    QCOMPARE(written.value("UIUX/TITLE").toString(), "Pelorin");
    QCOMPARE(written.value("UIUX/BASESIZE_H").toString(), "1024");
    QCOMPARE(written.value("UIUX/BASESIZE_W").toString(), "768");
    written.beginGroup("CONNECT");
    QCOMPARE(written.childKeys().size(), 4);
    written.endGroup();

    QCOMPARE(window.host, "127.0.0.1");
    QCOMPARE(window.port, "9977");
    QCOMPARE(window.title, "Pelorin");
    QCOMPARE(window.companionCommand, "");
    QCOMPARE(window.baseHeight, 1024);
    QCOMPARE(window.baseWidth, 768);
    // Portrait: 768 wide, 1024 high.
    QCOMPARE(window.size(), QSize(768, 1024));
    QCOMPARE(window.windowTitle(), "Pelorin");
}

void tst_MainWindow::existingFileIsReadAsItStands_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("width");

    const QByteArray sizes = "BASESIZE_H=300\nBASESIZE_W=400\n";
    QTest::addRow("second start reads the defaults back")
        << QByteArray("[CONNECT]\nHOST=127.0.0.1\nPORT=0\nURL=about:blank\nCRYPTO=\n"
                      "[UIUX]\nTITLE=Pelorin\nBASESIZE_H=1024\nBASESIZE_W=768\n")
        << "about:blank" << "Pelorin" << 1024 << 768;
    // With no location configured the local page is used.
    QTest::addRow("zero-byte file reads as empty")
        << QByteArray() << "assets/index.html" << QString() << 0 << 0;
    QTest::addRow("missing title stays missing")
        << QByteArray("[CONNECT]\nPORT=0\nURL=about:blank\n[UIUX]\n" + sizes) << "about:blank"
        << QString() << 300 << 400;
    QTest::addRow("width wide reads as 0")
        << QByteArray("[CONNECT]\nPORT=0\nURL=x:\n[UIUX]\nBASESIZE_H=300\nBASESIZE_W=wide\n")
        << "x:" << QString() << 300 << 0;
    QTest::addRow("width 800px reads as 0")
        << QByteArray("[CONNECT]\nPORT=0\nURL=x:\n[UIUX]\nBASESIZE_H=300\nBASESIZE_W=800px\n")
        << "x:" << QString() << 300 << 0;
    QTest::addRow("percent-encoded url is decoded")
        << QByteArray("[CONNECT]\nPORT=0\nURL=file:///D:/My%20Pages/start.html\n")
        << "file:///D:/My Pages/start.html" << QString() << 0 << 0;
    QTest::addRow("plain url with a blank stays")
        << QByteArray("[CONNECT]\nPORT=0\nURL=file:///D:/My Pages/start.html\n")
        << "file:///D:/My Pages/start.html" << QString() << 0 << 0;
    QTest::addRow("plus sign stays a plus sign")
        << QByteArray("[CONNECT]\nPORT=0\nURL=http://127.0.0.1/?a+b\n") << "http://127.0.0.1/?a+b"
        << QString() << 0 << 0;
    // A plain path: "@APPDIR@" stands for the app directory.
    QTest::addRow("plain path to an existing file loads that file")
        << QByteArray("[CONNECT]\nPORT=0\nURL=@APPDIR@/config.ini\n") << "@APPDIR@/config.ini"
        << QString() << 0 << 0;
    QTest::addRow("plain path to no file stays, with a warning")
        << QByteArray("[CONNECT]\nPORT=0\nURL=/no/such/page.html\n") << "/no/such/page.html"
        << QString() << 0 << 0;
    QTest::addRow("utf-8 title round-trips")
        << QByteArray("[CONNECT]\nPORT=0\nURL=x:\n[UIUX]\nTITLE=Grüße – 日本\n" + sizes) << "x:"
        << QString::fromUtf8("Grüße – 日本") << 300 << 400;
}

void tst_MainWindow::existingFileIsReadAsItStands()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, url);
    QFETCH(QString, title);
    QFETCH(int, height);
    QFETCH(int, width);

    content.replace("@APPDIR@", appDir->path().toUtf8());
    writeFile(configPath(), content);
    const QDateTime modified = QFileInfo(configPath()).lastModified();
    if (url.startsWith(QLatin1String("assets/")))
        url = QUrl::fromLocalFile(appDir->path() + '/' + url).toString();
    if (url.startsWith(QLatin1String("@APPDIR@")))
        url = QUrl::fromLocalFile(url.replace(QLatin1String("@APPDIR@"), appDir->path())).toString();
    if (QUrl(url).scheme().isEmpty() && !url.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral(
                "CONNECT/URL \"%1\" has no scheme and names no file; it is loaded as a URL and "
                "may show nothing").arg(url)));
    {
        MainWindow window;
        QCOMPARE(window.url, url);
        QCOMPARE(window.title, title);
        QCOMPARE(window.windowTitle(), title);
        QCOMPARE(window.baseHeight, height);
        QCOMPARE(window.baseWidth, width);
    }
    QCOMPARE(readFile(configPath()), content);
    QCOMPARE(QFileInfo(configPath()).lastModified(), modified);
}

void tst_MainWindow::shortcutsTriggerNothing_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("key");
    QTest::addRow("ctrl+o") << "actionOpen" << int(Qt::Key_O);
    QTest::addRow("ctrl+s") << "actionSave" << int(Qt::Key_S);
    QTest::addRow("ctrl+q does not close") << "actionExit" << int(Qt::Key_Q);
    QTest::addRow("ctrl+n") << "actionNew" << int(Qt::Key_N);
}

void tst_MainWindow::shortcutsTriggerNothing()
{
    QFETCH(QString, action);
    QFETCH(int, key);
    writeFile(configPath(), quietConfig());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy triggered(window.findChild<QAction *>(action), &QAction::triggered);

    QTest::keyClick(&window, Qt::Key(key), Qt::ControlModifier);
    QCoreApplication::processEvents();
    QCOMPARE(triggered.count(), 0);
    QVERIFY(window.isVisible());
}

void tst_MainWindow::everyShowEmitsWindowLoaded()
{
    writeFile(configPath(), quietConfig());
    MainWindow window;
    QSignalSpy loaded(&window, &MainWindow::windowLoaded);
    QSignalSpy showEvents(&window, &MainWindow::sigShowEvent);

    window.show();
    QCOMPARE(loaded.count(), 1);
    window.hide();
    window.show();
    QCOMPARE(loaded.count(), 2);
    window.showMinimized();
    window.showNormal();
    QVERIFY(loaded.count() >= 3);
    QCOMPARE(showEvents.count(), 0);
}

void tst_MainWindow::companionStarts_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("quoted");
    QTest::addRow("plain path") << "companion" << true;
    QTest::addRow("quoted path with a blank") << "my companion" << true;
    // Unquoted, the command splits at the blank and names a program that does not exist.
    QTest::addRow("unquoted path with a blank is reported") << "my companion" << false;
}

void tst_MainWindow::companionStarts()
{
    QFETCH(QString, folderName);
    QFETCH(bool, quoted);
    const QString folder = appDir->path() + '/' + folderName;
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/companionhelper");
    QVERIFY(QFile::copy(helperPath(), program));
    const QString out = appDir->path() + QStringLiteral("/started.txt");
    if (quoted) {
        writeFile(configPath(),
                  quietConfig("CRYPTO=\"\\\"" + program.toUtf8() + "\\\" " + out.toUtf8()
                              + " \\\"two words\\\"\"\n"));
    } else {
        writeFile(configPath(),
                  quietConfig("CRYPTO=" + program.toUtf8() + ' ' + out.toUtf8() + '\n'));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^companion \".*my companion/"
                                                               "companionhelper .*\" failed to "
                                                               "start: .+")));
    }

    MainWindow window;
    QCOMPARE(window.findChildren<QProcess *>().size(), 1);
    auto *process = window.findChild<QProcess *>();
    if (!quoted) {
        QTRY_COMPARE(process->state(), QProcess::NotRunning);
        QCOMPARE(process->error(), QProcess::FailedToStart);
        QVERIFY(!QFile::exists(out));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 10000);
    QCOMPARE(readFile(out).split('\n').value(1), QByteArray("two words"));
    QCOMPARE(process->state(), QProcess::Running);
}

void tst_MainWindow::noCompanionWithoutCommand()
{
    writeFile(configPath(), quietConfig("CRYPTO=\n"));
    MainWindow window;
    QVERIFY(window.findChildren<QProcess *>().isEmpty());
}

void tst_MainWindow::companionIsHeardAndEndsWithTheWindow()
{
#if !defined(Q_OS_LINUX)
    QSKIP("reads process states from /proc");
#endif
    static QStringList forwarded;
    static QtMessageHandler previous = nullptr;
    forwarded.clear();
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                                         const QString &message) {
        if (qstrcmp(context.category, "pelorin.companion") == 0 && type == QtInfoMsg)
            forwarded.append(message);
        else
            previous(type, context, message);
    });
    const QString out = appDir->path() + QStringLiteral("/started.txt");
    const QByteArray script =
            QCoreApplication::applicationDirPath().toUtf8() + "/companionfamily.sh";
    writeFile(configPath(), quietConfig("CRYPTO=/bin/sh " + script + ' ' + out.toUtf8() + '\n'));
    QList<QByteArray> pids;
    {
        MainWindow window;
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 10000);
        pids = readFile(out).trimmed().split(' ');
        QCOMPARE(pids.size(), 2);
        QVERIFY(processIsLive(pids.at(0).toLongLong()));
        QVERIFY(processIsLive(pids.at(1).toLongLong()));

        // Both channels, line by line; a control character shows as '?'; a line longer than
        // the bound comes in pieces.
        const QString prefix = QStringLiteral("sh: ");
        QTRY_COMPARE_WITH_TIMEOUT(forwarded.size(), 4, 10000);
        QVERIFY(forwarded.contains(prefix + "on stdout"));
        QVERIFY(forwarded.contains(prefix + "on stderr ?[1m"));
        QVERIFY(forwarded.contains(prefix + QString(CompanionProcess::maxLine, 'x')));
        QVERIFY(forwarded.contains(prefix + QString(70000 - CompanionProcess::maxLine, 'x')));
    }
    qInstallMessageHandler(previous);
    // Gone with the window, the background child included, not later.
    QVERIFY(!processIsLive(pids.at(0).toLongLong()));
    QVERIFY(!processIsLive(pids.at(1).toLongLong()));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

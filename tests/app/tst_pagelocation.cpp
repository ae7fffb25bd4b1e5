#include "pagelocation.h"
#include "processutil.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class tst_PageLocation : public QObject
{
    Q_OBJECT

private slots:
    void choosesPage_data();
    void choosesPage();
};

void tst_PageLocation::choosesPage_data()
{
    // In the app directory: "name" a file holding its own name, "name/" a folder,
    // "name->target" a symbolic link.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("page"); // the page chosen in assets/; empty for none
    QTest::addColumn<bool>("defaultWritten");

    QTest::addRow("no assets folder") << QStringList() << "index.html" << true;
    QTest::addRow("no index.*") << QStringList{"assets/readme.txt"} << "index.html" << true;
    QTest::addRow("any index.*, its case kept")
            << QStringList{"assets/INDEX.PHP"} << "INDEX.PHP" << false;
    QTest::addRow("first by name, case ignored")
            << QStringList{"assets/Index.PHP", "assets/index.html", "assets/index.htm"}
            << "index.htm" << false;
    QTest::addRow("folders and links are no pages")
            << QStringList{"other.html", "assets/index.a/", "assets/index.b->other.html",
                           "assets/index.c"}
            << "index.c" << false;
    QTest::addRow("a dangling link named index.html is not written through")
            << QStringList{"assets/index.html->missing.html"} << QString() << false;
}

void tst_PageLocation::choosesPage()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, page);
    QFETCH(bool, defaultWritten);

    // The page's URL text must name the file whatever the path holds.
    QTemporaryDir tempDir;
    const QString appDir = tempDir.path() + QString::fromUtf8("/a #b?c%20d \xc3\xa9");
    QVERIFY(QDir().mkpath(appDir));
    for (const QString &entry : entries) {
        const QString path = appDir + '/' + entry.section("->", 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (entry.contains("->"))
            QVERIFY(QFile::link(appDir + '/' + entry.section("->", 1), path));
        else if (entry.endsWith('/'))
            QVERIFY(QDir().mkpath(path));
        else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(entry.toUtf8()) > 0);
        }
    }
    if (page.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No page to show: .+: .+"));

    const QString url = locatePage(appDir);
    QCOMPARE(QUrl(url, QUrl::TolerantMode).toLocalFile(),
             page.isEmpty() ? QString() : appDir + "/assets/" + page);
    QCOMPARE(readFile(appDir + "/assets/index.html") == QByteArray(defaultPageText) + '\n',
             defaultWritten);
    // What was there keeps its content; nothing is written through a link.
    for (const QString &entry : entries) {
        if (!entry.endsWith('/') && !entry.contains("->"))
            QCOMPARE(readFile(appDir + '/' + entry), entry.toUtf8());
    }
    QVERIFY(!QFile::exists(appDir + "/missing.html"));
}

QTEST_GUILESS_MAIN(tst_PageLocation)
#include "tst_pagelocation.moc"

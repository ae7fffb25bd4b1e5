#include "pagelocation.h"
#include "processutil.h"

#include <QtTest>

class tst_PageLocation : public QObject
{
    Q_OBJECT

private slots:
    void choosesPage_data()
    {
        // In the app directory, which holds the folder assets/index.a: "name" a file holding its
        // own name, "name->target" a symbolic link.
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("page"); // the page chosen in assets/; empty for none
        QTest::addColumn<bool>("defaultWritten");

        QTest::addRow("no page, a folder index.a") << QStringList() << "index.html" << true;
        QTest::addRow("any index.*, the first by name, case ignored and kept")
                << QStringList{"assets/Index.PHP", "assets/index.html", "assets/index.HTM"}
                << "index.HTM" << false;
        QTest::addRow("a dangling link named index.html is not written through")
                << QStringList{"assets/index.html->missing.html"} << QString() << false;
    }

    void choosesPage()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, page);
        QFETCH(bool, defaultWritten);

        // The page's URL text must name the file whatever the path holds.
        QTemporaryDir tempDir;
        const QString appDir = tempDir.path() + QString::fromUtf8("/a #b?c%20d \xc3\xa9");
        QVERIFY(QDir().mkpath(appDir + "/assets/index.a"));
        for (const QString &entry : entries) {
            const QString path = appDir + '/' + entry.section("->", 0, 0);
            QVERIFY(entry.contains("->") ? QFile::link(appDir + '/' + entry.section("->", 1), path)
                                         : writeFile(path, entry.toUtf8()));
        }
        if (page.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No page to show: .+: .+"));

        const QString url = locatePage(appDir);
        QCOMPARE(QUrl(url, QUrl::TolerantMode).toLocalFile(),
                 page.isEmpty() ? QString() : appDir + "/assets/" + page);
        QCOMPARE(readFile(appDir + "/assets/index.html") == QByteArray(defaultPageText) + '\n',
                 defaultWritten);
        // What was there keeps its content.
        for (const QString &entry : entries) {
            if (!entry.contains("->"))
                QCOMPARE(readFile(appDir + '/' + entry), entry.toUtf8());
        }
    }
};

QTEST_GUILESS_MAIN(tst_PageLocation)
#include "tst_pagelocation.moc"

#include "pagelocation.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

// Entries to lay out in the app directory, relative to it: "name" a file holding its own
// name, "name/" a folder, "name->target" a symbolic link.
void layOut(const QString &appDir, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = appDir + QLatin1Char('/') + entry.section(QStringLiteral("->"), 0, 0);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (entry.contains(QStringLiteral("->"))) {
            const QString target = appDir + QLatin1Char('/')
                                   + entry.section(QStringLiteral("->"), 1);
            QVERIFY(QFile::link(target, path));
        } else if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(entry.toUtf8());
        }
    }
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_PageLocation : public QObject
{
    Q_OBJECT

private slots:
    void choosesPage_data();
    void choosesPage();
    void defaultPageIsExact();
    void secondStartLeavesPageUntouched();
    void urlNamesFileWhateverThePath_data();
    void urlNamesFileWhateverThePath();
};

void tst_PageLocation::choosesPage_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("page"); // name in assets/, empty when there is none
    QTest::addColumn<bool>("defaultWritten");

    const QString none;
    QTest::addRow("no assets folder") << QStringList() << "index.html" << true;
    QTest::addRow("empty assets folder") << QStringList{"assets/"} << "index.html" << true;
    QTest::addRow("index.php alone") << QStringList{"assets/index.php"} << "index.php" << false;
    QTest::addRow("readme.txt alone") << QStringList{"assets/readme.txt"} << "index.html" << true;
    QTest::addRow("INDEX.HTML keeps its case")
            << QStringList{"assets/INDEX.HTML"} << "INDEX.HTML" << false;
    QTest::addRow("index.htm before index.html")
            << QStringList{"assets/index.html", "assets/index.htm"} << "index.htm" << false;
    QTest::addRow("index.asp before index.htm and index.html")
            << QStringList{"assets/index.html", "assets/index.htm", "assets/index.asp"}
            << "index.asp" << false;
    QTest::addRow("Index.PHP after index.html")
            << QStringList{"assets/Index.PHP", "assets/index.html"} << "index.html" << false;
    QTest::addRow("a folder index.d is no page")
            << QStringList{"assets/index.d/"} << "index.html" << true;
    QTest::addRow("a hidden .index.html is no page")
            << QStringList{"assets/.index.html"} << "index.html" << true;
    QTest::addRow("a link to a page is no page, a real page still wins")
            << QStringList{"other.html", "assets/index.asp->other.html", "assets/index.php"}
            << "index.php" << false;
    QTest::addRow("a link named index.html is not written over")
            << QStringList{"other.html", "assets/index.html->other.html"} << none << false;
    QTest::addRow("a dangling link named index.html is not written through")
            << QStringList{"assets/index.html->missing.html"} << none << false;
    QTest::addRow("a plain file named assets") << QStringList{"assets"} << none << false;
}

void tst_PageLocation::choosesPage()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, page);
    QFETCH(bool, defaultWritten);

    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    layOut(appDir.path(), entries);

    if (page.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(
                                     QStringLiteral("^No page to show: %1/assets.*: .+")
                                             .arg(QRegularExpression::escape(appDir.path()))));
    const QString url = locatePage(appDir.path());

    if (page.isEmpty()) {
        QCOMPARE(url, QString());
    } else {
        QCOMPARE(url, QUrl::fromLocalFile(appDir.path() + "/assets/" + page).toString());
        QVERIFY(QFileInfo(QUrl(url).toLocalFile()).isFile());
    }
    const QByteArray indexContent = contentOf(appDir.path() + "/assets/index.html");
    QCOMPARE(indexContent == QByteArray(defaultPageText) + '\n', defaultWritten);

    // Files that were there keep their content, links and their targets included.
    for (const QString &entry : entries) {
        if (entry.endsWith(QLatin1Char('/')) || entry.contains(QStringLiteral("->")))
            continue;
        QCOMPARE(contentOf(appDir.path() + QLatin1Char('/') + entry), entry.toUtf8());
    }
    QVERIFY(!QFile::exists(appDir.path() + "/missing.html"));
}

void tst_PageLocation::defaultPageIsExact()
{
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    locatePage(appDir.path());

    const QByteArray content = contentOf(appDir.path() + "/assets/index.html");
    QCOMPARE(content.size(), 130);
    QVERIFY(content.endsWith("</html>\n"));
    QCOMPARE(content.count('\n'), 1);
    QVERIFY(!content.contains('\r'));
    QVERIFY(content.startsWith(
            "<html><head><script>function PEL_listener(arg) "
            "{json.append(arg, \"\\n\");}</script></head><body><pre id=\"json\">"));
}

void tst_PageLocation::secondStartLeavesPageUntouched()
{
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const QString first = locatePage(appDir.path());

    // An old time stamp, so that any rewrite would show.
    QFile page(appDir.path() + "/assets/index.html");
    QVERIFY(page.open(QIODevice::ReadWrite));
    page.write("<html>mine</html>");
    page.resize(page.pos());
    const QDateTime stamp = QDateTime::currentDateTimeUtc().addDays(-3);
    QVERIFY(page.setFileTime(stamp, QFileDevice::FileModificationTime));
    page.close();

    QCOMPARE(locatePage(appDir.path()), first);
    QCOMPARE(contentOf(page.fileName()), QByteArray("<html>mine</html>"));
    QCOMPARE(QFileInfo(page.fileName()).lastModified().toSecsSinceEpoch(), stamp.toSecsSinceEpoch());
}

void tst_PageLocation::urlNamesFileWhateverThePath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("urlPart"); // how the folder shows in the URL text

    QTest::addRow("blanks stay unescaped") << "my app dir"
                                           << "my app dir";
    QTest::addRow("number sign") << "app#1"
                                 << "app%231";
    QTest::addRow("question mark") << "why?"
                                   << "why%3F";
    QTest::addRow("percent sign") << "100%"
                                  << "100%25";
    QTest::addRow("percent escape lookalike") << "a%20b"
                                              << "a%2520b";
    QTest::addRow("all at once") << "a #b?c%d"
                                 << "a %23b%3Fc%25d";
    QTest::addRow("non-ASCII") << QString::fromUtf8("Ordner \xc3\xa9")
                               << QString::fromUtf8("Ordner \xc3\xa9");
}

void tst_PageLocation::urlNamesFileWhateverThePath()
{
    QFETCH(QString, folder);
    QFETCH(QString, urlPart);

    QTemporaryDir tempDir;
    QVERIFY(tempDir.isValid());
    const QString appDir = tempDir.path() + QLatin1Char('/') + folder;
    QVERIFY(QDir().mkpath(appDir));

    const QString url = locatePage(appDir);
    QVERIFY2(url.contains(urlPart + "/assets/index.html"), qPrintable(url));
    // The window parses the text in tolerant mode; it must still name the same file.
    const QUrl parsed(url, QUrl::TolerantMode);
    QVERIFY(parsed.isLocalFile());
    QCOMPARE(parsed.toLocalFile(), appDir + "/assets/index.html");
    QCOMPARE(contentOf(parsed.toLocalFile()).size(), 130);
}

QTEST_GUILESS_MAIN(tst_PageLocation)
#include "tst_pagelocation.moc"

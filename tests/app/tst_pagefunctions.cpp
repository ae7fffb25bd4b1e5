#include "pageenvelope.h"
#include "pagelocation.h"
#include "pagerequest.h"
#include "processutil.h"

#include <QtTest>

// The page's pure functions: where it is found, and the text that carries a request to it.
class tst_PageFunctions : public QObject
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

        QCOMPARE(QUrl(locatePage(appDir), QUrl::TolerantMode).toLocalFile(),
                 page.isEmpty() ? QString() : appDir + "/assets/" + page);
        QCOMPARE(readFile(appDir + "/assets/index.html") == QByteArray(defaultPageText) + '\n',
                 defaultWritten);
        // What was there keeps its content.
        for (const QString &entry : entries) {
            if (!entry.contains("->"))
                QCOMPARE(readFile(appDir + '/' + entry), entry.toUtf8());
        }
    }

    void envelope_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("headers"); // as the server writes them: JSON-escaped values
        QTest::addColumn<QString>("envelope");

        const QByteArray example = "{\n    \"content-length\": \"7\",\n    \"host\": \"h\"\n}\n";
        const QString headers
                = ",    \"headers\": {    \"content-length\": \"7\",    \"host\": \"h\"}}";
        QTest::addRow("backslashes, line feeds and tabs vanish, CR is r, quotes stand bare")
                << QByteArray("C:\\temp\\x\r\nline2\tsaid \"hi\"")
                << QByteArray("{\n    \"x-a\": \"\\\"b\\\"\\tc:\\\\d\"\n}\n")
                << "{    \"body\": \"C:tempxrline2said \"hi\"\",    \"headers\": {    \"x-a\": "
                   "\"\"b\"tc:d\"}}";
        QTest::addRow("a braced string inside JSON loses its quotes")
                << QByteArray("{\"a\":{\"b\":\"{c}\"}}") << example
                << "{    \"body\": {\"a\":{\"b\":{c}}}" + headers;
        QTest::addRow("UTF-8 passes, invalid bytes are U+FFFD, control characters keep the rest of "
                      "their escape, NUL ends the body")
                << QByteArray("\xc3\xa9 \xf0\x9f\x98\x80 a\xffz\x01\b\f\0after", 20) << example
                << QString::fromUtf8(
                           "{    \"body\": \"\xc3\xa9 \xf0\x9f\x98\x80 a\xef\xbf\xbdzu0001bf\"")
                           + headers;
    }

    void envelope()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, headers);
        QFETCH(QString, envelope);
        QCOMPARE(pageEnvelope(body, headers), envelope);
    }

    // The body's literal: quote, backslash, line terminators and NUL escaped once, a leading
    // byte-order mark kept, an invalid byte as U+FFFD, the rest as it is.
    void wholeRequest()
    {
        PageRequest request;
        request.id = 7;
        request.method = "POST";
        request.headers.insert("__proto__", "x"); // a member like any other
        request.body = QByteArray("\xef\xbb\xbfq'b\\c\nd\re\0f\x01 \xe2\x80\xa8x\xff", 21);
        QCOMPARE(receiverCall(request),
                 QString::fromUtf8("try{pelorin.receive({id:7,method:'POST',path:'',query:'',"
                                   "headers:{['__proto__']:'x'},body:'\xef\xbb\xbfq\\'b\\\\c\\nd"
                                   "\\re\\u0000f\x01 \\u2028x\xef\xbf\xbd'},false)}catch(e){"
                                   "console.error('PEL_receive failed:',e)}\n"));
    }
};

QTEST_GUILESS_MAIN(tst_PageFunctions)
#include "tst_pagefunctions.moc"

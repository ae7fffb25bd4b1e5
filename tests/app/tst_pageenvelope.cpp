#include "pageenvelope.h"

#include <QTest>

class tst_PageEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void envelope_data();
    void envelope();
};

void tst_PageEnvelope::envelope_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("headers"); // as the server writes them: JSON-escaped values
    QTest::addColumn<QString>("envelope");

    const QByteArray example = "{\n    \"content-length\": \"7\",\n    \"host\": \"h\"\n}\n";
    const QString headers
            = ",    \"headers\": {    \"content-length\": \"7\",    \"host\": \"h\"}}";
    QTest::addRow("the worked example")
            << QByteArray("{\"n\":1}") << example << "{    \"body\": {\"n\":1}" + headers;
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

void tst_PageEnvelope::envelope()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, headers);
    QFETCH(QString, envelope);
    QCOMPARE(pageEnvelope(body, headers), envelope);
}

QTEST_GUILESS_MAIN(tst_PageEnvelope)
#include "tst_pageenvelope.moc"

#include "pageenvelope.h"
#include "pagerequest.h"

#include <QTest>

class tst_PageEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void envelope_data();
    void envelope();
    void wholeRequest_data();
    void wholeRequest();
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

void tst_PageEnvelope::wholeRequest_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("literal"); // the body's string literal in the call
    QTest::addRow("quote, backslash, line terminators and NUL escaped once, the rest as it is")
            << QByteArray("a'b\\c\nd\re\0f\x01 \xe2\x80\xa8", 16)
            << QString("'a\\'b\\\\c\\nd\\re\\x00f\x01 \\u2028'");
    QTest::addRow("a leading byte-order mark kept, an invalid byte as U+FFFD")
            << QByteArray("\xef\xbb\xbfx\xff") << QString::fromUtf8("'\xef\xbb\xbfx\xef\xbf\xbd'");
}

void tst_PageEnvelope::wholeRequest()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, literal);
    PageRequest request;
    request.id = 7;
    request.method = "POST";
    request.headers.insert("__proto__", "x"); // a member like any other
    request.body = body;
    QCOMPARE(receiverCall(request),
             "try{pelorin.receive({id:7,method:'POST',path:'',query:'',headers:{['__proto__']:'x'},"
             "body:" + literal
                     + "},false)}catch(e){console.error('PEL_receive failed:',e)}\n");
}

QTEST_GUILESS_MAIN(tst_PageEnvelope)
#include "tst_pageenvelope.moc"

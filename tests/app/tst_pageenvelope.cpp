#include "pageenvelope.h"
#include "pagerequest.h"

#include <QTest>

class tst_PageEnvelope : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(tst_PageEnvelope)
#include "tst_pageenvelope.moc"

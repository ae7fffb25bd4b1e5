#include "pageenvelope.h"

#include <QTest>

namespace {

// The headers document of the worked example: content-length 7 and host 127.0.0.1:9977.
const QByteArray exampleHeaders = "{\n"
                                  "    \"content-length\": \"7\",\n"
                                  "    \"host\": \"127.0.0.1:9977\"\n"
                                  "}\n";
const QString exampleHeadersMember = QStringLiteral(
        "\"headers\": {    \"content-length\": \"7\",    \"host\": \"127.0.0.1:9977\"}");

} // namespace

class tst_PageEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void bodyMember_data();
    void bodyMember();
    void headersMember_data();
    void headersMember();
    void listenerCallIsAsciiAndEscaped_data();
    void listenerCallIsAsciiAndEscaped();
};

void tst_PageEnvelope::workedExample()
{
    const QString envelope = pageEnvelope("{\"n\":1}", exampleHeaders);
    QCOMPARE(envelope,
             QStringLiteral("{    \"body\": {\"n\":1},    \"headers\": {    "
                            "\"content-length\": \"7\",    \"host\": \"127.0.0.1:9977\"}}"));
}

void tst_PageEnvelope::bodyMember_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("member");

    QTest::addRow("query text") << QByteArray("a=1&b=2") << "\"body\": \"a=1&b=2\"";
    QTest::addRow("empty") << QByteArray() << "\"body\": \"\"";
    QTest::addRow("backslashes vanish")
            << QByteArray("dir\\sub\\file") << "\"body\": \"dirsubfile\"";
    QTest::addRow("CR LF tab and quotes")
            << QByteArray("line1\r\nline2\t\"x\"") << "\"body\": \"line1rline2\"x\"\"";
    QTest::addRow("nested object")
            << QByteArray("{\"a\":{\"b\":\"{c}\"}}") << "\"body\": {\"a\":{\"b\":{c}}}";
    QTest::addRow("U+0001 becomes u0001") << QByteArray("a\x01z") << "\"body\": \"au0001z\"";
    QTest::addRow("backspace and form feed") << QByteArray("a\bz\f") << "\"body\": \"abzf\"";
    QTest::addRow("NUL ends the body") << QByteArray("before\0after", 12) << "\"body\": \"before\"";
    QTest::addRow("UTF-8 passes unchanged")
            << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80")
            << QString::fromUtf8("\"body\": \"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\"");
    QTest::addRow("invalid UTF-8 becomes U+FFFD")
            << QByteArray("a\xff" "z") << QString::fromUtf8("\"body\": \"a\xef\xbf\xbdz\"");
    QTest::addRow("opening brace only leaves one quote")
            << QByteArray("{abc") << "\"body\": {abc\"";
    QTest::addRow("single quote stays") << QByteArray("it's") << "\"body\": \"it's\"";
}

void tst_PageEnvelope::bodyMember()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, member);

    QCOMPARE(pageEnvelope(body, exampleHeaders),
             QStringLiteral("{    ") + member + QStringLiteral(",    ") + exampleHeadersMember
                     + QStringLiteral("}"));
}

void tst_PageEnvelope::headersMember_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QString>("member");

    // Header documents as the server writes them: JSON-escaped values.
    QTest::addRow("no headers") << QByteArray("{\n}\n") << "\"headers\": {}";
    QTest::addRow("double quote stands bare")
            << QByteArray("{\n    \"x-say\": \"a \\\"b\\\"\"\n}\n")
            << "\"headers\": {    \"x-say\": \"a \"b\"\"}";
    QTest::addRow("tab becomes t") << QByteArray("{\n    \"x-tab\": \"a\\tb\"\n}\n")
                                   << "\"headers\": {    \"x-tab\": \"atb\"}";
    QTest::addRow("backslash vanishes") << QByteArray("{\n    \"x-path\": \"c:\\\\dir\"\n}\n")
                                        << "\"headers\": {    \"x-path\": \"c:dir\"}";
    QTest::addRow("U+0001 becomes u0001") << QByteArray("{\n    \"x-c\": \"a\\u0001\"\n}\n")
                                          << "\"headers\": {    \"x-c\": \"au0001\"}";
}

void tst_PageEnvelope::headersMember()
{
    QFETCH(QByteArray, headers);
    QFETCH(QString, member);

    QCOMPARE(pageEnvelope("x=1", headers),
             QStringLiteral("{    \"body\": \"x=1\",    ") + member + QStringLiteral("}"));
}

void tst_PageEnvelope::listenerCallIsAsciiAndEscaped_data()
{
    QTest::addColumn<QString>("envelope");
    QTest::addColumn<QString>("literal"); // what stands between the quotes of the call

    QTest::addRow("plain") << "{    \"body\": \"a\"}"
                           << "{    \"body\": \"a\"}";
    QTest::addRow("single quote") << "a'b"
                                  << "a\\u0027b";
    QTest::addRow("backslash quote") << "a\\'b"
                                     << "a\\u005c\\u0027b";
    QTest::addRow("script end tag") << "</script>"
                                    << "\\u003c/script\\u003e";
    QTest::addRow("line terminators") << QString("a\nb\rc") + QChar(0x2028) + QChar(0x2029)
                                      << "a\\u000ab\\u000dc\\u2028\\u2029";
    QTest::addRow("non-ASCII and lone surrogate")
            << QString::fromUtf8("\xc3\xa9") + QChar(0xd800) << "\\u00e9\\ud800";
}

void tst_PageEnvelope::listenerCallIsAsciiAndEscaped()
{
    QFETCH(QString, envelope);
    QFETCH(QString, literal);

    const QString call = listenerCall(envelope);
    QVERIFY2(call.startsWith(QStringLiteral("try{PEL_listener('") + literal
                             + QStringLiteral("')}catch(e){")),
             qPrintable(call));
    QVERIFY(call.endsWith(QLatin1Char('\n')));
    for (const QChar c : call)
        QVERIFY2(c.unicode() < 0x7f && (c.unicode() >= 0x20 || c == QLatin1Char('\n')),
                 qPrintable(call));
}

QTEST_GUILESS_MAIN(tst_PageEnvelope)
#include "tst_pageenvelope.moc"

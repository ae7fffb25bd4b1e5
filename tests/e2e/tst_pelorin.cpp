#include "pelorinrun.h"

// Runs the built program from an app directory of its own, sends it real requests and reads
// through remote debugging what its default page received.
class tst_Pelorin : public QObject
{
    Q_OBJECT

private slots:
    void requestsReachTheDefaultPage();
};

void tst_Pelorin::requestsReachTheDefaultPage()
{
    PelorinRun pelorin;
    QVERIFY2(pelorin.start(), "the default page did not show up in remote debugging");
    QCOMPARE(QFileInfo(pelorin.appDir.path() + "/assets/index.html").size(), 130);
    const quint16 port = pelorin.port;

    // Record what the listener receives, then let it go on writing into the document.
    QCOMPARE(pelorin.evaluate(QStringLiteral(
                     "window.calls = []; var shown = PEL_listener;"
                     "PEL_listener = function (arg) { calls.push(arg); shown(arg); }; 1")),
             QJsonValue(1));

    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    const QByteArray injection = "');window.pwned=1;//<img src=x onerror=window.pwned=1>";
    const QByteArray post = "POST / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: ";
    const QList<QByteArray> requests{
            post + "7\r\n\r\n{\"n\":1}",
            "GET /?a=1&b=2 HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
            post + QByteArray::number(injection.size()) + "\r\n\r\n" + injection,
    };
    for (const QByteArray &request : requests)
        QVERIFY(pelorin.exchange(request).contains("\"status\": \"OK\""));

    const QString headers = "\"headers\": {    \"content-length\": \"%1\",    \"host\": \""
                            + QString::fromUtf8(host) + "\"}}";
    const QStringList expected{
            "{    \"body\": {\"n\":1},    " + headers.arg(7),
            "{    \"body\": \"a=1&b=2\",    \"headers\": {    \"host\": \""
                    + QString::fromUtf8(host) + "\"}}",
            "{    \"body\": \"" + QString::fromUtf8(injection) + "\",    "
                    + headers.arg(injection.size()),
    };
    QJsonValue calls;
    QTRY_COMPARE_WITH_TIMEOUT((calls = pelorin.evaluate("calls")).toArray().size(), 3, 10000);
    QCOMPARE(calls.toVariant().toStringList(), expected);
    QCOMPARE(pelorin.evaluate("typeof window.pwned").toString(), QStringLiteral("undefined"));
    QCOMPARE(pelorin.evaluate("document.images.length").toInt(), 0);
    QVERIFY(pelorin.evaluate("document.documentElement.textContent")
                    .toString()
                    .contains(expected.last()));

    QVERIFY(pelorin.terminate());
}

QTEST_GUILESS_MAIN(tst_Pelorin)
#include "tst_pelorin.moc"

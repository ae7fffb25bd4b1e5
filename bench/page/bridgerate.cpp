// The bridge's own ceiling, without HTTP: a real page counting PEL_listener calls (page.js),
// fed by PageBridge with one envelope per turn of the event loop, as the server hands them
// over, as fast as the loop turns. Prints messages per second into the page and envelopes
// per script.
//
//   pelorin-bench-bridgerate <page.js> [messages]
#include "pagebridge.h"
#include "pageenvelope.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTextStream>
#include <QTimer>
#include <QWebEnginePage>

namespace {

QVariant evaluate(QWebEnginePage *page, const QString &script)
{
    QVariant result;
    QEventLoop loop;
    page->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        loop.quit();
    });
    loop.exec();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 2) {
        out << "usage: pelorin-bench-bridgerate <page.js> [messages]\n";
        return 2;
    }
    QFile pageJs(QString::fromLocal8Bit(argv[1]));
    if (!pageJs.open(QIODevice::ReadOnly)) {
        out << "cannot read " << argv[1] << "\n";
        return 2;
    }
    const int total = argc > 2 ? atoi(argv[2]) : 200000;

    QWebEnginePage page;
    PageBridge bridge(nullptr);
    bridge.setPage(&page);
    QEventLoop loaded;
    QObject::connect(&page, &QWebEnginePage::loadFinished, &loaded, &QEventLoop::quit);
    page.setHtml(QStringLiteral("<html><head><script>%1</script></head><body>rate</body></html>")
                         .arg(QString::fromUtf8(pageJs.readAll())),
                 QUrl(QStringLiteral("http://127.0.0.1/")));
    loaded.exec();

    const QByteArray headers = "{\n    \"content-type\": \"application/json\",\n    \"host\": "
                               "\"127.0.0.1:9977\"\n}\n";
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QEventLoop sending;
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        bridge.deliver(QStringLiteral("{\"i\":%1}").arg(sent).toUtf8(), headers);
        if (++sent == total) {
            tick.stop();
            sending.quit();
        }
    });
    tick.start();
    sending.exec();
    while (evaluate(&page, QStringLiteral("S.count")).toInt() < total) {
        QEventLoop pause;
        QTimer::singleShot(2, &pause, &QEventLoop::quit);
        pause.exec();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    out << "bridge alone: " << total << " messages in " << seconds << " s, "
        << qRound(total / seconds) << " msgs/s into the page, " << bridge.scriptsRun()
        << " scripts (" << double(total) / bridge.scriptsRun() << " envelopes each)\n";
    return 0;
}

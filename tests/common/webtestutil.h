#ifndef WEBTESTUTIL_H
#define WEBTESTUTIL_H

#include <QEventLoop>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QWebEnginePage>

#include <memory>

// Loads url into page and waits, at most timeoutMs, for the load to finish. Returns the load's
// success; false on timeout.
inline bool loadSync(QWebEnginePage *page, const QUrl &url, int timeoutMs = 30000)
{
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);
    page->load(url);
    if (!finished.wait(timeoutMs))
        return false;
    return finished.first().first().toBool();
}

// Runs script in the page's main world and waits, at most timeoutMs, for its result. An
// invalid QVariant means the script gave nothing back or did not finish in time.
inline QVariant evaluateJavaScriptSync(QWebEnginePage *page,
                                       const QString &script,
                                       int timeoutMs = 10000)
{
    // Shared with the callback, which may still come after a timeout has ended the wait.
    struct Outcome
    {
        QVariant result;
        bool done = false;
        QPointer<QEventLoop> loop;
    };
    auto outcome = std::make_shared<Outcome>();
    QEventLoop loop;
    outcome->loop = &loop;
    page->runJavaScript(script, [outcome](const QVariant &value) {
        outcome->result = value;
        outcome->done = true;
        if (outcome->loop)
            outcome->loop->quit();
    });
    if (!outcome->done) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return outcome->result;
}

// A page that records every PEL_listener call in window.calls.
inline QString recordingPageHtml()
{
    return QStringLiteral("<html><head><script>window.calls = [];"
                          "function PEL_listener(arg) { window.calls.push(arg); }"
                          "</script></head><body>recording</body></html>");
}

#endif // WEBTESTUTIL_H

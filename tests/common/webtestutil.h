#ifndef WEBTESTUTIL_H
#define WEBTESTUTIL_H

#include <QEventLoop>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QWebEnginePage>

#include <memory>

// Loads url into page; whether it loaded within timeoutMs.
inline bool loadSync(QWebEnginePage *page, const QUrl &url, int timeoutMs = 30000)
{
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);
    page->load(url);
    return finished.wait(timeoutMs) && finished.first().first().toBool();
}

// The script's result; invalid when it gave none within timeoutMs.
inline QVariant evaluateJavaScriptSync(QWebEnginePage *page, const QString &script,
                                       int timeoutMs = 10000)
{
    // Shared with the callback, which may still come after the wait has ended.
    auto outcome = std::make_shared<std::pair<bool, QVariant>>();
    QEventLoop loop;
    QPointer<QEventLoop> waiting(&loop);
    page->runJavaScript(script, [outcome, waiting](const QVariant &value) {
        *outcome = {true, value};
        if (waiting)
            waiting->quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!outcome->first)
        loop.exec();
    return outcome->second;
}

// Records every PEL_listener call in window.calls; a call whose text holds "throw" throws.
inline QString recordingPageHtml()
{
    return QStringLiteral("<html><head><script>window.calls = [];"
                          "function PEL_listener(arg) { window.calls.push(arg);"
                          " if (arg.indexOf('throw') >= 0) throw new Error('listener broke'); }"
                          "</script></head><body>recording</body></html>");
}

#endif // WEBTESTUTIL_H

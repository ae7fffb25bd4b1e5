#ifndef WEBTESTUTIL_H
#define WEBTESTUTIL_H

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>

#include <memory>

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

#endif // WEBTESTUTIL_H

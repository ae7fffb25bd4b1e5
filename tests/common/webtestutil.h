#ifndef WEBTESTUTIL_H
#define WEBTESTUTIL_H

#include <QTest>
#include <QWebEnginePage>

#include <memory>

// The script's result; invalid when it gave none within 10 s.
inline QVariant evaluateJavaScriptSync(QWebEnginePage *page, const QString &script)
{
    // Shared with the callback, which may still come after the wait has ended.
    auto outcome = std::make_shared<std::pair<bool, QVariant>>();
    page->runJavaScript(script, [outcome](const QVariant &value) { *outcome = {true, value}; });
    return QTest::qWaitFor([&outcome] { return outcome->first; }, 10000) ? outcome->second
                                                                         : QVariant();
}

#endif // WEBTESTUTIL_H

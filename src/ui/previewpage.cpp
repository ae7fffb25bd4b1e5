#include "previewpage.h"

#include <QLoggingCategory>

// The web engine's own category for page messages: warnings and errors show by default.
Q_LOGGING_CATEGORY(lcJs, "js", QtWarningMsg)

namespace {

// The page writes what it likes: one line of bounded length, control characters as '?'.
QString printable(const QString &text)
{
    constexpr int maxLength = 4096;
    QString line = text.left(maxLength);
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text.size() > maxLength ? line + QStringLiteral("...") : line;
}

} // namespace

PreviewPage::PreviewPage(QObject *parent)
    : QWebEnginePage(parent)
{}

bool PreviewPage::acceptNavigationRequest(const QUrl &url,
                                          QWebEnginePage::NavigationType type,
                                          bool isMainFrame)
{
    Q_UNUSED(url)
    Q_UNUSED(type)
    Q_UNUSED(isMainFrame)
    return true;
}

void PreviewPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level,
                                           const QString &message,
                                           int lineNumber,
                                           const QString &sourceID)
{
    const QString text = QStringLiteral("%1 (%2:%3)")
                                 .arg(printable(message),
                                      printable(sourceID),
                                      QString::number(lineNumber));
    if (level == InfoMessageLevel)
        qCInfo(lcJs).noquote() << text;
    else
        qCWarning(lcJs).noquote() << text;
}

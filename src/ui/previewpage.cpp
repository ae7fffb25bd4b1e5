#include "previewpage.h"

#include "qtcompat.h"

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
    : QWebEnginePage(pageProfile(), parent)
{}

bool PreviewPage::sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port = [](const QUrl &url) {
        const QString scheme = url.scheme().toLower();
        return url.port(scheme == QLatin1String("https")  ? 443
                        : scheme == QLatin1String("http") ? 80
                                                          : -1);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
           && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

bool PreviewPage::acceptNavigationRequest(const QUrl &url,
                                          QWebEnginePage::NavigationType type,
                                          bool isMainFrame)
{
    // Typed loads are the application's own; a reload stays on the page's own URL.
    if (home.isEmpty() || !isMainFrame || type == NavigationTypeTyped
        || type == NavigationTypeReload || sameOrigin(url, home))
        return true;
    emit navigationRefused(url);
    const QString text = url.toString(QUrl::FullyEncoded).left(2000);
    if (!refused.contains(text)) {
        if (refused.size() >= maxRefusedKept)
            refused.clear();
        refused.insert(text);
        qWarning("kiosk: the page may not leave %s for %s",
                 qUtf8Printable(home.adjusted(QUrl::RemovePath | QUrl::RemoveQuery
                                              | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                                        .toString(QUrl::FullyEncoded)),
                 qUtf8Printable(text));
    }
    return false;
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

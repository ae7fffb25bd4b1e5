#include "previewpage.h"

#include "qtcompat.h"

PreviewPage::PreviewPage(QObject *parent)
    : QWebEnginePage(pageProfile(), parent)
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

#ifndef PREVIEWPAGE_H
#define PREVIEWPAGE_H

#include <QSet>
#include <QUrl>
#include <QWebEnginePage>

// The page shown in the window's web view. It lets the page go wherever it navigates, unless
// keepToOrigin() was called (kiosk mode): then the main frame may only go to pages of the
// home page's origin. The application's own loads and reloads always pass; frames inside the
// page go where they like. Links that open a new window open nothing. It logs the page's
// console messages and uncaught errors with the place they come from.
class PreviewPage : public QWebEnginePage
{
    Q_OBJECT

public:
    explicit PreviewPage(QObject *parent);

    void keepToOrigin(const QUrl &home) { this->home = home; }
    // Scheme, host and port; a file URL's origin is the local machine's.
    static bool sameOrigin(const QUrl &a, const QUrl &b);

signals:
    void navigationRefused(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url,
                                 QWebEnginePage::NavigationType type,
                                 bool isMainFrame) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level,
                                  const QString &message,
                                  int lineNumber,
                                  const QString &sourceID) override;

private:
    QUrl home;
    // Each refused URL is logged once; a page that keeps trying fills no more than this.
    QSet<QString> refused;
    static constexpr int maxRefusedKept = 256;
};

#endif // PREVIEWPAGE_H

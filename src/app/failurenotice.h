#ifndef FAILURENOTICE_H
#define FAILURENOTICE_H

#include <QLabel>

class PageBridge;
class QUrl;
class QWebEngineView;

// Kiosk mode's built-in page for a page that does not load: plain text over the whole web
// view saying which page failed and when the next try is, in place of the browser's own error
// page (which is switched off). The bridge retries the load; the notice goes once a load
// succeeds. A child of the view.
class FailureNotice : public QLabel
{
    Q_OBJECT

public:
    FailureNotice(QWebEngineView *view, const PageBridge *bridge);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void loadFailed(const QUrl &url, int delayMs);
};

#endif // FAILURENOTICE_H

#ifndef PAGEBRIDGE_H
#define PAGEBRIDGE_H

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class QWebEnginePage;

// Carries page envelopes into the page's PEL_listener. Envelopes are held from the start of
// every load until that load has finished (successfully or not), so nothing is run against a
// document that is about to go away or does not define the listener yet. All envelopes ready
// within one turn of the event loop go to the page as one script, one guarded call each, in
// their original order. The held text is bounded: past the bound the oldest are dropped and
// one warning tells how many.
//
// The bridge does not own the page; it forgets a page that is destroyed.
class PageBridge : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 defaultMaxPending = 64 * 1024 * 1024;

    explicit PageBridge(QObject *parent, qint64 maxPending = defaultMaxPending);

    // Makes page the target; envelopes are held until its next load has finished.
    void setPage(QWebEnginePage *page);
    QWebEnginePage *page() const;

    void deliver(const QString &envelope);

    // Script characters waiting for the page.
    qint64 pendingSize() const;

private slots:
    void holdForLoad();
    void releaseAfterLoad();
    void flush();

private:
    QPointer<QWebEnginePage> target;
    QQueue<QString> pending;
    qint64 pendingChars = 0;
    qint64 maxPending;
    qint64 dropped = 0;
    bool loading = true;
    bool flushQueued = false;
};

#endif // PAGEBRIDGE_H

#ifndef PAGEBRIDGE_H
#define PAGEBRIDGE_H

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QWebEnginePage>

// Carries page envelopes into the page's PEL_listener. Envelopes are held from the start of
// every load until that load has finished (successfully or not), so nothing is run against a
// document that is about to go away or does not define the listener yet, and from the end of
// the page's renderer process (a crash, say) until the next load has finished. A page whose
// renderer ended is reloaded once, so that the user sees it again and the held envelopes reach
// it; a page that ends its renderer again before it has loaded is left alone rather than
// restarted without end. Envelopes go to the page as scripts of one guarded call each, in their
// original order.
//
// Flow control: at most maxInFlight scripts are on their way to the page at any time. An idle
// bridge sends a lone envelope at once (in the next turn of the event loop, together with
// whatever else became ready in that turn); while scripts are in flight, everything that
// arrives is collected and goes as one script as soon as one of them has run. Under load each
// script therefore carries many envelopes. A load resets the count: the callback of a script
// whose document went away may never come.
//
// The held text is bounded: past the bound the oldest are dropped and one warning tells how
// many.
//
// The bridge does not own the page; it forgets a page that is destroyed.
class PageBridge : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 defaultMaxPending = 64 * 1024 * 1024;
    static constexpr int maxInFlight = 2;

    explicit PageBridge(QObject *parent, qint64 maxPending = defaultMaxPending);

    // Makes page the target; envelopes are held until its next load has finished.
    void setPage(QWebEnginePage *page);
    QWebEnginePage *page() const;

    void deliver(const QString &envelope);

    // Script characters waiting for the page.
    qint64 pendingSize() const;

    // Scripts handed to the page so far, each carrying one or more envelopes.
    qint64 scriptsRun() const;

private slots:
    void holdForLoad();
    void releaseAfterLoad();
    void recoverRenderer(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode);
    void flush();

private:
    void scheduleFlush();
    void scriptDone(quint64 scriptGeneration);

    QPointer<QWebEnginePage> target;
    QQueue<QString> pending;
    qint64 pendingChars = 0;
    qint64 maxPending;
    qint64 dropped = 0;
    qint64 scripts = 0;
    // Bumped by every load and page change; callbacks of older scripts are then ignored.
    quint64 generation = 0;
    int inFlight = 0;
    bool loading = true;
    bool flushQueued = false;
    // Whether a load has finished since the renderer last ended; guards against reload loops.
    bool loadedSinceRendererEnd = true;
};

#endif // PAGEBRIDGE_H

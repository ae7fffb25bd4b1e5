#ifndef PAGEBRIDGE_H
#define PAGEBRIDGE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QWebEnginePage>

#include "pagerequest.h"
#include "pelhttpserver.h"

class QTimer;

// Carries page envelopes into the page's PEL_listener, each exactly once per document that
// confirms it, in their original order.
//
// Holding: envelopes are held from the start of every load until the new document is ready:
// when its page channel reports the document parsed with PEL_listener defined, or when the load
// has finished, whichever comes first. A page whose images or stylesheets never arrive still
// receives; a load that fails releases nothing. They are held too from the end of the page's
// renderer process (a crash, say) until the next document is ready.
//
// Confirmation: envelopes go to the page as scripts of one guarded call each, and a script stays
// with the bridge until the page has confirmed how many of its calls ran (its callback carries
// the script's completion value; the callback of a script whose renderer died carries none).
// The calls a script did not run go again, before anything newer, to the same document or to
// the next one.
//
// Recovery: a page whose renderer ended is reloaded once, so that the user sees it again and the
// held envelopes reach it; a page that ends its renderer again before it has loaded is left
// alone rather than restarted without end. A failed load is retried, after 1 s, then after
// twice the previous delay, up to 30 s, until a load succeeds; the first failure of a streak
// logs one warning naming the URL. A load that another load replaces is not retried.
// A renderer that ends takes the confirmations of its last scripts with it: the envelopes of
// those scripts that the next document runs are counted (reranAfterRendererEnd), with one
// warning naming the count, as it may have run them already.
//
// Flow control: at most maxInFlight scripts wait for confirmation at any time. An idle bridge
// sends a lone envelope at once (in the next turn of the event loop, together with whatever
// else became ready in that turn); while scripts are unconfirmed, what arrives waits for the
// next free place. A script carries as many envelopes as the page ran in scriptBudgetMs by
// the time it took over earlier scripts (the page reports it), and at most 1 MiB; the page
// leaves the calls that would run past scriptBudgetMs for the next script. So the page's main
// thread is never busy long with delivery, and renders and takes input between scripts.
//
// Room: what is held and not yet in a script, together with what the server holds on callers'
// behalf, has one bound. Nothing held is ever dropped; while the bound is passed, admitRequest
// says no, so that the server refuses new requests as busy instead, and a warning with the
// count follows in the same turn of the event loop, then at most one a second.
//
// Whole requests: a document that defines PEL_receive once it is parsed (or, failing a report,
// once it has loaded) gets every whole request through pelorin.receive instead of envelopes,
// in the same order, with the same holding, batching and confirmation. While a load decides
// which handler the document has, both forms are held; the one the document does not take is
// dropped. A request whose caller waits for an answer is refused (requestRefused) when the
// document has no PEL_receive, or when its body is over the bound for whole requests, or as
// soon as the document that took it ends (a load, the renderer's end) before it answered.
//
// Messages are logged in the category pelorin.page; its debug level has one line per envelope.
//
// The bridge does not own the page; it forgets a page that is destroyed.
class PageBridge : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 defaultMaxPending = 64 * 1024 * 1024;
    static constexpr int maxInFlight = 3;
    static constexpr double scriptBudgetMs = 20;
    static constexpr double webPageShare = 0.25;
    static constexpr double webPageBurstMs = 250;

    explicit PageBridge(QObject *parent, qint64 maxPending = defaultMaxPending);

    // Makes page the target; envelopes are held until its next document is ready.
    void setPage(QWebEnginePage *page);
    QWebEnginePage *page() const { return target; }

    // The envelope of body and headers, built straight into its listener call; from: the
    // request they come from, if known, whose connection they count against.
    void deliver(const QByteArray &body,
                 const QByteArray &headers,
                 const PageRequest *from = nullptr);
    void deliverRequest(const PageRequest &request);
    // The caller of request id stopped waiting: the page's request.signal aborts.
    void abandon(quint64 id);

    PelHttpServer::PageMode mode() const { return handlers; }

    // The load under way was refused before it began (kiosk mode): the document stays, and
    // the failure that the engine reports for that load is no failure of the page.
    void navigationRefused() { refusedLoad = true; }

    // Bytes of the listener calls waiting to be put into a script.
    qint64 pendingSize() const { return pendingChars; }

    // Whether there is room for another request, with heldElsewhere (bodies being received,
    // output not yet sent) counted with what waits for the page against the one bound; a no is
    // counted for the warning. No connection may hold (connectionHeld: the messages made of its
    // requests that wait for the page) more than a quarter of the bound. Requests from web
    // pages in a browser are let in only while less than a quarter of the room is taken and
    // while handing theirs to the page has taken less than webPageShare of this thread's time
    // (a burst of webPageBurstMs aside), so that a local program is still served while a
    // browser floods.
    bool admitRequest(bool fromWebPage = false, qint64 heldElsewhere = 0, qint64 connectionHeld = 0);

    // Scripts handed to the page so far, each carrying one or more envelopes.
    qint64 scriptsRun() const { return scripts; }

    // Envelopes in scripts handed to a renderer that then ended, run again by the next document.
    qint64 reranAfterRendererEnd() const { return reran; }

signals:
    void requestRefused(quint64 id, int status, const QString &code, const QString &message);
    // A load of url failed; the next try comes in delayMs.
    void loadRetryScheduled(const QUrl &url, int delayMs);

private slots:
    void holdForLoad();
    void documentParsed(bool hasListener, bool hasReceiver);
    void loadFinished(bool ok);
    void retryLoad();
    void recoverRenderer(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode);
    void warnRefused();
    void flush();

private:
    struct Script
    {
        quint64 id;
        // The number of its first call; numbers run on from script to script.
        quint64 first;
        QList<QString> calls;
        // The document it was last handed to; 0 when none.
        quint64 document;
        // Handed to a renderer that ended before confirming it.
        bool lostWithRenderer;
        // For each call, the request whose caller waits for the page's answer to it; 0 for none.
        QList<quint64> callers;
    };

    // A listener call, or a whole request when call is empty.
    struct Held
    {
        QByteArray call;
        PageRequest request;
        bool waited = false; // came while the page loaded
        qint64 size = 0;     // what it counts against maxPending
        std::shared_ptr<qint64> connectionHeld;
        bool fromWebPage = false;
    };

    void holdCall(QByteArray &&call, const PageRequest *from);
    void hold(Held &&held);
    // What web pages may still take of this thread's time, in milliseconds.
    double webPageTimeLeft();
    bool takesWholeRequests() const { return handlers == PelHttpServer::PageMode::Receiver; }
    QString callFor(const Held &held);
    void probeHandlers();
    void release();
    void scheduleFlush();
    void send(Script &script);
    void scriptDone(quint64 id, const QVariant &result);
    void answered(quint64 id);
    void refuseWaiting();
    QString scriptText(const Script &script) const;
    int envelopesPerScript() const;

    QPointer<QWebEnginePage> target;
    QQueue<Held> pending;
    // Handed to the page, oldest first, not yet confirmed; at most maxInFlight.
    QList<Script> unconfirmed;
    // Requests that the current document has taken and not yet answered, whose callers wait.
    QSet<quint64> waitingOnDocument;
    qint64 pendingChars = 0;
    qint64 maxPending;
    qint64 scripts = 0;
    quint64 lastScriptId = 0;
    quint64 lastCall = 0;
    // What one envelope took the page in earlier scripts, in milliseconds.
    double envelopeCostMs = scriptBudgetMs;
    qint64 reran = 0;
    qint64 reranWarned = 0;
    // Counts documents: bumped by every load, renderer end and page change.
    quint64 document = 1;
    bool loading = true;
    PelHttpServer::PageMode handlers = PelHttpServer::PageMode::Unknown;
    bool flushQueued = false;
    // Whether a document was ready since the renderer last ended; guards against reload loops.
    bool loadedSinceRendererEnd = true;
    // Set when the renderer ended twice without a load between; no more retries then.
    bool givenUp = false;
    bool loadFailing = false;
    bool refusedLoad = false;
    int retryDelayMs = 0;
    QTimer *retryTimer;
    qint64 refused = 0;
    double webPageCreditMs = webPageBurstMs;
    QElapsedTimer webPageClock;
    QTimer *refusalWarningTimer;
    QElapsedTimer lastRefusalWarning;
};

#endif // PAGEBRIDGE_H

#include "pagebridge.h"

#include "pagechannel.h"
#include "pageenvelope.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>
#include <QWebEnginePage>

#include <algorithm>

Q_LOGGING_CATEGORY(lcPage, "pelorin.page", QtWarningMsg)

namespace {

// Bigger batches are split so that no single script handed to the renderer gets huge.
constexpr qint64 maxScriptChars = 1024 * 1024;

// Below this the page's clock cannot tell one script's time from another's.
constexpr double clockGrainMs = 0.1;

constexpr int firstRetryDelayMs = 1000;
constexpr int maxRetryDelayMs = 30000;
constexpr qint64 refusalWarningIntervalMs = 1000;

// Qt 5.15 gives no reason for a failed load; for a file the file itself can tell.
QString loadFailureReason(const QUrl &url)
{
    if (!url.isLocalFile())
        return QStringLiteral("the web engine reported the load as failed");
    const QFileInfo file(url.toLocalFile());
    if (!file.exists())
        return QStringLiteral("no such file");
    if (!file.isReadable())
        return QStringLiteral("the file cannot be read");
    return QStringLiteral("the web engine reported the load as failed");
}

QString pageRestarted()
{
    return QStringLiteral("PAGE_RESTARTED");
}

} // namespace

PageBridge::PageBridge(QObject *parent, qint64 maxPending)
    : QObject(parent)
    , maxPending(maxPending)
    , retryTimer(new QTimer(this))
    , refusalWarningTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &PageBridge::retryLoad);
    refusalWarningTimer->setSingleShot(true);
    connect(refusalWarningTimer, &QTimer::timeout, this, &PageBridge::warnRefused);
}

void PageBridge::setPage(QWebEnginePage *page)
{
    if (target) {
        disconnect(target, nullptr, this, nullptr);
        disconnect(PageChannel::forPage(target), nullptr, this, nullptr);
    }
    target = page;
    holdForLoad();
    loadedSinceRendererEnd = true;
    givenUp = false;
    loadFailing = false;
    if (!page)
        return;
    connect(page, &QWebEnginePage::loadStarted, this, &PageBridge::holdForLoad);
    connect(page, &QWebEnginePage::loadFinished, this, &PageBridge::loadFinished);
    // A renderer that is gone runs nothing and answers nothing: hold everything for the load
    // that brings the page back.
    connect(page, &QWebEnginePage::renderProcessTerminated, this, &PageBridge::recoverRenderer);
    connect(PageChannel::forPage(page),
            &PageChannel::documentParsed,
            this,
            &PageBridge::documentParsed);
    connect(PageChannel::forPage(page), &PageChannel::requestAnswered, this, &PageBridge::answered);
    connect(PageChannel::forPage(page), &PageChannel::requestFailed, this, &PageBridge::answered);
}

void PageBridge::answered(quint64 id)
{
    waitingOnDocument.remove(id);
}

// The document that took these requests is gone, and with it whatever would have answered them.
void PageBridge::refuseWaiting()
{
    for (const quint64 id : qAsConst(waitingOnDocument))
        emit requestRefused(id, 503, pageRestarted(), QString());
    waitingOnDocument.clear();
}

void PageBridge::deliver(const QByteArray &body, const QByteArray &headers, const PageRequest *from)
{
    holdCall(listenerCall(body, headers), from);
}

void PageBridge::holdCall(QByteArray &&call, const PageRequest *from)
{
    if (!loading && takesWholeRequests())
        return;
    Held held;
    held.call = std::move(call);
    // The call is pure ASCII, held as bytes.
    held.size = held.call.size();
    if (from) {
        held.connectionHeld = from->connectionHeld;
        held.fromWebPage = from->fromWebPage;
    }
    hold(std::move(held));
}

void PageBridge::deliverRequest(const PageRequest &request)
{
    // the server has refused it already where the page's handler refuses it
    if (!loading && !takesWholeRequests())
        return;
    Held held;
    held.request = request;
    held.waited = loading || !target;
    // what the held request costs, near enough: its body, headers and the call made of it
    held.size = 2 * request.body.size() + 256;
    for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it)
        held.size += 2 * (it.key().size() + it.value().size());
    held.connectionHeld = request.connectionHeld;
    held.fromWebPage = request.fromWebPage;
    hold(std::move(held));
}

void PageBridge::abandon(quint64 id)
{
    for (Held &held : pending) {
        if (held.call.isEmpty() && held.request.id == id) {
            held.request.abandoned = true;
            return;
        }
    }
    waitingOnDocument.remove(id);
    // after the script that handed the request on, if there was one; ignored otherwise
    if (target && !loading)
        target->runJavaScript(QStringLiteral("pelorin.abort(%1)").arg(id));
}

void PageBridge::hold(Held &&held)
{
    // Never dropped: the server asks admitRequest before it accepts a request, so what is
    // held past the bound is only what was already accepted.
    pendingChars += held.size;
    if (held.connectionHeld)
        *held.connectionHeld += held.size;
    pending.enqueue(std::move(held));
    scheduleFlush();
}

bool PageBridge::admitRequest(bool fromWebPage, qint64 heldElsewhere, qint64 connectionHeld)
{
    const qint64 share = maxPending / 4;
    if (pendingChars + heldElsewhere < (fromWebPage ? share : maxPending) && connectionHeld < share
        && (!fromWebPage || webPageTimeLeft() > 0))
        return true;
    ++refused;
    if (!refusalWarningTimer->isActive()) {
        const qint64 sinceLast = lastRefusalWarning.isValid() ? lastRefusalWarning.elapsed()
                                                              : refusalWarningIntervalMs;
        refusalWarningTimer->start(int(qMax<qint64>(0, refusalWarningIntervalMs - sinceLast)));
    }
    return false;
}

double PageBridge::webPageTimeLeft()
{
    if (webPageClock.isValid())
        webPageCreditMs = qMin(webPageBurstMs,
                               webPageCreditMs + webPageShare * double(webPageClock.restart()));
    else
        webPageClock.start();
    return webPageCreditMs;
}

// The call that hands held to the current document, or nothing when the document takes the
// other form.
QString PageBridge::callFor(const Held &held)
{
    if (!held.call.isEmpty())
        return takesWholeRequests() ? QString() : QString::fromLatin1(held.call);
    const PageRequest &request = held.request;
    if (const auto refusal = PelHttpServer::refusalFor(handlers, request)) {
        if (refusal->status == 413)
            qCWarning(lcPage,
                      "request %llu is not given to PEL_receive: its body is larger than %d "
                      "bytes",
                      request.id,
                      PelHttpServer::maxWholeBody);
        emit requestRefused(request.id, refusal->status, refusal->code, refusal->message);
        return QString();
    }
    if (!takesWholeRequests())
        return QString();
    if (held.waited)
        qCDebug(lcPage, "request %llu delivered", request.id);
    return receiverCall(request);
}

void PageBridge::warnRefused()
{
    qCWarning(lcPage).noquote() << QStringLiteral("Refused %1 requests as busy: more than %2 bytes "
                                                  "were held for callers (messages for the page, "
                                                  "bodies being received, output not yet sent), "
                                                  "or a quarter of that for one connection or "
                                                  "for web pages, or web pages had taken their "
                                                  "quarter of the time")
                                           .arg(refused)
                                           .arg(maxPending);
    refused = 0;
    lastRefusalWarning.start();
}

void PageBridge::scheduleFlush()
{
    if (loading || flushQueued || unconfirmed.size() >= maxInFlight)
        return;
    // Queued, not immediate: whatever else arrives in this turn joins the same script.
    flushQueued = true;
    QMetaObject::invokeMethod(this, &PageBridge::flush, Qt::QueuedConnection);
}

void PageBridge::holdForLoad()
{
    refuseWaiting();
    loading = true;
    handlers = PelHttpServer::PageMode::Unknown;
    // Unconfirmed scripts go again to the next document; whatever the old one still answers
    // for them counts.
    ++document;
    // This load decides now; a retry would only cut it short.
    retryTimer->stop();
}

void PageBridge::documentParsed(bool hasListener, bool hasReceiver)
{
    if (!loading || !(hasListener || hasReceiver))
        return;
    handlers = hasReceiver ? PelHttpServer::PageMode::Receiver : PelHttpServer::PageMode::Listener;
    release();
}

void PageBridge::loadFinished(bool ok)
{
    if (!ok && refusedLoad && loading && target) {
        // The document that was there is still there, with whatever it was handed.
        refusedLoad = false;
        --document;
        probeHandlers();
        return;
    }
    refusedLoad = false;
    if (ok) {
        loadFailing = false;
        if (loading)
            probeHandlers();
        return;
    }
    // A document that already reported itself ready keeps what it has; only its load was cut.
    if (!loading || givenUp || !target)
        return;
    if (!loadFailing) {
        loadFailing = true;
        retryDelayMs = firstRetryDelayMs;
        const QUrl url = target->requestedUrl();
        qCWarning(lcPage).noquote()
                << QStringLiteral("Could not load the page %1 (%2); its messages are held and the "
                                  "load is retried with a growing delay of up to %3 s")
                           .arg(url.toString(), loadFailureReason(url))
                           .arg(maxRetryDelayMs / 1000);
    }
    retryTimer->start(retryDelayMs);
    emit loadRetryScheduled(target->requestedUrl(), retryDelayMs);
}

void PageBridge::retryLoad()
{
    if (!target)
        return;
    retryDelayMs = qMin(retryDelayMs * 2, maxRetryDelayMs);
    target->triggerAction(QWebEnginePage::Reload);
}

void PageBridge::recoverRenderer(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode)
{
    holdForLoad();
    for (Script &script : unconfirmed)
        script.lostWithRenderer = script.document != 0;
    if (!target)
        return;
    if (!loadedSinceRendererEnd) {
        givenUp = true;
        qCWarning(lcPage,
                  "The page's renderer ended again (status %d, exit code %d) before the page had "
                  "loaded; it is not reloaded",
                  int(status),
                  exitCode);
        return;
    }
    loadedSinceRendererEnd = false;
    qCWarning(lcPage,
              "The page's renderer ended (status %d, exit code %d); reloading the page",
              int(status),
              exitCode);
    // From the event loop, not from inside the engine's own notification.
    QMetaObject::invokeMethod(
            target.data(),
            [page = target] {
                if (page)
                    page->triggerAction(QWebEnginePage::Reload);
            },
            Qt::QueuedConnection);
}

// The document has loaded without reporting a handler while it was parsed: ask it which one
// it defines now, and deliver either way.
void PageBridge::probeHandlers()
{
    if (!target)
        return;
    QPointer<PageBridge> self(this);
    const quint64 asked = document;
    target->runJavaScript(QStringLiteral("typeof PEL_receive === 'function' ? 2"
                                         " : typeof PEL_listener === 'function' ? 1 : 0"),
                          [self, asked](const QVariant &handler) {
                              if (!self || self->document != asked || !self->loading)
                                  return;
                              // Messages still go to PEL_listener, which the page may yet define.
                              if (handler.toInt() == 0 && self->target)
                                  qCWarning(lcPage).noquote()
                                          << QStringLiteral(
                                                     "The page %1 has loaded and defines neither "
                                                     "PEL_receive nor PEL_listener")
                                                     .arg(self->target->url().toString());
                              self->handlers = handler.toInt() == 2
                                                       ? PelHttpServer::PageMode::Receiver
                                                       : PelHttpServer::PageMode::Listener;
                              self->release();
                          });
}

void PageBridge::release()
{
    loading = false;
    loadedSinceRendererEnd = true;
    givenUp = false;
    flush();
}

// result is what the script's pelorin.end() gave, [calls run, ms taken], if the script ended.
void PageBridge::scriptDone(quint64 id, const QVariant &result)
{
    if (!result.isValid())
        return;
    int i = 0;
    while (i < unconfirmed.size() && unconfirmed.at(i).id != id)
        ++i;
    if (i == unconfirmed.size())
        return;
    Script &script = unconfirmed[i];
    const QVariantList done = result.toList();
    const int ran = qBound(0, done.value(0).toInt(), int(script.calls.size()));
    if (ran > 0) {
        // NaN too becomes the slowest
        const double cost = qBound(clockGrainMs, done.value(1).toDouble(), 60000.0) / ran;
        // slower at once, faster by halves
        envelopeCostMs = cost > envelopeCostMs ? cost : (envelopeCostMs + cost) / 2;
        if (script.lostWithRenderer)
            reran += ran;
    }
    // callers of the requests run now wait on the document that ran them, if it is still there
    for (int c = 0; c < ran; ++c) {
        const quint64 caller = script.callers.at(c);
        if (caller != 0 && script.document == document)
            waitingOnDocument.insert(caller);
        else if (caller != 0)
            emit requestRefused(caller, 503, pageRestarted(), QString());
    }
    if (ran < script.calls.size()) {
        // the rest goes again, in its place
        script.first += ran;
        script.calls.erase(script.calls.begin(), script.calls.begin() + ran);
        script.callers.erase(script.callers.begin(), script.callers.begin() + ran);
        script.document = 0;
    } else {
        unconfirmed.removeAt(i);
    }
    const bool settled = std::none_of(unconfirmed.cbegin(),
                                      unconfirmed.cend(),
                                      [](const Script &s) { return s.lostWithRenderer; });
    if (settled && reran > reranWarned) {
        qCWarning(lcPage,
                  "%lld messages handed to the page's ended renderer were run by the reloaded "
                  "page; it may have seen them before",
                  reran - reranWarned);
        reranWarned = reran;
    }
    flush();
}

int PageBridge::envelopesPerScript() const
{
    return int(qBound(1.0, scriptBudgetMs / envelopeCostMs, 1e6));
}

QString PageBridge::scriptText(const Script &script) const
{
    const bool oldest = &script == &unconfirmed.first();
    QString text = QStringLiteral("pelorin.begin(%1,%2,%3)\n")
                           .arg(script.first)
                           .arg(scriptBudgetMs)
                           .arg(QLatin1String(oldest ? "true" : "false"));
    qsizetype size = text.size() + 16;
    for (const QString &call : script.calls)
        size += call.size() + 20;
    text.reserve(size);
    for (const QString &call : script.calls) {
        text += QLatin1String("if(pelorin.more())");
        text += call;
    }
    text += QLatin1String("pelorin.end()\n");
    return text;
}

void PageBridge::send(Script &script)
{
    script.document = document;
    ++scripts;
    QPointer<PageBridge> self(this);
    target->runJavaScript(scriptText(script), [self, id = script.id](const QVariant &result) {
        if (self)
            self->scriptDone(id, result);
    });
}

void PageBridge::flush()
{
    flushQueued = false;
    if (loading || !target)
        return;
    for (Script &script : unconfirmed) {
        if (script.document != document)
            send(script);
    }
    const int most = envelopesPerScript();
    while (unconfirmed.size() < maxInFlight && !pending.isEmpty()) {
        QElapsedTimer took;
        took.start();
        qint64 size = 0;
        qint64 fromWebPages = 0;
        QList<QString> calls;
        QList<quint64> callers;
        while (!pending.isEmpty() && calls.size() < most) {
            Held &held = pending.head();
            if (size > 0 && size + held.size > maxScriptChars)
                break;
            size += held.size;
            fromWebPages += held.fromWebPage ? held.size : 0;
            pendingChars -= held.size;
            if (held.connectionHeld)
                *held.connectionHeld -= held.size;
            const bool waits = held.call.isEmpty() && held.request.wantsAnswer;
            const quint64 caller = waits ? held.request.id : 0;
            QString call = callFor(held);
            pending.removeFirst();
            if (!call.isEmpty()) {
                calls.append(std::move(call));
                callers.append(caller);
            }
        }
        if (!calls.isEmpty()) {
            unconfirmed.append(Script{++lastScriptId, lastCall + 1, calls, 0, false, callers});
            lastCall += calls.size();
            send(unconfirmed.last());
        }
        // web pages' part of the time taken, by their part of the bytes
        if (fromWebPages > 0) {
            webPageTimeLeft();
            webPageCreditMs -= double(took.nsecsElapsed()) / 1e6 * double(fromWebPages)
                               / double(size);
        }
    }
}

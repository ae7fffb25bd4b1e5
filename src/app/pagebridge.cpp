#include "pagebridge.h"

#include "pagechannel.h"
#include "pageenvelope.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>
#include <QWebEnginePage>

Q_LOGGING_CATEGORY(lcPage, "pelorin.page", QtWarningMsg)

namespace {

// Bigger batches are split so that no single script handed to the renderer gets huge.
constexpr qint64 maxScriptChars = 1024 * 1024;

// Ends every script, so that its completion value (sent back to the callback) is a plain
// number rather than whatever the last listener call returned: a value at all means it ran.
const char scriptEnd[] = "0\n";

constexpr int firstRetryDelayMs = 1000;
constexpr int maxRetryDelayMs = 30000;
constexpr qint64 dropWarningIntervalMs = 1000;

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

} // namespace

PageBridge::PageBridge(QObject *parent, qint64 maxPending)
    : QObject(parent)
    , maxPending(maxPending)
    , retryTimer(new QTimer(this))
    , dropWarningTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &PageBridge::retryLoad);
    dropWarningTimer->setSingleShot(true);
    connect(dropWarningTimer, &QTimer::timeout, this, &PageBridge::warnDropped);
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
}

QWebEnginePage *PageBridge::page() const
{
    return target;
}

void PageBridge::deliver(const QString &envelope)
{
    holdCall(listenerCall(envelope).toLatin1());
}

void PageBridge::deliver(const QByteArray &body, const QByteArray &headers)
{
    holdCall(listenerCall(body, headers));
}

void PageBridge::holdCall(QByteArray &&call)
{
    if (!loading && takesWholeRequests())
        return;
    // The call is pure ASCII, held as bytes.
    const qint64 size = call.size();
    hold(Held{std::move(call), PageRequest()}, size);
}

void PageBridge::deliverRequest(const PageRequest &request)
{
    if (!loading && !takesWholeRequests()) {
        if (request.wantsAnswer)
            refuse(request,
                   501,
                   QStringLiteral("NOT_IMPLEMENTED"),
                   QStringLiteral("the page defines no PEL_receive"));
        return;
    }
    // what the held request costs, near enough: its body, headers and the call made of it
    qint64 size = 2 * request.body.size() + 256;
    for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it)
        size += 2 * (it.key().size() + it.value().size());
    hold(Held{QByteArray(), request, loading || !target}, size);
}

void PageBridge::hold(Held &&held, qint64 size)
{
    pending.enqueue(std::move(held));
    pendingSizes.enqueue(size);
    pendingChars += size;
    const qint64 droppedBefore = dropped;
    while (pendingChars > maxPending && !pending.isEmpty()) {
        pendingChars -= pendingSizes.dequeue();
        const Held gone = pending.dequeue();
        if (gone.call.isEmpty() && gone.request.wantsAnswer)
            refuse(gone.request,
                   503,
                   QStringLiteral("DROPPED"),
                   QStringLiteral("too much was waiting for the page"));
        ++dropped;
    }
    if (dropped > droppedBefore && !dropWarningTimer->isActive()) {
        const qint64 sinceLast = lastDropWarning.isValid() ? lastDropWarning.elapsed()
                                                           : dropWarningIntervalMs;
        dropWarningTimer->start(int(qMax<qint64>(0, dropWarningIntervalMs - sinceLast)));
    }
    scheduleFlush();
}

PelHttpServer::PageMode PageBridge::mode() const
{
    return handlers;
}

bool PageBridge::takesWholeRequests() const
{
    return handlers == PelHttpServer::PageMode::Receiver;
}

// The call that hands held to the current document, or nothing when the document takes the
// other form.
QByteArray PageBridge::callFor(Held &held)
{
    if (!held.call.isEmpty())
        return takesWholeRequests() ? QByteArray() : std::move(held.call);
    const PageRequest &request = held.request;
    if (!takesWholeRequests()) {
        if (request.wantsAnswer)
            refuse(request,
                   501,
                   QStringLiteral("NOT_IMPLEMENTED"),
                   QStringLiteral("the page defines no PEL_receive"));
        return QByteArray();
    }
    if (request.tooLarge) {
        qCWarning(lcPage,
                  "request %llu is not given to PEL_receive: its body is larger than %d "
                  "bytes",
                  request.id,
                  PelHttpServer::maxWholeBody);
        if (request.wantsAnswer)
            refuse(request,
                   413,
                   QStringLiteral("PAYLOAD_TOO_LARGE"),
                   QStringLiteral("the page takes bodies of at most %1 bytes")
                           .arg(PelHttpServer::maxWholeBody));
        return QByteArray();
    }
    if (held.waited)
        qCDebug(lcPage, "request %llu delivered", request.id);
    return receiverCall(request);
}

void PageBridge::refuse(const PageRequest &request,
                        int status,
                        const QString &code,
                        const QString &message)
{
    emit requestRefused(request.id, status, code, message);
}

qint64 PageBridge::pendingSize() const
{
    return pendingChars;
}

qint64 PageBridge::scriptsRun() const
{
    return scripts;
}

void PageBridge::warnDropped()
{
    qCWarning(lcPage).noquote() << QStringLiteral("Dropped the %1 oldest messages for the page: "
                                                  "more than %2 bytes were waiting for it")
                                           .arg(dropped)
                                           .arg(maxPending);
    dropped = 0;
    lastDropWarning.start();
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
    loading = true;
    setMode(PelHttpServer::PageMode::Unknown);
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
    setMode(hasReceiver ? PelHttpServer::PageMode::Receiver : PelHttpServer::PageMode::Listener);
    release();
}

void PageBridge::loadFinished(bool ok)
{
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
                              self->setMode(handler.toInt() == 2
                                                    ? PelHttpServer::PageMode::Receiver
                                                    : PelHttpServer::PageMode::Listener);
                              self->release();
                          });
}

void PageBridge::setMode(PelHttpServer::PageMode mode)
{
    if (handlers == mode)
        return;
    handlers = mode;
    emit modeChanged(mode);
}

void PageBridge::release()
{
    loading = false;
    loadedSinceRendererEnd = true;
    givenUp = false;
    flush();
}

void PageBridge::scriptDone(quint64 id, const QVariant &result)
{
    if (!result.isValid())
        return;
    for (int i = 0; i < unconfirmed.size(); ++i) {
        if (unconfirmed.at(i).id == id) {
            unconfirmed.removeAt(i);
            break;
        }
    }
    if (!pending.isEmpty())
        flush();
}

void PageBridge::send(Script &script)
{
    script.document = document;
    ++scripts;
    QPointer<PageBridge> self(this);
    target->runJavaScript(script.text, [self, id = script.id](const QVariant &result) {
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
    while (unconfirmed.size() < maxInFlight && !pending.isEmpty()) {
        qint64 size = 0;
        QByteArray text;
        while (!pending.isEmpty()) {
            if (size > 0 && size + pendingSizes.head() > maxScriptChars)
                break;
            size += pendingSizes.head();
            pendingChars -= pendingSizes.dequeue();
            text += callFor(pending.head());
            pending.removeFirst();
        }
        if (text.isEmpty())
            continue;
        text += scriptEnd;
        unconfirmed.append(Script{++lastScriptId, QString::fromLatin1(text), 0});
        send(unconfirmed.last());
    }
}

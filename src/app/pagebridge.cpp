#include "pagebridge.h"

#include "pageenvelope.h"

#include <QDebug>
#include <QWebEnginePage>

namespace {

// Bigger batches are split so that no single script handed to the renderer gets huge.
constexpr qint64 maxScriptChars = 1024 * 1024;

// Ends every script, so that its completion value (sent back to the callback) is a plain
// number rather than whatever the last listener call returned.
const QLatin1String scriptEnd("0\n");

} // namespace

PageBridge::PageBridge(QObject *parent, qint64 maxPending)
    : QObject(parent)
    , maxPending(maxPending)
{}

void PageBridge::setPage(QWebEnginePage *page)
{
    if (target)
        disconnect(target, nullptr, this, nullptr);
    target = page;
    loading = true;
    inFlight = 0;
    ++generation;
    if (!page)
        return;
    connect(page, &QWebEnginePage::loadStarted, this, &PageBridge::holdForLoad);
    connect(page, &QWebEnginePage::loadFinished, this, &PageBridge::releaseAfterLoad);
    // A renderer that is gone runs nothing and answers nothing: hold everything for the load
    // that brings the page back.
    connect(page, &QWebEnginePage::renderProcessTerminated, this, &PageBridge::recoverRenderer);
}

QWebEnginePage *PageBridge::page() const
{
    return target;
}

void PageBridge::deliver(const QString &envelope)
{
    pending.enqueue(listenerCall(envelope));
    pendingChars += pending.last().size();
    while (pendingChars > maxPending && !pending.isEmpty()) {
        pendingChars -= pending.dequeue().size();
        ++dropped;
    }
    scheduleFlush();
}

qint64 PageBridge::pendingSize() const
{
    return pendingChars;
}

qint64 PageBridge::scriptsRun() const
{
    return scripts;
}

void PageBridge::scheduleFlush()
{
    if (loading || flushQueued || inFlight >= maxInFlight)
        return;
    // Queued, not immediate: whatever else arrives in this turn joins the same script.
    flushQueued = true;
    QMetaObject::invokeMethod(this, &PageBridge::flush, Qt::QueuedConnection);
}

void PageBridge::holdForLoad()
{
    loading = true;
    // Scripts already sent go to the old document; their callbacks may never come.
    inFlight = 0;
    ++generation;
}

void PageBridge::recoverRenderer(QWebEnginePage::RenderProcessTerminationStatus status,
                                 int exitCode)
{
    holdForLoad();
    if (!target)
        return;
    if (!loadedSinceRendererEnd) {
        qWarning("The page's renderer ended again (status %d, exit code %d) before the page had "
                 "loaded; it is not reloaded",
                 int(status), exitCode);
        return;
    }
    loadedSinceRendererEnd = false;
    qWarning("The page's renderer ended (status %d, exit code %d); reloading the page",
             int(status), exitCode);
    // From the event loop, not from inside the engine's own notification.
    QMetaObject::invokeMethod(
            target.data(),
            [page = target] {
                if (page)
                    page->triggerAction(QWebEnginePage::Reload);
            },
            Qt::QueuedConnection);
}

void PageBridge::releaseAfterLoad()
{
    loadedSinceRendererEnd = true;
    loading = false;
    inFlight = 0;
    ++generation;
    flush();
}

void PageBridge::scriptDone(quint64 scriptGeneration)
{
    if (scriptGeneration != generation)
        return;
    --inFlight;
    if (!pending.isEmpty())
        flush();
}

void PageBridge::flush()
{
    flushQueued = false;
    if (loading || !target)
        return;
    if (dropped > 0) {
        qWarning().noquote() << QStringLiteral("Dropped the %1 oldest messages for the page: more "
                                               "than %2 bytes were waiting for it")
                                        .arg(dropped)
                                        .arg(maxPending);
        dropped = 0;
    }
    while (inFlight < maxInFlight && !pending.isEmpty()) {
        qint64 size = 0;
        int count = 0;
        for (const QString &call : std::as_const(pending)) {
            if (count > 0 && size + call.size() > maxScriptChars)
                break;
            size += call.size();
            ++count;
        }
        QString script;
        script.reserve(int(size) + scriptEnd.size());
        for (int i = 0; i < count; ++i) {
            script += pending.head();
            pendingChars -= pending.head().size();
            pending.removeFirst();
        }
        script += scriptEnd;
        ++inFlight;
        ++scripts;
        QPointer<PageBridge> self(this);
        const quint64 scriptGeneration = generation;
        target->runJavaScript(script, [self, scriptGeneration](const QVariant &) {
            if (self)
                self->scriptDone(scriptGeneration);
        });
    }
}

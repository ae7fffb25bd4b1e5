#include "pagebridge.h"

#include "pageenvelope.h"

#include <QDebug>
#include <QWebEnginePage>

namespace {

// Bigger batches are split so that no single script handed to the renderer gets huge.
constexpr qint64 maxScriptChars = 1024 * 1024;

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
    if (!page)
        return;
    connect(page, &QWebEnginePage::loadStarted, this, &PageBridge::holdForLoad);
    connect(page, &QWebEnginePage::loadFinished, this, &PageBridge::releaseAfterLoad);
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
    if (!loading && !flushQueued) {
        // Queued, not immediate: whatever else arrives in this turn joins the same script.
        flushQueued = true;
        QMetaObject::invokeMethod(this, &PageBridge::flush, Qt::QueuedConnection);
    }
}

qint64 PageBridge::pendingSize() const
{
    return pendingChars;
}

void PageBridge::holdForLoad()
{
    loading = true;
}

void PageBridge::releaseAfterLoad()
{
    loading = false;
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
    while (!pending.isEmpty()) {
        QString script = pending.dequeue();
        while (!pending.isEmpty() && script.size() + pending.head().size() <= maxScriptChars)
            script += pending.dequeue();
        target->runJavaScript(script);
    }
    pendingChars = 0;
}

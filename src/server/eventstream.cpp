#include "eventstream.h"

#include "qhttpresponse.h"

#include <QTimerEvent>

EventStream::EventStream(QObject *parent)
    : QObject(parent)
{}

void EventStream::subscribe(QHttpResponse *response, qint64 lastEventId)
{
    response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/event-stream"));
    response->setHeader(QStringLiteral("Cache-Control"), QStringLiteral("no-cache"));
    response->writeHead(200);
    QByteArray missed = ": events of Pelorin's page\n\n";
    // An id beyond the newest was given by an earlier run of Pelorin: all kept ones are new.
    if (lastEventId > lastId)
        lastEventId = 0;
    for (const Event &event : std::as_const(kept)) {
        if (lastEventId >= 0 && event.id > lastEventId)
            missed += frame(event);
    }
    subscribers.append(response);
    write(response, missed);
    if (!keepAlive.isActive())
        keepAlive.start(keepAliveMs, this);
}

void EventStream::publish(const QByteArray &json)
{
    const Event event{++lastId, json};
    kept.enqueue(event);
    if (kept.size() > maxKept)
        kept.dequeue();
    if (subscribers.isEmpty())
        return;
    const QByteArray bytes = frame(event);
    // write() may drop a subscriber; walk a copy
    const auto current = subscribers;
    for (const QPointer<QHttpResponse> &response : current)
        write(response, bytes);
}

int EventStream::subscriberCount() const
{
    int count = 0;
    for (const QPointer<QHttpResponse> &response : subscribers)
        count += response ? 1 : 0;
    return count;
}

void EventStream::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != keepAlive.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    const auto current = subscribers;
    for (const QPointer<QHttpResponse> &response : current)
        write(response, QByteArrayLiteral(": keep-alive\n\n"));
    if (subscribers.isEmpty())
        keepAlive.stop();
}

QByteArray EventStream::frame(const Event &event)
{
    return "id: " + QByteArray::number(event.id) + "\ndata: " + event.json + "\n\n";
}

void EventStream::write(QHttpResponse *response, const QByteArray &bytes)
{
    if (response && response->unsentBytes() + bytes.size() <= maxUnsent) {
        response->write(bytes);
        return;
    }
    subscribers.removeAll(QPointer<QHttpResponse>(response));
    subscribers.removeAll(QPointer<QHttpResponse>());
    // A subscriber that does not read is cut off; it may come back with Last-Event-ID.
    if (response)
        response->abort();
}

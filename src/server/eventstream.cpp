#include "eventstream.h"

#include "qhttpresponse.h"

#include <QTimerEvent>

#include <algorithm>

EventStream::EventStream(QObject *parent)
    : QObject(parent)
{}

void EventStream::subscribe(QHttpResponse *response, qint64 lastEventId)
{
    response->setHeader(QStringLiteral("Content-Type"), QStringLiteral("text/event-stream"));
    response->setHeader(QStringLiteral("Cache-Control"), QStringLiteral("no-cache"));
    response->writeHead(200);
    response->write(QByteArrayLiteral(": events of Pelorin's page\n\n"));
    // An id beyond the newest was given by an earlier run of Pelorin: all kept ones are new.
    if (lastEventId > lastId)
        lastEventId = 0;
    const qint64 oldestKept = lastId - kept.size() + 1;
    subscribers.append({response, lastEventId < 0 ? lastId : qMax(lastEventId, oldestKept - 1)});
    // from the event loop: a response may say it drained from inside a write of ours
    connect(response, &QHttpResponse::drained, this, &EventStream::feedAll, Qt::QueuedConnection);
    feedAll();
    if (!keepAlive.isActive())
        keepAlive.start(keepAliveMs, this);
}

void EventStream::publish(const QByteArray &json)
{
    // the frame is made once, and shared by every subscriber's output
    ++lastId;
    kept.enqueue({lastId, "id: " + QByteArray::number(lastId) + "\ndata: " + json + "\n\n"});
    if (kept.size() > maxKept)
        kept.dequeue();
    feedAll();
}

void EventStream::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == keepAlive.timerId()) {
        for (const Subscriber &subscriber : std::as_const(subscribers)) {
            if (subscriber.response && subscriber.response->unsentBytes() < maxUnsent)
                subscriber.response->write(QByteArrayLiteral(": keep-alive\n\n"));
        }
        if (subscribers.isEmpty())
            keepAlive.stop();
    } else {
        QObject::timerEvent(event);
    }
}

bool EventStream::feed(Subscriber &subscriber)
{
    QHttpResponse *response = subscriber.response;
    const qint64 oldestKept = lastId - kept.size() + 1;
    if (!response)
        return false;
    // A subscriber that does not read is cut off; it may come back with Last-Event-ID.
    if (subscriber.sent + 1 < oldestKept) {
        response->abort();
        return false;
    }
    // All subscribers together hold at most maxUnsentTotal of output, each an equal share (but
    // at least one frame): many that do not read cannot take all of memory.
    const qint64 share = qBound(minShare, maxUnsentTotal / subscribers.size(), maxUnsent);
    while (subscriber.sent < lastId) {
        const QByteArray &frame = kept.at(int(subscriber.sent + 1 - oldestKept)).frame;
        const qint64 unsent = response->unsentBytes();
        if (unsent > 0 && unsent + frame.size() > share)
            break;
        response->write(frame);
        ++subscriber.sent;
    }
    return true;
}

void EventStream::feedAll()
{
    // abort() may take a response with it: forget those at the end
    for (Subscriber &subscriber : subscribers) {
        if (!feed(subscriber))
            subscriber.response = nullptr;
    }
    subscribers.erase(std::remove_if(subscribers.begin(),
                                     subscribers.end(),
                                     [](const Subscriber &s) { return !s.response; }),
                      subscribers.end());
}

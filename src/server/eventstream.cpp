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
    subscribers.append({response, lastEventId < 0 ? lastId : qMax(lastEventId, oldestKept - 1), 0});
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
            // never inside an event that has gone out in part
            if (subscriber.response && subscriber.written == 0
                && subscriber.response->unsentBytes() < maxUnsent)
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
    // A large event goes out in pieces that fit.
    while (subscriber.sent < lastId) {
        // asked each time: what the network took at once is no longer unsent, and no signal
        // will say that it drained
        const qint64 room = maxUnsent - response->unsentBytes();
        if (room <= 0)
            break;
        const QByteArray &frame = kept.at(int(subscriber.sent + 1 - oldestKept)).frame;
        const int part = int(qMin<qint64>(room, frame.size() - subscriber.written));
        response->write(part == frame.size() ? frame : frame.mid(subscriber.written, part));
        subscriber.written += part;
        if (subscriber.written == frame.size()) {
            subscriber.written = 0;
            ++subscriber.sent;
        }
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

#ifndef EVENTSTREAM_H
#define EVENTSTREAM_H

#include <QBasicTimer>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>

class QHttpResponse;

// The page's events as a Server-Sent Events stream. Every published event gets the next id; the
// newest maxKept events are kept, so a subscriber that reconnects with Last-Event-ID first gets
// the ones it missed that are still kept. Each subscriber is fed from the kept events while its
// unsent output stays within maxUnsent (a large event goes in pieces), and topped up as it
// drains, so a long catch-up goes out piece by piece; one that falls so far behind that its
// next event is no longer kept is cut off
// (it can reconnect and resume from its last id). A subscriber is sent a comment line every
// keepAliveMs, so that one that has gone is noticed. The stream does not own the responses: the
// HTTP layer does, and a subscriber whose response goes away is forgotten.
class EventStream : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxKept = 1000;
    static constexpr int keepAliveMs = 15000;
    // A subscriber's output that the network has not taken yet; little, as the network holds
    // much more, and so all subscribers' that a server's connections can hold add up to 64 MiB.
    static constexpr qint64 maxUnsent = 32 * 1024;

    explicit EventStream(QObject *parent = nullptr);

    // Starts the stream on response, first with the kept events whose id is above lastEventId
    // (none when it is negative: a new subscriber starts with the next event; all when it is
    // beyond the newest, which a subscriber of an earlier run of Pelorin may send).
    void subscribe(QHttpResponse *response, qint64 lastEventId);
    // json is one JSON text without line breaks.
    void publish(const QByteArray &json);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Event
    {
        qint64 id;
        QByteArray frame; // as written to every subscriber
    };
    struct Subscriber
    {
        QPointer<QHttpResponse> response;
        qint64 sent;     // the id of the last event written to it whole
        int written = 0; // how much of the next one has been written
    };

    // Writes the subscriber's next kept events while they fit; false when it was cut off.
    bool feed(Subscriber &subscriber);
    // Feeds every subscriber and forgets those that went.
    void feedAll();

    QQueue<Event> kept;
    qint64 lastId = 0;
    QList<Subscriber> subscribers;
    QBasicTimer keepAlive;
};

#endif // EVENTSTREAM_H

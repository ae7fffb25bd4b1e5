#ifndef EVENTSTREAM_H
#define EVENTSTREAM_H

#include <QBasicTimer>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>

class QHttpResponse;

// The page's events as a Server-Sent Events stream. Every published event gets the next id
// and is written to every subscriber at once; the newest maxKept events are kept, so a
// subscriber that reconnects with Last-Event-ID first gets the ones it missed that are still
// kept. A subscriber is sent a comment line every keepAliveMs, so that one that has gone is
// noticed, and one that does not read is cut off once its unsent output passes maxUnsent (it
// can reconnect and resume from its last id). The stream does not own the responses: the HTTP
// layer does, and a subscriber whose response goes away is forgotten.
class EventStream : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxKept = 1000;
    static constexpr int keepAliveMs = 15000;
    static constexpr qint64 maxUnsent = 1024 * 1024;

    explicit EventStream(QObject *parent = nullptr);

    // Starts the stream on response, first with the kept events whose id is above lastEventId
    // (none when it is negative: a new subscriber starts with the next event; all when it is
    // beyond the newest, which a subscriber of an earlier run of Pelorin may send).
    void subscribe(QHttpResponse *response, qint64 lastEventId);

    // json is one JSON text without line breaks.
    void publish(const QByteArray &json);

    int subscriberCount() const;

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Event
    {
        qint64 id;
        QByteArray json;
    };

    static QByteArray frame(const Event &event);
    void write(QHttpResponse *response, const QByteArray &bytes);

    QQueue<Event> kept;
    qint64 lastId = 0;
    QList<QPointer<QHttpResponse>> subscribers;
    QBasicTimer keepAlive;
};

#endif // EVENTSTREAM_H

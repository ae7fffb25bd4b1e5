#ifndef PAGECHANNEL_H
#define PAGECHANNEL_H

#include <QObject>

class QWebEnginePage;

// The page's way back to the application. It puts a QWebChannel on the page with this object
// registered as "pelorin", and a script into every main-frame document, in the page's own world
// and before the page's scripts run, that connects to it. The script keeps its names in a
// closure: the page sees no new globals but the engine's own `qt`. Once per document, when the
// document has been parsed, the script reports which handlers the page defines at that moment.
//
// Everything that comes through here comes from the page (or from whatever site it has
// navigated to) and is only a hint. Data never goes into the page this way: the bridge runs it
// as script text.
//
// The object is a child of the page; forPage() makes it on first use.
class PageChannel : public QObject
{
    Q_OBJECT

public:
    static PageChannel *forPage(QWebEnginePage *page);

    static constexpr int maxEventSize = 256 * 1024;
    static constexpr int maxAnswerSize = 16 * 1024 * 1024;

signals:
    void documentParsed(bool hasListener, bool hasReceiver);
    // json has been checked to be one JSON value on one line.
    void eventPublished(const QByteArray &json);
    void requestAnswered(quint64 id, const QByteArray &json);
    void requestFailed(quint64 id, const QString &message);
    // To the page: the companion's status as JSON text, dispatched as pelorin's `companion`
    // event.
    void companionChanged(const QString &json);

public slots:
    // Called by the injected script: whether PEL_listener and PEL_receive are functions.
    void documentReady(bool hasListener, bool hasReceiver);
    // pelorin.send(value), with the value as JSON text.
    void publish(const QString &json);
    // What PEL_receive returned for request id, as JSON text, or the message of what it threw.
    void answer(double id, const QString &json);
    void fail(double id, const QString &message);

private:
    explicit PageChannel(QWebEnginePage *page);
};

#endif // PAGECHANNEL_H

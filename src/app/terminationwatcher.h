#ifndef TERMINATIONWATCHER_H
#define TERMINATIONWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into the Qt signal terminationRequested, delivered by the event
// loop, so that an interrupted Pelorin shuts down as if its window had been closed. The
// signal handler only writes a byte to a socket pair; nothing else runs inside it.
// On platforms without POSIX signals it never fires.
class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // TERMINATIONWATCHER_H

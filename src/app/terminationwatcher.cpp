#include "terminationwatcher.h"

#include <QSocketNotifier>

#if defined(Q_OS_UNIX)
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalSockets[2] = {-1, -1};

void handleSignal(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    // Nothing useful can be done about a failed write inside a signal handler.
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
}
} // namespace
#endif

TerminationWatcher::TerminationWatcher(QObject *parent)
    : QObject(parent)
{
#if defined(Q_OS_UNIX)
    if (signalSockets[0] == -1) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) {
            qWarning("cannot watch for SIGINT and SIGTERM: no socket pair");
            return;
        }
        // no program we start may hold them
        ::fcntl(signalSockets[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(signalSockets[1], F_SETFD, FD_CLOEXEC);
    }
    notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
#endif
}

TerminationWatcher::~TerminationWatcher()
{
#if defined(Q_OS_UNIX)
    if (notifier) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
    }
#endif
}

void TerminationWatcher::readSignal()
{
#if defined(Q_OS_UNIX)
    char byte = 0;
    if (::read(signalSockets[1], &byte, 1) == 1)
        emit terminationRequested(byte);
#endif
}

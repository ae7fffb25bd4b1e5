#include "qhttpserver.h"

#include "qhttpconnection_p.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimerEvent>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr int defaultIdleTimeout = 120 * 1000;
// A bound of the server's own, so that one program cannot take every descriptor the process
// may open; where the process limit is lower, running out is met by the pause after a failure.
constexpr int maxConnections = 2000;
constexpr int acceptRetryDelay = 200;
} // namespace

QHttpServer::QHttpServer(QObject *parent)
    : QObject(parent)
    , tcpServer(new QTcpServer(this))
    , idleTimeout(defaultIdleTimeout)
{
    connect(tcpServer, &QTcpServer::newConnection, this, &QHttpServer::acceptConnections);
    connect(tcpServer, &QTcpServer::acceptError, this, &QHttpServer::acceptFailed);
}

QHttpServer::~QHttpServer()
{
    // A receiver may destroy the server from inside a request's signal; a connection whose
    // parser is on the stack must then outlive this call.
    const QList<QHttpConnection *> connections
            = findChildren<QHttpConnection *>(QString(), Qt::FindDirectChildrenOnly);
    for (QHttpConnection *connection : connections) {
        if (connection->isParsing()) {
            connection->setParent(nullptr);
            connection->deleteLater();
        }
    }
}

bool QHttpServer::listen(const QHostAddress &address, quint16 port)
{
    if (!tcpServer->listen(address, port))
        return false;
#if defined(Q_OS_UNIX)
    // QTcpServer reports only the first accept error of its life: once it has accepted all it
    // had (EAGAIN), running out of descriptors goes unreported while the listening socket stays
    // readable, and it tries again on every turn of the event loop. So connections are
    // accepted here.
    tcpServer->pauseAccepting();
    delete acceptNotifier;
    acceptNotifier = new QSocketNotifier(tcpServer->socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &QHttpServer::acceptConnections);
#endif
    return true;
}

QString QHttpServer::errorString() const
{
    return tcpServer->errorString();
}

QHostAddress QHttpServer::serverAddress() const
{
    return tcpServer->serverAddress();
}

quint16 QHttpServer::serverPort() const
{
    return tcpServer->serverPort();
}

void QHttpServer::setIdleTimeout(int msec)
{
    Q_ASSERT(msec > 0);
    idleTimeout = msec;
}

void QHttpServer::acceptConnections()
{
    while (connections < maxConnections) {
        QTcpSocket *socket = nextConnection();
        if (!socket)
            break;
        if (socket->state() != QAbstractSocket::ConnectedState) {
            // gone before we got to it
            socket->deleteLater();
            continue;
        }
        auto *connection = new QHttpConnection(socket, idleTimeout, this);
        connection->countUnsentIn(unsentTotal);
        ++connections;
        connect(connection, &QHttpConnection::newRequest, this, &QHttpServer::newRequest);
        connect(connection, &QObject::destroyed, this, &QHttpServer::connectionGone);
        acceptedSinceError = true;
        warnedAcceptFailure = false;
    }
    updateAccepting();
}

QTcpSocket *QHttpServer::nextConnection()
{
#if defined(Q_OS_UNIX)
    if (acceptNotifier) {
        // closed on exec from the start where the system allows, so that no program started
        // meanwhile on another thread inherits the connection
#if defined(Q_OS_LINUX)
        const int descriptor = ::accept4(int(tcpServer->socketDescriptor()),
                                         nullptr,
                                         nullptr,
                                         SOCK_CLOEXEC);
#else
        const int descriptor = ::accept(int(tcpServer->socketDescriptor()), nullptr, nullptr);
#endif
        if (descriptor < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                pauseAfterFailure(QString::fromLocal8Bit(std::strerror(errno)), errno);
            return nullptr;
        }
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        auto *socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(descriptor);
            delete socket;
            return nullptr;
        }
        return socket;
    }
#endif
    return tcpServer->nextPendingConnection();
}

void QHttpServer::acceptFailed(QAbstractSocket::SocketError error)
{
    if (acceptedSinceError) {
        // QTcpServer reports the end of a burst of connections with the error of an earlier
        // failure: try again at once, and back off only when nothing was accepted in between.
        acceptedSinceError = false;
        tcpServer->pauseAccepting();
        updateAccepting();
        return;
    }
    pauseAfterFailure(tcpServer->errorString(), int(error));
}

void QHttpServer::pauseAfterFailure(const QString &reason, int code)
{
    tcpServer->pauseAccepting();
#if defined(Q_OS_UNIX)
    if (acceptNotifier)
        acceptNotifier->setEnabled(false);
#endif
    // Whatever failed (most often: no descriptor left) fails again at once while the listening
    // socket stays readable, so it is retried after a pause, not from every turn of the loop.
    if (!warnedAcceptFailure) {
        qWarning("cannot accept connections (%s, error %d); trying again every %d ms",
                 qPrintable(reason),
                 code,
                 acceptRetryDelay);
        warnedAcceptFailure = true;
    }
    acceptRetry.start(acceptRetryDelay, this);
}

void QHttpServer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != acceptRetry.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    acceptRetry.stop();
    updateAccepting();
}

void QHttpServer::connectionGone()
{
    --connections;
    // connections accepted while at the cap wait in the listener's queue
    acceptConnections();
}

void QHttpServer::updateAccepting()
{
    if (!tcpServer->isListening() || acceptRetry.isActive())
        return;
    const bool accepting = connections < maxConnections;
#if defined(Q_OS_UNIX)
    if (acceptNotifier) {
        acceptNotifier->setEnabled(accepting);
        return;
    }
#endif
    if (accepting)
        tcpServer->resumeAccepting();
    else
        tcpServer->pauseAccepting();
}

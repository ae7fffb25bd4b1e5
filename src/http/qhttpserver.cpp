#include "qhttpserver.h"

#include "qhttpconnection_p.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
// Idle kept-alive clients must not pile up without bound.
constexpr int defaultIdleTimeout = 120 * 1000;
} // namespace

QHttpServer::QHttpServer(QObject *parent)
    : QObject(parent)
    , tcpServer(new QTcpServer(this))
    , idleTimeout(defaultIdleTimeout)
{
    connect(tcpServer, &QTcpServer::newConnection, this, &QHttpServer::acceptConnections);
}

QHttpServer::~QHttpServer()
{
    // A receiver may destroy the server from inside a request's signal; a connection whose
    // parser is on the stack must then outlive this call.
    const QList<QHttpConnection *> connections =
        findChildren<QHttpConnection *>(QString(), Qt::FindDirectChildrenOnly);
    for (QHttpConnection *connection : connections) {
        if (connection->isParsing()) {
            connection->setParent(nullptr);
            connection->deleteLater();
        }
    }
}

bool QHttpServer::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer->listen(address, port);
}

void QHttpServer::setIdleTimeout(int msec)
{
    Q_ASSERT(msec > 0);
    idleTimeout = msec;
}

void QHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = tcpServer->nextPendingConnection()) {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            // gone before we got to it
            socket->deleteLater();
            continue;
        }
        auto *connection = new QHttpConnection(socket, idleTimeout, this);
        connect(connection, &QHttpConnection::newRequest, this, &QHttpServer::newRequest);
    }
}

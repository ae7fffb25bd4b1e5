#include "qhttpresponse.h"

#include "qhttpconnection_p.h"

QHttpResponse::QHttpResponse(QHttpConnection *connection)
    : QObject(connection)
    , connection(connection)
{}

void QHttpResponse::setHeader(const QString &field, const QString &value)
{
    if (connection->isOpen(this))
        connection->addResponseHeader(field, value);
}

void QHttpResponse::write(const QByteArray &data)
{
    connection->writeResponsePart(this, status, data);
}

qint64 QHttpResponse::unsentBytes() const
{
    return connection->unsentBytes();
}

void QHttpResponse::abort()
{
    connection->abort();
}

void QHttpResponse::end(const QByteArray &data)
{
    connection->finishResponse(this, status, data);
}

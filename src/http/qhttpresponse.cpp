#include "qhttpresponse.h"

#include "qhttpconnection_p.h"

QHttpResponse::QHttpResponse(QHttpConnection *connection)
    : QObject(connection)
    , connection(connection)
{}

QHttpResponse::~QHttpResponse()
{
    connection->forget(this);
}

void QHttpResponse::setHeader(const QString &field, const QString &value)
{
    if (!finished)
        connection->addResponseHeader(field, value);
}

void QHttpResponse::writeHead(int status)
{
    if (!finished)
        this->status = status;
}

void QHttpResponse::write(const QByteArray &data)
{
    if (!finished)
        connection->writeResponsePart(this, status, data);
}

qint64 QHttpResponse::unsentBytes() const
{
    return connection->unsentBytes();
}

void QHttpResponse::abort()
{
    finished = true;
    connection->abort();
}

void QHttpResponse::end(const QByteArray &data)
{
    if (finished)
        return;
    finished = true;
    connection->finishResponse(this, status, data);
}

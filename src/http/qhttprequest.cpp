#include "qhttprequest.h"

#include "qhttpconnection_p.h"

QHttpRequest::QHttpRequest(QHttpConnection *connection)
    : QObject(connection)
{}

int QHttpRequest::method() const
{
    return methodCode;
}

QUrl QHttpRequest::url() const
{
    return QUrl::fromEncoded(rawTarget, QUrl::TolerantMode);
}

QByteArray QHttpRequest::target() const
{
    return rawTarget;
}

QHash<QString, QString> QHttpRequest::headers() const
{
    return fields;
}

quint16 QHttpRequest::peerPort() const
{
    return peer;
}

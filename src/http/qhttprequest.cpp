#include "qhttprequest.h"

#include "qhttpconnection_p.h"

QHttpRequest::QHttpRequest(QHttpConnection *connection)
    : QObject(connection)
{}

QUrl QHttpRequest::url() const
{
    return QUrl::fromEncoded(rawTarget, QUrl::TolerantMode);
}

#include "qhttprequest.h"

QHttpRequest::QHttpRequest(QObject *parent)
    : QObject(parent)
{
}

int QHttpRequest::method() const
{
    return methodCode;
}

QUrl QHttpRequest::url() const
{
    return QUrl::fromEncoded(target, QUrl::TolerantMode);
}

QHash<QString, QString> QHttpRequest::headers() const
{
    return fields;
}

#ifndef PAGEREQUEST_H
#define PAGEREQUEST_H

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QString>

// One GET or POST request, whole, as a page that handles whole requests receives it.
struct PageRequest
{
    quint64 id = 0;    // one more for every GET or POST, for the life of the process
    QByteArray method; // "GET" or "POST"
    QByteArray path;   // the request target's path, as sent
    QByteArray query;  // the request target's query, as sent, without the '?'
    QHash<QString, QString> headers;
    QByteArray body;
    bool tooLarge = false;    // the body passed the bound; body is then empty
    bool wantsAnswer = false; // the caller waits for the page's answer
    bool abandoned = false;   // the caller stopped waiting before the page got the request
};

Q_DECLARE_METATYPE(PageRequest)

#endif // PAGEREQUEST_H

#ifndef PAGEREQUEST_H
#define PAGEREQUEST_H

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QString>

#include <memory>

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
    bool fromWebPage = false; // sent by a web page in a browser (Origin, a Sec-Fetch-Site)
    // Bytes held on behalf of the connection that sent it, shared by all its requests: whoever
    // keeps what is made of a request for the page adds its size while keeping it.
    std::shared_ptr<qint64> connectionHeld;
};

Q_DECLARE_METATYPE(PageRequest)

#endif // PAGEREQUEST_H

#ifndef QHTTPREQUEST_H
#define QHTTPREQUEST_H

#include <QHash>
#include <QObject>
#include <QUrl>

class QHttpConnection;

// One HTTP request as read from a connection. Its request line and headers are complete when
// QHttpServer::newRequest hands it out; the body follows through data(), then end().
// The connection that read it owns it and releases it with itself or with its next request.
class QHttpRequest : public QObject
{
    Q_OBJECT

public:
    // http-parser's method codes: 1 is GET, 3 is POST.
    int method() const { return methodCode; }
    QUrl url() const;
    // The request target exactly as it came, undecoded.
    QByteArray target() const { return rawTarget; }
    // Names in lower case, one entry per name.
    QHash<QString, QString> headers() const { return fields; }
    // The client's port, to tell its requests apart in the log.
    quint16 peerPort() const { return peer; }

signals:
    void data(const QByteArray &data);
    void end();

private:
    explicit QHttpRequest(QHttpConnection *connection);
    ~QHttpRequest() override = default;
    friend class QHttpConnection;

    int methodCode = 0;
    // The request target exactly as it came; url() parses it on demand.
    QByteArray rawTarget;
    QHash<QString, QString> fields;
    quint16 peer = 0;
};

#endif // QHTTPREQUEST_H

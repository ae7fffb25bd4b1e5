#ifndef QHTTPRESPONSE_H
#define QHTTPRESPONSE_H

#include <QObject>

class QHttpConnection;

// The answer to one QHttpRequest. Headers are collected by setHeader, writeHead fixes the
// status, and end() sends status line, headers and body in one write. Calls after end() are
// ignored, and so is end() once the client has gone. A body whose length is not known up front
// goes out in parts through write(): the first part sends status line and headers, and the
// connection closes after end(). The connection owns the response.
class QHttpResponse : public QObject
{
    Q_OBJECT

public:
    void setHeader(const QString &field, const QString &value);
    void writeHead(int status) { this->status = status; }
    void write(const QByteArray &data);
    void end(const QByteArray &data = QByteArray());

    // Output of the connection that the client has not taken yet.
    qint64 unsentBytes() const;
    // Drops the connection at once, with whatever output is still unsent.
    void abort();

signals:
    // Some of the connection's output has gone to the client, so there is room for more.
    // Emitted while the response is open, possibly from inside a write to it.
    void drained();

private:
    explicit QHttpResponse(QHttpConnection *connection);
    ~QHttpResponse() override = default;
    friend class QHttpConnection;

    QHttpConnection *connection;
    int status = 200;
};

#endif // QHTTPRESPONSE_H

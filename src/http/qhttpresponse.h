#ifndef QHTTPRESPONSE_H
#define QHTTPRESPONSE_H

#include <QObject>

class QHttpConnection;

// The answer to one QHttpRequest. Headers are collected by setHeader, writeHead fixes the
// status, and end() sends status line, headers and body in one write. Calls after end() are
// ignored, and so is end() once the client has gone. The connection owns the response.
class QHttpResponse : public QObject
{
    Q_OBJECT

public:
    void setHeader(const QString &field, const QString &value);
    void writeHead(int status);
    void end(const QByteArray &data = QByteArray());

private:
    explicit QHttpResponse(QHttpConnection *connection);
    ~QHttpResponse() override;
    friend class QHttpConnection;

    QHttpConnection *connection;
    int status = 200;
    bool finished = false;
};

#endif // QHTTPRESPONSE_H

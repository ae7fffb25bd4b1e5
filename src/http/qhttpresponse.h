#ifndef QHTTPRESPONSE_H
#define QHTTPRESPONSE_H

#include <QObject>

// The answer to one QHttpRequest. Headers are collected by setHeader, writeHead fixes the
// status, and end() sends status line, headers and body in one write.
class QHttpResponse : public QObject
{
    Q_OBJECT

public:
    void setHeader(const QString &field, const QString &value);
    void writeHead(int status);
    void end(const QByteArray &data = QByteArray());
};

#endif // QHTTPRESPONSE_H

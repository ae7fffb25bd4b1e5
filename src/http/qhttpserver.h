#ifndef QHTTPSERVER_H
#define QHTTPSERVER_H

#include <QObject>

class QHostAddress;
class QTcpServer;
class QHttpRequest;
class QHttpResponse;

// Listens for HTTP/1.x connections and reports every request once its request line and
// headers have been read. Each accepted connection is owned by the server; the request and
// response objects of a connection belong to that connection and are released with it, so a
// receiver of newRequest must not delete them.
class QHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit QHttpServer(QObject *parent = nullptr);
    ~QHttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    // How long a kept-alive connection may sit idle before it is closed, in milliseconds.
    void setIdleTimeout(int msec);

signals:
    void newRequest(QHttpRequest *request, QHttpResponse *response);

private:
    void acceptConnections();

    QTcpServer *tcpServer;
    int idleTimeout;
};

#endif // QHTTPSERVER_H

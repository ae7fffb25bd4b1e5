#ifndef QHTTPSERVER_H
#define QHTTPSERVER_H

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QObject>

#include <memory>

class QHostAddress;
class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QHttpRequest;
class QHttpResponse;

// Listens for HTTP/1.x connections and reports every request once its request line and
// headers have been read. Each accepted connection is owned by the server; the request and
// response objects of a connection belong to that connection and are released with it, so a
// receiver of newRequest must not delete them.
//
// At most 2000 connections are served at once; above that the server stops
// accepting and further clients wait in the system's backlog until one closes. When accepting
// fails (no file descriptors left) it pauses, warns once, and tries again every short while.
class QHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit QHttpServer(QObject *parent = nullptr);
    ~QHttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    // Why listen() failed, in the system's words.
    QString errorString() const;
    // Where it listens: for port 0, the port the system chose.
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    // How long a connection may make no progress before it is closed, in milliseconds.
    void setIdleTimeout(int msec);
    // The output of all its connections that the network has not taken yet.
    qint64 unsentBytes() const { return *unsentTotal; }

signals:
    void newRequest(QHttpRequest *request, QHttpResponse *response);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void acceptConnections();
    QTcpSocket *nextConnection();
    void acceptFailed(QAbstractSocket::SocketError error);
    void pauseAfterFailure(const QString &reason, int code);
    void connectionGone();
    void updateAccepting();

    QTcpServer *tcpServer;
    QSocketNotifier *acceptNotifier = nullptr; // Unix: accepts in place of tcpServer
    int idleTimeout;
    int connections = 0;
    std::shared_ptr<qint64> unsentTotal = std::make_shared<qint64>(0);
    // Running while accepting is paused after a failure.
    QBasicTimer acceptRetry;
    bool warnedAcceptFailure = false;
    bool acceptedSinceError = false;
};

#endif // QHTTPSERVER_H

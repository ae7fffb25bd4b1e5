#ifndef RAWHTTPCLIENT_H
#define RAWHTTPCLIENT_H

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0), probe.serverPort();
}

// Sends exact bytes to a server on loopback and reads whole HTTP/1.x responses back (a 1xx or
// HEAD answer has no body). Connecting turns no event loop, so a server on this thread accepts
// nothing meanwhile; every other wait turns it. Every wait is bounded.
struct RawHttpClient
{
    bool connectToPort(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }

    void send(const QByteArray &bytes) { socket.write(bytes), socket.flush(); }

    // Everything that came and was not taken as a response.
    QByteArray unread() { return received += socket.isOpen() ? socket.readAll() : QByteArray(); }

    // The next whole response, or nothing when none came in time.
    QByteArray readResponse(bool headRequest = false, int timeout = 5000)
    {
        static const QRegularExpression length(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
        int size = 0;
        const bool whole = QTest::qWaitFor(
                [&] {
                    const int head = unread().indexOf("\r\n\r\n") + 4;
                    const bool bodiless = headRequest || received.startsWith("HTTP/1.1 1");
                    const QString lines = QString::fromLatin1(received.left(head));
                    size = head + (bodiless ? 0 : length.match(lines).captured(1).toInt());
                    return head >= 4 && received.size() >= size;
                },
                timeout);
        return whole ? std::exchange(received, received.mid(size)).left(size) : QByteArray();
    }

    // Whether the server closed the connection in time; what it sent stays in unread().
    bool waitForClosed()
    {
        return QTest::qWaitFor(
                [&] { return unread(), socket.state() == QTcpSocket::UnconnectedState; });
    }

    // The response to request on a connection of its own; nothing when none could be made.
    static QByteArray exchange(quint16 port, const QByteArray &request)
    {
        RawHttpClient client;
        return client.connectToPort(port) ? (client.send(request), client.readResponse()) : "";
    }

    static QByteArray bodyOf(const QByteArray &r) { return r.mid(r.indexOf("\r\n\r\n") + 4); }

    QTcpSocket socket;
    QByteArray received;
};

#endif // RAWHTTPCLIENT_H

#ifndef RAWHTTPCLIENT_H
#define RAWHTTPCLIENT_H

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// A port that was free a moment ago on loopback.
inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Sends exact bytes to a server on loopback and reads whole HTTP/1.x responses back, framed by
// the blank line and Content-Length (a 1xx or HEAD answer has no body). The server may run on
// the same thread: every wait turns the event loop, except connecting, and every wait is bounded.
class RawHttpClient
{
public:
    // Done by the system alone, so a server on this thread accepts nothing meanwhile.
    bool connectToPort(quint16 port, int timeout = 5000)
    {
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return socket.waitForConnected(timeout);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // Everything that arrived and was not handed out as a response.
    QByteArray unread() { return received += socket.isOpen() ? socket.readAll() : QByteArray(); }

    // The next complete response, or an empty array when none came in time.
    QByteArray readResponse(bool headRequest = false, int timeout = 5000)
    {
        int size = 0;
        (void)QTest::qWaitFor([&] { return (size = responseSize(unread(), headRequest)) > 0; },
                              timeout);
        const QByteArray response = received.left(size);
        received.remove(0, size);
        return response;
    }

    // Whether the server closed the connection in time; what it sent stays in unread().
    bool waitForClosed(int timeout = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                unread();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            timeout);
    }

    static QByteArray bodyOf(const QByteArray &response)
    {
        const int end = response.indexOf("\r\n\r\n");
        return end < 0 ? QByteArray() : response.mid(end + 4);
    }

    QTcpSocket socket;

private:
    static int responseSize(const QByteArray &bytes, bool headRequest)
    {
        static const QRegularExpression length(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
        const int end = bytes.indexOf("\r\n\r\n") + 4;
        if (end < 4)
            return 0;
        const bool bodiless = headRequest || bytes.at(9) == '1';
        const int size = end + (bodiless ? 0 : length.match(QString::fromLatin1(bytes.left(end))).captured(1).toInt());
        return bytes.size() >= size ? size : 0;
    }

    QByteArray received;
};

#endif // RAWHTTPCLIENT_H

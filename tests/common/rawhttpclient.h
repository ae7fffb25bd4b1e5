#ifndef RAWHTTPCLIENT_H
#define RAWHTTPCLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
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

// A test client that sends exact bytes over a QTcpSocket on loopback and reads whole HTTP/1.x
// responses back. The server under test runs on the same thread, so every wait turns the event
// loop, and every wait is bounded. Responses are framed by the blank line after the headers and
// Content-Length (no chunked responses); a 1xx response has no body.
class RawHttpClient
{
public:
    bool connectToPort(quint16 port, int timeout = 5000)
    {
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; },
                               timeout);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // The next complete response, or an empty array when none came in time. Pass
    // headRequest for the answer to a HEAD request, which announces a body it does not carry.
    QByteArray readResponse(bool headRequest = false, int timeout = 5000)
    {
        int size = 0;
        (void)QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                size = completeResponseSize(received, headRequest);
                return size > 0;
            },
            timeout);
        if (size <= 0)
            return QByteArray();
        const QByteArray response = received.left(size);
        received.remove(0, size);
        return response;
    }

    // Waits until the server has closed the connection; what it sent before stays readable.
    bool waitForClosed(int timeout = 5000)
    {
        const bool closed = QTest::qWaitFor(
            [this] {
                received += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            timeout);
        received += socket.readAll();
        return closed;
    }

    // Bytes that arrived but belong to no response handed out yet.
    QByteArray unread()
    {
        received += socket.readAll();
        return received;
    }

    static int statusOf(const QByteArray &response)
    {
        // "HTTP/1.1 200 OK"
        return response.mid(9, 3).toInt();
    }

    static QByteArray bodyOf(const QByteArray &response)
    {
        const int end = response.indexOf("\r\n\r\n");
        return end < 0 ? QByteArray() : response.mid(end + 4);
    }

    // The value of a response header, matched without regard to case; empty when absent.
    static QByteArray headerOf(const QByteArray &response, const QByteArray &name)
    {
        const int end = response.indexOf("\r\n\r\n");
        const QList<QByteArray> lines = response.left(end).split('\n');
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }

    QTcpSocket socket;

private:
    static int completeResponseSize(const QByteArray &bytes, bool headRequest)
    {
        const int end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            return 0;
        const QByteArray head = bytes.left(end + 4);
        const int status = statusOf(head);
        const int length = (headRequest || status / 100 == 1)
                               ? 0
                               : headerOf(head, QByteArrayLiteral("content-length")).toInt();
        const int size = end + 4 + length;
        return bytes.size() >= size ? size : 0;
    }

    QByteArray received;
};

#endif // RAWHTTPCLIENT_H

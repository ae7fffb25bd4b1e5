#include "instancecheck.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

namespace InstanceCheck {

bool isPelorinReply(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    if (!lines.first().startsWith("HTTP/1."))
        return false;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("pelorin:"))
            return true;
    }
    return false;
}

bool pelorinAnswersOn(const QString &host, quint16 port, int timeoutMs)
{
    // An empty host listens on every address; the same port on loopback tells who holds it.
    const QHostAddress address(host.isEmpty() ? QStringLiteral("127.0.0.1") : host);
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    const QByteArray authority = address.toString().toLatin1() + ':' + QByteArray::number(port);
    socket.write("OPTIONS / HTTP/1.1\r\nHost: " + authority + "\r\nConnection: close\r\n\r\n");
    // Only the head matters, and a stranger may send anything: read a few KiB at most.
    constexpr int maxHead = 8192;
    QByteArray head;
    while (!head.contains("\r\n\r\n") && head.size() < maxHead && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        head += socket.read(maxHead - head.size());
    }
    return isPelorinReply(head.left(head.indexOf("\r\n\r\n")));
}

} // namespace InstanceCheck

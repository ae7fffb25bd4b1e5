#ifndef INSTANCECHECK_H
#define INSTANCECHECK_H

#include <QByteArray>
#include <QString>

// Telling another Pelorin apart from any other program that holds a port.
namespace InstanceCheck {

// Whether the head of an HTTP reply (status line and headers) comes from a Pelorin: every
// reply of one carries a "Pelorin" header.
bool isPelorinReply(const QByteArray &head);

// Whether a Pelorin answers on host and port. It is asked with one OPTIONS request, which a
// Pelorin answers at once and hands to no page. Gives up after timeoutMs.
bool pelorinAnswersOn(const QString &host, quint16 port, int timeoutMs = 3000);

} // namespace InstanceCheck

#endif // INSTANCECHECK_H

#ifndef PELHTTPSERVER_P_H
#define PELHTTPSERVER_P_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QHttpRequest;
class QHttpResponse;

// The decisions PelHttpServer makes from plain inputs, kept free of sockets so they can be
// exercised with any address list or text.

// The last IPv4 address in the list other than 127.0.0.1, as text; empty when there is none.
QString lastNonLoopbackIPv4(const QList<QHostAddress> &addresses);

// The host to listen on for the configured host text: 127.0.0.1 for "" and "127.0.0.1", the
// given text when it is the machine's last non-loopback IPv4 address, else that address
// (empty when the machine has none).
QString chooseListenHost(const QString &given, const QList<QHostAddress> &addresses);

// The configured port text, or "9977" when none is configured.
QString portTextOrDefault(const QString &given);

// The port number a port text names: a whole number from 0 to 65535 in decimal digits, else -1
// (a number cut to 16 bits, or a text read as 0, would listen where nobody asked).
int portFromText(const QString &text);

// Whether an Authorization header value is "Bearer " and then token (the scheme in any case).
// Every byte of the token is compared whatever the value holds, so the time taken does not tell
// how much of a guess was right.
bool bearerTokenMatches(const QString &authorization, const QByteArray &token);

// The headers document of a request: its header hash as indented JSON, names sorted.
QByteArray headersDocument(const QHash<QString, QString> &headers);

// What a Prefer header value asks of the answer: return=representation means the caller wants
// the page's own answer, waiting at most waitSeconds (wait=N, else 30; at most an hour).
struct AnswerPreference
{
    bool wanted = false;
    int waitSeconds = 30;
};
AnswerPreference answerPreference(const QString &prefer);

// Whether a request comes from a web page in a browser, which must never read what the page
// holds: it names an Origin, or a Sec-Fetch-Site other than "none".
bool fromWebPage(const QHash<QString, QString> &headers);

// Whether a Host header value names this machine, so that a web page whose own name has been
// pointed at this machine (DNS rebinding) cannot reach the server as a same-origin site. This
// machine is: an IPv4 or bracketed IPv6 literal (a browser connects to what a literal says),
// localhost and names under .localhost, and ownNames (the configured host, the host name);
// with any port or none. A missing or empty value (HTTP/1.0) names nothing a page could choose.
bool hostAllowed(const QString &host, const QStringList &ownNames);

// A request target split at its first '?' into path and query, both as sent.
QPair<QByteArray, QByteArray> splitTarget(const QByteArray &target);

// Who may read an answer: anyone, or only its caller (no other origin is allowed).
enum class Audience { Anyone, CallerOnly };

// Answers with status, the fixed headers and body.
void sendReply(QHttpResponse *response,
               int status,
               const QByteArray &body,
               Audience audience = Audience::Anyone);

// The reply document of a GET or POST: {"status": "OK"}.
QByteArray statusDocument();

// A small JSON document {"error": code}, with "message" when one is given.
QByteArray errorDocument(const QString &code, const QString &message = QString());

// One debug line per request in pelorin.http, to follow each through: its id (0 when it goes
// to no page), method, path, what it was answered, how many body bytes came, the client's port.
void logRequest(const QHttpRequest *req,
                quint64 id,
                const QByteArray &outcome,
                qint64 bodyBytes = 0);

#endif // PELHTTPSERVER_P_H

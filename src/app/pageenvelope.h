#ifndef PAGEENVELOPE_H
#define PAGEENVELOPE_H

#include <QByteArray>
#include <QString>

struct PageRequest;

// The one-line text the page's PEL_listener receives for one piece of request data: the body
// (a quoted string, or a bare object when its text is braced) and the headers document as a
// bare object, members "body" then "headers". Line feeds, tabs and backslashes are removed.
QString pageEnvelope(const QByteArray &body, const QByteArray &headers);

// One statement that calls PEL_listener with the envelope of body and headers as a string
// literal, made in one pass over them. The literal is escaped so that the listener receives
// exactly the envelope whatever it holds (quotes, backslashes, line terminators, "</script>"),
// and the text is pure ASCII. A failing call is caught and reported to the page's console, so
// statements can be joined into one script.
QByteArray listenerCall(const QByteArray &body, const QByteArray &headers);

// One statement that hands a whole request to the page's PEL_receive (through pelorin.receive)
// as an object of id, method, path, query, headers (names lower-cased) and body, every text in
// a string literal: the data is never read as script. Texts are decoded as UTF-8 with invalid
// sequences as U+FFFD, NUL bytes and a leading byte-order mark kept; each character is escaped
// at most once. A request whose caller waits gets the handler's result sent back; its signal
// starts aborted when the caller has already gone. A failure is reported to the console.
QString receiverCall(const PageRequest &request);

#endif // PAGEENVELOPE_H

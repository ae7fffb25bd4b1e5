#ifndef PAGEENVELOPE_H
#define PAGEENVELOPE_H

#include <QByteArray>
#include <QString>

// The one-line text the page's PEL_listener receives for one piece of request data: the body
// (a quoted string, or a bare object when its text is braced) and the headers document as a
// bare object, members "body" then "headers". Line feeds, tabs and backslashes are removed.
QString pageEnvelope(const QByteArray &body, const QByteArray &headers);

// One statement that calls PEL_listener with the envelope as a string literal. The literal is
// escaped so that the listener receives exactly the envelope whatever it holds (quotes,
// backslashes, line terminators, "</script>"), and the text is pure ASCII. A failing call is
// caught and reported to the page's console, so statements can be joined into one script.
QString listenerCall(const QString &envelope);

#endif // PAGEENVELOPE_H

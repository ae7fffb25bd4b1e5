// Checks the page envelope, and the literal of its listener call, against the envelope's
// definition: the indented JSON document of body and headers, less line feeds, tabs and
// backslashes, with quoted braces unquoted. The first input byte says where the two part.

#include "pageenvelope.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const auto strip = [](QString text) {
        return text.remove(QLatin1Char('\n')).remove(QLatin1Char('\t')).remove(QLatin1Char('\\'));
    };
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QByteArray body = input.left(int(data[0]) * 4), headers = input.mid(body.size());
    const QJsonObject object{{"headers", strip(QString::fromUtf8(headers))},
                             {"body", strip(QString::fromUtf8(body))}};
    const QString envelope = strip(QString::fromUtf8(QJsonDocument(object).toJson()))
                                     .replace(QLatin1String("\"{"), QLatin1String("{"))
                                     .replace(QLatin1String("}\""), QLatin1String("}"));
    if (pageEnvelope(body, headers) != envelope)
        qFatal("the envelope differs from its definition");
    // the call's literal: printable ASCII but quote, backslash and angle brackets; the rest \uXXXX
    const QByteArray head = "try{PEL_listener('", call = listenerCall(body, headers);
    const QByteArray literal = call.mid(head.size(), call.indexOf("')}catch(e){") - head.size());
    QString decoded;
    for (int i = 0; i < literal.size(); ++i) {
        const bool escaped = literal.mid(i, 2) == "\\u";
        const char c = literal.at(i);
        if (!escaped && (c < 0x20 || c > 0x7e || strchr("'\\<>", c)))
            qFatal("the listener call leaves a character unescaped");
        decoded += escaped ? QChar(literal.mid(i + 2, 4).toUShort(nullptr, 16)) : QChar(c);
        i += escaped ? 5 : 0;
    }
    if (!call.startsWith(head) || decoded != envelope)
        qFatal("the listener call does not hold the envelope");
    return 0;
}

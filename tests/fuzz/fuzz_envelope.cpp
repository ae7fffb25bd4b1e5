// Checks the page envelope and its listener call, built in one pass, against the envelope's
// definition: the indented JSON document of body and headers, less line feeds, tabs and
// backslashes, with quoted braces unquoted. The first input byte says where the two part.

#include "pageenvelope.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

static QString strip(QString text)
{
    return text.remove(QLatin1Char('\n')).remove(QLatin1Char('\t')).remove(QLatin1Char('\\'));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QByteArray body = input.left(int(data[0]) * 4), headers = input.mid(body.size());
    const QJsonObject object{{"headers", strip(QString::fromUtf8(headers))},
                             {"body", strip(QString::fromUtf8(body))}};
    const QString envelope = strip(QString::fromUtf8(QJsonDocument(object).toJson()))
                                     .replace(QLatin1String("\"{"), QLatin1String("{"))
                                     .replace(QLatin1String("}\""), QLatin1String("}"));
    if (pageEnvelope(body, headers) != envelope)
        qFatal("the envelope differs from its definition");
    int envelopeSize = -1;
    if (listenerCall(body, headers, &envelopeSize) != listenerCall(envelope).toLatin1()
        || envelopeSize != envelope.size())
        qFatal("the listener call differs from the one made of the envelope");
    return 0;
}

// Checks the page envelope and its listener call, written in one pass, against the envelope's
// definition: the indented JSON document of body and headers, less line feeds, tabs and
// backslashes, with quoted braces unquoted. The first input byte says where body and headers
// part.

#include "pageenvelope.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

static QString strip(QString text)
{
    return text.remove(QLatin1Char('\n')).remove(QLatin1Char('\t')).remove(QLatin1Char('\\'));
}

static QString definedEnvelope(const QByteArray &body, const QByteArray &headers)
{
    QJsonObject object;
    object.insert(QStringLiteral("headers"), strip(QString::fromUtf8(headers)));
    object.insert(QStringLiteral("body"), strip(QString::fromUtf8(body)));
    return strip(QString::fromUtf8(QJsonDocument(object).toJson()))
            .replace(QLatin1String("\"{"), QLatin1String("{"))
            .replace(QLatin1String("}\""), QLatin1String("}"));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int cut = qMin(int(data[0]) * 4, input.size());
    const QByteArray body = input.left(cut);
    const QByteArray headers = input.mid(cut);

    const QString envelope = definedEnvelope(body, headers);
    if (pageEnvelope(body, headers) != envelope) {
        qWarning("the envelope differs from its definition");
        abort();
    }
    int envelopeSize = -1;
    if (listenerCall(body, headers, &envelopeSize) != listenerCall(envelope).toLatin1()
        || envelopeSize != envelope.size()) {
        qWarning("the listener call differs from the one made of the envelope");
        abort();
    }
    return 0;
}

#include "pageenvelope.h"

#include "utf8text.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString stripBreaksAndBackslashes(QString text)
{
    text.replace(QStringLiteral("\n"), QString(), Qt::CaseSensitive);
    text.replace(QStringLiteral("\t"), QString(), Qt::CaseSensitive);
    text.replace(QStringLiteral("\\"), QString(), Qt::CaseSensitive);
    return text;
}

void appendUnicodeEscape(QString &out, ushort code)
{
    static const char hex[] = "0123456789abcdef";
    out += QLatin1String("\\u");
    for (int shift = 12; shift >= 0; shift -= 4)
        out += QLatin1Char(hex[(code >> shift) & 0xf]);
}

} // namespace

QString pageEnvelope(const QByteArray &body, const QByteArray &headers)
{
    QJsonObject object;
    object.insert(QStringLiteral("headers"), stripBreaksAndBackslashes(textFromUtf8(headers)));
    object.insert(QStringLiteral("body"), stripBreaksAndBackslashes(textFromUtf8(body)));

    // The serialiser's own escapes lose their backslashes before the brace pairs are looked
    // for, so that quoted object texts become nested objects.
    QString text = textFromUtf8(QJsonDocument(object).toJson());
    text.replace(QStringLiteral("\n"), QString(), Qt::CaseSensitive);
    text.replace(QStringLiteral("\t"), QString(), Qt::CaseSensitive);
    text.replace(QStringLiteral("\\"), QString(), Qt::CaseSensitive);
    text.replace(QStringLiteral("\"{"), QStringLiteral("{"), Qt::CaseSensitive);
    text.replace(QStringLiteral("}\""), QStringLiteral("}"), Qt::CaseSensitive);
    return text;
}

QString listenerCall(const QString &envelope)
{
    QString out;
    out.reserve(envelope.size() + 96);
    out += QLatin1String("try{PEL_listener('");
    for (const QChar c : envelope) {
        const ushort code = c.unicode();
        // Everything outside printable ASCII is written as \uXXXX: line terminators (U+2028,
        // U+2029 included), lone surrogates and all else then reach the page unaltered. '<' and
        // '>' are escaped too, so no "</script>" or "<!--" ever stands in the script text.
        if (code < 0x20 || code >= 0x7f || c == QLatin1Char('\'') || c == QLatin1Char('\\')
            || c == QLatin1Char('<') || c == QLatin1Char('>'))
            appendUnicodeEscape(out, code);
        else
            out += c;
    }
    out += QLatin1String("')}catch(e){console.error('PEL_listener failed:',e)}\n");
    return out;
}

#include "pageenvelope.h"

#include "pagerequest.h"
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

namespace {

// Writes text as the inside of a single-quoted script string. Everything outside printable
// ASCII is written as \uXXXX: line terminators (U+2028, U+2029 included), lone surrogates and
// all else then reach the page unaltered. '<' and '>' are escaped too, so no "</script>" or
// "<!--" ever stands in the script text.
void appendStringLiteral(QString &out, const QString &text)
{
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code < 0x20 || code >= 0x7f || c == QLatin1Char('\'') || c == QLatin1Char('\\')
            || c == QLatin1Char('<') || c == QLatin1Char('>'))
            appendUnicodeEscape(out, code);
        else
            out += c;
    }
}

} // namespace

QString listenerCall(const QString &envelope)
{
    QString out;
    out.reserve(envelope.size() + 96);
    out += QLatin1String("try{PEL_listener('");
    appendStringLiteral(out, envelope);
    out += QLatin1String("')}catch(e){console.error('PEL_listener failed:',e)}\n");
    return out;
}

QString pageRequestJson(const PageRequest &request)
{
    QJsonObject headers;
    for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it)
        headers.insert(it.key(), it.value());
    const QJsonObject object{{QStringLiteral("id"), double(request.id)},
                             {QStringLiteral("method"), QString::fromUtf8(request.method)},
                             {QStringLiteral("path"), QString::fromUtf8(request.path)},
                             {QStringLiteral("query"), QString::fromUtf8(request.query)},
                             {QStringLiteral("headers"), headers},
                             {QStringLiteral("body"), QString::fromUtf8(request.body)}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString receiverCall(const QString &json, bool wantsAnswer)
{
    QString out;
    out.reserve(json.size() + 96);
    out += QLatin1String("try{pelorin.receive('");
    appendStringLiteral(out, json);
    out += wantsAnswer ? QLatin1String("',true)") : QLatin1String("',false)");
    out += QLatin1String("}catch(e){console.error('PEL_receive failed:',e)}\n");
    return out;
}

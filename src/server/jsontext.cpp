#include "jsontext.h"

#include <iterator>

void appendJsonString(QString &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    out += QLatin1Char('"');
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool lone = (c.isHighSurrogate()
                           && (i + 1 == text.size() || !text.at(i + 1).isLowSurrogate()))
                          || (c.isLowSurrogate() && (i == 0 || !text.at(i - 1).isHighSurrogate()));
        const ushort u = c.unicode();
        if (u >= 0x20 && u != '"' && u != '\\' && !lone) {
            out += c;
            continue;
        }
        out += QLatin1Char('\\');
        if (u == '"' || u == '\\') {
            out += c;
        } else if (u >= '\b' && u <= '\r' && u != '\v') {
            out += QLatin1Char("btn?fr"[u - '\b']); // \b \t \n \f \r
        } else {
            out += QLatin1Char('u');
            for (const int shift : {12, 8, 4, 0})
                out += QLatin1Char(hex[(u >> shift) & 0xf]);
        }
    }
    out += QLatin1Char('"');
}

QByteArray jsonDocument(const QMap<QString, QString> &data)
{
    // Written directly rather than through QJsonDocument, which costs more than the rest of a
    // request's handling; the bytes are the same.
    QString out;
    out.reserve(64 * (data.size() + 1));
    out += QLatin1String("{\n");
    for (auto it = data.cbegin(); it != data.cend(); ++it) {
        out += QLatin1String("    ");
        appendJsonString(out, it.key());
        out += QLatin1String(": ");
        appendJsonString(out, it.value());
        out += QLatin1String(std::next(it) != data.cend() ? ",\n" : "\n");
    }
    out += QLatin1String("}\n");
    return out.toUtf8();
}

#include "pageenvelope.h"

#include "jsontext.h"
#include "pagerequest.h"
#include "utf8text.h"

namespace {

const char hexDigits[] = "0123456789abcdef";

// Writes the envelope one character at a time to put: the indented JSON document of body and
// headers as strings (line feeds, tabs and backslashes removed), less its line breaks and its
// escapes' backslashes, with a quotation mark left out where '{' follows or '}' precedes it,
// which turns quoted object texts into nested objects.
template<typename Put>
class EnvelopeWriter
{
public:
    explicit EnvelopeWriter(Put put)
        : put(put)
    {}

    void write(const QByteArray &body, const QByteArray &headers)
    {
        text("{    \"body\": \"");
        value(body);
        text("\",    \"headers\": \"");
        value(headers);
        text("\"}");
    }

private:
    void text(const char *ascii)
    {
        for (; *ascii; ++ascii)
            character(QLatin1Char(*ascii));
    }

    void value(const QByteArray &bytes)
    {
        for (const QChar c : textFromUtf8(bytes)) {
            const ushort code = c.unicode();
            if (code == '\n' || code == '\t' || code == '\\') {
                continue;
            } else if (code == '\b' || code == '\f' || code == '\r') {
                character(QLatin1Char(code == '\b' ? 'b' : code == '\f' ? 'f' : 'r'));
            } else if (code < 0x20) {
                text("u00");
                character(QLatin1Char(hexDigits[code >> 4]));
                character(QLatin1Char(hexDigits[code & 0xf]));
            } else {
                character(c);
            }
        }
    }

    void character(QChar c)
    {
        if (quoteHeld) {
            quoteHeld = false;
            if (c != QLatin1Char('{') && beforeQuote != QLatin1Char('}'))
                put(QLatin1Char('"'));
        }
        if (c == QLatin1Char('"')) {
            quoteHeld = true;
            beforeQuote = previous;
        } else {
            put(c);
        }
        previous = c;
    }

    Put put;
    QChar previous;
    QChar beforeQuote;
    bool quoteHeld = false;
};

template<typename Put>
void writeEnvelope(const QByteArray &body, const QByteArray &headers, Put put)
{
    EnvelopeWriter<Put>(put).write(body, headers);
}

// Writes code into a single-quoted script string. Everything outside printable ASCII is written
// as \uXXXX: line terminators (U+2028, U+2029 included), lone surrogates and all else then
// reach the page unaltered. '<' and '>' are escaped too, so no "</script>" or "<!--" ever
// stands in the script text.
template<typename Put>
void writeLiteralCharacter(ushort code, Put put)
{
    if (code >= 0x20 && code < 0x7f && code != '\'' && code != '\\' && code != '<' && code != '>') {
        put(char(code));
        return;
    }
    for (const char c : {'\\',
                         'u',
                         hexDigits[code >> 12],
                         hexDigits[(code >> 8) & 0xf],
                         hexDigits[(code >> 4) & 0xf],
                         hexDigits[code & 0xf]})
        put(c);
}

const char listenerCallHead[] = "try{PEL_listener('";
const char listenerCallTail[] = "')}catch(e){console.error('PEL_listener failed:',e)}\n";

} // namespace

QString pageEnvelope(const QByteArray &body, const QByteArray &headers)
{
    QString out;
    out.reserve(body.size() + headers.size() + 32);
    writeEnvelope(body, headers, [&out](QChar c) { out += c; });
    return out;
}

QByteArray listenerCall(const QByteArray &body, const QByteArray &headers)
{
    QByteArray out;
    out.reserve(body.size() + headers.size() + 128);
    out += listenerCallHead;
    // gathered in a block of its own: appending byte by byte costs more than the rest
    char block[1024];
    int used = 0;
    writeEnvelope(body, headers, [&](QChar c) {
        if (used > int(sizeof block) - 6) {
            out.append(block, used);
            used = 0;
        }
        writeLiteralCharacter(c.unicode(), [&](char a) { block[used++] = a; });
    });
    out.append(block, used);
    out += listenerCallTail;
    return out;
}

namespace {

// Appends text as a single-quoted script string in which each character stands for itself
// where the language allows it, so a held byte costs at most a few characters: only the quote,
// the backslash, line terminators, NUL and lone surrogates are escaped.
void appendExactLiteral(QString &out, const QString &text)
{
    out += QLatin1Char('\'');
    const QChar *chars = text.constData();
    const int size = text.size();
    int plain = 0; // start of the run of characters written as they are
    for (int i = 0; i < size; ++i) {
        const ushort code = chars[i].unicode();
        if (code > '\\' && code < 0x2028)
            continue;
        if (QChar::isHighSurrogate(code) && i + 1 < size && chars[i + 1].isLowSurrogate()) {
            ++i; // a pair stands for itself
            continue;
        }
        const char *const named = code == '\''   ? "\\'"
                                  : code == '\\' ? "\\\\"
                                  : code == '\n' ? "\\n"
                                  : code == '\r' ? "\\r"
                                                 : nullptr;
        if (!named && code != 0 && code != 0x2028 && code != 0x2029 && !QChar::isSurrogate(code))
            continue;
        out.append(chars + plain, i - plain);
        plain = i + 1;
        if (named) {
            out += QLatin1String(named);
            continue;
        }
        out += QLatin1String("\\u");
        for (const int shift : {12, 8, 4, 0})
            out += QLatin1Char(hexDigits[(code >> shift) & 0xf]);
    }
    out.append(chars + plain, size - plain);
    out += QLatin1Char('\'');
}

} // namespace

QString receiverCall(const PageRequest &request)
{
    const QString body = exactTextFromUtf8(request.body);
    QString out;
    // room for the body's escapes, so that the script's end is appended in place
    out.reserve(body.size() + body.size() / 8 + 4096);
    out += QLatin1String("try{pelorin.receive({id:") + QString::number(request.id)
           + QLatin1String(",method:");
    appendExactLiteral(out, exactTextFromUtf8(request.method));
    out += QLatin1String(",path:");
    appendExactLiteral(out, exactTextFromUtf8(request.path));
    out += QLatin1String(",query:");
    appendExactLiteral(out, exactTextFromUtf8(request.query));
    // computed names: a header named __proto__ is a member like any other
    out += QLatin1String(",headers:{");
    for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it) {
        if (it != request.headers.cbegin())
            out += QLatin1Char(',');
        out += QLatin1Char('[');
        appendExactLiteral(out, it.key());
        out += QLatin1String("]:");
        appendExactLiteral(out, it.value());
    }
    out += QLatin1String("},body:");
    appendExactLiteral(out, body);
    out += QLatin1String(request.wantsAnswer ? "},true" : "},false");
    out += QLatin1String(request.abandoned ? ",true)" : ")");
    out += QLatin1String("}catch(e){console.error('PEL_receive failed:',e)}\n");
    return out;
}

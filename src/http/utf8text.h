#ifndef UTF8TEXT_H
#define UTF8TEXT_H

#include <QByteArray>
#include <QString>

// Bytes from the outside become text here: UTF-8, cut at the first NUL byte.
inline QString textFromUtf8(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(bytes.constData(), nul < 0 ? bytes.size() : nul);
}

#endif // UTF8TEXT_H

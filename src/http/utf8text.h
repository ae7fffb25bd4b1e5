#ifndef UTF8TEXT_H
#define UTF8TEXT_H

#include <QByteArray>
#include <QString>

// Bytes from the outside become text here: UTF-8, cut at the first NUL byte.
inline QString textFromUtf8(const QByteArray &bytes)
{
    // Qt 5 converts a QByteArray up to its first NUL
    return QString::fromUtf8(bytes);
}

#endif // UTF8TEXT_H

#ifndef UTF8TEXT_H
#define UTF8TEXT_H

#include <QByteArray>
#include <QString>

// Bytes from the outside become text here: UTF-8, cut at the first NUL byte.
inline QString textFromUtf8(const QByteArray &bytes)
{
    // Qt 5 stops at a NUL by itself, Qt 6 would carry it and what follows into the text.
    const auto end = bytes.indexOf('\0');
    return QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
}

#endif // UTF8TEXT_H

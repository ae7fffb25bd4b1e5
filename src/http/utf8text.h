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

// The same for data that must arrive whole: NUL bytes and a leading byte-order mark are kept,
// invalid sequences become U+FFFD.
inline QString exactTextFromUtf8(const QByteArray &bytes)
{
    // this overload reads past NUL bytes, but drops one leading byte-order mark
    // (a size of -1 would mean "up to the NUL"; the compiler cannot tell it never is)
    const QString text = QString::fromUtf8(bytes.constData(), qMax(0, bytes.size()));
    return bytes.startsWith("\xef\xbb\xbf") ? QChar(0xfeff) + text : text;
}

#endif // UTF8TEXT_H

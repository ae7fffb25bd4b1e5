#ifndef PROCESSUTIL_H
#define PROCESSUTIL_H

#include <QByteArray>
#include <QFile>
#include <QString>

// The whole content of the file at path; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether process pid exists and is not a zombie (reads /proc).
inline bool processIsLive(qint64 pid)
{
    // pid (comm) state ...; comm may hold blanks, so read after its closing bracket.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

#endif // PROCESSUTIL_H

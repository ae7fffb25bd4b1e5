#include "appdirectory.h"

#include <QCoreApplication>

namespace {
QString &overridePath()
{
    static QString path;
    return path;
}
} // namespace

QString AppDirectory::path()
{
    const QString &given = overridePath();
    return given.isEmpty() ? QCoreApplication::applicationDirPath() : given;
}

void AppDirectory::setPath(const QString &path)
{
    overridePath() = path;
}

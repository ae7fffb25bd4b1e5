#ifndef APPDIRECTORY_H
#define APPDIRECTORY_H

#include <QString>

// The folder that holds config.ini and assets/: the executable's own folder, unless a test
// has pointed it somewhere else.
namespace AppDirectory {

QString path();
void setPath(const QString &path);

} // namespace AppDirectory

#endif // APPDIRECTORY_H

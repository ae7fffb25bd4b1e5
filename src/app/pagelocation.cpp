#include "pagelocation.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

// Each message is appended as text, never parsed as markup: a message is untrusted data.
const char defaultPageText[]
        = "<html><head><script>function PEL_listener(arg) {json.append(arg, \"\\n\");}</script>"
          "</head><body><pre id=\"json\"></pre></body></html>";

namespace {

// The default page of earlier versions, which wrote each message into the document as markup.
const char unsafeDefaultPage[]
        = "<html><head><script>function PEL_listener(arg) {document.write(arg);}</script></head>"
          "<body><pre id=\"json\"></pre></body></html>\n";

// A copy of that page that nobody has changed is Pelorin's own: it is replaced by today's.
void replaceUnsafeDefaultPage(const QString &path)
{
    QFile file(path);
    if (file.size() != qint64(sizeof unsafeDefaultPage - 1) || !file.open(QIODevice::ReadWrite)
        || file.readAll() != unsafeDefaultPage)
        return;
    file.resize(0);
    file.write(QByteArray(defaultPageText) + '\n');
    qWarning().noquote() << QStringLiteral("Replaced %1, the default page of an earlier version, "
                                           "which ran what it was sent as markup")
                                    .arg(path);
}

QStringList listPages(const QDir &folder)
{
    // NoSort keeps the directory object's own order: by name, ignoring case.
    return folder.entryList(QStringList{QStringLiteral("index.*")},
                            QDir::Files | QDir::NoSymLinks,
                            QDir::NoSort);
}

void warnNoPage(const QString &path, const QString &reason)
{
    qWarning().noquote() << QStringLiteral("No page to show: %1: %2").arg(path, reason);
}

// Writes the default page as a new file; an existing file of that name, whatever it is, is
// left alone. A partly written file is removed so that a later start does not pick it up.
QString writeDefaultPage(const QString &path)
{
    QFile file(path);
    if (QFileInfo(path).isSymLink())
        return QStringLiteral("a symbolic link of that name is in the way");
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (file.exists())
            return QStringLiteral("a file of that name exists but is hidden or not a regular "
                                  "file; it is left alone");
        return file.errorString();
    }
    const QByteArray page = QByteArray(defaultPageText) + '\n';
    QString error;
    if (file.write(page) != page.size() || file.error() != QFileDevice::NoError)
        error = file.errorString();
    file.close();
    if (error.isEmpty() && file.error() != QFileDevice::NoError)
        error = file.errorString();
    if (!error.isEmpty())
        file.remove();
    return error;
}

} // namespace

QString locatePage(const QString &appDir)
{
    const QString folderPath = appDir + QStringLiteral("/assets");
    if (!QDir(folderPath).exists()) {
        if (!QDir().mkdir(folderPath)) {
            const QFileInfo info(folderPath);
            warnNoPage(folderPath,
                       info.exists() || info.isSymLink()
                               ? QStringLiteral("something that is not a folder is in the way")
                               : QStringLiteral("the folder cannot be created"));
            return QString();
        }
    }

    const QDir folder(appDir + QStringLiteral("/assets/"));
    QString problem;
    if (listPages(folder).isEmpty())
        problem = writeDefaultPage(appDir + QStringLiteral("/assets/index.html"));

    const QStringList pages = listPages(folder);
    if (pages.isEmpty()) {
        warnNoPage(appDir + QStringLiteral("/assets/index.html"),
                   problem.isEmpty() ? QStringLiteral("the page is not listed") : problem);
        return QString();
    }
    replaceUnsafeDefaultPage(folder.absoluteFilePath(pages.first()));
    // fromLocalFile keeps '#', '?' and '%' in the path from being read as URL syntax.
    return QUrl::fromLocalFile(folder.absoluteFilePath(pages.first())).toString();
}

QString pageFromSetting(const QString &value)
{
    if (value.isEmpty())
        return value;
    const bool hasScheme = !QUrl(value, QUrl::TolerantMode).scheme().isEmpty();
    const QFileInfo file(value);
    if ((!hasScheme || QDir::isAbsolutePath(value)) && file.isFile())
        return QUrl::fromLocalFile(file.absoluteFilePath()).toString();
    if (!hasScheme)
        qWarning().noquote() << QStringLiteral("CONNECT/URL \"%1\" has no scheme and names no "
                                               "file; it is loaded as a URL and may show nothing")
                                        .arg(value);
    return value;
}

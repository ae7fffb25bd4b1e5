// Shows the real MainWindow in this process, waits for its page, then hides and shows it
// (minimised, then restored) the given number of times, and prints the resident memory of
// this process and its web-engine processes before and after, with the number of pages.
#include "appdirectory.h"
#include "mainwindow.h"
#include "previewpage.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QTextStream>
#include <QTimer>

namespace {

qint64 rssKiB(const QString &pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// This process and all its descendants.
qint64 treeRssKiB()
{
    QMultiMap<QString, QString> children;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children.insert(QString::fromLatin1(fields.at(1)), pid);
    }
    qint64 total = 0;
    QStringList todo{QString::number(QCoreApplication::applicationPid())};
    while (!todo.isEmpty()) {
        const QString pid = todo.takeFirst();
        total += rssKiB(pid);
        todo += children.values(pid);
    }
    return total;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        QTextStream(stderr) << "usage: pagecycles <app-dir> <cycles>" << Qt::endl;
        return 2;
    }
    AppDirectory::setPath(QString::fromLocal8Bit(argv[1]));
    const int cycles = QString::fromLocal8Bit(argv[2]).toInt();

    MainWindow window;
    window.show();
    auto *page = window.findChild<PreviewPage *>();
    if (page) {
        QEventLoop loop;
        QObject::connect(page, &QWebEnginePage::loadFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    spin(2000);
    const qint64 before = treeRssKiB();
    for (int i = 0; i < cycles; ++i) {
        window.hide();
        window.showMinimized();
        spin(20);
        window.showNormal();
        spin(20);
    }
    spin(3000);
    const qint64 after = treeRssKiB();
    QTextStream(stdout) << "{\"rssBeforeKiB\":" << before << ",\"rssAfterKiB\":" << after
                        << ",\"cycles\":" << cycles
                        << ",\"pages\":" << window.findChildren<QWebEnginePage *>().size() << "}"
                        << Qt::endl;
    return 0;
}

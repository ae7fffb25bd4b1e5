// Stands in for a companion program: writes its process id and arguments, one a line, to the
// file named by its first argument, then waits until it is ended.
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <chrono>
#include <thread>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return 2;

    // Written whole under its final name, so a reader never sees half of it.
    QSaveFile out(args.at(1));
    if (!out.open(QIODevice::WriteOnly))
        return 3;
    out.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    for (const QString &arg : args.mid(2))
        out.write(arg.toUtf8() + '\n');
    if (!out.commit())
        return 4;

    for (int i = 0; i < 600; ++i) // ten minutes at most, in case nobody ends us
        std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}

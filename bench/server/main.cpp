// Runs PelHttpServer alone on 127.0.0.1, with nothing connected to dataProcessed, for wrk to
// drive. Usage: pelorin-bench-server <port>
#include <QCoreApplication>
#include <QTextStream>

#include "pelhttpserver.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: pelorin-bench-server <port>\n";
        return 2;
    }
    // lives until the process ends, as in the application
    new PelHttpServer(QStringLiteral("127.0.0.1"), args.at(1));
    return app.exec();
}

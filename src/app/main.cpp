#include "mainwindow.h"
#include "qtcompat.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QCommandLineParser>

namespace {

// --kiosk turns kiosk mode on whatever config.ini says; other arguments are left alone.
bool kioskRequested()
{
    QCommandLineParser parser;
    const QCommandLineOption kiosk(QStringLiteral("kiosk"));
    parser.addOption(kiosk);
    parser.parse(QCoreApplication::arguments());
    return parser.isSet(kiosk);
}

} // namespace

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char **argv)
{
#ifdef __GLIBC__
    // Buffers of callers' data (bodies, event frames, unsent output) come and go in large
    // pieces; kept out of the heap, each one's memory goes back to the system when it is freed
    // (glibc would otherwise raise this threshold after the first such free).
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    enableHighDpiScaling();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    QApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));

    MainWindow window;
    if (kioskRequested())
        window.enterKioskMode();
    // An interrupt or a polite kill ends Pelorin the way closing its window does.
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher,
                     &TerminationWatcher::terminationRequested,
                     &window,
                     &QWidget::close);
    window.show();
    return app.exec();
}

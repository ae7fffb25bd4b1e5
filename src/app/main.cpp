#include "mainwindow.h"
#include "qtcompat.h"
#include "terminationwatcher.h"

#include <QApplication>

int main(int argc, char **argv)
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    QApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));

    MainWindow window;
    // An interrupt or a polite kill ends Pelorin the way closing its window does.
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher,
                     &TerminationWatcher::terminationRequested,
                     &window,
                     &QWidget::close);
    window.show();
    return app.exec();
}

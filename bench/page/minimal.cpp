// The anchor for start-up time and memory: the least program that shows a page in a
// QWebEngineView and hands it one message once it has loaded.
// Usage: pelorin-bench-minimal <page.html>
#include "qtcompat.h"

#include <QApplication>
#include <QWebEnginePage>
#include <QWebEngineView>

int main(int argc, char **argv)
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QWebEngineView view;
    view.setPage(new QWebEnginePage(pageProfile(), &view)); // the profile Pelorin's page uses
    QObject::connect(&view, &QWebEngineView::loadFinished, &view, [&view](bool ok) {
        if (ok)
            view.page()->runJavaScript(QStringLiteral("PEL_listener('{\"first\":1}')"));
    });
    view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    view.resize(400, 600);
    view.show();
    return app.exec();
}

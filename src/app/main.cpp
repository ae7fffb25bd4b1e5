#include "appdirectory.h"
#include "mainwindow.h"
#include "qtcompat.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// The exit status when the server could not listen, so scripts and service managers see it.
constexpr int notServingExitCode = 3;

struct Options
{
    QCommandLineOption appDir{QStringLiteral("app-dir"),
                              QStringLiteral("The folder that holds config.ini and assets/ "
                                             "(default: the executable's folder)."),
                              QStringLiteral("DIR")};
    QCommandLineOption quitIfRunning{QStringLiteral("quit-if-running"),
                                     QStringLiteral("Exit at once, with status 3, when another "
                                                    "Pelorin already listens on the port.")};
    QCommandLineOption kiosk{QStringLiteral("kiosk"),
                             QStringLiteral("Kiosk mode, as UIUX/KIOSK=true in config.ini: full "
                                            "screen, the page kept to its own origin.")};
};

// The whole command line in one place; a new option is one more member and one more line here.
void describe(QCommandLineParser &parser, const Options &options)
{
    parser.setApplicationDescription(
            QStringLiteral("Shows one local web page and hands it the HTTP requests that "
                           "local programs send."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(options.appDir);
    parser.addOption(options.quitIfRunning);
    parser.addOption(options.kiosk);
}

// Whether the command line asks only for text (--help, --version), which needs no display.
bool asksForText(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument.startsWith("-")
            && QByteArrayList{"help", "help-all", "h", "?", "version", "v"}.contains(
                    argument.mid(argument.startsWith("--") ? 2 : 1)))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef __GLIBC__
    // Buffers of callers' data (bodies, event frames, unsent output) come and go in large
    // pieces; kept out of the heap, each one's memory goes back to the system when it is freed
    // (glibc would otherwise raise this threshold after the first such free).
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("Pelorin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));
    QCommandLineParser parser;
    const Options options;
    describe(parser, options);
    if (asksForText(argc, argv)) {
        QCoreApplication textOnly(argc, argv);
        parser.process(textOnly); // prints and exits
    }

    enableHighDpiScaling();
    QApplication app(argc, argv);
    parser.process(app); // a mistake ends here, with a message
    if (parser.isSet(options.appDir)) {
        const QFileInfo dir(parser.value(options.appDir));
        if (!dir.isDir()) {
            std::fprintf(stderr,
                         "pelorin: --app-dir %s is not a folder\n",
                         qUtf8Printable(QDir::toNativeSeparators(dir.filePath())));
            return 1;
        }
        AppDirectory::setPath(dir.absoluteFilePath());
    }

#ifdef __GLIBC__
    // What the heap holds free in the middle (the pieces of many connections that came and
    // went) goes back to the system too, a few seconds after it was freed.
    QTimer trim;
    QObject::connect(&trim, &QTimer::timeout, [] { malloc_trim(0); });
    trim.start(5000);
#endif
    MainWindow window;
    if (window.yieldsToOtherPelorin() && parser.isSet(options.quitIfRunning))
        return notServingExitCode;
    if (parser.isSet(options.kiosk))
        window.enterKioskMode();
    // An interrupt or a polite kill ends Pelorin the way closing its window does.
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher,
                     &TerminationWatcher::terminationRequested,
                     &window,
                     &QWidget::close);
    window.show();
    const int result = app.exec();
    return window.isServing() ? result : notServingExitCode;
}

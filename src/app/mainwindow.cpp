#include "mainwindow.h"

#include "appdirectory.h"
#include "companionprocess.h"
#include "configfile.h"
#include "mainwindowui.h"
#include "pagebridge.h"
#include "pagechannel.h"
#include "pagelocation.h"
#include "pelhttpserver.h"
#include "previewpage.h"
#include "qtcompat.h"

#include <QFile>
#include <QSettings>
#include <QUrl>
#include <QWebEngineView>

namespace {

QString configPath()
{
    return AppDirectory::path() + QStringLiteral("/config.ini");
}

// Every key the window reads; config.ini lines for any other are warned about.
const QStringList &knownKeys()
{
    static const QStringList keys{QStringLiteral("CONNECT/HOST"),
                                  QStringLiteral("CONNECT/PORT"),
                                  QStringLiteral("CONNECT/URL"),
                                  QStringLiteral("CONNECT/CRYPTO"),
                                  QStringLiteral("CONNECT/TOKEN"),
                                  QStringLiteral("UIUX/TITLE"),
                                  QStringLiteral("UIUX/BASESIZE_H"),
                                  QStringLiteral("UIUX/BASESIZE_W")};
    return keys;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowUi)
    , bridge(new PageBridge(this))
{
    loadSettings();

    server = new PelHttpServer(host, port);
    server->setToken(token);
    if (!tokenUsable)
        server->setTokenUnusable();
    connect(server,
            &PelHttpServer::dataProcessed,
            this,
            &MainWindow::readProcessedData,
            Qt::AutoConnection);
    // Whole requests, the page's answers and its events: for pages that define PEL_receive
    // and for programs that listen to /events.
    connect(server, &PelHttpServer::requestReceived, bridge, &PageBridge::deliverRequest);
    connect(bridge, &PageBridge::modeChanged, server, &PelHttpServer::setPageMode);
    connect(bridge, &PageBridge::requestRefused, server, &PelHttpServer::refuseRequest);

    ui->build(this);
    setWindowTitle(title);
    resize(baseWidth, baseHeight);

    // clang-format off
    connect(this, SIGNAL(windowLoaded()), this, SLOT(showPreviewPage()), Qt::AutoConnection);
    // clang-format on

    if (companionCommand != QLatin1String("")) {
        auto *companion = new CompanionProcess(this);
        companion->startCommand(companionCommand);
    }
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    emit windowLoaded();
}

void MainWindow::saveSettings()
{
    QSettings settings(configPath(), QSettings::IniFormat);
    useUtf8(settings);
    settings.setValue(QStringLiteral("CONNECT/HOST"), QStringLiteral("127.0.0.1"));
    settings.setValue(QStringLiteral("CONNECT/PORT"), QStringLiteral("9977"));
    settings.setValue(QStringLiteral("UIUX/TITLE"), QStringLiteral("Pelorin"));
    settings.setValue(QStringLiteral("CONNECT/URL"), QStringLiteral(""));
    settings.setValue(QStringLiteral("CONNECT/CRYPTO"), QStringLiteral(""));
    settings.setValue(QStringLiteral("UIUX/BASESIZE_H"), QStringLiteral("1024"));
    settings.setValue(QStringLiteral("UIUX/BASESIZE_W"), QStringLiteral("768"));
}

void MainWindow::loadSettings()
{
    if (!QFile::exists(configPath()))
        saveSettings();

    const ConfigFile config(configPath(), knownKeys());
    host = config.text(QStringLiteral("CONNECT/HOST"));
    port = config.text(QStringLiteral("CONNECT/PORT"));
    // A location may be stored plainly or percent-encoded; both give the same text.
    url = pageFromSetting(
            QUrl::fromPercentEncoding(config.text(QStringLiteral("CONNECT/URL")).toUtf8()));
    companionCommand = config.text(QStringLiteral("CONNECT/CRYPTO"));
    // optional, never written: without it every request is let through; a TOKEN line that
    // gives no usable token lets none through
    const ConfigFile::Value tokenValue = config.value(QStringLiteral("CONNECT/TOKEN"));
    token = tokenValue.text;
    const QString tokenProblem = ConfigFile::tokenProblem(tokenValue);
    if (!tokenProblem.isEmpty()) {
        tokenUsable = false;
        qCritical("%s:%d: CONNECT/TOKEN %s: every request is refused with 401 until it holds "
                  "a token or the line is removed",
                  qPrintable(config.path()),
                  tokenValue.line,
                  qPrintable(tokenProblem));
    }
    title = config.text(QStringLiteral("UIUX/TITLE"));
    baseHeight = config.text(QStringLiteral("UIUX/BASESIZE_H")).toInt();
    baseWidth = config.text(QStringLiteral("UIUX/BASESIZE_W")).toInt();

    if (url.isEmpty())
        url = locatePage(AppDirectory::path());
}

void MainWindow::readProcessedData(QByteArray body, QByteArray headers)
{
    if (bridge->mode() != PelHttpServer::PageMode::Receiver)
        bridge->deliver(body, headers);
}

void MainWindow::showPreviewPage()
{
    // One page for the life of the window: a later show (a restore, say) keeps the page, its
    // document and whatever it has gathered.
    if (bridge->page())
        return;
    auto *page = new PreviewPage(this);
    const PageChannel *channel = PageChannel::forPage(page);
    connect(channel, &PageChannel::eventPublished, server, &PelHttpServer::publishEvent);
    connect(channel, &PageChannel::requestAnswered, server, &PelHttpServer::answerRequest);
    connect(channel, &PageChannel::requestFailed, server, [this](quint64 id, const QString &why) {
        server->refuseRequest(id, 500, QStringLiteral("PAGE_ERROR"), why);
    });
    bridge->setPage(page);
    ui->preview->setPage(page);
    ui->preview->setUrl(QUrl(url, QUrl::TolerantMode));
}

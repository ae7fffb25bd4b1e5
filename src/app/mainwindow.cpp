#include "mainwindow.h"

#include "appdirectory.h"
#include "companionprocess.h"
#include "configfile.h"
#include "failurenotice.h"
#include "instancecheck.h"
#include "kioskmode.h"
#include "mainwindowui.h"
#include "pagebridge.h"
#include "pagechannel.h"
#include "pagelocation.h"
#include "pelhttpserver.h"
#include "previewpage.h"
#include "qtcompat.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPointer>
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
                                  QStringLiteral("CONNECT/RESTART"),
                                  QStringLiteral("CONNECT/TOKEN"),
                                  QStringLiteral("UIUX/TITLE"),
                                  QStringLiteral("UIUX/BASESIZE_H"),
                                  QStringLiteral("UIUX/BASESIZE_W"),
                                  QStringLiteral("UIUX/KIOSK"),
                                  QStringLiteral("UIUX/SCREEN")};
    return keys;
}

// An on/off key: empty is off; a value that is neither is off, with a warning.
bool isOn(const ConfigFile &config, const QString &key)
{
    const QString value = config.text(key).trimmed().toLower();
    for (const char *on : {"true", "1", "yes", "on"}) {
        if (value == QLatin1String(on))
            return true;
    }
    for (const char *off : {"", "false", "0", "no", "off"}) {
        if (value == QLatin1String(off))
            return false;
    }
    qWarning("%s:%d: %s \"%s\" is neither true nor false; taken as false",
             qPrintable(config.path()),
             config.value(key).line,
             qPrintable(key),
             qUtf8Printable(value));
    return false;
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
    otherPelorin = !isServing() && server->listenPort() != 0
                   && InstanceCheck::pelorinAnswersOn(server->listenHost(), server->listenPort());
    connect(server,
            &PelHttpServer::dataProcessed,
            this,
            &MainWindow::readProcessedData,
            Qt::AutoConnection);
    // Whole requests, the page's answers and its events: for pages that define PEL_receive
    // and for programs that listen to /events.
    connect(server, &PelHttpServer::requestReceived, bridge, &PageBridge::deliverRequest);
    // the page's handler and its room are the bridge's to know; the window may go before the
    // server
    server->setPageModeSource([bridge = QPointer<PageBridge>(bridge)] {
        return bridge ? bridge->mode() : PelHttpServer::PageMode::Unknown;
    });
    server->setPageRoom(
            [bridge = QPointer<PageBridge>(bridge)](bool fromWebPage, qint64 held, qint64 ours) {
                return !bridge || bridge->admitRequest(fromWebPage, held, ours);
            });
    connect(bridge, &PageBridge::requestRefused, server, &PelHttpServer::refuseRequest);
    connect(server, &PelHttpServer::requestAbandoned, bridge, &PageBridge::abandon);

    ui->build(this);
    setWindowTitle(title);
    resize(baseWidth, baseHeight);
    if (!isServing())
        showServerFailure();

    // clang-format off
    connect(this, SIGNAL(windowLoaded()), this, SLOT(showPreviewPage()), Qt::AutoConnection);
    // clang-format on

    if (kiosk)
        enterKioskMode();

    if (companionCommand != QLatin1String("") && !otherPelorin) {
        auto *companion = new CompanionProcess(this);
        bool ok = true;
        companion->setRestartPolicy(CompanionProcess::restartPolicyFromText(restartPolicy, &ok));
        if (!ok)
            qWarning("CONNECT/RESTART \"%s\" is none of on-failure, always; the companion is "
                     "not restarted",
                     qUtf8Printable(restartPolicy));
        connect(companion,
                &CompanionProcess::statusChanged,
                this,
                [this](const QString &state, int exitCode, int restarts) {
                    const QJsonObject status{{"state", state},
                                             {"exitCode",
                                              exitCode < 0 ? QJsonValue() : QJsonValue(exitCode)},
                                             {"restarts", restarts}};
                    // For the page's `companion` event; a page that is not there yet misses it.
                    if (bridge->page())
                        emit PageChannel::forPage(bridge->page())
                                ->companionChanged(QString::fromUtf8(
                                        QJsonDocument(status).toJson(QJsonDocument::Compact)));
                });
        companion->startCommand(companionCommand);
    }
}

void MainWindow::enterKioskMode()
{
    if (kioskMode)
        return;
    kiosk = true;
    kioskMode = new KioskMode(this, screen);
}

MainWindow::~MainWindow()
{
    delete ui;
}

bool MainWindow::isServing() const
{
    return server->listenError().isEmpty();
}

// A slim bar above the page, and the same words in the log: a window that looks as usual
// while nothing can reach it misleads.
void MainWindow::showServerFailure()
{
    const QString address = server->listenHost().isEmpty() ? QStringLiteral("0.0.0.0")
                                                           : server->listenHost();
    const QString port = QString::number(server->listenPort());
    const QString config = QDir::toNativeSeparators(configPath());
    QString text;
    if (server->listenPort() == 0) // a port text that is no port
        text = tr("Not receiving messages: %1. Correct CONNECT/PORT in %2, then start Pelorin "
                  "again.")
                       .arg(server->listenError(), config);
    else if (otherPelorin)
        text = tr("Not receiving messages: another Pelorin already listens on %1 port %2, so this "
                  "one started no companion. Close one of them, or give this one another "
                  "CONNECT/PORT in %3 and start it again.")
                       .arg(address, port, config);
    else
        text = tr("Not receiving messages: cannot listen on %1 port %2 (%4). Free the port, or "
                  "choose another CONNECT/PORT in %3, then start Pelorin again.")
                       .arg(address, port, config, server->listenError());
    qWarning().noquote() << text;

    auto *bar = new QLabel(text, this);
    bar->setObjectName(QStringLiteral("failureBar"));
    // The path and the system's words are shown as they are, never as markup.
    bar->setTextFormat(Qt::PlainText);
    bar->setWordWrap(true);
    bar->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar->setMargin(6);
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::ToolTipBase);
    bar->setForegroundRole(QPalette::ToolTipText);
    setMenuWidget(bar);
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
    // optional, never written: a display that runs unattended
    kiosk = isOn(config, QStringLiteral("UIUX/KIOSK"));
    screen = config.text(QStringLiteral("UIUX/SCREEN"));
    restartPolicy = config.text(QStringLiteral("CONNECT/RESTART"));

    if (url.isEmpty())
        url = locatePage(AppDirectory::path());
}

void MainWindow::readProcessedData(QByteArray body, QByteArray headers)
{
    bridge->deliver(body, headers, server->requestOfData());
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
    if (kiosk) {
        page->keepToOrigin(QUrl(url, QUrl::TolerantMode));
        connect(page, &PreviewPage::navigationRefused, bridge, &PageBridge::navigationRefused);
    }
    bridge->setPage(page);
    ui->preview->setPage(page);
    if (kiosk) {
        ui->preview->setContextMenuPolicy(Qt::NoContextMenu);
        new FailureNotice(ui->preview, bridge);
    }
    ui->preview->setUrl(QUrl(url, QUrl::TolerantMode));
}

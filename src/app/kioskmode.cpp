#include "kioskmode.h"

#include "qtcompat.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMouseEvent>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace {

const char screenSaverService[] = "org.freedesktop.ScreenSaver";
const char screenSaverPath[] = "/org/freedesktop/ScreenSaver";

QDBusMessage screenSaverCall(const char *method)
{
    return QDBusMessage::createMethodCall(QLatin1String(screenSaverService),
                                          QLatin1String(screenSaverPath),
                                          QLatin1String(screenSaverService),
                                          QLatin1String(method));
}

} // namespace

KioskMode::KioskMode(QWidget *window, const QString &screenSetting)
    : QObject(window)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    QStringList names;
    for (const QScreen *screen : screens)
        names << screen->name();
    bool ok = true;
    const int index = chooseScreen(screenSetting,
                                   names,
                                   qMax(0, screens.indexOf(QGuiApplication::primaryScreen())),
                                   &ok);
    if (!ok)
        qWarning("kiosk: UIUX/SCREEN \"%s\" names no screen (there are: %s); using the primary "
                 "screen",
                 qUtf8Printable(screenSetting),
                 qUtf8Printable(names.join(QStringLiteral(", "))));
    window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint);
    if (QScreen *screen = screens.value(index))
        window->setGeometry(screen->geometry());
    window->setWindowState(Qt::WindowFullScreen);

    idle.setSingleShot(true);
    idle.setInterval(idleCursorMs);
    connect(&idle, &QTimer::timeout, this, [this] {
        cursorHidden = true;
        QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
    });
    idle.start();
    qApp->installEventFilter(this);
    holdOffScreenSaver();
}

KioskMode::~KioskMode()
{
    showCursor();
    if (screenSaverCookie) {
        QDBusMessage call = screenSaverCall("UnInhibit");
        call << screenSaverCookie;
        QDBusConnection::sessionBus().send(call);
    }
}

int KioskMode::chooseScreen(const QString &setting, const QStringList &names, int primary, bool *ok)
{
    const QString wanted = setting.trimmed();
    *ok = true;
    if (wanted.isEmpty())
        return primary;
    const int byName = names.indexOf(wanted);
    if (byName >= 0)
        return byName;
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber);
    if (isNumber && number >= 0 && number < names.size())
        return number;
    *ok = false;
    return primary;
}

void KioskMode::showCursor()
{
    if (cursorHidden)
        QGuiApplication::restoreOverrideCursor();
    cursorHidden = false;
}

bool KioskMode::eventFilter(QObject *watched, QEvent *event)
{
    // Qt 6.4 makes the window anew, in no state, when the page's view first draws with OpenGL;
    // the new one is made full screen as the old one was.
    if (watched == parent() && event->type() == QEvent::WinIdChange) {
        const auto *window = static_cast<QWidget *>(watched);
        QWindow *handle = window->windowHandle();
        if (handle && window->isFullScreen() && !(handle->windowStates() & Qt::WindowFullScreen))
            handle->setWindowStates(window->windowState());
    }
    // Touch input comes as synthesized mouse events too; it leaves the cursor hidden.
    if (event->type() == QEvent::MouseMove && isFromPointer(*static_cast<QMouseEvent *>(event))) {
        showCursor();
        idle.start();
    }
    return QObject::eventFilter(watched, event);
}

void KioskMode::holdOffScreenSaver()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qInfo("kiosk: no D-Bus session bus, so no screensaver is held off");
        return;
    }
    QDBusMessage call = screenSaverCall("Inhibit");
    call << QStringLiteral("Pelorin") << QStringLiteral("kiosk display");
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 10000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            qInfo("kiosk: no screensaver to hold off (%s)", qUtf8Printable(reply.error().name()));
        else
            screenSaverCookie = reply.value();
        w->deleteLater();
    });
}

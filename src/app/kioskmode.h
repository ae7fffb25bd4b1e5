#ifndef KIOSKMODE_H
#define KIOSKMODE_H

#include <QObject>
#include <QStringList>
#include <QTimer>

class QWidget;

// Kiosk mode of the main window: the window covers its screen without a frame, the mouse
// cursor hides after idleCursorMs without movement and comes back when the mouse moves (touch
// input neither shows it nor is held up), and the desktop's screensaver is held off over D-Bus
// for as long as this object lives. A child of the window. What the page may do is PreviewPage's and
// PageRecovery's part.
class KioskMode : public QObject
{
    Q_OBJECT

public:
    // screenSetting: UIUX/SCREEN, a screen's name or its number counted from 0; empty for the
    // primary screen.
    KioskMode(QWidget *window, const QString &screenSetting);
    ~KioskMode() override;

    // The index into names of the screen that setting names, or primary (with ok false when
    // the setting names none).
    static int chooseScreen(const QString &setting, const QStringList &names, int primary, bool *ok);

    static constexpr int idleCursorMs = 3000;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showCursor();
    void holdOffScreenSaver();

    QTimer idle;
    bool cursorHidden = false;
    uint screenSaverCookie = 0;
};

#endif // KIOSKMODE_H

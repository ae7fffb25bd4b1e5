#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>
#include <QString>

class KioskMode;
class PageBridge;
class PelHttpServer;
struct MainWindowUi;

// The application's one window: reads config.ini, starts the HTTP bridge server, shows the
// page in its web view and forwards every processed request into it. It owns its widgets,
// its pages and the companion process through Qt parenting and the MainWindowUi record
// directly; the server has no parent and outlives it.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Whether the server could not listen because another Pelorin holds its port. This window
    // then runs no companion, so the other one is not fed twice.
    bool yieldsToOtherPelorin() const { return otherPelorin; }
    bool isServing() const;

    // Full screen without a frame, the page kept to its origin and recovered when it fails
    // (UIUX/KIOSK or --kiosk). Before the window is first shown; once is enough.
    void enterKioskMode();

protected:
    void showEvent(QShowEvent *event) override;

signals:
    void sigShowEvent();
    void windowLoaded();

private slots:
    void saveSettings();
    void loadSettings();
    void readProcessedData(QByteArray body, QByteArray headers);
    void showPreviewPage();

private:
    PelHttpServer *server = nullptr;
    QString port;
    QString url;
    QString host;
    QString title;
    QString companionCommand;
    QString token;
    bool tokenUsable = true;
    int baseHeight = 0;
    int baseWidth = 0;
    bool kiosk = false;
    QString screen;
    QString restartPolicy;
    MainWindowUi *ui = nullptr;
    // Carries envelopes into the page, holding them while it loads; a child of the window.
    PageBridge *bridge = nullptr;
    KioskMode *kioskMode = nullptr;
    bool otherPelorin = false;

    void showServerFailure();

    friend class tst_MainWindow;
};

#endif // MAINWINDOW_H

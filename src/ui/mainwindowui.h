#ifndef MAINWINDOWUI_H
#define MAINWINDOWUI_H

class QAction;
class QHBoxLayout;
class QMainWindow;
class QSplitter;
class QWebEngineView;
class QWidget;

// The main window's actions and widget tree. A plain record: the objects it points to are
// children of the window and are destroyed with it, never through this record.
struct MainWindowUi
{
    QAction *actionOpen = nullptr;
    QAction *actionSave = nullptr;
    QAction *actionExit = nullptr;
    QAction *actionSaveAs = nullptr;
    QAction *actionNew = nullptr;
    QWidget *centralwidget = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QSplitter *splitter = nullptr;
    QWebEngineView *preview = nullptr;

    void build(QMainWindow *window);
    void applyTexts(QMainWindow *window);
};

#endif // MAINWINDOWUI_H

#include "mainwindowui.h"

#include <QAction>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QMainWindow>
#include <QMetaObject>
#include <QSplitter>
#include <QWebEngineView>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("MainWindow", text, nullptr);
}

QAction *createAction(QMainWindow *window, const char *objectName)
{
    auto *action = new QAction(window);
    action->setObjectName(QString::fromLatin1(objectName));
    return action;
}

void setTexts(QAction *action, const char *text, const char *toolTip, const char *shortcut)
{
    action->setText(translated(text));
    action->setToolTip(translated(toolTip));
    if (shortcut)
        action->setShortcut(QKeySequence(translated(shortcut), QKeySequence::NativeText));
}

} // namespace

void MainWindowUi::build(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(772, 600);

    QIcon icon;
    // Relative on purpose: the icon is looked up in the current directory.
    icon.addFile(QStringLiteral("logo.ico"), QSize(), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);
    window->setToolTipDuration(0);

    actionOpen = createAction(window, "actionOpen");
    actionSave = createAction(window, "actionSave");
    actionExit = createAction(window, "actionExit");
    actionSaveAs = createAction(window, "actionSaveAs");
    actionNew = createAction(window, "actionNew");

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QStringLiteral("centralwidget"));
    horizontalLayout = new QHBoxLayout(centralwidget);
    horizontalLayout->setSpacing(0);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    splitter = new QSplitter(centralwidget);
    splitter->setObjectName(QStringLiteral("splitter"));
    splitter->setEnabled(true);
    splitter->setLineWidth(0);
    splitter->setOrientation(Qt::Horizontal);
    splitter->setHandleWidth(0);
    preview = new QWebEngineView(splitter);
    preview->setObjectName(QStringLiteral("preview"));
    splitter->addWidget(preview);
    horizontalLayout->addWidget(splitter);
    window->setCentralWidget(centralwidget);

    applyTexts(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowUi::applyTexts(QMainWindow *window)
{
    window->setWindowTitle(QString());
    setTexts(actionOpen, "&Open...", "Open document", "Ctrl+O");
    setTexts(actionSave, "&Save", "Save current document", "Ctrl+S");
    setTexts(actionExit, "E&xit", "Exit editor", "Ctrl+Q");
    setTexts(actionSaveAs, "Save &As...", "Save document under different name", nullptr);
    setTexts(actionNew, "&New", "Create new document", "Ctrl+N");
}

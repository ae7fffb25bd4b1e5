#include "mainwindowui.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEngineView>

class tst_MainWindowUi : public QObject
{
    Q_OBJECT

private slots:
    void objectName_data();
    void objectName();
    void sizeAndTitleBeforeConfiguration();
    void objectTree_data();
    void objectTree();
    void layoutHasNoSeams();
    void actions_data();
    void actions();
    void iconFromCurrentDirectory();
};

void tst_MainWindowUi::objectName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    QTest::addRow("unnamed window is named MainWindow") << QString() << "MainWindow";
    QTest::addRow("named window keeps its name") << "shell" << "shell";
}

void tst_MainWindowUi::objectName()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);
    QMainWindow window;
    window.setObjectName(given);
    MainWindowUi ui;
    ui.build(&window);
    QCOMPARE(window.objectName(), expected);
}

void tst_MainWindowUi::sizeAndTitleBeforeConfiguration()
{
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("old title"));
    MainWindowUi ui;
    ui.build(&window);
    QCOMPARE(window.size(), QSize(772, 600));
    QCOMPARE(window.windowTitle(), QString());
    QCOMPARE(window.toolTipDuration(), 0);
}

void tst_MainWindowUi::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addRow("actionOpen") << "actionOpen" << "QAction" << "MainWindow";
    QTest::addRow("actionSave") << "actionSave" << "QAction" << "MainWindow";
    QTest::addRow("actionExit") << "actionExit" << "QAction" << "MainWindow";
    QTest::addRow("actionSaveAs") << "actionSaveAs" << "QAction" << "MainWindow";
    QTest::addRow("actionNew") << "actionNew" << "QAction" << "MainWindow";
    QTest::addRow("centralwidget") << "centralwidget" << "QWidget" << "MainWindow";
    QTest::addRow("horizontalLayout") << "horizontalLayout" << "QHBoxLayout" << "centralwidget";
    QTest::addRow("splitter") << "splitter" << "QSplitter" << "centralwidget";
    QTest::addRow("preview") << "preview" << "QWebEngineView" << "splitter";
}

void tst_MainWindowUi::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QMainWindow window;
    MainWindowUi ui;
    ui.build(&window);

    const QList<QObject *> found = window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), className);
    QCOMPARE(found.first()->parent()->objectName(), parentName);
}

void tst_MainWindowUi::layoutHasNoSeams()
{
    QMainWindow window;
    MainWindowUi ui;
    ui.build(&window);

    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(ui.centralwidget->layout(), ui.horizontalLayout);
    QCOMPARE(ui.horizontalLayout->count(), 1);
    QCOMPARE(ui.horizontalLayout->itemAt(0)->widget(), ui.splitter);
    QCOMPARE(ui.horizontalLayout->spacing(), 0);
    QCOMPARE(ui.horizontalLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(ui.splitter->count(), 1);
    QCOMPARE(ui.splitter->widget(0), ui.preview);
    QCOMPARE(ui.splitter->handleWidth(), 0);
    QCOMPARE(ui.splitter->lineWidth(), 0);
    QCOMPARE(ui.splitter->orientation(), Qt::Horizontal);
}

void tst_MainWindowUi::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addRow("open") << "actionOpen" << "&Open..." << "Open document"
                          << QKeySequence(Qt::CTRL + Qt::Key_O);
    QTest::addRow("save") << "actionSave" << "&Save" << "Save current document"
                          << QKeySequence(Qt::CTRL + Qt::Key_S);
    QTest::addRow("exit") << "actionExit" << "E&xit" << "Exit editor"
                          << QKeySequence(Qt::CTRL + Qt::Key_Q);
    QTest::addRow("save as has no shortcut")
        << "actionSaveAs" << "Save &As..." << "Save document under different name"
        << QKeySequence();
    QTest::addRow("new") << "actionNew" << "&New" << "Create new document"
                         << QKeySequence(Qt::CTRL + Qt::Key_N);
}

void tst_MainWindowUi::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QKeySequence, shortcut);
    QMainWindow window;
    MainWindowUi ui;
    ui.build(&window);

    auto *action = window.findChild<QAction *>(name);
    QVERIFY2(action, qPrintable(name));
    QCOMPARE(action->text(), text);
    QCOMPARE(action->toolTip(), toolTip);
    QCOMPARE(action->shortcut(), shortcut);
    // Nothing shows the actions: no menu, tool bar or widget carries them.
    QVERIFY(action->associatedWidgets().isEmpty());
}

void tst_MainWindowUi::iconFromCurrentDirectory()
{
    // The build puts logo.ico beside the binaries.
    const QString home = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
    QVERIFY(QFile::exists(QStringLiteral("logo.ico")));
    QMainWindow window;
    MainWindowUi ui;
    ui.build(&window);
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(128, 128)),
             "logo.ico should offer small and large images");

    // Elsewhere there is no icon file and nothing is said about it.
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    QMainWindow bare;
    MainWindowUi bareUi;
    bareUi.build(&bare);
    QVERIFY(QDir::setCurrent(home));
    QVERIFY(bare.windowIcon().availableSizes().isEmpty());
}

QTEST_MAIN(tst_MainWindowUi)
#include "tst_mainwindowui.moc"

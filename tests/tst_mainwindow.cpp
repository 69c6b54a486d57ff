// The about window's form and the main window's slots, in-process. Without a
// system tray (offscreen), except where a test says otherwise.
#include "globals.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTest>

namespace {

// A window with the one slot that the form connects by name.
class FormHost : public QMainWindow
{
    Q_OBJECT

public:
    int clicks = 0;

private Q_SLOTS:
    void on_pushButton_clicked() { ++clicks; }
};

// Runs the application's event loop until something quits it or the guard
// timer ends it with 99; returns the loop's result.
int runEventLoop(int guardMs)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(guardMs);
    return QCoreApplication::exec();
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // As at start-up: closing the last window (a message box) must not quit.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void formBuildsItsWidgetTree_data();
    void formBuildsItsWidgetTree();
    void formLaysOutRows();
    void formSetsTexts();
    void formKeepsAnExistingObjectName();
    void formConnectsTheButtonOnce();

    void centresOnTheDesktop_data();
    void centresOnTheDesktop();

    void menuAboutShowsTheWindow();
    void menuExitAsksFirst_data();
    void menuExitAsksFirst();
    void menuIgnoresOtherEntries();
    void doubleClickShowsAbout_data();
    void doubleClickShowsAbout();
    void withoutTrayKeepsStatusBarAndServes();
};

void MainWindowTest::formBuildsItsWidgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: placed by a layout or the window

    QTest::newRow("centralwidget") << "centralwidget"
                                   << "QWidget"
                                   << "MainWindow" << QRect();
    QTest::newRow("heading row") << "horizontalLayoutWidget"
                                 << "QWidget"
                                 << "centralwidget" << QRect(0, 0, 431, 61);
    QTest::newRow("label") << "label"
                           << "QLabel"
                           << "horizontalLayoutWidget" << QRect();
    QTest::newRow("version row") << "horizontalLayoutWidget_2"
                                 << "QWidget"
                                 << "centralwidget" << QRect(0, 70, 431, 41);
    QTest::newRow("label_2") << "label_2"
                             << "QLabel"
                             << "horizontalLayoutWidget_2" << QRect();
    QTest::newRow("copyright row") << "horizontalLayoutWidget_3"
                                   << "QWidget"
                                   << "centralwidget" << QRect(0, 110, 431, 41);
    QTest::newRow("label_3") << "label_3"
                             << "QLabel"
                             << "horizontalLayoutWidget_3" << QRect();
    QTest::newRow("button row") << "horizontalLayoutWidget_4"
                                << "QWidget"
                                << "centralwidget" << QRect(-1, 150, 431, 91);
    QTest::newRow("pushButton") << "pushButton"
                                << "QPushButton"
                                << "horizontalLayoutWidget_4" << QRect();
    QTest::newRow("menubar") << "menubar"
                             << "QMenuBar"
                             << "MainWindow" << QRect();
    QTest::newRow("statusbar") << "statusbar"
                               << "QStatusBar"
                               << "MainWindow" << QRect();
}

void MainWindowTest::formBuildsItsWidgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(426, 300));

    const auto matches = window.findChildren<QWidget *>(name);
    QCOMPARE(matches.size(), 1);
    QWidget *widget = matches.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
}

void MainWindowTest::formLaysOutRows()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(window.menuBar(), ui.menubar);
    QCOMPARE(window.statusBar(), ui.statusbar);
    QCOMPARE(ui.menubar->geometry(), QRect(0, 0, 426, 28));
    QVERIFY(ui.menubar->actions().isEmpty());

    // Each row: a box layout named after it with no margins.
    const QList<QHBoxLayout *> layouts = {ui.horizontalLayout, ui.horizontalLayout_2,
                                          ui.horizontalLayout_3, ui.horizontalLayout_4};
    const QStringList names = {"horizontalLayout", "horizontalLayout_2", "horizontalLayout_3",
                               "horizontalLayout_4"};
    for (int i = 0; i < layouts.size(); ++i) {
        QCOMPARE(layouts[i]->objectName(), names[i]);
        QCOMPARE(layouts[i]->contentsMargins(), QMargins(0, 0, 0, 0));
    }
    QCOMPARE(ui.horizontalLayoutWidget->layout(), ui.horizontalLayout);

    // Items left to right: spacers with their hints and policies, then the widgets.
    QCOMPARE(ui.horizontalLayout->count(), 1);
    QCOMPARE(ui.horizontalLayout->itemAt(0)->widget(), ui.label);
    for (auto pair : {qMakePair(ui.horizontalLayout_2, ui.label_2),
                      qMakePair(ui.horizontalLayout_3, ui.label_3)}) {
        QCOMPARE(pair.first->count(), 2);
        QSpacerItem *spacer = pair.first->itemAt(0)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(20, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(pair.first->itemAt(1)->widget(), pair.second);
        const QSizePolicy policy = pair.second->sizePolicy();
        QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(policy.verticalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(policy.horizontalStretch(), 0);
        QCOMPARE(policy.verticalStretch(), 0);
    }
    QCOMPARE(ui.horizontalLayout_4->count(), 3);
    QCOMPARE(ui.horizontalLayout_4->itemAt(1)->widget(), ui.pushButton);
    for (int i : {0, 2}) {
        QSpacerItem *spacer = ui.horizontalLayout_4->itemAt(i)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }

    // The heading: 16 points, centred both ways; the button fixed at 120 x 35.
    QCOMPARE(ui.label->font().pointSize(), 16);
    QCOMPARE(ui.label->alignment(), Qt::AlignCenter);
    QCOMPARE(ui.pushButton->minimumSize(), QSize(120, 35));
    QCOMPARE(ui.pushButton->maximumSize(), QSize(120, 35));

    // Laid out, the button keeps its size and stays centred in its row.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(ui.pushButton->size(), QSize(120, 35));
    const int left = ui.pushButton->x();
    const int right = ui.horizontalLayoutWidget_4->width() - ui.pushButton->geometry().right() - 1;
    QVERIFY2(qAbs(left - right) <= 1, qPrintable(QStringLiteral("%1 vs %2").arg(left).arg(right)));
}

void MainWindowTest::formSetsTexts()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.windowTitle(), QStringLiteral("关于"));
    QCOMPARE(ui.label->text(), QStringLiteral("关 于"));
    QCOMPARE(ui.label_2->text(),
             QStringLiteral("<html><head/><body><p>软件版本：衡川身份证阅读机具Websocket接口 "
                            "V1.0.0.1</p></body></html>"));
    QVERIFY(ui.label_3->text().startsWith(QStringLiteral("<html><head/><body><p>")));
    QVERIFY(ui.label_3->text().endsWith(QStringLiteral("</p></body></html>")));
    QVERIFY(ui.label_3->text().contains(QStringLiteral("衡川")));
    QCOMPARE(ui.pushButton->text(), QStringLiteral("关  闭"));
}

void MainWindowTest::formKeepsAnExistingObjectName()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("AboutBox"));
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("AboutBox"));
    QCOMPARE(window.size(), QSize(426, 300));
    QCOMPARE(ui.pushButton->objectName(), QStringLiteral("pushButton"));
}

void MainWindowTest::formConnectsTheButtonOnce()
{
    FormHost host;
    Ui_MainWindow ui;
    ui.setupUi(&host);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QTest::mouseClick(ui.pushButton, Qt::LeftButton);
    QCOMPARE(host.clicks, 1);
    QTest::mouseClick(ui.pushButton, Qt::LeftButton);
    QCOMPARE(host.clicks, 2);
}

void MainWindowTest::centresOnTheDesktop_data()
{
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QPoint>("position");
    QTest::newRow("1920 x 1080") << QSize(1920, 1080) << QPoint(747, 390);
    QTest::newRow("odd remainder truncates") << QSize(1367, 769) << QPoint(470, 234);
    QTest::newRow("narrower: toward zero") << QSize(401, 1080) << QPoint(-12, 390);
    QTest::newRow("narrower and lower") << QSize(400, 200) << QPoint(-13, -50);
    QTest::newRow("same size") << QSize(426, 300) << QPoint(0, 0);
}

void MainWindowTest::centresOnTheDesktop()
{
    QFETCH(QSize, desktop);
    QFETCH(QPoint, position);
    QCOMPARE(MainWindow::centredPosition(desktop, QSize(426, 300)), position);
}

void MainWindowTest::menuAboutShowsTheWindow()
{
    MainWindow window;
    QVERIFY(!window.isVisible());
    QAction about(QStringLiteral("关于"));
    window.OnMenuTrigger(&about);
    QVERIFY(window.isVisible());
    window.showMinimized();
    window.OnMenuTrigger(&about);
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
    window.OnMenuTrigger(&about);
    QVERIFY(window.isVisible());
}

void MainWindowTest::menuExitAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("quits");
    QTest::newRow("Yes quits") << int(QMessageBox::Yes) << true;
    QTest::newRow("No stays") << int(QMessageBox::No) << false;
    QTest::newRow("closing the box stays") << int(QMessageBox::NoButton) << false;
}

void MainWindowTest::menuExitAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(bool, quits);
    MainWindow window;
    QAction exit(QStringLiteral("退出"));
    ModalAnswerer answerer{QMessageBox::StandardButton(answer)};
    bool returned = false;
    QTimer::singleShot(0, &window, [&] {
        window.OnMenuTrigger(&exit);
        returned = true;
        // Still running after the box: end the loop ourselves, with 7.
        QTimer::singleShot(50, &window, [] { QCoreApplication::exit(7); });
    });
    const int result = runEventLoop(20000);
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.title, QStringLiteral("提示"));
    QCOMPARE(answerer.text, QStringLiteral("请确认是否退出系统?"));
    QCOMPARE(answerer.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(answerer.icon, QMessageBox::Information);
    QVERIFY(!answerer.hadParent);
    QVERIFY(returned);
    QCOMPARE(result, quits ? 0 : 7);
}

void MainWindowTest::menuIgnoresOtherEntries()
{
    MainWindow window;
    ModalAnswerer answerer(QMessageBox::Yes);
    for (const QString &text : {QStringLiteral("关于 "), QStringLiteral("退出系统"), QString()}) {
        QAction other(text);
        window.OnMenuTrigger(&other);
    }
    QTest::qWait(100);
    QVERIFY(!answerer.answered);
    QVERIFY(!window.isVisible());
}

void MainWindowTest::doubleClickShowsAbout_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("opens");
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << false;
    QTest::newRow("context") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << false;
}

void MainWindowTest::doubleClickShowsAbout()
{
    QFETCH(int, reason);
    QFETCH(bool, opens);
    MainWindow window;
    ModalAnswerer answerer(QMessageBox::Ok);
    window.OnTrayIconActivated(QSystemTrayIcon::ActivationReason(reason));
    QTest::qWait(opens ? 0 : 100);
    QCOMPARE(answerer.answered, opens);
    if (opens) {
        QCOMPARE(answerer.title, QStringLiteral("About"));
        QCOMPARE(answerer.text, QStringLiteral("About2"));
        QCOMPARE(answerer.buttons, QMessageBox::Ok);
        QVERIFY(answerer.hadParent);
    }
    QVERIFY(!window.isVisible());
}

void MainWindowTest::withoutTrayKeepsStatusBarAndServes()
{
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    MainWindow window;
    QVERIFY(!window.statusBar()->isHidden());
    QCOMPARE(window.findChildren<QSystemTrayIcon *>().size(), 0);
    QCOMPARE(window.pos(),
             MainWindow::centredPosition(QGuiApplication::primaryScreen()->virtualGeometry().size(),
                                         QSize(426, 300)));
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

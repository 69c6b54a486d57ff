// The about window's form and the main window's slots, in-process. Without a
// system tray (offscreen), except where a test says otherwise.
#include "globals.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
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

    void showsTheAboutTextsWhole();
    void formConnectsTheButtonOnce();

    void menuAboutShowsTheWindow();
    void menuExitAsksFirst_data();
    void menuExitAsksFirst();
    void menuIgnoresOtherEntries();
    void doubleClickShowsAbout_data();
    void doubleClickShowsAbout();
    void withoutTrayKeepsStatusBarAndServes();
};

void MainWindowTest::showsTheAboutTextsWhole()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("关于"));
    QCOMPARE(ui.label->text(), QStringLiteral("关 于"));
    QVERIFY(ui.label_2->text().contains(
        QStringLiteral("软件版本：衡川身份证阅读机具Websocket接口 V1.0.0.1")));
    QVERIFY(ui.label_3->text().contains(QStringLiteral("衡川")));
    QCOMPARE(ui.pushButton->text(), QStringLiteral("关  闭"));
    // What the clerk reads lies inside the window (the form's rows are 431
    // wide in a 426 window: their last 5 pixels lie outside), and the button
    // sits in the middle of its row.
    for (QWidget *widget :
         {static_cast<QWidget *>(ui.label), static_cast<QWidget *>(ui.label_2),
          static_cast<QWidget *>(ui.label_3), static_cast<QWidget *>(ui.pushButton)}) {
        const QRect area(widget->mapTo(window.centralWidget(), QPoint()), widget->size());
        const QRect visible = area.intersected(window.centralWidget()->rect());
        QVERIFY2(visible.height() == area.height() && visible.width() >= area.width() - 5,
                 qPrintable(widget->objectName()));
    }
    const int left = ui.pushButton->x();
    const int right = ui.horizontalLayoutWidget_4->width() - ui.pushButton->geometry().right() - 1;
    QVERIFY2(qAbs(left - right) <= 1, qPrintable(QStringLiteral("%1 vs %2").arg(left).arg(right)));
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
    // Centred on the desktop, for the form's own 426 x 300.
    const QPoint middle = QGuiApplication::primaryScreen()->virtualGeometry().center();
    QVERIFY(qAbs(window.x() + 213 - middle.x()) <= 1 && qAbs(window.y() + 150 - middle.y()) <= 1);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

// The main window with a real XEmbed system tray (Xvfb and trayer or stalonetray), in-process.
#include "mainwindow.h"
#include "modalanswerer.h"
#include "qtlanguage.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

class TrayWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        window = new MainWindow;
    }
    void cleanupTestCase() { delete window; }

    void putsItsIconInTheTray();
    void closingHidesTheWindow_data();
    void closingHidesTheWindow();
    void menuEntriesReachTheSlots();
    void exitQuestionSpeaksTheLocale_data();
    void exitQuestionSpeaksTheLocale();

private:
    QSystemTrayIcon *tray() const { return window->findChild<QSystemTrayIcon *>(); }
    MainWindow *window = nullptr;
};

void TrayWindowTest::putsItsIconInTheTray()
{
    QSystemTrayIcon *icon = tray();
    QVERIFY(icon);
    QVERIFY(icon->isVisible());
    QCOMPARE(icon->toolTip(), QStringLiteral("ROVoroZurOzured"));
    QVERIFY(icon->contextMenu());
    QStringList entries;
    for (QAction *action : icon->contextMenu()->actions())
        entries.append(action->text());
    QCOMPARE(entries, QStringList({"关于", "退出"}));
    QVERIFY(window->statusBar()->isHidden());
    QVERIFY(!window->isVisible());
}

void TrayWindowTest::closingHidesTheWindow_data()
{
    QTest::addColumn<bool>("useButton");
    QTest::newRow("window close") << false;
    QTest::newRow("关  闭 button") << true;
}

void TrayWindowTest::closingHidesTheWindow()
{
    QFETCH(bool, useButton);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    if (useButton) {
        auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
    } else {
        QCloseEvent event;
        QApplication::sendEvent(window, &event);
        QVERIFY(!event.isAccepted());
    }
    QTRY_VERIFY(!window->isVisible());
    // Still alive and in the tray.
    QVERIFY(tray()->isVisible());
}

void TrayWindowTest::menuEntriesReachTheSlots()
{
    QMenu *menu = tray()->contextMenu();
    menu->actions().at(0)->trigger();
    QTRY_VERIFY(window->isVisible());
    window->hide();

    ModalAnswerer answerer(QMessageBox::No);
    menu->actions().at(1)->trigger();
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.text, QStringLiteral("请确认是否退出系统?"));
    QVERIFY(tray()->isVisible());
}

void TrayWindowTest::exitQuestionSpeaksTheLocale_data()
{
    // How Qt's own labels begin (Chinese from Debian's Qt translations), sorted.
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("zh_CN.UTF-8") << "zh_CN.UTF-8" << QStringList{"否", "是"};
    QTest::newRow("C.UTF-8") << "C.UTF-8" << QStringList{"&No", "&Yes"};
}

void TrayWindowTest::exitQuestionSpeaksTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, labels);
    installQtTranslation(QLocale(locale));
    ModalAnswerer answerer(QMessageBox::No);
    tray()->contextMenu()->actions().at(1)->trigger();
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.buttonTexts.size(), labels.size());
    for (int i = 0; i < labels.size(); ++i)
        QVERIFY2(answerer.buttonTexts.at(i).startsWith(labels.at(i)),
                 qPrintable(answerer.buttonTexts.join(QLatin1Char(' '))));
    // The service's own texts stay as they are.
    QCOMPARE(answerer.text, QStringLiteral("请确认是否退出系统?"));
}

QTEST_MAIN(TrayWindowTest)
#include "tst_traywindow.moc"

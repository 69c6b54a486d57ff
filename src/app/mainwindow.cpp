#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "echoserver.h"
#include "globals.h"
#include "policywatch.h"
#include "readerhost.h"
#include "sessionwatch.h"
#include "traywatch.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>

namespace {
const QString kAboutEntry = QStringLiteral("关于");
const QString kExitEntry = QStringLiteral("退出");
} // namespace

MainWindow::MainWindow(ReaderHost *host, QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);

    // Centred for the form's own 426 x 300; start-up later shrinks the window
    // without moving it.
    move(centredPosition(QGuiApplication::primaryScreen()->virtualGeometry().size(), size()));

    // Nobody keeps the server: it lives as long as the process.
    auto *server = new EchoServer(WebSocketPort, false, nullptr);
    server->useReader(host);

    // On a desk shared by several clerks only the session at the screen
    // serves; the others wait, and their pages are sent away.
    auto *session = new SessionWatch(this);
    if (session->known()) {
        server->setOtherClerk([session](uint uid) { return session->userLoggedIn(uid); });
        if (!session->active())
            server->setServing(false);
        connect(session, &SessionWatch::activeChanged, server, &EchoServer::setServing);
    }
    waiting = !server->serving();
    connect(server, &EchoServer::servingChanged, this, &MainWindow::showServing);

    // A policy changed while the service runs applies without a logout; one
    // that cannot be honoured is said on the tray once.
    auto *policyWatch = new PolicyWatch(this);
    connect(policyWatch, &PolicyWatch::applied, server, [server](bool listenChanged) {
        server->applyPolicy();
        if (listenChanged)
            server->listenAgain();
    });
    connect(policyWatch, &PolicyWatch::refused, this, [this](const QString &why) {
        if (trayIcon)
            showBalloon(QStringLiteral("The changed policy is not applied; the last "
                                       "good one stays: %1")
                            .arg(why),
                        QSystemTrayIcon::Warning);
    });

    // Without its icon file the tray still needs a picture to click on (and
    // Qt 6 warns about an empty one where Qt 5 showed a blank slot).
    QIcon icon(ExePath + QStringLiteral("logo.ico"));
    if (icon.availableSizes().isEmpty())
        icon = style()->standardIcon(QStyle::SP_ComputerIcon);
    setWindowIcon(icon);

    // A library that keeps failing says so on the tray, once, and in the
    // tooltip until a call is answered again.
    if (host) {
        connect(host, &ReaderHost::faultsRepeated, this, [this](int faults) {
            libraryFailing = true;
            if (!trayIcon)
                return;
            trayIcon->setToolTip(trayToolTip());
            showBalloon(QStringLiteral("The reader library failed %1 times within a minute; "
                                       "it is started again for every read. See the log.")
                            .arg(faults),
                        QSystemTrayIcon::Warning);
        });
        connect(host, &ReaderHost::recovered, this, [this] {
            libraryFailing = false;
            if (trayIcon)
                trayIcon->setToolTip(trayToolTip());
        });
    }

    // Without a tray the service serves all the same. A panel often starts
    // after the programs of the session: the icon follows as soon as it is there.
    // A panel that restarts gets the icon again.
    auto *watch = new TrayWatch(this);
    connect(watch, &TrayWatch::trayAppeared, this, &MainWindow::setUpTray);
    connect(watch, &TrayWatch::itemLost, this, [this] {
        trayIcon->hide();
        trayIcon->show();
    });
    watch->start();
}

void MainWindow::setUpTray()
{
    // The menu has no parent and lives as long as the process: the tray icon
    // does not take ownership of its context menu.
    auto *menu = new QMenu;
    menu->addAction(kAboutEntry);
    menu->addAction(kExitEntry);
    connect(menu, &QMenu::triggered, this, &MainWindow::OnMenuTrigger);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(trayPicture());
    trayIcon->setToolTip(trayToolTip());
    trayIcon->setContextMenu(menu);
    trayIcon->setVisible(true);
    showBalloon(QStringLiteral("Program Started Successfully"), QSystemTrayIcon::Information);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);

    statusBar()->hide();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::showBalloon(const QString &text, QSystemTrayIcon::MessageIcon kind)
{
    const QString title = QStringLiteral("KRVI2VeravaWebSocket");
    if (!TrayWatch::statusNotifierHostPresent()) {
        trayIcon->showMessage(title, text, kind, 10000);
        return;
    }
    // On a StatusNotifierItem tray Qt would also make the item ask for
    // attention while the balloon lasts, and answer the panel's tooltip with
    // the balloon meanwhile, hiding the service's state: the balloon goes to
    // the desktop's notification service here, and the tooltip stays.
    const QString icon = kind == QSystemTrayIcon::Warning ? QStringLiteral("dialog-warning")
                         : QFile::exists(ExePath + QStringLiteral("logo.ico"))
                             ? ExePath + QStringLiteral("logo.ico")
                             : QString();
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QCoreApplication::applicationName() << uint(0) << icon << title << text
           << QStringList() << QVariantMap() << 10000;
    QDBusConnection::sessionBus().send(notify);
}

QString MainWindow::trayToolTip() const
{
    QString tip = QStringLiteral("ROVoroZurOzured");
    if (waiting)
        tip += QStringLiteral("\n读卡器正由另一会话使用，本服务等待接管");
    if (libraryFailing)
        tip += QStringLiteral("\n读卡库多次异常，请查看日志");
    return tip;
}

QIcon MainWindow::trayPicture() const
{
    if (!waiting)
        return windowIcon();
    QIcon greyed;
    for (int side : {16, 22, 24, 32, 48, 64})
        greyed.addPixmap(windowIcon().pixmap(side, QIcon::Disabled));
    return greyed;
}

void MainWindow::showServing(bool serving)
{
    waiting = !serving;
    if (!trayIcon)
        return;
    trayIcon->setIcon(trayPicture());
    trayIcon->setToolTip(trayToolTip());
}

QPoint MainWindow::centredPosition(const QSize &desktop, const QSize &window)
{
    return QPoint((desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // With a tray icon closing only hides: the tray menu is the way out.
    if (trayIcon && trayIcon->isVisible()) {
        hide();
        event->ignore();
    } else {
        event->accept();
    }
}

void MainWindow::OnMenuTrigger(QAction *action)
{
    const QString text = action->text();
    if (text == kAboutEntry) {
        showNormal();
    } else if (text == kExitEntry) {
        const auto answer = QMessageBox::information(nullptr, QStringLiteral("提示"),
                                                     QStringLiteral("请确认是否退出系统?"),
                                                     QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::Yes)
            QCoreApplication::quit();
    }
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        QMessageBox::information(this, QStringLiteral("About"), QStringLiteral("About2"),
                                 QMessageBox::Ok);
}

void MainWindow::on_pushButton_clicked()
{
    close();
}

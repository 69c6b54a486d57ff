#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QPoint>
#include <QSize>
#include <QSystemTrayIcon>

class ReaderHost;
class QAction;
class QCloseEvent;
class Ui_MainWindow;

// The service's only window, its about box, and the tray icon through which
// the user reaches it and ends the service. The constructor also starts the
// WebSocket server.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // host: the reader host the server's commands go to (none: they are
    // answered that the driver is missing).
    explicit MainWindow(ReaderHost *host = nullptr, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Where a window of the given size is centred on a desktop of the given
    // size; integer division truncates toward zero, also for a desktop smaller
    // than the window.
    static QPoint centredPosition(const QSize &desktop, const QSize &window);

protected:
    void closeEvent(QCloseEvent *event) override;

public Q_SLOTS:
    void OnMenuTrigger(QAction *action);
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason);

private Q_SLOTS:
    void on_pushButton_clicked();

private:
    // The icon, its menu and the start-up balloon, once a tray is there.
    void setUpTray();
    // The icon's tooltip: the product, whether the reader is with another
    // session, and whether the reader library keeps failing.
    QString trayToolTip() const;
    // A balloon on the tray for 10 s.
    void showBalloon(const QString &text, QSystemTrayIcon::MessageIcon kind);
    // The product's icon, greyed while another session has the reader.
    QIcon trayPicture() const;
    void showServing(bool serving);

    Ui_MainWindow *ui;
    QSystemTrayIcon *trayIcon = nullptr;
    bool libraryFailing = false;
    bool waiting = false;
};

#endif // MAINWINDOW_H
